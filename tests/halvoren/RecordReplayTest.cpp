// A run recorded, replayed through the driver and exported: the same poses, the same images.
#include "AppProcess.h"
#include "support/CsvFields.h"
#include "support/TempFiles.h"

#include "halvoren/session/DriverReplay.h"
#include "host/Log.h"
#include "sequence/SequenceFile.h"
#include "sequence/TrackingCodec.h"
#include "sequence/TrackingFields.h"
#include "support/Readers.h"

#include <gtest/gtest.h>
#include <Eigen/Geometry>
#include <QDir>
#include <QFile>
#include <QProcess>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using TestSupport::AppRun;
using TestSupport::lines;
using TestSupport::runApp;

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The CSV lines without their time stamp (the moment each frame was processed).
std::vector<std::string> withoutTimestamps(const std::string& csv) {
    std::vector<std::string> out;
    for (const std::string& line : lines(csv)) {
        out.push_back(line.substr(line.find(',') + 1));
    }
    return out;
}

/// Every frame's pixels, in order.
std::vector<std::vector<std::uint8_t>> pixelsOf(const std::string& path) {
    std::string error;
    auto reader = TestSupport::openReader(path, error);
    EXPECT_TRUE(reader) << error;
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t i = 0; reader && i < reader->frameCount(); ++i) {
        frames.emplace_back();
        EXPECT_TRUE(reader->readNextPixels(frames.back(), error)) << error;
    }
    return frames;
}

/// Every frame's values, in order.
std::vector<Halvoren::Sequence::RecordedFrame> framesOf(const std::string& path) {
    std::string error;
    auto reader = TestSupport::openReader(path, error);
    Halvoren::Sequence::RecordingHeader header;
    EXPECT_TRUE(reader && TestSupport::readHeader(reader->fields(), header, error)) << error;
    std::vector<Halvoren::Sequence::RecordedFrame> frames;
    for (std::size_t i = 0; reader && i < reader->frameCount(); ++i) {
        frames.emplace_back();
        EXPECT_TRUE(Halvoren::Sequence::frameOf(reader->frameFields(i), header.markers, frames.back(), error))
            << error;
    }
    return frames;
}

/// Small camera images: the recording keeps every frame also on a slow, sanitized test build.
QProcessEnvironment smallImages(TestSupport::TempFiles& files) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write("camera.txt", "width = 320\nheight = 256\n")));
    return env;
}

/// The frames a recording opens with; 0 when it does not open.
std::size_t framesIn(const std::string& path) {
    std::string error;
    const auto reader = TestSupport::openReader(path, error);
    EXPECT_TRUE(reader) << error;
    return reader ? reader->frameCount() : 0;
}

/// The CSV's header and the lines of the frames a recording holds, by the camera's frame number.
std::string linesOfFrames(const std::string& csv,
                          const std::vector<Halvoren::Sequence::RecordedFrame>& frames) {
    const std::vector<std::string> all = lines(csv);
    const auto fields = [](const std::string& line) {
        std::vector<std::string> out;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, ',');) {
            out.push_back(field);
        }
        return out;
    };
    if (all.empty()) {
        return {};
    }
    const std::vector<std::string> names = fields(all[0]);
    const auto column =
        static_cast<std::size_t>(std::find(names.begin(), names.end(), "frame") - names.begin());
    std::set<std::string> numbers;
    for (const auto& frame : frames) {
        numbers.insert(std::to_string(frame.frameNumber));
    }
    std::string out = all[0] + "\n";
    for (std::size_t i = 1; i < all.size(); ++i) {
        const std::vector<std::string> values = fields(all[i]);
        if (column < values.size() && numbers.count(values[column]) > 0) {
            out += all[i] + "\n";
        }
    }
    return out;
}

/// N in the summary's "recorded N frames"; -1 when it has none.
long recordedInSummary(const std::string& err) {
    std::smatch match;
    return std::regex_search(err, match, std::regex("recorded (\\d+) frames")) ? std::stol(match[1]) : -1;
}

/// The application with its files limited to a size, as on a full disk: a write past it fails.
class FullDiskProcess : public QProcess {
public:
    explicit FullDiskProcess(rlim_t bytes) : m_bytes(bytes) {}

protected:
    void setupChildProcess() override {
        const rlimit limit{m_bytes, m_bytes};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);  // EFBIG, as ENOSPC would be, rather than the end of the process
    }

private:
    rlim_t m_bytes;
};

/// The header of a recording with each frame's number changed, beside it (it shares the pixels).
std::string renumbered(const std::string& recording, const std::string& name,
                       const std::function<int(int index, int number)>& renumber) {
    const std::regex frameNumber(R"(Seq_Frame(\d+)_FrameNumber = (\d+))");
    const std::string text = fileText(recording);
    std::string out;
    auto from = text.cbegin();
    for (std::sregex_iterator m(text.begin(), text.end(), frameNumber), end; m != end; ++m) {
        out.append(from, (*m)[0].first);
        out += "Seq_Frame" + (*m)[1].str() + "_FrameNumber = " +
               std::to_string(renumber(std::stoi((*m)[1].str()), std::stoi((*m)[2].str())));
        from = (*m)[0].second;
    }
    out.append(from, text.cend());
    const std::string path = std::filesystem::path(recording).replace_filename(name).string();
    std::ofstream(path) << out;
    return path;
}

/// Compares the recording's PointerToReference and PointerTipToReference transforms, frame by frame, with
/// the pointer's lines of the run's CSV; each frame's status, one letter a frame: O(K) or I(NVALID).
std::string compareNavigated(const std::string& recording, const std::string& csv) {
    namespace Fields = Halvoren::Sequence::TrackingFields;
    // The pointer's CSV line of each frame, by the camera's frame number.
    std::map<std::string, std::vector<std::string>> pointerLines;
    for (const std::string& line : lines(csv)) {
        const std::vector<std::string> f = TestSupport::csvFields(line);
        if (f.size() > 16 && f[2] == "pointer") {
            pointerLines[f[13]] = f;
        }
    }
    std::string error;
    const auto reader = TestSupport::openReader(recording, error);
    EXPECT_TRUE(reader) << error;
    if (!reader) {
        return std::string();
    }
    EXPECT_EQ(reader->frameCount(), 150u);
    std::string statuses;
    for (std::size_t i = 0; i < reader->frameCount(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const auto& fields = reader->frameFields(i);
        const auto field = [&](const std::string& name) {
            const std::string* value = Halvoren::Sequence::findField(fields, name);
            return value != nullptr ? *value : std::string("(none)");
        };
        const std::vector<std::string>& line = pointerLines[field("FrameNumber")];
        if (line.size() <= 16) {
            ADD_FAILURE() << "no CSV line";
            continue;
        }
        const std::string status = field("PointerToReferenceTransformStatus");
        EXPECT_EQ(status, line[11]);
        EXPECT_EQ(field("PointerTipToReferenceTransformStatus"), status);
        statuses += status == "OK" ? 'O' : 'I';
        std::vector<double> m;
        std::vector<double> tip;
        EXPECT_TRUE(Fields::parseNumbers(field("PointerToReferenceTransform"), m) &&
                    Fields::parseNumbers(field("PointerTipToReferenceTransform"), tip));
        m.resize(16);
        tip.resize(16);
        if (status != "OK") {
            EXPECT_EQ(m, std::vector<double>({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}));
            continue;
        }
        // As written: ten digits.
        const Eigen::Matrix<double, 4, 4, Eigen::RowMajor> pose(m.data());
        Eigen::Quaterniond q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>()));
        q.normalize();
        q.coeffs() *= q.w() < 0 ? -1.0 : 1.0;
        const std::vector<double> recorded{m[3],  m[7],  m[11],  q.w(),  q.x(),
                                           q.y(), q.z(), tip[3], tip[7], tip[11]};
        for (std::size_t c = 0; c < recorded.size(); ++c) {
            const std::string& written = line[c < 7 ? 4 + c : 14 + (c - 7)];
            EXPECT_NEAR(recorded[c], std::stod(written), 1e-9 * std::max(1.0, std::fabs(recorded[c])) + 1e-9)
                << "column " << c;
        }
    }
    return statuses;
}

}  // namespace

TEST(RecordReplay, AReplayEndsWhenEveryRecordedFrameCameWhateverTheirNumbersAndWherever) {
    TestSupport::TempFiles files;
    const std::string made = files.path("run.seq.mhd");
    const AppRun live = runApp(
        {"stream", "--frames", "30", "--stale-after", "60000", "--record", QString::fromStdString(made)});
    ASSERT_EQ(live.exitCode, 0) << live.err;
    // Moved to a folder whose name the driver's settings file could mistake: '#', '=', blanks, a line break.
    const std::filesystem::path folder = files.path(" run#1 = \xc3\xa4\nnext ");
    std::filesystem::create_directory(folder);
    for (const char* name : {"run.seq.mhd", "run.seq.raw"}) {
        std::filesystem::copy_file(files.path(name), folder / name);
    }
    const std::string recording = (folder / "run.seq.mhd").string();
    // Numbered 1..20 then 1..10, as after a camera restart; and a last frame numbered 0.
    const std::string restarted =
        renumbered(recording, "restarted.seq.mhd", [](int i, int n) { return i >= 20 ? n - 20 : n; });
    const std::string lastZero =
        renumbered(recording, "zero.seq.mhd", [](int i, int n) { return i == 29 ? 0 : n; });

    for (const auto& [path, speed] :
         {std::pair{recording, "max"}, std::pair{restarted, "max"}, std::pair{lastZero, "4"}}) {
        SCOPED_TRACE(path + " at " + speed);
        const AppRun replayed = runApp({"stream", "--replay", QString::fromStdString(path), "--replay-speed",
                                        speed, "--images", "--stale-after", "60000"});
        ASSERT_EQ(replayed.exitCode, 0) << replayed.err;
        // Every frame's poses, whatever its number.
        const auto poses = [](const std::string& csv) {
            std::vector<std::string> lines = withoutTimestamps(csv);
            for (std::string& line : lines) {
                std::vector<std::string> fields = TestSupport::csvFields(line);
                fields.erase(fields.begin() + 12);  // the frame's number; the timestamp is gone already
                line.clear();
                for (const std::string& field : fields) {
                    line += field + ',';
                }
            }
            return lines;
        };
        EXPECT_EQ(lines(replayed.out).size(), 1u + 30u * 3u);
        EXPECT_EQ(poses(replayed.out), poses(live.out));
        // Without images in the recording, --images is turned off once, not refused frame after frame.
        EXPECT_NE(replayed.err.find("halvoren: warning: " + path + " holds no camera images"),
                  std::string::npos)
            << replayed.err;
        EXPECT_EQ(replayed.err.find("Raw images not available"), std::string::npos) << replayed.err;
    }
}

TEST(RecordReplay, ADamagedRecordingStopsEveryCommandWithTheReason) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("damaged.seq.mhd");
    const AppRun live = runApp(
        {"stream", "--frames", "60", "--images", "--stale-after", "60000", "--record",
         QString::fromStdString(recording), "--output", QString::fromStdString(files.path("poses.csv"))},
        smallImages(files));
    ASSERT_EQ(live.exitCode, 0) << live.err;
    // Garbage in the middle of the compressed pixels.
    const std::string pixels = files.path("damaged.seq.zraw");
    std::fstream data(pixels, std::ios::in | std::ios::out | std::ios::binary);
    data.seekp(static_cast<std::streamoff>(std::filesystem::file_size(pixels) / 2));
    std::mt19937 garbage(7);
    for (int i = 0; i < 4096; ++i) {
        data.put(static_cast<char>(garbage()));
    }
    data.close();

    const QString replay = QString::fromStdString(recording);
    const QString pointer = QStringLiteral(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini");
    auto offscreen = QProcessEnvironment::systemEnvironment();
    offscreen.insert("QT_QPA_PLATFORM", "offscreen");
    const std::vector<std::pair<QStringList, QProcessEnvironment>> commands = {
        {{"stream", "--replay", replay, "--replay-speed", "max", "--output",
          QString::fromStdString(files.path("poses.csv"))},
         offscreen},
        {{"gui", "--replay", replay, "--replay-speed", "max", "--screenshot",
          QString::fromStdString(files.path("shot.png")), "--frames", "100000"},
         offscreen},
        {{"pivot", "--replay", replay, "--replay-speed", "max", "--marker", pointer, "--frames", "1000"},
         offscreen},
        {{"define-marker", "--replay", replay, "--replay-speed", "max", "--output",
          QString::fromStdString(files.path("new.ini")), "--frames", "1000"},
         offscreen},
    };
    for (const auto& [args, env] : commands) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const AppRun run = runApp(args, env);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        // The driver's reason in the log, and in the command's own words.
        EXPECT_NE(run.err.find("AtracsysTracking: Replay stopped: " + pixels), std::string::npos) << run.err;
        const std::size_t said = run.err.find("halvoren: the replay stopped: " + pixels);
        ASSERT_NE(said, std::string::npos) << run.err;
        EXPECT_NE(run.err.find(" of 60 frames\n", said), std::string::npos) << run.err;
    }
}

TEST(RecordReplay, AReplayGivesTheRecordedPosesAndImagesAndAnExportTheRecordedLines) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("run.seq.mhd");
    const std::string again = files.path("again.seq.mhd");
    // No stale lines: a slow test machine's pause is no fault of the recording.
    const AppRun live = runApp({"stream", "--frames", "300", "--images", "--stale-after", "60000", "--record",
                                QString::fromStdString(recording)},
                               smallImages(files));
    ASSERT_EQ(live.exitCode, 0) << live.err;
    // On a busy machine the disk may not keep up with every frame; the summary says so, and what follows
    // compares with the frames the recording holds.
    const auto recordedFrames = framesOf(recording);
    ASSERT_FALSE(recordedFrames.empty());
    EXPECT_EQ(recordedInSummary(live.err), static_cast<long>(recordedFrames.size())) << live.err;
    if (recordedFrames.size() < 300u) {
        EXPECT_NE(live.err.find("frames not recorded: " + std::to_string(300u - recordedFrames.size())),
                  std::string::npos)
            << live.err;
    }
    const std::string liveRecorded = linesOfFrames(live.out, recordedFrames);

    const AppRun replayed =
        runApp({"stream", "--replay", QString::fromStdString(recording), "--replay-speed", "max", "--images",
                "--stale-after", "60000", "--record", QString::fromStdString(again)});
    ASSERT_EQ(replayed.exitCode, 0) << replayed.err;
    EXPECT_EQ(withoutTimestamps(replayed.out), withoutTimestamps(liveRecorded));
    ASSERT_EQ(lines(replayed.out).size(), 1u + recordedFrames.size() * 3u);

    // The replay hands the plug-in the registration errors the camera reported: the qualities it computes
    // from them are the recorded ones. Its own recording, too, may have left out frames its disk could not
    // keep up with: each frame it holds is compared with the recorded frame of that number.
    const auto replayedFrames = framesOf(again);
    ASSERT_FALSE(replayedFrames.empty());
    EXPECT_EQ(recordedInSummary(replayed.err), static_cast<long>(replayedFrames.size())) << replayed.err;
    const auto recordedPixels = pixelsOf(recording);
    const auto replayedPixels = pixelsOf(again);
    ASSERT_EQ(recordedPixels.size(), recordedFrames.size());
    ASSERT_EQ(replayedPixels.size(), replayedFrames.size());
    EXPECT_EQ(recordedPixels.front().size(), 2u * 320u * 256u);
    std::size_t r = 0;
    for (std::size_t i = 0; i < replayedFrames.size(); ++i, ++r) {
        while (r < recordedFrames.size() && recordedFrames[r].frameNumber != replayedFrames[i].frameNumber) {
            ++r;
        }
        ASSERT_LT(r, recordedFrames.size()) << "replayed frame " << replayedFrames[i].frameNumber;
        EXPECT_TRUE(replayedPixels[i] == recordedPixels[r]) << i;
        ASSERT_EQ(replayedFrames[i].poses.size(), recordedFrames[r].poses.size());
        for (std::size_t k = 0; k < recordedFrames[r].poses.size(); ++k) {
            const auto& live = recordedFrames[r].poses[k];
            const auto& replay = replayedFrames[i].poses[k];
            EXPECT_EQ(live.registrationErrorMm.has_value(), live.quality > 0.0) << i << " " << k;
            EXPECT_EQ(replay.registrationErrorMm, live.registrationErrorMm) << i << " " << k;
            EXPECT_NEAR(replay.quality, live.quality, 1e-7) << i << " " << k;
            EXPECT_EQ(replay.transform, live.transform) << i << " " << k;
        }
    }

    // The window on a replay: its screenshot comes at the recording's end when that is first.
    auto offscreen = QProcessEnvironment::systemEnvironment();
    offscreen.insert("QT_QPA_PLATFORM", "offscreen");
    const AppRun window =
        runApp({"gui", "--replay", QString::fromStdString(recording), "--replay-speed", "max", "--screenshot",
                QString::fromStdString(files.path("shot.png")), "--frames", "100000"},
               offscreen);
    EXPECT_EQ(window.exitCode, 0) << window.err;

    // The export writes what the recording run wrote, time stamps included.
    const std::string exported = files.path("exported.csv");
    const AppRun exporting =
        runApp({"export", QString::fromStdString(recording), "--output", QString::fromStdString(exported)});
    ASSERT_EQ(exporting.exitCode, 0) << exporting.err;
    EXPECT_EQ(fileText(exported), liveRecorded);
}

TEST(RecordReplay, ARecordingKilledMidwayOpensWithItsFirstSeconds) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("killed.seq.mhd");
    QProcess app;
    app.setProcessEnvironment(smallImages(files));
    app.start(QStringLiteral(HALVOREN_APP_PATH), {"stream", "--frames", "0", "--images", "--output",
                                                  QString::fromStdString(files.path("poses.csv")), "--record",
                                                  QString::fromStdString(recording)});
    ASSERT_TRUE(app.waitForStarted(30000));
    // Killed once the header on disk names three seconds of frames, however slow the machine.
    const auto secondsNamed = [&] {
        std::string error;
        const auto reader = TestSupport::openReader(recording, error);
        const std::string* stamp =
            reader && reader->frameCount() > 0
                ? Halvoren::Sequence::findField(reader->frameFields(reader->frameCount() - 1), "Timestamp")
                : nullptr;
        return stamp != nullptr ? std::stod(*stamp) : 0.0;
    };
    const QDeadlineTimer deadline(120000);
    while (secondsNamed() < 3.0 && !deadline.hasExpired() && app.state() == QProcess::Running) {
        app.waitForFinished(100);
    }
    ASSERT_EQ(app.state(), QProcess::Running) << app.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(app.processId()), SIGKILL);
    ASSERT_TRUE(app.waitForFinished(30000));

    std::string error;
    auto reader = TestSupport::openReader(recording, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_GT(reader->frameCount(), 0u);
    const std::string* last =
        Halvoren::Sequence::findField(reader->frameFields(reader->frameCount() - 1), "Timestamp");
    ASSERT_NE(last, nullptr);
    EXPECT_GE(std::stod(*last), 3.0);
    std::vector<std::uint8_t> pixels;
    for (std::size_t i = 0; i < reader->frameCount(); ++i) {
        ASSERT_TRUE(reader->readNextPixels(pixels, error)) << "frame " << i << ": " << error;
    }
}

TEST(RecordReplay, VtksReaderOpensARecordingWithItsImagesAndTransforms) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("vtk.seq.mhd");
    const AppRun live = runApp({"stream", "--frames", "20", "--images", "--stale-after", "60000", "--record",
                                QString::fromStdString(recording)},
                               smallImages(files));
    ASSERT_EQ(live.exitCode, 0) << live.err;
    QProcess python;
    // The system's Python, which the VTK package serves, before any other on the path.
    python.start(QFile::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3",
                 {QStringLiteral(HALVOREN_SOURCE_DIR "/tests/sequence/vtk_read.py"),
                  QString::fromStdString(recording)});
    ASSERT_TRUE(python.waitForFinished(120000));
    if (python.exitCode() == 77) {
        GTEST_SKIP() << "VTK for Python is not installed";
    }
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    const auto printed = lines(python.readAllStandardOutput().toStdString());
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ(printed[0], "dimensions 640 256 20");

    // Its transforms are the poses written: frame by frame, the positions of the CSV lines.
    const auto csv = lines(live.out);
    std::size_t compared = 0;
    for (const std::string& line : printed) {
        std::istringstream words(line);
        std::string word, name;
        std::size_t frame = 0;
        words >> word >> frame >> name;
        if (word != "frame") {
            continue;
        }
        std::vector<double> m(16);
        for (double& v : m) {
            words >> v;
        }
        // Named as OpenIGTLink names the pose: "PointerToTrackerTransform" for the instrument "pointer".
        std::string instrument = name.substr(0, name.find("ToTrackerTransform"));
        EXPECT_TRUE(!instrument.empty() && std::isupper(static_cast<unsigned char>(instrument[0]))) << name;
        instrument[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(instrument[0])));
        for (std::size_t row = 1 + 3 * frame; row < 4 + 3 * frame && row < csv.size(); ++row) {
            std::vector<std::string> f;
            std::stringstream fields(csv[row]);
            for (std::string field; std::getline(fields, field, ',');) {
                f.push_back(field);
            }
            if (f.size() > 6 && f[2] == instrument) {
                EXPECT_NEAR(m[3], std::stod(f[4]), 1e-6) << line;
                EXPECT_NEAR(m[7], std::stod(f[5]), 1e-6) << line;
                EXPECT_NEAR(m[11], std::stod(f[6]), 1e-6) << line;
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 20u * 3u);
}

// A recording that would write over the recording being replayed, by whatever path, or whose files cannot
// all be named in its folder, is refused before the camera opens; the replayed recording stays whole.
TEST(RecordReplay, ARecordingThatWouldDestroyAFileIsRefusedBeforeTheCameraOpens) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("run.seq.mhd");
    const AppRun live =
        runApp({"stream", "--frames", "20", "--output", QString::fromStdString(files.path("poses.csv")),
                "--record", QString::fromStdString(recording)});
    ASSERT_EQ(live.exitCode, 0) << live.err;
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(files.path("a"))));
    ASSERT_EQ(::symlink(recording.c_str(), files.path("link.seq.mhd").c_str()), 0);
    ASSERT_EQ(::link(files.path("run.seq.raw").c_str(), files.path("hard.seq.raw").c_str()), 0);
    for (const std::string& target : {recording, files.path("a/../run.seq.mhd"), files.path("link.seq.mhd"),
                                      files.path("hard.seq.mhd")}) {
        const AppRun again = runApp(
            {"stream", "--replay", QString::fromStdString(recording), "--replay-speed", "max", "--output",
             QString::fromStdString(files.path("poses.csv")), "--record", QString::fromStdString(target)});
        EXPECT_EQ(again.exitCode, 3) << again.err;
        EXPECT_NE(again.err.find("cannot record to " + target + ": "), std::string::npos) << again.err;
        EXPECT_NE(again.err.find("the recording being replayed"), std::string::npos) << again.err;
        EXPECT_NE(again.err.find(recording), std::string::npos) << again.err;
        EXPECT_EQ(again.err.find("AtracsysTracking: "), std::string::npos) << again.err;
    }
    // 253 characters: the header's temporary sibling would have 257.
    const std::string longName = files.path(std::string(245, 'x') + ".seq.mhd");
    const AppRun tooLong = runApp({"stream", "--frames", "5", "--record", QString::fromStdString(longName)});
    EXPECT_EQ(tooLong.exitCode, 3) << tooLong.err;
    EXPECT_NE(tooLong.err.find(longName + ".tmp is longer than the 255 characters"), std::string::npos)
        << tooLong.err;
    EXPECT_EQ(tooLong.err.find("AtracsysTracking: "), std::string::npos) << tooLong.err;  // no camera
    EXPECT_FALSE(QFile::exists(QString::fromStdString(longName)));
    EXPECT_EQ(framesIn(recording), 20u);
}

// Two programs recording to one file: the second is refused before its camera opens, told which program
// records there, and the first's recording holds what its summary says.
TEST(RecordReplay, ASecondRecordingToTheSameFileIsRefused) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("two.seq.mhd");
    QProcess first;
    first.start(QStringLiteral(HALVOREN_APP_PATH),
                {"stream", "--frames", "0", "--output", QString::fromStdString(files.path("poses.csv")),
                 "--record", QString::fromStdString(recording)});
    ASSERT_TRUE(first.waitForStarted(30000));
    const QDeadlineTimer firstFrame(120000);
    while (fileText(recording).find("Seq_Frame0000_") == std::string::npos && !firstFrame.hasExpired() &&
           first.state() == QProcess::Running) {
        first.waitForFinished(50);
    }
    ASSERT_EQ(first.state(), QProcess::Running) << first.readAllStandardError().toStdString();

    const AppRun second = runApp({"stream", "--frames", "10", "--images", "--output",
                                  QString::fromStdString(files.path("poses.csv")), "--record",
                                  QString::fromStdString(recording)});
    EXPECT_EQ(second.exitCode, 3) << second.err;
    EXPECT_NE(second.err.find(recording + " is being recorded by another program (process " +
                              std::to_string(first.processId()) + ")"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.err.find("AtracsysTracking: "), std::string::npos) << second.err;

    ::kill(static_cast<pid_t>(first.processId()), SIGINT);
    ASSERT_TRUE(first.waitForFinished(60000));
    const std::string err = first.readAllStandardError().toStdString();
    EXPECT_EQ(first.exitCode(), 0) << err;
    ASSERT_GT(recordedInSummary(err), 0) << err;
    EXPECT_EQ(framesIn(recording), static_cast<std::size_t>(recordedInSummary(err)));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(recording + ".lock")));
}

// The disk fills while recording: an error is logged when it happens, the run fails, and its summary
// names the frames the recording opens with.
TEST(RecordReplay, AFullDiskIsReportedAndTheSummarySaysWhatTheRecordingHolds) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("full.seq.mhd");
    // The first header fits; the recording's last one, of 200 frames, does not.
    // The poses go to a copy of the null device, which no file size limit applies to.
    const std::string null = files.path("null");
    ASSERT_EQ(::mknod(null.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    FullDiskProcess app(16384);
    app.start(QStringLiteral(HALVOREN_APP_PATH),
              {"stream", "--frames", "200", "--output", QString::fromStdString(null), "--record",
               QString::fromStdString(recording)});
    ASSERT_TRUE(app.waitForFinished(120000));
    const std::string err = app.readAllStandardError().toStdString();
    EXPECT_EQ(app.exitCode(), 6) << err;
    const std::size_t logged = err.find("[error] Recorder: the recording stops: cannot write");
    EXPECT_NE(logged, std::string::npos) << err;
    EXPECT_LT(logged, err.find("health")) << err;  // while it ran
    EXPECT_NE(err.find("warnings 0, errors 1"), std::string::npos) << err;
    EXPECT_NE(err.find("the recording failed: cannot write"), std::string::npos) << err;
    const long recorded = recordedInSummary(err);
    EXPECT_GE(recorded, 1) << err;
    EXPECT_LT(recorded, 200) << err;
    EXPECT_EQ(framesIn(recording), static_cast<std::size_t>(recorded));
}

// Two markers of one name (two folders' tool.ini) are recorded each with its own id and fiducials, and the
// recording replays and exports.
TEST(RecordReplay, InstrumentsOfOneNameKeepTheirOwnGeometries) {
    TestSupport::TempFiles files;
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(files.path("left"))));
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(files.path("right"))));
    const std::vector<std::vector<double>> leftPoints{{0, 0, 0}, {0, 50, 0}, {-35, 85, 0}, {25, 110, 0}};
    const std::vector<std::vector<double>> rightPoints{{0, 0, 0}, {0, 50, 0}, {-35, 85, 0}, {40, 110, 0}};
    const std::string left = files.writeGeometry("left/tool.ini", 1400, leftPoints);
    const std::string right = files.writeGeometry("right/tool.ini", 500, rightPoints);  // the camera's 1500
    const std::string recording = files.path("same.seq.mhd");
    const AppRun live =
        runApp({"stream", "--frames", "20", "--marker", QString::fromStdString(left), "--marker",
                QString::fromStdString(right), "--output", QString::fromStdString(files.path("poses.csv")),
                "--record", QString::fromStdString(recording)});
    ASSERT_EQ(live.exitCode, 0) << live.err;

    std::string error;
    const auto reader = TestSupport::openReader(recording, error);
    ASSERT_TRUE(reader) << error;
    Halvoren::Sequence::RecordingHeader header;
    ASSERT_TRUE(TestSupport::readHeader(reader->fields(), header, error)) << error;
    const auto& markers = header.markers;
    ASSERT_EQ(markers.size(), 2u);
    for (const auto& [index, id, points] :
         {std::make_tuple(0, 1400u, leftPoints), std::make_tuple(1, 1500u, rightPoints)}) {
        const auto& marker = markers[static_cast<std::size_t>(index)];
        EXPECT_EQ(marker.name, "tool");
        EXPECT_EQ(marker.geometryId, id);
        ASSERT_EQ(marker.fiducials.size(), points.size());
        for (std::size_t k = 0; k < points.size(); ++k) {
            EXPECT_EQ(marker.fiducials[k][0], points[k][0]) << id << " fiducial " << k;
        }
    }

    const AppRun replayed = runApp({"stream", "--replay", QString::fromStdString(recording), "--replay-speed",
                                    "max", "--stale-after", "60000"});
    ASSERT_EQ(replayed.exitCode, 0) << replayed.err;
    EXPECT_EQ(lines(replayed.out).size(), 1u + 20u * 2u);
    const AppRun exported = runApp({"export", QString::fromStdString(recording)});
    EXPECT_EQ(exported.exitCode, 0) << exported.err;
}

// A run relative to a reference, with a pointer's tip, records the transforms it navigated with, frame by
// frame the poses its CSV wrote (INVALID while the reference is hidden); the recording replays and exports
// to the same lines, tips included, without the marker files.
TEST(RecordReplay, ARecordingHoldsTheRelativeTransformsAndTipsTheRunWrote) {
    TestSupport::TempFiles files;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write("camera.txt", "hide = 1300 1 0.5\n")));
    const std::string pointer =
        files.write("pointer.ini", fileText(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini") +
                                       "[tip]\nx=1.5\ny=-20\nz=-120\n");
    const std::string recording = files.path("navigated.seq.mhd");
    const AppRun live =
        runApp({"stream", "--frames", "150", "--stale-after", "60000", "--reference", "reference", "--marker",
                QString::fromStdString(pointer), "--marker",
                HALVOREN_SOURCE_DIR "/data/markers/reference.ini", "--marker",
                HALVOREN_SOURCE_DIR "/data/markers/tool.ini", "--record", QString::fromStdString(recording)},
               env);
    ASSERT_EQ(live.exitCode, 0) << live.err;

    const std::string statuses = compareNavigated(recording, live.out);
    // Seen, hidden for half a second, seen again.
    EXPECT_TRUE(std::regex_match(statuses, std::regex("O+I{20,40}O+"))) << statuses;

    // Without the marker files: the recording's own markers, their tips included; quiet, which hides the
    // driver's information from standard error but not from the replay's check of the device.
    const AppRun replayed = runApp({"stream", "--replay", QString::fromStdString(recording), "--replay-speed",
                                    "max", "--reference", "reference", "--stale-after", "60000", "--quiet"});
    ASSERT_EQ(replayed.exitCode, 0) << replayed.err;
    EXPECT_EQ(withoutTimestamps(replayed.out), withoutTimestamps(live.out));
    const AppRun exported = runApp({"export", QString::fromStdString(recording), "--reference", "reference"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.out, live.out);
}

TEST(RecordReplay, ChosenNamesNameTheRecordedTransformsAsTheyGoOut) {
    TestSupport::TempFiles files;
    const std::string pointer =
        files.write("pointer.ini", fileText(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini") +
                                       "[tip]\nx=1.5\ny=-20\nz=-120\n");
    const std::string recording = files.path("named.seq.mhd");
    const QStringList navigation{"--reference", "reference", "--frame-name", "Ref", "--name", "tool=probe"};
    const AppRun live =
        runApp(QStringList{"stream", "--frames", "5", "--stale-after", "60000", "--marker",
                           QString::fromStdString(pointer), "--marker",
                           HALVOREN_SOURCE_DIR "/data/markers/reference.ini", "--marker",
                           HALVOREN_SOURCE_DIR "/data/markers/tool.ini", "--igtl-port", "0", "--igtl-host",
                           "127.0.0.1", "--record", QString::fromStdString(recording)} +
               navigation);
    ASSERT_EQ(live.exitCode, 0) << live.err;
    EXPECT_NE(live.err.find("halvoren: poses relative to Ref (atracsys-1300); tips of: pointer\n"),
              std::string::npos)
        << live.err;
    EXPECT_EQ(live.err.find("warning:"), std::string::npos) << live.err;  // every name fits the wire
    EXPECT_NE(live.err.find("\nwarnings 0, errors 0\n"), std::string::npos) << live.err;
    std::string error;
    const auto reader = TestSupport::openReader(recording, error);
    ASSERT_TRUE(reader && reader->frameCount() == 5) << error;
    for (const char* name :
         {"PointerToTrackerTransform", "ReferenceToTrackerTransform", "ProbeToTrackerTransform",
          "PointerToRefTransform", "PointerTipToRefTransform", "ProbeToRefTransformStatus"}) {
        EXPECT_NE(Halvoren::Sequence::findField(reader->frameFields(0), name), nullptr) << name;
    }
    // Read back by the fields its header declares, as recordings that named them otherwise are.
    const AppRun exported = runApp({"export", QString::fromStdString(recording), "--reference", "reference"});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    EXPECT_EQ(exported.out, live.out);
}

// The replay control is found in the simulated driver only: a loaded library without it (a camera maker's
// driver) is told apart, and so is no driver at all.
TEST(DriverReplay, IsFoundInTheSimulatedDriverAloneAndTellsItsDevice) {
    const auto other = Halvoren::App::DriverReplay::find("libHalvorenHost.so");
    ASSERT_FALSE(other);
    EXPECT_EQ(other.error().message, "the loaded driver libHalvorenHost.so has no replay");
    const auto none = Halvoren::App::DriverReplay::find("libNoSuchDriver.so");
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message, "no driver library libNoSuchDriver.so is loaded");

    const auto driver = Halvoren::App::DriverReplay::find();
    ASSERT_TRUE(driver) << driver.error().message;
    EXPECT_FALSE(driver->request("", 1.0, 7));
    EXPECT_FALSE(driver->request("run.seq.mhd", -1.0, 7));
    EXPECT_TRUE(driver->request(HALVOREN_SOURCE_DIR "/missing.seq.mhd", 1.0, 7));
    EXPECT_EQ(driver->state().phase, FTK_REPLAY_NONE);
    ftkLibrary library = ftkInit();
    const ftkReplayState failed = driver->state();
    EXPECT_EQ(failed.phase, FTK_REPLAY_FAILED);
    EXPECT_EQ(failed.serialNumber, 0u);
    EXPECT_NE(std::string(failed.reason).find("missing.seq.mhd"), std::string::npos) << failed.reason;
    ftkClose(&library);
    driver->withdraw();
    EXPECT_EQ(driver->state().phase, FTK_REPLAY_NONE);
}

// The application's stream command, run as a separate process against the simulated camera.
#include "AppProcess.h"
#include "halvoren/session/ExitCodes.h"
#include "halvoren/session/FrameWatch.h"
#include "support/LogCapture.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>

using TestSupport::AppRun;
using TestSupport::lines;
using TestSupport::runApp;

TEST(StreamCommand, BadInputGivesAClearMessageAndItsExitCode) {
    AppRun usage = runApp({"stream", "--frames", "many"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.err.find("--frames: takes a whole number"), std::string::npos) << usage.err;

    // Too large for any counter: refused before it is converted.
    EXPECT_EQ(runApp({"stream", "--frames", "1e30"}).exitCode, 2);
    EXPECT_EQ(runApp({"stream", "--bogus"}).exitCode, 2);
    EXPECT_EQ(runApp({"launch"}).exitCode, 2);

    TestSupport::TempFiles files;
    const std::string broken = files.write("broken.ini", "[geometry]\ncount=3\n");
    // A refused run leaves an existing output file as it was.
    const std::string existing = files.write("existing.csv", "kept\n");
    AppRun marker = runApp(
        {"stream", "--marker", QString::fromStdString(broken), "--output", QString::fromStdString(existing)});
    EXPECT_EQ(marker.exitCode, 3);
    EXPECT_NE(marker.err.find("cannot use the marker file"), std::string::npos) << marker.err;
    std::ifstream kept(existing);
    std::string line;
    EXPECT_TRUE(std::getline(kept, line));
    EXPECT_EQ(line, "kept");

    const std::string workspace = files.write("w.xml", "<workspace version=\"1\">\n<properties>\n");
    AppRun malformed = runApp({"stream", "--workspace", QString::fromStdString(workspace)});
    EXPECT_EQ(malformed.exitCode, 3);
    EXPECT_NE(malformed.err.find("line "), std::string::npos) << malformed.err;
}

TEST(StreamCommand, InputsAreCheckedBeforeTheRunAndNameTheRealCause) {
    TestSupport::TempFiles files;
    const QString marker =
        QString::fromStdString(files.writeGeometry("a.ini", 1500, TestSupport::squareMarker()));
    const QString sameId =
        QString::fromStdString(files.writeGeometry("b.ini", 500, TestSupport::squareMarker()));
    const QString folder = QString::fromStdString(files.path(""));
    const std::map<std::string, QStringList> refused = {
        {"cannot use the marker file /nonexistent.ini: it does not exist", {"--marker", "/nonexistent.ini"}},
        {"it is a folder", {"--marker", folder}},
        // Ids below 1000 are raised by 1000: b's 500 becomes a's 1500.
        {"its id 1500 is already used by", {"--marker", marker, "--marker", sameId}},
        {"cannot write /nonexistent/w.xml: it is in a folder that does not exist",
         {"--save-workspace", "/nonexistent/w.xml"}},
    };
    for (const auto& [message, args] : refused) {
        AppRun run = runApp(QStringList{"stream", "--frames", "5"} + args);
        EXPECT_EQ(run.exitCode, 3) << message;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("could not find section"), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << message;
    }
}

TEST(StreamCommand, WorkspaceMarkersThatCannotBeLoadedAreNamedAndNoneLoadedFails) {
    TestSupport::TempFiles files;
    const std::string tool = files.writeGeometry("tool.ini", 1400, TestSupport::squareMarker());
    const auto workspace = [&](const std::string& name, const std::string& secondPath) {
        return QString::fromStdString(files.write(
            name,
            "<workspace version=\"1\">\n<properties name=\"\">\n<properties name=\"TrackingTargets\">\n"
            "<properties name=\"gone\"><param name=\"Path\" value=\"gone.ini\"/></properties>\n"
            "<properties name=\"tool\"><param name=\"Path\" value=\"" +
                secondPath + "\"/></properties>\n</properties>\n</properties>\n</workspace>\n"));
    };
    AppRun half = runApp({"stream", "--frames", "3", "--workspace", workspace("half.xml", tool)});
    EXPECT_EQ(half.exitCode, 0) << half.err;
    EXPECT_NE(half.err.find("warning: the workspace's marker gone is skipped: gone.ini does not exist"),
              std::string::npos)
        << half.err;
    EXPECT_EQ(lines(half.out).size(), 1u + 3u);

    AppRun none = runApp({"stream", "--frames", "3", "--workspace", workspace("none.xml", "missing.ini")});
    EXPECT_EQ(none.exitCode, 3);
    EXPECT_NE(none.err.find("marker tool is skipped: missing.ini does not exist"), std::string::npos)
        << none.err;
    EXPECT_NE(none.err.find("none of the 2 markers that the workspace names could be loaded"),
              std::string::npos)
        << none.err;
    EXPECT_TRUE(none.out.empty()) << none.out;
}

TEST(StreamCommand, PosesThatCannotBeWrittenFailWithTheirExitCodeAndAFifoNeverHoldsTheRunUp) {
    TestSupport::TempFiles files;
    // A copy of the full device in a scratch folder: every write fails as on a full disk.
    const std::string full = files.path("full");
    ASSERT_EQ(::mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0) << std::strerror(errno);
    AppRun run = runApp({"stream", "--frames", "20", "--output", QString::fromStdString(full)});
    EXPECT_EQ(run.exitCode, 6);
    EXPECT_NE(run.err.find("cannot write the poses to " + full), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;

    // A FIFO that no program reads is refused at once, not waited for.
    const std::string fifo = files.path("poses.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    run = runApp({"stream", "--frames", "20", "--output", QString::fromStdString(fifo)});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("cannot write " + fifo + ": no program reads it"), std::string::npos) << run.err;

    // One that is open but never read loses the poses that do not fit, counted; the run still ends.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ::fcntl(reader, F_SETPIPE_SZ, 4096);
    run = runApp({"stream", "--frames", "300", "--output", QString::fromStdString(fifo)});
    ::close(reader);
    EXPECT_EQ(run.exitCode, 9) << run.err;  // poses were lost
    EXPECT_NE(run.err.find("frames 300"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("lines not written to " + fifo + ": "), std::string::npos) << run.err;
}

TEST(StreamCommand, InjectedFaultsAreReportedWithTheirCauseAndCountedInTheSummary) {
    TestSupport::TempFiles files;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(
        "FTK_SIMULATOR_SETTINGS",
        QString::fromStdString(files.write("camera.txt", "error_rate = 0.05\nerror_status = 4\nseed = 2\n")));
    AppRun run = runApp({"stream", "--frames", "100", "--quiet"}, env);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    int errors = 0;
    for (const std::string& line : lines(run.err)) {
        if (line.rfind("[error]", 0) == 0) {
            ++errors;
            EXPECT_NE(line, "[error] AtracsysTracking: ");
        }
    }
    EXPECT_GT(errors, 0);
    EXPECT_NE(run.err.find("[error] AtracsysTracking: Simulated camera fault: internal error in the camera"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("warnings 0, errors " + std::to_string(errors) + "\n"), std::string::npos)
        << run.err;

    // A marker overflow ends the stream; its report says what the camera did.
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write("overflow.txt", "overflow_rate = 1\n")));
    AppRun overflow = runApp({"stream", "--frames", "100", "--quiet"}, env);
    EXPECT_EQ(overflow.exitCode, 1);
    EXPECT_NE(
        overflow.err.find("Marker overflow. Please increase cstMarkersCount.\n[error] AtracsysTracking: "
                          "Simulated camera fault: more markers"),
        std::string::npos)
        << overflow.err;
}

TEST(StreamCommand, MissingCameraFailsWithItsExitCode) {
    TestSupport::TempFiles files;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS", QString::fromStdString(files.write("camera.txt", "model = none\n")));
    AppRun run = runApp({"stream", "--frames", "5"}, env);
    EXPECT_EQ(run.exitCode, 4);
    EXPECT_NE(run.err.find("cannot open the tracking camera"), std::string::npos) << run.err;
}

TEST(StreamCommand, StreamsEveryExampleMarkerAsJsonLinesAndCsv) {
    TestSupport::TempFiles files;
    const std::string poses = files.path("poses.jsonl");
    const std::string saved = files.path("saved.xml");
    // Lines counted exactly: a slow test machine's pause must not add the stale lines of a pause.
    AppRun run =
        runApp({"stream", "--frames", "40", "--format", "jsonl", "--stale-after", "60000", "--output",
                QString::fromStdString(poses), "--save-workspace", QString::fromStdString(saved)});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("frames 40"), std::string::npos) << run.err;

    std::ifstream in(poses);
    std::stringstream text;
    text << in.rdbuf();
    const auto all = lines(text.str());
    ASSERT_EQ(all.size(), 40u * 3u);
    std::map<std::string, std::pair<int, double>> seen;  // id -> frames seen, quality sum
    for (const std::string& line : all) {
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(line));
        ASSERT_TRUE(doc.isObject()) << line;
        const QJsonObject o = doc.object();
        ASSERT_EQ(o.value("position").toArray().size(), 3) << line;
        ASSERT_EQ(o.value("rotation").toArray().size(), 4) << line;
        EXPECT_FALSE(o.value("stale").toBool()) << line;
        EXPECT_GT(o.value("frame").toInt(), 0) << line;
        EXPECT_EQ(o.value("status").toString(), o.value("quality").toDouble() > 0 ? "OK" : "INVALID") << line;
        const double quality = o.value("quality").toDouble();
        auto& s = seen[o.value("id").toString().toStdString()];
        if (quality > 0) {
            ++s.first;
            s.second += quality;
        }
    }
    ASSERT_EQ(seen.size(), 3u);
    for (const auto& [id, s] : seen) {
        ASSERT_GT(s.first, 20) << id;
        EXPECT_GT(s.second / s.first, 0.9) << id;
    }

    // The saved workspace configures the next run; CSV has a header and one line per instrument per frame.
    AppRun again = runApp(
        {"stream", "--workspace", QString::fromStdString(saved), "--frames", "10", "--stale-after", "60000"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    const auto csv = lines(again.out);
    ASSERT_EQ(csv.size(), 1u + 10u * 3u);
    EXPECT_EQ(csv[0],
              "timestamp,id,name,quality,x,y,z,qw,qx,qy,qz,status,stale,frame,tip_x,tip_y,tip_z,reason");
    EXPECT_NE(csv[1].find("atracsys-1200,pointer,"), std::string::npos) << csv[1];
}

TEST(StreamCommand, InterruptStopsClosesAndExitsCleanly) {
    QProcess process;
    process.start(QStringLiteral(HALVOREN_APP_PATH), {"stream", "--frames", "0", "--format", "jsonl"});
    ASSERT_TRUE(process.waitForStarted(30000));
    // Wait until poses flow, then interrupt as Ctrl-C does.
    QByteArray out;
    while (out.count('\n') < 6 && process.state() == QProcess::Running) {
        process.waitForReadyRead(1000);
        out += process.readAllStandardOutput();
    }
    ASSERT_GE(out.count('\n'), 6);
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    const std::string err = process.readAllStandardError().toStdString();
    EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
    EXPECT_NE(err.find("atracsys-1200 (pointer): seen"), std::string::npos) << err;
}

TEST(StreamCommand, OptionsWithoutEffectOrWithAnEmptyPathAreRefused) {
    const std::map<std::string, QStringList> refused = {
        {"stream: --igtl-host requires --igtl-port", {"stream", "--igtl-host", "127.0.0.1"}},
        {"stream: --igtl-image-rate requires --igtl-port", {"stream", "--images", "--igtl-image-rate", "2"}},
        {"stream: --igtl-image-rate requires --images",
         {"stream", "--igtl-port", "0", "--igtl-image-rate", "2"}},
        {"stream: --output: takes a file path, not an empty text", {"stream", "--output", ""}},
        {"stream: --save-workspace: takes a file path, not an empty text",
         {"stream", "--save-workspace", ""}},
        {"stream: --marker: takes a file path, not an empty text", {"stream", "--marker", ""}},
        {"stream: --workspace: takes a file path, not an empty text", {"stream", "--workspace", ""}},
        // The set-up options are checked alike for every command that takes them.
        {"pivot: --igtl-host requires --igtl-port",
         {"pivot", "--marker", "m.ini", "--igtl-host", "127.0.0.1"}},
    };
    for (const auto& [message, args] : refused) {
        AppRun run = runApp(args);
        EXPECT_EQ(run.exitCode, 2) << message;
        EXPECT_NE(run.err.find("halvoren " + message + "\n"), std::string::npos) << run.err;
    }
    // An empty value after '=' is that empty value, not the next argument; the usage names the program.
    const AppRun equals = runApp({"stream", "--marker=", "--frames", "5"});
    EXPECT_EQ(equals.exitCode, 2);
    EXPECT_NE(equals.err.find("halvoren stream: --marker: takes a file path, not an empty text\n"),
              std::string::npos)
        << equals.err;
    EXPECT_NE(equals.err.find("\nUsage: halvoren stream [OPTIONS]\n"), std::string::npos) << equals.err;
    EXPECT_EQ(runApp({"stream", "--frames=3", "--output=", "--quiet"}).exitCode, 2);
}

TEST(StreamCommand, MarkersWithCoincidentOrTooFewFiducialsAreNamedBeforeTheCameraOpens) {
    TestSupport::TempFiles files;
    const std::string same =
        files.writeGeometry("same.ini", 1500, {{10, 20, 30}, {10, 20, 30}, {10, 20, 30}});
    const std::string near =
        files.writeGeometry("close.ini", 1501, {{0, 0, 0}, {50, 0, 0}, {50, 0.5, 0}, {0, 50, 0}});
    const std::string refusedSame = "cannot use the marker file " + same +
                                    ": its fiducial0 and fiducial1 are 0.000 mm apart (less than 1 mm)";
    const std::map<std::string, QStringList> refused = {
        {refusedSame, {"stream", "--frames", "2", "--marker", QString::fromStdString(same)}},
        {"cannot use the marker file " + near + ": its fiducial1 and fiducial2 are 0.500 mm apart",
         {"stream", "--frames", "2", "--marker", QString::fromStdString(near)}},
        {refusedSame, {"pivot", "--marker", QString::fromStdString(same)}},
        {refusedSame,
         {"define-marker", "--output", QString::fromStdString(files.path("new.ini")), "--marker",
          QString::fromStdString(same)}},
        {"cannot use the workspace's marker same (" + same + "): its fiducial0 and fiducial1",
         {"stream", "--workspace",
          QString::fromStdString(files.write(
              "w.xml",
              "<workspace version=\"1\">\n<properties name=\"\">\n<properties name=\"TrackingTargets\">\n"
              "<properties name=\"same\"><param name=\"Path\" value=\"same.ini\"/></properties>\n"
              "</properties>\n</properties>\n</workspace>\n"))}},
    };
    for (const auto& [message, args] : refused) {
        AppRun run = runApp(args);
        EXPECT_EQ(run.exitCode, 3) << message;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("Detected"), std::string::npos) << "the camera was opened: " << run.err;
    }

    // Too few fiducials: accepted, but the user hears that these markers will never be seen.
    const std::string none = files.writeGeometry("none.ini", 1600, {});
    const std::string two = files.writeGeometry("two.ini", 1601, {{0, 0, 0}, {50, 0, 0}});
    const std::string square = files.writeGeometry("square.ini", 1602, TestSupport::squareMarker());
    // A tip the tools cannot use is named too; the marker is tracked.
    std::ifstream squareText(square);
    const std::string faraway =
        files.write("faraway.ini",
                    std::string(std::istreambuf_iterator<char>(squareText), {}) + "[tip]\nx=1\ny=2e4\nz=3\n");
    AppRun few = runApp({"stream", "--frames", "2", "--marker", QString::fromStdString(none), "--marker",
                         QString::fromStdString(two), "--marker", QString::fromStdString(faraway)});
    EXPECT_EQ(few.exitCode, 0) << few.err;
    EXPECT_NE(few.err.find("warning: the marker file " + none +
                           " declares no fiducials: a marker needs at least 3 to be tracked\n"),
              std::string::npos)
        << few.err;
    EXPECT_NE(few.err.find("warning: the marker file " + two + " has only 2 fiducials"), std::string::npos)
        << few.err;
    EXPECT_NE(
        few.err.find("warning: the marker file " + faraway +
                     " has a [tip] that is not used: the tip in section \"tip\" lies more than 10000 mm "
                     "from the marker; the tip is ignored\n"),
        std::string::npos)
        << few.err;
    EXPECT_EQ(few.err.find("tips of:"), std::string::npos) << few.err;
    EXPECT_EQ(lines(few.out).size(), 1u + 2u * 3u);
}

TEST(StreamCommand, ACameraThatDeliversNoFramesIsNamedAndTheRunStillEndsWhenTold) {
    TestSupport::TempFiles files;
    for (const auto& [settings, signal] :
         {std::pair{"drop_rate = 1\n", SIGTERM}, {"error_rate = 1\n", SIGINT}}) {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("FTK_SIMULATOR_SETTINGS", QString::fromStdString(files.write("camera.txt", settings)));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(HALVOREN_APP_PATH), {"stream", "--frames", "5", "--quiet"});
        std::string err;
        ASSERT_TRUE(
            TestSupport::waitForErrorText(process, "[warning] halvoren: no frame from the camera for ", err))
            << settings << err;
        ::kill(static_cast<pid_t>(process.processId()), signal);
        ASSERT_TRUE(process.waitForFinished(60000)) << settings;
        err += process.readAllStandardError().toStdString();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << err;
        EXPECT_EQ(process.exitCode(), 0) << err;
        EXPECT_NE(err.find("interrupted\nframes 0\n"), std::string::npos) << err;
        EXPECT_NE(err.find("\nno frame from the camera for the last "), std::string::npos) << err;
        // Each reminder is a warning of the run.
        int reminders = 0;
        for (const std::string& line : lines(err)) {
            reminders += line.rfind("[warning] halvoren: no frame from the camera for ", 0) == 0 ? 1 : 0;
        }
        EXPECT_NE(err.find("warnings " + std::to_string(reminders) + ", errors "), std::string::npos) << err;
    }
}

TEST(StreamCommand, FrameWatchWarnsAtABoundedRateWhileNoFrameArrives) {
    using Halvoren::App::FrameWatch;
    using std::chrono::milliseconds;
    TestSupport::LogCapture log;
    const FrameWatch::Clock::time_point start{std::chrono::hours(1)};
    FrameWatch watch(start);
    const auto warnings = [&](const std::string& text) { return log.count(Halvoren::Log::Warning, text); };
    for (int ms = 0; ms < 2000; ms += 50) {
        watch.check(start + milliseconds(ms));
    }
    EXPECT_EQ(log.countContaining("no frame"), 0);
    for (int ms = 2000; ms <= 30000; ms += 50) {
        watch.check(start + milliseconds(ms));
    }
    EXPECT_EQ(warnings("no frame from the camera for 2 s"), 1);
    EXPECT_EQ(warnings("no frame from the camera for 12 s"), 1);
    EXPECT_EQ(warnings("no frame from the camera for 22 s"), 1);
    EXPECT_EQ(log.countContaining("no frame"), 3);
    std::ostringstream summary;
    watch.writeSummary(summary, start + milliseconds(30000));
    EXPECT_EQ(summary.str(), "no frame from the camera for the last 30.0 s\n");

    // Frames again: said once, and a new wait starts from the last frame.
    watch.frameArrived(start + milliseconds(30100));
    watch.check(start + milliseconds(30150));
    EXPECT_EQ(log.count(Halvoren::Log::Info, "frames from the camera again"), 1);
    watch.check(start + milliseconds(32000));
    std::ostringstream none;
    watch.writeSummary(none, start + milliseconds(32000));
    EXPECT_TRUE(none.str().empty()) << none.str();
    watch.check(start + milliseconds(32100));
    EXPECT_EQ(warnings("no frame from the camera for 2 s"), 2);
}

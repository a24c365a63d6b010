// halvoren stream serving OpenIGTLink, received by the example client while the poses go to CSV.
#include "AppProcess.h"
#include "IgtlTestClient.h"
#include "support/CsvFields.h"
#include "support/TempFiles.h"

#include "sequence/SequenceFile.h"
#include "support/Readers.h"

#include <igtlStatusMessage.h>

#include <gtest/gtest.h>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using TestSupport::lines;

namespace {

/// Name and time stamp -> for each line of them, x, y, z (then the tip's x, y, z for a tool with a tip) of
/// every marker whose pose is known, as written to CSV.
std::map<std::pair<std::string, std::string>, std::vector<std::vector<double>>> positionsWritten(
    const std::string& csv) {
    std::map<std::pair<std::string, std::string>, std::vector<std::vector<double>>> written;
    std::ifstream in(csv);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> f = TestSupport::csvFields(line);
        if (f.size() != 18 || f[0] == "timestamp" || f[4].empty()) {
            continue;
        }
        // Two frames may share a millisecond when a busy machine hands them over late.
        auto& position = written[{f[2], f[0]}].emplace_back();
        for (const std::size_t column : {4, 5, 6, 14, 15, 16}) {
            if (!f[column].empty()) {
                position.push_back(std::stod(f[column]));
            }
        }
    }
    return written;
}

/// Whether a TRANSFORM's translation is the one written to CSV for that marker and time stamp (`offset` 3:
/// its tip's).
::testing::AssertionResult writtenAlike(
    const std::map<std::pair<std::string, std::string>, std::vector<std::vector<double>>>& written,
    const std::string& name, const std::string& stamp, const std::array<double, 3>& translation,
    std::size_t offset = 0) {
    const auto rows = written.find({name, stamp});
    if (rows == written.end()) {
        return ::testing::AssertionFailure() << name << " at " << stamp << " is not written to CSV";
    }
    for (const std::vector<double>& row : rows->second) {
        bool alike = row.size() >= offset + 3;
        for (std::size_t axis = 0; alike && axis < 3; ++axis) {
            alike = std::abs(translation[axis] - row[offset + axis]) <= 1e-3;
        }
        if (alike) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << name << " at " << stamp << " is written otherwise to CSV";
}

/// Small camera images: copying, recording and sending full-size ones takes much of a slow, sanitized test
/// build's time, and its frames would come late.
QProcessEnvironment smallImages(const TestSupport::TempFiles& files) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write("camera.txt", "width = 160\nheight = 128\n")));
    return env;
}

/// The recording's frames, each split into its left and right camera image.
std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> recordedImages(
    const std::string& path) {
    std::string error;
    auto reader = TestSupport::openReader(path, error);
    EXPECT_TRUE(reader) << error;
    std::vector<std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>>> frames;
    std::vector<std::uint8_t> pixels;
    for (std::size_t i = 0; reader && i < reader->frameCount() && reader->readNextPixels(pixels, error);
         ++i) {
        const auto half = static_cast<std::size_t>(reader->width() / 2);
        auto& [left, right] = frames.emplace_back();
        for (std::size_t row = 0; row < static_cast<std::size_t>(reader->height()); ++row) {
            const auto start = pixels.begin() + static_cast<std::ptrdiff_t>(row * 2 * half);
            left.insert(left.end(), start, start + static_cast<std::ptrdiff_t>(half));
            right.insert(right.end(), start + static_cast<std::ptrdiff_t>(half),
                         start + static_cast<std::ptrdiff_t>(2 * half));
        }
    }
    return frames;
}

/// What a client learned of the poses relative to a reference that hides now and then.
struct HiddenReference {
    bool allInvalid = false;         // every pose was invalid at once, for the reference was hidden
    bool validAgain = false;         // and valid again after that, and a pose came
    int sentWhileInvalid = 0;        // poses, or TDATA while every pose was invalid
    std::set<std::string> elements;  // of the TDATA messages
    std::vector<TestSupport::IgtlMessage> pointerPoses;  // the pointer's and its tip's
};

/// Reads until the client saw every pose of `devices` go invalid for the hidden reference and come back.
HiddenReference watchTheReferenceHidden(TestSupport::IgtlTestClient& client,
                                        const std::set<std::string>& devices) {
    HiddenReference seen;
    std::map<std::string, std::string> invalid;  // what the client was told of each pose that is not valid
    const auto forTheReference = [](const auto& told) {
        // Under the name its TRANSFORM goes out under, shortened or not.
        return told.second == told.first + " is invalid: reference not seen";
    };
    while (!seen.validAgain) {
        auto message = client.receive(30000);
        if (!message) {
            ADD_FAILURE() << "no message; all invalid once: " << seen.allInvalid;
            break;
        }
        if (message->type == "TRANSFORM") {
            EXPECT_EQ(devices.count(message->device), 1u) << message->device;
            seen.sentWhileInvalid += static_cast<int>(invalid.count(message->device));
            seen.validAgain = seen.allInvalid && invalid.empty() && message->device == "PointerToReference";
            if (message->device.rfind("Pointer", 0) == 0) {
                seen.pointerPoses.push_back(*message);
            }
        } else if (message->type == "TDATA") {
            seen.sentWhileInvalid += invalid.size() == devices.size();
            for (const auto& element : message->tools) {
                seen.elements.insert(element.first);
            }
        } else if (message->type == "STATUS" && devices.count(message->device) == 1) {
            if (message->code == igtl::StatusMessage::STATUS_NOT_PRESENT) {
                invalid[message->device] = message->text;
            } else {
                EXPECT_EQ(message->code, igtl::StatusMessage::STATUS_OK) << message->text;
                invalid.erase(message->device);
            }
            seen.allInvalid =
                seen.allInvalid || (invalid.size() == devices.size() &&
                                    std::all_of(invalid.begin(), invalid.end(), forTheReference));
        }
    }
    return seen;
}

}  // namespace

TEST(IgtlStream, TheExampleClientReceivesEveryMarkerAsWrittenToCsv) {
    TestSupport::TempFiles files;
    const std::string csv = files.path("poses.csv");
    QProcess app;
    app.setProcessEnvironment(smallImages(files));
    const int port = TestSupport::startServing(
        app, {"stream", "--igtl-port", "0", "--igtl-host", "127.0.0.1", "--igtl-max-clients", "1", "--frames",
              "0", "--duration", "4", "--images", "--output", QString::fromStdString(csv)});
    ASSERT_GT(port, 0);

    QProcess client;
    client.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH),
                 {"127.0.0.1", QString::number(port), "--seconds", "1.5"});
    ASSERT_TRUE(client.waitForReadyRead(30000));  // connected: it prints what it receives
    // One more than --igtl-max-clients allows is told so, and counted in the summary.
    QProcess refused;
    refused.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH),
                  {"127.0.0.1", QString::number(port), "--messages", "1"});
    ASSERT_TRUE(refused.waitForFinished(30000));
    ASSERT_TRUE(client.waitForFinished(30000));
    EXPECT_EQ(client.exitCode(), 0);
    ASSERT_TRUE(app.waitForFinished(60000));
    EXPECT_EQ(app.exitCode(), 0);
    const std::string err = app.readAllStandardError().toStdString();
    EXPECT_NE(err.find("OpenIGTLink clients 2\n"), std::string::npos) << err;
    EXPECT_NE(err.find("refused: at the limit of 1 clients\n"), std::string::npos) << err;
    EXPECT_NE(refused.readAllStandardOutput().toStdString().find("STATUS"), std::string::npos);

    const auto written = positionsWritten(csv);
    ASSERT_FALSE(written.empty());

    // Without a reference, in the camera's frame, "Tracker".
    const std::map<std::string, std::string> instrumentOf{
        {"PointerToTracker", "pointer"}, {"ReferenceToTracker", "reference"}, {"ToolToTracker", "tool"}};
    std::set<std::string> transforms;
    std::set<std::string> tracked;
    int compared = 0;
    for (const std::string& line : lines(client.readAllStandardOutput().toStdString())) {
        std::istringstream words(line);
        std::string type, device, stamp;
        words >> type >> device;
        if (type == "TRANSFORM") {
            words >> stamp;
            std::vector<double> m(12);
            for (double& v : m) {
                words >> v;
            }
            transforms.insert(device);
            const auto instrument = instrumentOf.find(device);
            ASSERT_NE(instrument, instrumentOf.end()) << line;
            ASSERT_TRUE(writtenAlike(written, instrument->second, stamp, {m[3], m[7], m[11]})) << line;
            ++compared;
        } else if (line.rfind("  ", 0) == 0) {
            tracked.insert(type);  // an element line of a TDATA message: "  <name> <pose>"
        }
    }
    EXPECT_EQ(transforms, (std::set<std::string>{"PointerToTracker", "ReferenceToTracker", "ToolToTracker"}));
    EXPECT_EQ(tracked, (std::set<std::string>{"pointer", "reference", "tool"}));
    EXPECT_GT(compared, 30);
}

TEST(IgtlStream, TheExampleClientRefusesAWrongCommandLineWithItsUsage) {
    // Its help is in the command reference as it prints it.
    QProcess help;
    help.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH), {"--help"});
    ASSERT_TRUE(help.waitForFinished(30000));
    std::ifstream file(HALVOREN_SOURCE_DIR "/docs/commands.md");
    std::stringstream reference;
    reference << file.rdbuf();
    EXPECT_NE(reference.str().find(help.readAllStandardOutput().toStdString()), std::string::npos)
        << "docs/commands.md does not show halvoren-igtl-client --help";

    const std::vector<std::pair<QStringList, std::string>> rows = {
        {{}, "halvoren-igtl-client: HOST is required"},
        {{"127.0.0.1", "0x10"},
         "halvoren-igtl-client: PORT: takes a port number from 1 to 65535, not '0x10'"},
        {{"127.0.0.1", "18944", "--seconds", "0"}, "--seconds: takes a number of seconds above 0, not '0'"},
        {{"127.0.0.1", "18944", "--messages", "1.5"},
         "--messages: takes a whole number of messages from 0 up, not '1.5'"},
        {{"127.0.0.1", "18944", "--message", "1"}, "halvoren-igtl-client: The following argument"},
    };
    for (const auto& [args, refusal] : rows) {
        QProcess client;
        client.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH), args);
        ASSERT_TRUE(client.waitForFinished(30000));
        const std::string err = client.readAllStandardError().toStdString();
        EXPECT_EQ(client.exitCode(), 2) << err;
        EXPECT_NE(err.find(refusal), std::string::npos) << err;
        EXPECT_NE(err.find("Usage: halvoren-igtl-client [OPTIONS] HOST PORT"), std::string::npos) << err;
        EXPECT_EQ(client.readAllStandardOutput().toStdString(), "") << refusal;
    }
}

namespace {

/// A loopback port that nothing listens on now: bound to port 0, read, and closed again.
int freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : 0;
}

}  // namespace

TEST(IgtlStream, TheExampleClientWaitsForAServerThatStartsAfterIt) {
    const int port = freeLoopbackPort();
    ASSERT_GT(port, 0);
    // Told not to wait, it gives up at once and says so.
    QProcess once;
    once.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH),
               {"127.0.0.1", QString::number(port), "--connect-seconds", "0"});
    ASSERT_TRUE(once.waitForFinished(30000));
    EXPECT_EQ(once.exitCode(), 1);
    EXPECT_EQ(once.readAllStandardError().toStdString(),
              "halvoren-igtl-client: cannot connect to 127.0.0.1:" + std::to_string(port) + "\n");

    // Started first, as in the documented example, it keeps trying until the server listens.
    QProcess client;
    client.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH),
                 {"127.0.0.1", QString::number(port), "--connect-seconds", "60", "--messages", "1"});
    ASSERT_TRUE(client.waitForStarted(30000));
    QThread::msleep(500);
    TestSupport::TempFiles files;
    QProcess app;
    app.start(QStringLiteral(HALVOREN_APP_PATH),
              {"stream", "--frames", "0", "--duration", "60", "--quiet", "--igtl-port", QString::number(port),
               "--igtl-host", "127.0.0.1", "--output", QString::fromStdString(files.path("poses.csv"))});
    ASSERT_TRUE(client.waitForFinished(60000));
    app.terminate();
    ASSERT_TRUE(app.waitForFinished(60000));
    EXPECT_EQ(client.exitCode(), 0) << client.readAllStandardError().toStdString();
    EXPECT_EQ(client.readAllStandardOutput().count('\n'), 1);
}

TEST(IgtlStream, TheCameraImagesOfAFrameGoOutAsTheyAreRecorded) {
    TestSupport::TempFiles files;
    const std::string recording = files.path("run.seq.mhd");
    QProcess app;
    app.setProcessEnvironment(smallImages(files));
    const int port = TestSupport::startServing(
        app,
        {"stream", "--images", "--igtl-port", "0", "--igtl-host", "127.0.0.1", "--igtl-image-rate", "1000",
         "--frames", "0", "--duration", "3", "--stale-after", "60000", "--record",
         QString::fromStdString(recording), "--output", QString::fromStdString(files.path("poses.csv"))});
    ASSERT_GT(port, 0);

    // Left and right images by time stamp, until a few frames gave both.
    TestSupport::IgtlTestClient client(port);
    ASSERT_TRUE(client.connected());
    std::map<std::uint64_t, std::map<std::string, TestSupport::IgtlMessage>> images;
    std::vector<std::uint64_t> pairs;
    while (pairs.size() < 5) {
        auto message = client.receiveType("IMAGE", 30000);
        if (!message) {
            break;
        }
        EXPECT_TRUE(message->device == "Camera (left)" || message->device == "Camera (right)")
            << message->device;
        EXPECT_EQ(message->width, 160);
        EXPECT_EQ(message->height, 128);
        auto& frame = images[message->timestampMs];
        frame[message->device] = std::move(*message);
        if (frame.size() == 2) {
            pairs.push_back(message->timestampMs);
        }
    }
    ASSERT_TRUE(app.waitForFinished(60000));
    EXPECT_EQ(app.exitCode(), 0) << app.readAllStandardError().toStdString();
    ASSERT_FALSE(pairs.empty());

    const auto recorded = recordedImages(recording);
    int matched = 0;
    for (const std::uint64_t stamp : pairs) {
        const auto& frame = images[stamp];
        const auto& left = frame.at("Camera (left)").pixels;
        const auto& right = frame.at("Camera (right)").pixels;
        EXPECT_EQ(left.size(), 160u * 128u);
        matched += std::any_of(recorded.begin(), recorded.end(),
                               [&](const auto& r) { return r.first == left && r.second == right; });
    }
    // Every frame is recorded; a pair's two images are one frame's.
    EXPECT_EQ(matched, static_cast<int>(pairs.size()));
}

namespace {

/// The camera settings of a scene whose reference hides for half a second in every second, so that a client
/// sees it go and come back whenever it comes; the options that navigate relative to it, with the
/// pointer's tip.
QStringList hidingReference(const TestSupport::TempFiles& files, QProcessEnvironment& env) {
    std::ifstream example(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini");
    std::ostringstream pointer;
    pointer << example.rdbuf() << "[tip]\nx=0\ny=-20\nz=5\n";
    std::string camera = "width = 160\nheight = 128\n";
    for (int second = 2; second < 62; ++second) {
        camera += "hide = 1300 " + std::to_string(second) + " 0.5\n";
    }
    env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS", QString::fromStdString(files.write("camera.txt", camera)));
    return {"--reference", "reference",
            "--marker",    QString::fromStdString(files.write("pointer.ini", pointer.str())),
            "--marker",    HALVOREN_SOURCE_DIR "/data/markers/reference.ini",
            "--marker",    HALVOREN_SOURCE_DIR "/data/markers/tool.ini"};
}

}  // namespace

TEST(IgtlStream, PosesGoOutRelativeToTheReferenceAndAreToldInvalidWhileItIsHidden) {
    TestSupport::TempFiles files;
    QProcessEnvironment env;
    const QStringList navigation = hidingReference(files, env);
    // "PointerTipToReference" is 21 characters: shortened to fit the wire, and said so once at start.
    const TestSupport::AppRun named =
        TestSupport::runApp(QStringList{"stream", "--igtl-port", "0", "--frames", "1"} + navigation, env);
    EXPECT_EQ(named.exitCode, 0) << named.err;
    const std::string warning =
        "halvoren: warning: OpenIGTLink device name \"PointerTipToReference\" is sent as "
        "\"PointerTipT~eference\" (at most 20 characters); --frame-name Ref makes it fit\n";
    EXPECT_NE(named.err.find(warning), std::string::npos) << named.err;
    EXPECT_EQ(named.err.find(warning), named.err.rfind(warning));
    EXPECT_NE(named.err.find("\nwarnings 1, errors 0\n"), std::string::npos) << named.err;

    const std::string csv = files.path("poses.csv");
    QProcess app;
    app.setProcessEnvironment(env);
    const int port =
        TestSupport::startServing(app, QStringList{"stream", "--igtl-port", "0", "--igtl-host", "127.0.0.1",
                                                   "--frames", "0", "--duration", "60", "--stale-after",
                                                   "60000", "--output", QString::fromStdString(csv)} +
                                           navigation);
    ASSERT_GT(port, 0);
    TestSupport::IgtlTestClient client(port);
    ASSERT_TRUE(client.connected());

    const std::set<std::string> devices{"PointerToReference", "PointerTipT~eference", "ReferenceToReference",
                                        "ToolToReference"};
    const HiddenReference watched = watchTheReferenceHidden(client, devices);
    EXPECT_TRUE(watched.allInvalid && watched.validAgain);
    app.terminate();
    ASSERT_TRUE(app.waitForFinished(60000));
    const std::string err = app.readAllStandardError().toStdString();
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << err;

    // No pose was sent while the client knew it invalid.
    EXPECT_EQ(watched.sentWhileInvalid, 0);
    EXPECT_EQ(watched.elements,
              (std::set<std::string>{"pointer", "reference", "tool"}));  // the tip is no element
    // The poses relative to the reference, and the tip's, as written to CSV.
    const auto written = positionsWritten(csv);
    for (const TestSupport::IgtlMessage& pose : watched.pointerPoses) {
        const std::array<double, 3> translation{pose.matrix[3], pose.matrix[7], pose.matrix[11]};
        EXPECT_TRUE(writtenAlike(written, "pointer", std::to_string(pose.timestampMs), translation,
                                 pose.device == "PointerToReference" ? 0 : 3));
    }
    EXPECT_GT(watched.pointerPoses.size(), 2u);
}

TEST(IgtlStream, ImagesOnTheirOwnPortAndAPoseInvalidFromTheStartIsTold) {
    TestSupport::TempFiles files;
    auto env = QProcessEnvironment::systemEnvironment();
    // The pointer is hidden from the first frame to the end of the run.
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(
                   files.write("camera.txt", "width = 160\nheight = 128\nhide = 1200 0 86400\n")));
    QProcess app;
    app.setProcessEnvironment(env);
    app.setReadChannel(QProcess::StandardError);
    app.start(QStringLiteral(HALVOREN_APP_PATH),
              {"stream", "--images", "--igtl-port", "0", "--igtl-image-port", "0", "--igtl-host", "127.0.0.1",
               "--frames", "0", "--duration", "3", "--stale-after", "60000", "--output",
               QString::fromStdString(files.path("poses.csv"))});
    const QRegularExpression served(
        "serving OpenIGTLink on .*, port (\\d+)\n.*serving the OpenIGTLink "
        "images on .*, port (\\d+)\n");
    QString err;
    QRegularExpressionMatch ports;
    while (!(ports = served.match(err)).hasMatch() && app.waitForReadyRead(30000)) {
        err += QString::fromUtf8(app.readAllStandardError());
    }
    ASSERT_TRUE(ports.hasMatch()) << err.toStdString();
    TestSupport::IgtlTestClient poses(ports.captured(1).toInt());
    TestSupport::IgtlTestClient images(ports.captured(2).toInt());

    // Connected after the first frames: the hidden pointer is told at once, before any pose.
    std::vector<std::string> first;
    while (first.size() < 3) {
        const auto message = poses.receive(30000);
        ASSERT_TRUE(message);
        first.push_back(message->type + " " + message->device + " " + std::to_string(message->code));
    }
    EXPECT_EQ(first[0], "STATUS PointerToTracker 16");
    EXPECT_EQ(first[1], "TRANSFORM ReferenceToTracker 0");
    const auto image = images.receiveType("IMAGE", 30000);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 160);
    int onPoses = 0;
    while (const auto message = poses.receive(30000)) {
        onPoses += message->type == "IMAGE" ? 1 : 0;
    }
    ASSERT_TRUE(app.waitForFinished(60000));
    err += QString::fromUtf8(app.readAllStandardError());
    const std::string summary = app.readAllStandardOutput().toStdString() + err.toStdString();
    EXPECT_EQ(app.exitCode(), 0) << summary;
    EXPECT_EQ(onPoses, 0);
    EXPECT_NE(summary.find("OpenIGTLink image clients 1"), std::string::npos) << summary;
}

// halvoren pivot and halvoren define-marker against the simulated camera, whose scene is the truth.
#include "AppProcess.h"
#include "HalvorenVersion.h"
#include "geometry/MarkerFile.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <Eigen/Core>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using TestSupport::AppRun;
using TestSupport::runApp;

namespace {

QProcessEnvironment scene(const TestSupport::TempFiles& files, const std::string& name,
                          const std::string& settings) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write(name, "rate = 100\n" + settings)));
    return env;
}

/// A workspace whose stream registers the given markers: target name and geometry file each.
std::string workspace(const TestSupport::TempFiles& files, const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& targets) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<workspace version=\"1\">\n"
        "<properties name=\"Workspace\"><properties name=\"Algorithms\">"
        "<properties name=\"Atracsys.SpryTrackStream\"><properties name=\"TrackingTargets\">\n";
    for (const auto& [target, file] : targets) {
        text += "<properties name=\"" + target +
                "\"><param name=\"Path\" value=\"" HALVOREN_SOURCE_DIR "/data/markers/" + file +
                "\"/></properties>\n";
    }
    return files.write(name, text + "</properties></properties></properties></properties>\n</workspace>\n");
}

std::vector<double> sortedDistances(const std::vector<Eigen::Vector3d>& points) {
    std::vector<double> distances;
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = i + 1; j < points.size(); ++j) {
            distances.push_back((points[i] - points[j]).norm());
        }
    }
    std::sort(distances.begin(), distances.end());
    return distances;
}

}  // namespace

TEST(CalibrationCommands, PivotFindsTheSimulatedTipAndPivotAndRefusesTooLittleRotation) {
    TestSupport::TempFiles files;
    const std::string json = files.path("pivot.json");
    const QString pointer = QStringLiteral(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini");
    const auto env =
        scene(files, "pivot.txt", "pivot_marker = 1200\npivot_point = 100 20 1000\npivot_tip = 3 -120 -5\n");
    AppRun run = runApp(
        {"pivot", "--marker", pointer, "--frames", "400", "--output", QString::fromStdString(json)}, env);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("tip offset (marker frame, mm)"), std::string::npos) << run.out;
    // Standard error is a pipe here: progress is for a terminal only.
    EXPECT_EQ(run.err.find("collecting poses: frame"), std::string::npos) << run.err;
    // The collector may hand over a frame more than asked for: the count of frames without the marker
    // must not wrap around.
    const std::size_t without = run.out.find(" frames without the marker)");
    ASSERT_NE(without, std::string::npos) << run.out;
    const std::size_t number = run.out.rfind(", ", without);
    EXPECT_EQ(run.out.substr(number + 2, without - number - 2), "0") << run.out;

    std::ifstream in(json);
    std::stringstream text;
    text << in.rdbuf();
    const QJsonObject result = QJsonDocument::fromJson(QByteArray::fromStdString(text.str())).object();
    const auto vector = [&](const char* key) {
        const QJsonArray a = result.value(key).toArray();
        return Eigen::Vector3d(a.at(0).toDouble(), a.at(1).toDouble(), a.at(2).toDouble());
    };
    EXPECT_LT((vector("tipOffset") - Eigen::Vector3d(3, -120, -5)).norm(), 0.3) << text.str();
    EXPECT_LT((vector("pivotPoint") - Eigen::Vector3d(100, 20, 1000)).norm(), 0.5) << text.str();
    EXPECT_GT(result.value("angularSpreadDegrees").toDouble(), 20.0);
    EXPECT_EQ(result.value("version").toString().toStdString(), HALVOREN_VERSION);

    const auto stiff = scene(files, "stiff.txt", "pivot_marker = 1200\npivot_angle = 2\n");
    AppRun refused = runApp({"pivot", "--marker", pointer, "--frames", "100"}, stiff);
    EXPECT_EQ(refused.exitCode, 7);
    EXPECT_NE(refused.err.find("too little rotation: the poses span"), std::string::npos) << refused.err;
}

TEST(CalibrationCommands, PivotSaveWritesTheTipIntoTheMarkerFileUnlessRefused) {
    TestSupport::TempFiles files;
    const auto readAll = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const std::string original = readAll(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini");
    const std::string pointer = files.write("pointer.ini", original);
    const auto env =
        scene(files, "pivot.txt", "pivot_marker = 1200\npivot_point = 100 20 1000\npivot_tip = 3 -120 -5\n");
    const AppRun run =
        runApp({"pivot", "--marker", QString::fromStdString(pointer), "--frames", "400", "--save"}, env);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("tip saved to " + pointer + "\n"), std::string::npos) << run.out;
    const std::string saved = readAll(pointer);
    ASSERT_EQ(saved.substr(0, original.size()), original) << saved;
    EXPECT_EQ(saved.compare(original.size(), 6, "[tip]\n"), 0) << saved;
    const auto tip = Halvoren::MarkerFile::parse(saved).tip;
    ASSERT_TRUE(tip) << saved;
    EXPECT_LT((Eigen::Vector3d(tip->x, tip->y, tip->z) - Eigen::Vector3d(3, -120, -5)).norm(), 0.3) << saved;
    EXPECT_TRUE(tip->rms && *tip->rms > 0.0 && *tip->rms < 2.0) << saved;
    EXPECT_TRUE(std::regex_match(tip->date, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)"))) << saved;

    // A refused calibration leaves the file as it was.
    const auto stiff = scene(files, "stiff.txt", "pivot_marker = 1200\npivot_angle = 2\n");
    const AppRun refused =
        runApp({"pivot", "--marker", QString::fromStdString(pointer), "--frames", "100", "--save"}, stiff);
    EXPECT_EQ(refused.exitCode, 7);
    EXPECT_EQ(refused.out.find("tip saved"), std::string::npos) << refused.out;
    EXPECT_EQ(readAll(pointer), saved);
}

TEST(CalibrationCommands, DefineMarkerLearnsTheUnregisteredBodyTracksItAndRefusesAnAmbiguousOne) {
    TestSupport::TempFiles files;
    const std::string defined = files.path("new.ini");
    const std::vector<Eigen::Vector3d> truth = {{0, 0, 0}, {55, 0, 0}, {0, 80, 0}, {35, 115, 12}};
    const auto env = scene(files, "body.txt", "body = 0 0 0; 55 0 0; 0 80 0; 35 115 12\n");
    AppRun run = runApp({"define-marker", "--output", QString::fromStdString(defined), "--id", "1700"}, env);
    ASSERT_EQ(run.exitCode, 0) << run.err;

    std::ifstream in(defined);
    std::vector<Eigen::Vector3d> learnt;
    std::string line;
    std::string text;
    for (; std::getline(in, line); text += line + "\n") {
        if (line.rfind("x=", 0) == 0) {
            learnt.emplace_back(std::stod(line.substr(2)), 0, 0);
        } else if (line.rfind("y=", 0) == 0) {
            learnt.back().y() = std::stod(line.substr(2));
        } else if (line.rfind("z=", 0) == 0) {
            learnt.back().z() = std::stod(line.substr(2));
        }
    }
    EXPECT_NE(text.find("[geometry]\ncount=4\nid=1700\n"), std::string::npos) << text;
    ASSERT_EQ(learnt.size(), 4u) << text;
    const auto expected = sortedDistances(truth);
    const auto measured = sortedDistances(learnt);
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_NEAR(measured[k], expected[k], 0.1) << k;
    }
    // The check tracked it: "mean quality Q" above 0.9.
    const auto at = run.out.find("mean quality ");
    ASSERT_NE(at, std::string::npos) << run.out;
    EXPECT_GT(std::stod(run.out.substr(at + 13)), 0.9) << run.out;

    const auto square = scene(files, "square.txt", "body = 0 0 0; 50 0 0; 50 50 0; 0 50 0\n");
    AppRun refused = runApp(
        {"define-marker", "--output", QString::fromStdString(files.path("square.ini")), "--frames", "100"},
        square);
    EXPECT_EQ(refused.exitCode, 7);
    EXPECT_NE(refused.err.find("too alike to tell them apart under rotation"), std::string::npos)
        << refused.err;
}

TEST(CalibrationCommands, PivotRefusesAResidualAboveTheBoundAndWritesNoResult) {
    TestSupport::TempFiles files;
    const std::string json = files.path("pivot.json");
    const QString pointer = QStringLiteral(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini");
    // No pivot: the pointer moves on its path, turning enough to pass the rotation check.
    const auto moving = scene(files, "moving.txt", "");
    AppRun run = runApp(
        {"pivot", "--marker", pointer, "--frames", "400", "--output", QString::fromStdString(json)}, moving);
    EXPECT_EQ(run.exitCode, 7) << run.out;
    const std::string residual = "the tip did not stay in one point: RMS residual ";
    const auto at = run.err.find(residual);
    ASSERT_NE(at, std::string::npos) << run.err;
    EXPECT_GT(std::stod(run.err.substr(at + residual.size())), 10.0) << run.err;
    EXPECT_NE(run.err.find("more than the 2 mm accepted"), std::string::npos) << run.err;
    EXPECT_FALSE(std::ifstream(json).good());

    // A true pivot, held to a bound below its noise.
    const auto pivoting = scene(files, "pivot.txt", "pivot_marker = 1200\npivot_angle = 60\n");
    run = runApp({"pivot", "--marker", pointer, "--frames", "100", "--max-rms", "0.05"}, pivoting);
    EXPECT_EQ(run.exitCode, 7) << run.out;
    EXPECT_NE(run.err.find("more than the 0.05 mm accepted"), std::string::npos) << run.err;
    EXPECT_EQ(runApp({"pivot", "--marker", pointer, "--max-rms", "0"}).exitCode, 2);
}

TEST(CalibrationCommands, PivotOnAShortReplayCalibratesFromEveryFrameItHolds) {
    TestSupport::TempFiles files;
    const QString pointer = QStringLiteral(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini");
    const std::string recording = files.path("pivot.seq.mhd");
    const auto env = scene(files, "pivot.txt", "pivot_marker = 1200\npivot_angle = 60\n");
    ASSERT_EQ(runApp({"stream", "--frames", "100", "--stale-after", "60000", "--output",
                      QString::fromStdString(files.path("poses.csv")), "--record",
                      QString::fromStdString(recording)},
                     env)
                  .exitCode,
              0);
    // Its middle frame numbered as its last one, as after a counter restart: the replay goes on.
    std::ifstream in(recording);
    std::stringstream header;
    header << in.rdbuf();
    in.close();
    std::smatch last;
    std::string text = header.str();
    ASSERT_TRUE(std::regex_search(text, last, std::regex("Seq_Frame0099_FrameNumber = \\d+")));
    text = std::regex_replace(text, std::regex("Seq_Frame0049_FrameNumber = \\d+"),
                              std::regex_replace(last.str(), std::regex("0099"), "0049"));
    std::ofstream(recording) << text;

    const AppRun run = runApp({"pivot", "--replay", QString::fromStdString(recording), "--replay-speed",
                               "max", "--marker", pointer, "--frames", "400"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("the recording ended before 400 frames: calibrating from those it has"),
              std::string::npos)
        << run.err;
    // "from N poses (D outliers dropped, W frames without the marker)": every recorded frame.
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(
        run.out, counts, std::regex(R"(from (\d+) poses \((\d+) outliers dropped, (\d+) frames without)")))
        << run.out;
    EXPECT_EQ(std::stoi(counts[1]) + std::stoi(counts[2]) + std::stoi(counts[3]), 100) << run.out;
}

TEST(CalibrationCommands, PivotCalibratesTheMarkerGivenBesideAWorkspaceAndRefusesTwoOfOneName) {
    TestSupport::TempFiles files;
    const QString reference = QStringLiteral(HALVOREN_SOURCE_DIR "/data/markers/reference.ini");
    const auto env = scene(files, "pivot.txt", "pivot_marker = 1300\npivot_angle = 60\n");
    const std::string pointerFirst = workspace(files, "pointer.xml", {{"pointer", "pointer.ini"}});
    AppRun run = runApp({"pivot", "--marker", reference, "--workspace", QString::fromStdString(pointerFirst),
                         "--frames", "100"},
                        env);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("pivot calibration of reference (atracsys-1300)"), std::string::npos) << run.out;

    const std::string clash = workspace(files, "clash.xml", {{"reference", "tool.ini"}});
    run = runApp(
        {"pivot", "--marker", reference, "--workspace", QString::fromStdString(clash), "--frames", "100"},
        env);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_NE(run.err.find("are both named reference (atracsys-1300, atracsys-1400)"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("collecting poses"), std::string::npos) << run.err;
}

TEST(CalibrationCommands, DefineMarkerRefusesATakenIdBeforeTheCameraOpens) {
    TestSupport::TempFiles files;
    const std::string defined = files.path("new.ini");
    const auto env = scene(files, "body.txt", "body = 0 0 0; 55 0 0; 0 80 0; 35 115 12\n");
    const auto refused = [&](const QStringList& extra) {
        AppRun run =
            runApp(QStringList{"define-marker", "--output", QString::fromStdString(defined)} + extra, env);
        EXPECT_EQ(run.exitCode, 3) << run.out;
        EXPECT_EQ(run.err.find("collecting fiducials"), std::string::npos) << run.err;
        EXPECT_FALSE(std::ifstream(defined).good());
        return run.err;
    };
    EXPECT_NE(refused({"--id", "1200"}).find("the id 1200: it is already used by "), std::string::npos);
    // The camera raises an id below 1000 to the one the pointer holds.
    EXPECT_NE(refused({"--id", "200"}).find("the id 200 (1200 to the camera"), std::string::npos);
    const std::string tools = workspace(files, "tool.xml", {{"tool", "tool.ini"}});
    EXPECT_NE(refused({"--workspace", QString::fromStdString(tools), "--id", "1400"})
                  .find("already used by the workspace's marker tool"),
              std::string::npos);
}

TEST(CalibrationCommands, AnInterruptStopsTheCollectionSaysSoAndWritesNoResult) {
    TestSupport::TempFiles files;
    const std::string json = files.path("pivot.json");
    const std::string defined = files.path("new.ini");
    const auto env =
        scene(files, "body.txt", "pivot_marker = 1200\nbody = 0 0 0; 55 0 0; 0 80 0; 35 115 12\n");
    struct Row {
        QStringList args;
        std::string collecting;
        int signal;
        std::string result;
    };
    // Far more frames than come before the interrupt.
    const std::vector<Row> rows = {
        {{"pivot", "--marker", HALVOREN_SOURCE_DIR "/data/markers/pointer.ini", "--frames", "1000000",
          "--output", QString::fromStdString(json)},
         "collecting poses: 1000000 frames\n",
         SIGINT,
         json},
        {{"define-marker", "--output", QString::fromStdString(defined), "--frames", "1000000"},
         "collecting fiducials: 1000000 frames\n",
         SIGTERM,
         defined},
    };
    for (const Row& row : rows) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(HALVOREN_APP_PATH), row.args);
        std::string err;
        ASSERT_TRUE(TestSupport::waitForErrorText(process, row.collecting, err)) << err;
        ::kill(static_cast<pid_t>(process.processId()), row.signal);
        ASSERT_TRUE(process.waitForFinished(60000)) << row.collecting;
        err += process.readAllStandardError().toStdString();
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << err;
        EXPECT_EQ(process.exitCode(), 8) << err;
        EXPECT_NE(err.find("\ninterrupted\n"), std::string::npos) << err;
        EXPECT_EQ(err.find("stopped before"), std::string::npos) << err;
        EXPECT_EQ(process.readAllStandardOutput().toStdString(), "") << row.collecting;
        EXPECT_FALSE(std::ifstream(row.result).good()) << row.result;
    }
}

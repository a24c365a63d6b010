// halvoren assess against the simulated camera, whose scene and noise are the truth.
#include "AppProcess.h"
#include "HalvorenVersion.h"
#include "SceneTruth.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

using TestSupport::AppRun;
using TestSupport::runApp;
using TestSupport::SceneTruth;

namespace {

const std::string kMarkers = HALVOREN_SOURCE_DIR "/data/markers/";
const std::map<std::string, std::uint32_t> kIds = {{"pointer", 1200}, {"reference", 1300}, {"tool", 1400}};

QProcessEnvironment withScene(const std::string& settingsPath) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS", QString::fromStdString(settingsPath));
    return env;
}

QJsonObject readJson(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return QJsonDocument::fromJson(QByteArray::fromStdString(text.str())).object();
}

/// The assessment's points by label.
std::map<std::string, QJsonObject> pointsOf(const QJsonObject& assessment) {
    std::map<std::string, QJsonObject> points;
    for (const QJsonValue& point : assessment["points"].toArray()) {
        points[point["label"].toString().toStdString()] = point.toObject();
    }
    return points;
}

}  // namespace

// The simulator's own spread is measured from its frames: the RMS distance of its fitted marker positions
// from their true, still positions over 2000 frames. The run's precision (the RMS distance from the mean of
// 1000 readings) estimates the same spread to within about 2% (one standard error), so 10% holds.
TEST(AssessCommand, PrecisionAndDistancesOfAStillSceneMatchTheSimulatorsTruth) {
    TestSupport::TempFiles files;
    const std::string settings = files.write("still.txt", "rate = 100\nnoise = 0.1\nstill = 1\n");
    SceneTruth truth(settings, {kMarkers + "pointer.ini", kMarkers + "reference.ini", kMarkers + "tool.ini"});
    std::map<std::uint32_t, double> squares;
    std::map<std::uint32_t, int> counts;
    for (int k = 0; k < 2000; ++k) {
        ftksim::ScriptedFrame frame;
        ASSERT_TRUE(truth.camera().frameAt(k * 0.01, false, frame));
        for (const ftkMarkerPose& marker : frame.markers) {
            const Eigen::Vector3d fitted(marker.translation[0], marker.translation[1], marker.translation[2]);
            squares[marker.geometryId] +=
                (fitted - truth.pose(marker.geometryId, 1).translation()).squaredNorm();
            ++counts[marker.geometryId];
        }
    }
    const auto at = [&](std::uint32_t id) -> Eigen::Vector3d { return truth.pose(id, 1).translation(); };
    const double pointerToTool = (at(1200) - at(1400)).norm();
    const double pointerToReference = (at(1200) - at(1300)).norm();

    const std::string json = files.path("assessment.json");
    const std::string png = files.path("assessment.png");
    QProcessEnvironment env = withScene(settings);
    env.remove("XDG_RUNTIME_DIR");  // which Qt's painting complains of, to the log only
    const AppRun run = runApp(
        {"assess", "--frames", "1000", "--distance", QString("pointer:tool=%1").arg(pointerToTool, 0, 'f', 6),
         "--distance", QString("pointer:atracsys-1300=%1").arg(pointerToReference + 1.0, 0, 'f', 6),
         "--output", QString::fromStdString(json), "--plot", QString::fromStdString(png)},
        env);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // Standard error is a pipe: no progress, and nothing of the libraries underneath.
    EXPECT_EQ(run.err.find("assessing: frame"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("QStandardPaths"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("pointer (atracsys-1200): seen 100.0% of 1000 frames\n  mean position (mm)"),
              std::string::npos)
        << run.out;
    const QJsonObject assessment = readJson(json);
    EXPECT_EQ(assessment["version"].toString().toStdString(), HALVOREN_VERSION);
    const auto points = pointsOf(assessment);
    ASSERT_EQ(points.size(), 3u);
    for (const auto& [label, id] : kIds) {
        SCOPED_TRACE(label);
        const double spread = std::sqrt(squares[id] / counts[id]);
        EXPECT_NEAR(points.at(label)["rmsFromMean"].toDouble(), spread, 0.1 * spread);
        EXPECT_EQ(points.at(label)["seen"].toDouble(), 1000.0);
        EXPECT_FALSE(points.at(label)["driftFlagged"].toBool());
    }
    const QJsonArray distances = assessment["distances"].toArray();
    ASSERT_EQ(distances.size(), 2);
    EXPECT_NEAR(distances[0]["error"].toDouble(), 0.0, 0.05) << "true distance " << pointerToTool;
    EXPECT_NEAR(distances[1]["error"].toDouble(), -1.0, 0.05) << "a nominal 1 mm too long";
    const QImage plot(QString::fromStdString(png));
    EXPECT_FALSE(plot.isNull());
}

// A camera that drifts is reported as drifting, within 10% of the simulated rate; a marker that moves (here
// the pointer, pivoting) refuses the assessment, naming that marker only.
TEST(AssessCommand, ADriftIsReportedAndAMovedMarkerRefused) {
    TestSupport::TempFiles files;
    const std::string drifting = files.write("drift.txt", "rate = 100\nnoise = 0.1\nstill = 1\ndrift = 30\n");
    const std::string json = files.path("drift.json");
    const AppRun drift =
        runApp({"assess", "--frames", "400", "--window", "1", "--output", QString::fromStdString(json)},
               withScene(drifting));
    ASSERT_EQ(drift.exitCode, 0) << drift.err;
    for (const auto& [label, point] : pointsOf(readJson(json))) {
        SCOPED_TRACE(label);
        EXPECT_NEAR(point["driftPerMinute"].toDouble(), 30.0, 3.0);
        EXPECT_TRUE(point["driftFlagged"].toBool());
        EXPECT_TRUE(point["motion"].isNull()) << point["motion"].toString().toStdString();
    }

    const std::string pivoting = files.write("moved.txt", "rate = 100\nstill = 1\npivot_marker = 1200\n");
    const AppRun moved = runApp({"assess", "--frames", "200"}, withScene(pivoting));
    EXPECT_EQ(moved.exitCode, 7);
    EXPECT_NE(moved.err.find("halvoren: pointer (atracsys-1200) moved "), std::string::npos) << moved.err;
    EXPECT_NE(moved.err.find("hold the markers still and assess again\n"), std::string::npos) << moved.err;
    EXPECT_EQ(moved.err.find("(atracsys-1300) moved"), std::string::npos) << moved.err;
    EXPECT_EQ(moved.err.find("(atracsys-1400) moved"), std::string::npos) << moved.err;

    // The plot replaces a file whole: a FIFO is refused before the camera opens, and stays a FIFO.
    const std::string fifo = files.path("plot.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const AppRun refused = runApp({"assess", "--plot", QString::fromStdString(fifo)}, withScene(pivoting));
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.err.find("halvoren: cannot write " + fifo + ": it is not a regular file\n"),
              std::string::npos)
        << refused.err;
    EXPECT_EQ(refused.err.find("Detected"), std::string::npos) << refused.err;
    struct stat status {};
    EXPECT_TRUE(::stat(fifo.c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
}

// One reading gives no spread: said, and null in the JSON, never a precision of 0. A distance from a point
// to itself, by its id and its name, is wrong options; frames in which no marker was seen end with a code
// of their own.
TEST(AssessCommand, WhatCannotBeMeasuredIsNotReportedAsMeasured) {
    TestSupport::TempFiles files;
    const auto still = withScene(files.write("still.txt", "rate = 100\nstill = 1\n"));
    const std::string json = files.path("one.json");
    const AppRun one = runApp({"assess", "--frames", "1", "--output", QString::fromStdString(json)}, still);
    ASSERT_EQ(one.exitCode, 0) << one.err;
    EXPECT_NE(one.out.find("precision               none measured: one reading"), std::string::npos)
        << one.out;
    EXPECT_EQ(one.out.find("RMS 0.000"), std::string::npos) << one.out;
    const auto points = pointsOf(readJson(json));
    ASSERT_EQ(points.size(), 3u);
    for (const auto& [label, point] : points) {
        SCOPED_TRACE(label);
        EXPECT_EQ(point["seen"].toInt(), 1);
        EXPECT_TRUE(point["rmsFromMean"].isNull() && point["radius95"].isNull());
        EXPECT_TRUE(point["angularStdDegrees"].isNull() && point["drift"].isNull());
    }

    const AppRun itself = runApp({"assess", "--distance", "atracsys-1200:pointer=5"}, still);
    EXPECT_EQ(itself.exitCode, 2);
    EXPECT_NE(itself.err.find("'atracsys-1200' and 'pointer' name one point, pointer: a distance takes two"),
              std::string::npos)
        << itself.err;

    const AppRun unseen =
        runApp({"assess", "--marker", QString::fromStdString(kMarkers + "pointer.ini"), "--frames", "20"},
               withScene(files.write("hidden.txt", "rate = 100\nhide = 1200 0 86400\n")));
    EXPECT_EQ(unseen.exitCode, 10) << unseen.err;
    EXPECT_NE(unseen.err.find("no marker was seen in any of the 20 frames"), std::string::npos) << unseen.err;
    EXPECT_NE(unseen.out.find("it was not seen in any frame"), std::string::npos) << unseen.out;
}

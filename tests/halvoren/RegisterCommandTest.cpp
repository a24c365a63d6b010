// halvoren register against the simulated camera's touching scene, whose points and noise are the truth.
#include "AppProcess.h"
#include "support/TempFiles.h"

#include "registration/TransformFile.h"

#include <gtest/gtest.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <Eigen/Geometry>

#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using TestSupport::AppRun;
using TestSupport::runApp;

namespace {

const std::string kMarkers = HALVOREN_SOURCE_DIR "/data/markers/";
constexpr double kRestSeconds = 0.6;
constexpr double kDwellSeconds = 0.3;

// The touched points in the reference's frame: spread over 150 mm.
const std::vector<Eigen::Vector3d> kTouched = {{-40, -30, 10},  {110, -20, 0}, {100, 90, 20},
                                               {-30, 100, -10}, {35, 35, 60},  {50, 40, -40}};

/// The true ImageToReference of the scene the test makes.
Eigen::Matrix4d truth() {
    Eigen::Matrix4d t = Eigen::Matrix4d::Identity();
    t.topLeftCorner<3, 3>() = (Eigen::AngleAxisd(0.35, Eigen::Vector3d::UnitX()) *
                               Eigen::AngleAxisd(M_PI / 2, Eigen::Vector3d::UnitZ()))
                                  .toRotationMatrix();
    t.topRightCorner<3, 1>() = Eigen::Vector3d(40, 30, -120);
    return t;
}

Eigen::Vector3d apply(const Eigen::Matrix4d& t, const Eigen::Vector3d& p) {
    return t.topLeftCorner<3, 3>() * p + t.topRightCorner<3, 1>();
}

/// The scene, its landmarks in the image and the pointer with its tip, written to a scratch folder.
struct TouchScene {
    TestSupport::TempFiles files;
    std::string settings;
    std::string landmarks;
    std::string pointer;
    std::vector<Eigen::Vector3d> image;

    explicit TouchScene(unsigned seed, double rest = kRestSeconds,
                        std::vector<int> order = {0, 1, 2, 3, 4, 5}) {
        std::ostringstream scene;
        scene << "rate = 100\nstill = 1\nseed = " << seed
              << "\ntouch_marker = 1200\ntouch_tip = 3 -120 -5\ntouch_reference = 1300\n";
        for (const Eigen::Vector3d& p : kTouched) {
            scene << "touch = " << p.x() << ' ' << p.y() << ' ' << p.z() << ' ' << rest << '\n';
        }
        settings = files.write("touch.txt", scene.str());
        // The landmarks in the image, in the order given: a swapped order touches them in the wrong places.
        std::ostringstream csv;
        csv.precision(17);
        csv << "label,x,y,z\n";
        const Eigen::Matrix4d toImage = Halvoren::Registration::rigidInverse(truth());
        for (int i : order) {
            image.push_back(apply(toImage, kTouched[static_cast<std::size_t>(i)]));
            csv << "F-" << i + 1 << ',' << image.back().x() << ',' << image.back().y() << ','
                << image.back().z() << '\n';
        }
        landmarks = files.write("landmarks.csv", csv.str());
        std::ifstream marker(kMarkers + "pointer.ini");
        std::stringstream text;
        text << marker.rdbuf() << "[tip]\nx=3\ny=-120\nz=-5\n";
        pointer = files.write("pointer.ini", text.str());
    }

    QProcessEnvironment env() const {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("FTK_SIMULATOR_SETTINGS", QString::fromStdString(settings));
        return env;
    }

    QStringList args(const QStringList& more) const {
        return QStringList{"--marker",    QString::fromStdString(pointer),
                           "--marker",    QString::fromStdString(kMarkers + "reference.ini"),
                           "--reference", "reference"} +
               more;
    }

    TestSupport::AppCall registrationCall(const QStringList& more, double dwell = kDwellSeconds) const {
        return {QStringList{"register", "--pointer", "pointer", "--landmarks",
                            QString::fromStdString(landmarks), "--dwell", QString::number(dwell), "--quiet"} +
                    args(more),
                env()};
    }

    AppRun registration(const QStringList& more, double dwell = kDwellSeconds) const {
        const TestSupport::AppCall call = registrationCall(more, dwell);
        return runApp(call.args, call.env);
    }
};

QJsonObject readJson(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return QJsonDocument::fromJson(QByteArray::fromStdString(text.str())).object();
}

Eigen::Matrix4d matrixOf(const QJsonObject& report) {
    const QJsonArray values = report["imageToReference"].toArray();
    Eigen::Matrix4d m;
    for (int i = 0; i < 16; ++i) {
        m(i / 4, i % 4) = values[i].toDouble();
    }
    return m;
}

double degreesBetween(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b) {
    const Eigen::Matrix3d r = a.topLeftCorner<3, 3>().transpose() * b.topLeftCorner<3, 3>();
    return Eigen::AngleAxisd(r).angle() * 180.0 / M_PI;
}

Eigen::Vector3d centroidOf(const std::vector<Eigen::Vector3d>& points) {
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (const auto& p : points) {
        sum += p;
    }
    return sum / static_cast<double>(points.size());
}

}  // namespace

TEST(RegisterCommand, RegistersSixLandmarksWithinTheTruthAndItsFilesAgree) {
    const TouchScene scene(1);
    const std::string tfm = scene.files.path("image.tfm");
    const std::string report = scene.files.path("report.json");
    const std::string recording = scene.files.path("touch.seq.mhd");
    const AppRun run =
        scene.registration({"--output", QString::fromStdString(tfm), "--report",
                            QString::fromStdString(report), "--record", QString::fromStdString(recording)});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("touch F-2 (2 of 6)"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;

    const QJsonObject json = readJson(report);
    const Eigen::Matrix4d found = matrixOf(json);
    const Eigen::Vector3d centroid = centroidOf(scene.image);
    EXPECT_LT((apply(found, centroid) - apply(truth(), centroid)).norm(), 0.5);
    EXPECT_LT(degreesBetween(found, truth()), 0.5);
    EXPECT_EQ(json["landmarks"].toArray().size(), 6);

    // The file holds the same transform, through LPS and the resampling direction.
    std::string error;
    const auto read = Halvoren::Registration::readTransformFile(tfm, error);
    ASSERT_TRUE(read) << error;
    EXPECT_TRUE(read->isApprox(found, 1e-12));

    // A replay of the session registers as the live run did. The live run stopped recording the moment
    // its last rest was long enough, so the recording's last rest may lack the frame that completed it:
    // the replay asks a slightly shorter rest. A recorder that could not keep up (a sanitized build on a
    // busy machine) leaves frames out, counted: then a rest may be cut short in the recording, and the
    // replay must say so rather than wait for it.
    const AppRun replayed =
        scene.registration({"--output", QString::fromStdString(scene.files.path("replay.tfm")), "--report",
                            QString::fromStdString(scene.files.path("replay.json")), "--replay",
                            QString::fromStdString(recording)},
                           0.8 * kDwellSeconds);
    if (run.err.find("frames not recorded: ") != std::string::npos && replayed.exitCode == 1) {
        EXPECT_NE(replayed.err.find("(the recording) ended after"), std::string::npos) << replayed.err;
    } else {
        ASSERT_EQ(replayed.exitCode, 0) << replayed.err << "\nthe live run:\n" << run.err;
        const Eigen::Matrix4d again = matrixOf(readJson(scene.files.path("replay.json")));
        // Each point is the mean over a rest 0.8 as long, of a tip that jitters about a millimetre a frame.
        EXPECT_LT((apply(again, centroid) - apply(found, centroid)).norm(), 0.25);
        EXPECT_LT(degreesBetween(again, found), 0.25);
    }

    // Streamed in the image's frame, the tip rests on each landmark (its mean over the rest: a single
    // frame's tip jitters by about a millimetre at this distance).
    const AppRun stream = runApp(
        QStringList{"stream", "--frames", "800", "--quiet", "--registration", QString::fromStdString(tfm)} +
            scene.args({}),
        scene.env());
    ASSERT_EQ(stream.exitCode, 0) << stream.err;
    std::map<std::size_t, std::pair<Eigen::Vector3d, int>> rests;
    for (const std::string& line : TestSupport::lines(stream.out)) {
        std::vector<std::string> f;
        std::stringstream cells(line);
        for (std::string cell; std::getline(cells, cell, ',');) {
            f.push_back(cell);
        }
        if (f.size() < 17 || f[1] != "atracsys-1200" || f[14].empty()) {
            continue;
        }
        const Eigen::Vector3d tip(std::stod(f[14]), std::stod(f[15]), std::stod(f[16]));
        for (std::size_t i = 0; i < scene.image.size(); ++i) {
            if ((tip - scene.image[i]).norm() < 4.0) {
                auto& rest = rests.try_emplace(i, Eigen::Vector3d::Zero(), 0).first->second;
                rest.first += tip;
                rest.second += 1;
            }
        }
    }
    EXPECT_NE(stream.out.find("tip_x"), std::string::npos);
    ASSERT_EQ(rests.size(), 6u) << stream.out.substr(0, 2000);
    for (const auto& [i, sum] : rests) {
        EXPECT_GE(sum.second, 20) << "F-" << i + 1;
        EXPECT_LT((sum.first / sum.second - scene.image[i]).norm(), 1.0) << "F-" << i + 1;
    }

    // Touched again, each landmark lies where the registration maps it.
    const AppRun verified = scene.registration({"--verify", QString::fromStdString(tfm)});
    ASSERT_EQ(verified.exitCode, 0) << verified.err;
    EXPECT_NE(verified.out.find("verification of 6 landmarks"), std::string::npos) << verified.out;
}

TEST(RegisterCommand, PredictedErrorMatchesTheErrorOverSeeds) {
    // Ten touching sessions, two at a time: each spends its time waiting for the scene's rests.
    std::vector<std::unique_ptr<TouchScene>> scenes;
    std::vector<TestSupport::AppCall> calls;
    for (unsigned seed = 1; seed <= 10; ++seed) {
        scenes.push_back(std::make_unique<TouchScene>(seed, 0.45));
        const TouchScene& scene = *scenes.back();
        // 100 mm from the centroid, off the landmarks' spread.
        const Eigen::Vector3d target = centroidOf(scene.image) + Eigen::Vector3d(0, 0, 100);
        calls.push_back(scene.registrationCall(
            {"--output", QString::fromStdString(scene.files.path("image.tfm")), "--report",
             QString::fromStdString(scene.files.path("report.json")), "--target",
             QString("%1,%2,%3")
                 .arg(target.x(), 0, 'g', 17)
                 .arg(target.y(), 0, 'g', 17)
                 .arg(target.z(), 0, 'g', 17)}));
    }
    const std::vector<AppRun> results = TestSupport::runApps(calls, 2);
    double squares = 0.0;
    double predictedSquares = 0.0;
    int runs = 0;
    for (unsigned seed = 1; seed <= 10; ++seed) {
        const TouchScene& scene = *scenes[seed - 1];
        const AppRun& run = results[seed - 1];
        const std::string report = scene.files.path("report.json");
        const Eigen::Vector3d centroid = centroidOf(scene.image);
        const Eigen::Vector3d target = centroid + Eigen::Vector3d(0, 0, 100);
        ASSERT_EQ(run.exitCode, 0) << "seed " << seed << ": " << run.err;
        const QJsonObject json = readJson(report);
        const Eigen::Matrix4d found = matrixOf(json);
        const QJsonObject predicted = json["predictedTre"].toObject();
        const double atCentroid = predicted["centroid"].toObject()["predictedTre"].toDouble();
        const double atTarget = predicted["targets"].toArray()[0].toObject()["predictedTre"].toDouble();
        const double centroidError = (apply(found, centroid) - apply(truth(), centroid)).norm();
        const double targetError = (apply(found, target) - apply(truth(), target)).norm();
        EXPECT_LT(centroidError, 3.0 * atCentroid) << "seed " << seed;
        EXPECT_LT(targetError, 3.0 * atTarget) << "seed " << seed;
        squares += centroidError * centroidError + targetError * targetError;
        predictedSquares += atCentroid * atCentroid + atTarget * atTarget;
        runs += 2;
    }
    const double measured = std::sqrt(squares / runs);
    const double predicted = std::sqrt(predictedSquares / runs);
    EXPECT_LT(predicted, 3.0 * measured);
    EXPECT_LT(measured, 3.0 * predicted);
}

TEST(RegisterCommand, RefusesCollinearLandmarksAndFlagsASwappedPair) {
    TestSupport::TempFiles files;
    const std::string line = files.write("line.csv", "a,0,0,0\nb,50,0.5,0\nc,100,0,0.5\nd,150,-0.5,0\n");
    const AppRun refused =
        runApp({"register", "--reference", "reference", "--pointer", "pointer", "--landmarks",
                QString::fromStdString(line), "--output", QString::fromStdString(files.path("x.tfm"))});
    EXPECT_EQ(refused.exitCode, 7);
    EXPECT_NE(refused.err.find("collinear"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find("Loaded plug-in"), std::string::npos) << "refused before the camera opened";

    const TouchScene swapped(2, kRestSeconds, {0, 4, 2, 3, 1, 5});
    const AppRun run =
        swapped.registration({"--output", QString::fromStdString(swapped.files.path("image.tfm"))});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("landmark F-5: its residual"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("stands out"), std::string::npos) << run.err;
}

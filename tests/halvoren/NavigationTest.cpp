// Navigation frames end to end: halvoren stream with --reference and calibrated tips, against the simulated
// camera's truth (the scene's true poses, and in the pivot scene the point the tip rests in).
#include "AppProcess.h"
#include "SceneTruth.h"
#include "geometry/MarkerFile.h"
#include "halvoren/session/NavigationSetup.h"
#include "support/CommaLocale.h"
#include "support/CsvFields.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QProcessEnvironment>

#include <Eigen/Geometry>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using TestSupport::AppRun;
using TestSupport::runApp;
using TestSupport::SceneTruth;

namespace {

const std::string kMarkers = HALVOREN_SOURCE_DIR "/data/markers/";

struct Line {
    std::vector<std::string> f;
    int frame() const { return std::stoi(f.at(13)); }
    const std::string& name() const { return f.at(2); }
    bool ok() const { return f.at(11) == "OK"; }
    Eigen::Vector3d position() const { return {std::stod(f.at(4)), std::stod(f.at(5)), std::stod(f.at(6))}; }
    Eigen::Quaterniond rotation() const {
        return {std::stod(f.at(7)), std::stod(f.at(8)), std::stod(f.at(9)), std::stod(f.at(10))};
    }
    Eigen::Vector3d tip() const { return {std::stod(f.at(14)), std::stod(f.at(15)), std::stod(f.at(16))}; }
};

std::vector<Line> csvLines(const std::string& csv) {
    std::vector<Line> out;
    for (const std::string& text : TestSupport::lines(csv)) {
        Line line{TestSupport::csvFields(text)};
        if (line.f.size() == 18 && line.f[0] != "timestamp") {
            out.push_back(std::move(line));
        }
    }
    return out;
}

QProcessEnvironment withScene(const std::string& settingsPath) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS", QString::fromStdString(settingsPath));
    return env;
}

}  // namespace

// The bound: a marker's fit errs in position by up to five depth standard deviations and in rotation by
// as much over its radius (about 40 mm), as the simulated camera's own test holds of absolute poses; a
// relative pose adds the two markers' errors, and the reference's rotation error moves the other
// marker's relative position over the lever between them.
TEST(Navigation, RelativePosesFollowTheTruthAndAreInvalidWhileTheReferenceIsHidden) {
    TestSupport::TempFiles files;
    const std::string settings = files.write("scene.txt", "rate = 100\nhide = 1300 1 0.5\n");
    const std::vector<std::string> markers = {kMarkers + "pointer.ini", kMarkers + "reference.ini",
                                              kMarkers + "tool.ini"};
    const SceneTruth truth(settings, markers);
    const std::map<std::string, std::uint32_t> ids = {{"pointer", 1200}, {"reference", 1300}, {"tool", 1400}};
    const auto hidden = [&](int frame) { return truth.time(frame) >= 1.0 && truth.time(frame) < 1.5; };

    const AppRun csv =
        runApp({"stream", "--reference", "reference", "--frames", "200", "--stale-after", "60000"},
               withScene(settings));
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_NE(csv.err.find("halvoren: poses relative to Reference (atracsys-1300)\n"), std::string::npos);
    int compared = 0, invalid = 0, validAfter = 0;
    for (const Line& line : csvLines(csv.out)) {
        SCOPED_TRACE("frame " + std::to_string(line.frame()) + " " + line.name());
        if (hidden(line.frame())) {
            EXPECT_FALSE(line.ok());
            EXPECT_EQ(line.f[17], "reference not seen");
            EXPECT_EQ(line.f[4], "");  // no relative pose to give
            ++invalid;
            continue;
        }
        ASSERT_TRUE(line.ok()) << line.f[17];
        validAfter += truth.time(line.frame()) >= 1.5 ? 1 : 0;
        const Eigen::Isometry3d reference = truth.pose(1300, line.frame());
        const Eigen::Isometry3d instrument = truth.pose(ids.at(line.name()), line.frame());
        const Eigen::Isometry3d relative = reference.inverse() * instrument;
        const double sigmas =
            truth.depthSigma(reference.translation().z()) +
            (line.name() == "reference" ? 0.0 : truth.depthSigma(instrument.translation().z()));
        const double lever = (instrument.translation() - reference.translation()).norm();
        const double angleBound = 5.0 * sigmas / 40.0;  // radians
        EXPECT_LT((line.position() - relative.translation()).norm(),
                  0.02 + 5.0 * sigmas + angleBound * lever);
        const Eigen::Quaterniond rotation = line.rotation();
        EXPECT_LT(rotation.angularDistance(Eigen::Quaterniond(relative.linear())), 1e-4 + angleBound);
        ++compared;
    }
    EXPECT_GT(compared, 3 * 100);
    EXPECT_GT(invalid, 3 * 20);
    EXPECT_GT(validAfter, 3 * 20);

    // JSON lines say the same, the pose as null.
    const AppRun json = runApp({"stream", "--reference", "atracsys-1300", "--format", "jsonl", "--frames",
                                "200", "--stale-after", "60000"},
                               withScene(settings));
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const std::regex frameOf(R"("frame":(\d+))");
    int jsonInvalid = 0;
    for (const std::string& line : TestSupport::lines(json.out)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_search(line, match, frameOf)) << line;
        const bool inside = hidden(std::stoi(match[1]));
        EXPECT_EQ(line.find("\"status\":\"OK\",") != std::string::npos, !inside) << line;
        if (inside) {
            EXPECT_NE(line.find("\"position\":null,\"rotation\":null"), std::string::npos) << line;
            EXPECT_NE(line.find("\"reason\":\"reference not seen\"}"), std::string::npos) << line;
            ++jsonInvalid;
        }
    }
    EXPECT_GT(jsonInvalid, 3 * 20);

    const AppRun unknown =
        runApp({"stream", "--reference", "Reference", "--frames", "1"}, withScene(settings));
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("halvoren: --reference Reference names no instrument; give one of: pointer "
                               "(atracsys-1200), reference (atracsys-1300), tool (atracsys-1400)\n"),
              std::string::npos)
        << unknown.err;
    EXPECT_EQ(unknown.err.find("Detected"), std::string::npos) << "the camera was opened: " << unknown.err;
}

// A tip saved by the pivot calibration and then streamed lies at the point the simulated tip rests in. Its
// RMS distance from that point cannot stay below the calibration's RMS residual: on the calibration's own
// poses the residual is the least RMS distance over every pivot point, the true one included, so a
// stream's reaches it only on average. The test allows a quarter more (another stretch of the scene, with
// its own noise); relative to the reference the reference's own fit error adds, carried to the tip.
TEST(Navigation, ASavedTipIsStreamedAtThePivotPointInCameraAndReferenceFrames) {
    TestSupport::TempFiles files;
    const std::string settings = files.write(
        "pivot.txt", "rate = 100\npivot_marker = 1200\npivot_point = 100 20 1000\npivot_tip = 3 -120 -5\n");
    std::ifstream original(kMarkers + "pointer.ini", std::ios::binary);
    const std::string pointer =
        files.write("pointer.ini", std::string(std::istreambuf_iterator<char>(original), {}));
    const AppRun pivot =
        runApp({"pivot", "--marker", QString::fromStdString(pointer), "--frames", "400", "--save"},
               withScene(settings));
    ASSERT_EQ(pivot.exitCode, 0) << pivot.err;
    const auto saved = Halvoren::MarkerFile::read(pointer).tip;
    ASSERT_TRUE(saved && saved->rms);
    const double rms = *saved->rms;

    const SceneTruth truth(settings, {pointer, kMarkers + "reference.ini"});
    const Eigen::Vector3d pivotPoint(100, 20, 1000);
    for (const bool relative : {false, true}) {
        SCOPED_TRACE(relative ? "relative to the reference" : "camera coordinates");
        QStringList args = {"stream",
                            "--marker",
                            QString::fromStdString(pointer),
                            "--marker",
                            QString::fromStdString(kMarkers + "reference.ini"),
                            "--frames",
                            "200",
                            "--stale-after",
                            "60000"};
        if (relative) {
            args << "--reference"
                 << "reference";
        }
        const AppRun run = runApp(args, withScene(settings));
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(run.err.find("; tips of: pointer\n"), std::string::npos) << run.err;
        Eigen::Vector3d errorSum = Eigen::Vector3d::Zero();
        double squares = 0.0;
        double referenceSquares = 0.0;
        int count = 0;
        for (const Line& line : csvLines(run.out)) {
            if (line.name() != "pointer") {
                EXPECT_EQ(line.f[14], "");  // no tip
                continue;
            }
            ASSERT_TRUE(line.ok());
            const Eigen::Isometry3d reference = truth.pose(1300, line.frame());
            const Eigen::Vector3d expected =
                relative ? Eigen::Vector3d(reference.inverse() * pivotPoint) : pivotPoint;
            const Eigen::Vector3d error = line.tip() - expected;
            errorSum += error;
            squares += error.squaredNorm();
            // One standard deviation of the reference's position, and of its rotation over the lever.
            const double sigma = truth.depthSigma(reference.translation().z());
            referenceSquares += std::pow(sigma * (1.0 + expected.norm() / 40.0), 2);
            ++count;
        }
        ASSERT_GT(count, 100);
        EXPECT_LT((errorSum / count).norm(), 0.5);
        const double allowed = relative ? std::sqrt(rms * rms + referenceSquares / count) : rms;
        EXPECT_LE(std::sqrt(squares / count), 1.25 * allowed) << "the calibration's RMS residual " << rms;
    }
}

TEST(NavigationSetup, NamesAreChosenOncePerInstrumentAndNeverTwoAlike) {
    using Halvoren::App::makeNavigation;
    std::vector<Halvoren::Sequence::RecordedMarker> markers(3);
    markers[0].id = "atracsys-1200";
    markers[0].name = "pointer";
    markers[1].id = "atracsys-1300";
    markers[1].name = "reference";
    markers[2].id = "atracsys-1400";
    markers[2].name = "tool";
    const auto made = [&](const std::string& reference, const std::string& frame,
                          const std::vector<std::string>& names, std::string& err) {
        auto made = makeNavigation({reference, frame, names}, markers);
        err = made ? std::string() : made.error().message;
        EXPECT_TRUE(made || made.error().kind == Halvoren::ErrorKind::Usage);
        return made ? std::optional<Halvoren::Navigation::NavigationFrame>(*made) : std::nullopt;
    };
    std::string err;
    // The reference renamed names the frame, unless the frame is named itself.
    const auto renamed = made("reference", "", {"reference=Ref", "atracsys-1400=probe"}, err);
    ASSERT_TRUE(renamed) << err;
    EXPECT_EQ(renamed->frame, "Ref");
    EXPECT_EQ(renamed->transformName(Halvoren::TrackerID("atracsys-1400", "", "tool")), "ProbeToRef");
    const auto framed = made("atracsys-1300", "patient", {"reference=Ref"}, err);
    ASSERT_TRUE(framed) << err;
    EXPECT_EQ(framed->tipTransformName(Halvoren::TrackerID("atracsys-1200", "", "pointer")),
              "PointerTipToPatient");

    std::vector<Halvoren::Sequence::RecordedMarker> fields = markers;
    Halvoren::App::nameMarkerFields(*renamed, fields);
    EXPECT_EQ(fields[0].field + fields[1].field + fields[2].field, "PointerRefProbe");

    EXPECT_FALSE(made("", "", {"femur=Femur"}, err));
    EXPECT_EQ(err,
              "--name femur names no instrument; give one of: pointer (atracsys-1200), "
              "reference (atracsys-1300), tool (atracsys-1400)");
    EXPECT_FALSE(made("", "", {"pointer=Tool"}, err));  // the tool's own name
    EXPECT_NE(err.find("tool (atracsys-1400) goes out as Tool"), std::string::npos) << err;
    EXPECT_FALSE(made("reference", "pointer", {}, err));  // PointerToPointer would be no pose of the pointer
    EXPECT_NE(err.find("pointer (atracsys-1200) goes out as Pointer"), std::string::npos) << err;
    EXPECT_FALSE(made("", "", {"pointer=A", "atracsys-1200=B"}, err));
    EXPECT_NE(err.find("is given a name twice"), std::string::npos) << err;
}

// Qt sets the C library's locale from the environment: in a German one its conversions read "3.5" as 3.
// Every number the commands read from a file or write to one, or to a line, keeps its '.'.
TEST(Navigation, NumbersInFilesAndLinesAreClassicUnderACommaLocale) {
    const std::string comma = TestSupport::commaLocale();
    if (comma.empty()) {
        GTEST_SKIP() << "no comma-decimal locale here, and none could be made with localedef";
    }
    TestSupport::TempFiles files;
    const std::string settings = files.write(
        "pivot.txt", "rate = 100\npivot_marker = 1200\npivot_point = 100 20 1000\npivot_tip = 3 -120 -5\n");
    std::ifstream original(kMarkers + "pointer.ini", std::ios::binary);
    const std::string pointer =
        files.write("pointer.ini", std::string(std::istreambuf_iterator<char>(original), {}));
    QProcessEnvironment env = withScene(settings);
    env.insert("LC_ALL", QString::fromStdString(comma));
    const std::string result = files.path("pivot.json");
    const AppRun pivot = runApp({"pivot", "--marker", QString::fromStdString(pointer), "--frames", "200",
                                 "--save", "--output", QString::fromStdString(result)},
                                env);
    ASSERT_EQ(pivot.exitCode, 0) << pivot.err;
    std::ifstream json(result);
    const std::string resultText((std::istreambuf_iterator<char>(json)), {});
    EXPECT_TRUE(std::regex_search(resultText, std::regex("\"rmsResidualMm\": ?[0-9]+\\.[0-9]+[,}]")))
        << resultText;
    const auto saved = Halvoren::MarkerFile::read(pointer).tip;
    ASSERT_TRUE(saved);
    EXPECT_LT((Eigen::Vector3d(saved->x, saved->y, saved->z) - Eigen::Vector3d(3, -120, -5)).norm(), 1.0);

    // The saved tip is read back, and streamed with its decimals, as CSV and JSON lines.
    const QStringList stream = {"stream", "--marker", QString::fromStdString(pointer), "--frames", "20"};
    const AppRun csv = runApp(stream, env);
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(csv.err.find("not a finite number"), std::string::npos) << csv.err;
    EXPECT_NE(csv.err.find("; tips of: pointer\n"), std::string::npos) << csv.err;
    int tips = 0;
    for (const Line& line : csvLines(csv.out)) {  // a comma for a point would add columns
        if (line.name() == "pointer" && line.ok()) {
            EXPECT_LT((line.tip() - Eigen::Vector3d(100, 20, 1000)).norm(), 5.0);
            ++tips;
        }
    }
    EXPECT_GT(tips, 0) << csv.out;
    const AppRun jsonl = runApp(QStringList(stream) << "--format"
                                                    << "jsonl",
                                env);
    ASSERT_EQ(jsonl.exitCode, 0) << jsonl.err;
    // Three numbers in the tip's array: a comma for a point would make six.
    const std::regex tip("\"tip\":\\[([^\\]]*)\\]");
    std::smatch found;
    ASSERT_TRUE(std::regex_search(jsonl.out, found, tip)) << jsonl.out.substr(0, 2000);
    const std::vector<std::string> numbers = TestSupport::csvFields(found[1].str());
    ASSERT_EQ(numbers.size(), 3u) << found[0];
    EXPECT_LT(std::abs(std::stod(numbers[0]) - 100.0), 5.0) << found[0];
}

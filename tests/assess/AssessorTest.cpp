#include "assess/AssessmentReport.h"
#include "assess/Assessor.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <Eigen/Geometry>

#include <cmath>
#include <random>
#include <regex>
#include <sstream>

using namespace Halvoren;
using Assess::Assessor;

namespace {

TrackingInstrument instrument(const std::string& id, const std::string& name,
                              const Eigen::Vector3d& position) {
    TrackingInstrument i;
    i.id = TrackerID(id, "", name);
    i.pose.topRightCorner<3, 1>() = position;
    i.quality = 1.0;
    return i;
}

std::vector<TrackerID> ids() {
    return {TrackerID("a-1", "", "pointer"), TrackerID("a-2", "", "reference")};
}

Assessor::Options options(std::vector<Assess::KnownDistance> distances = {}) {
    Assessor::Options o;
    o.navigation.chain.setTip("a-1", Eigen::Vector3d(0, 0, -100));
    o.windowSeconds = 1.0;
    o.distances = std::move(distances);
    return o;
}

}  // namespace

// Two still markers with known noise, a known drift and a known distance between them: the figures come
// back within what the sample size allows.
TEST(Assessor, PrecisionDriftAndTruenessOfKnownReadings) {
    Assessor assessor(ids(), options({{"pointer", "reference", 101.0}, {"pointer.tip", "a-2", 50.0}}));
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 0.05);  // mm per axis
    const double drift = 0.3;                           // mm per second along x, for the reference
    for (int k = 0; k < 4000; ++k) {
        const double t = k * 0.001;
        const Eigen::Vector3d jitter(noise(random), noise(random), noise(random));
        ASSERT_TRUE(
            assessor.addFrame({instrument("a-1", "pointer", Eigen::Vector3d(0, 0, 1000) + jitter),
                               instrument("a-2", "reference", Eigen::Vector3d(100 + drift * t, 0, 1000))},
                              {{"a-1", 0.04f}}, 100.0 + t));
    }
    const Assess::Assessment result = assessor.result();
    ASSERT_EQ(result.points.size(), 3u);  // pointer, its tip, reference
    const Assess::PointResult& pointer = result.points[0];
    EXPECT_EQ(pointer.seen, 4000u);
    EXPECT_NEAR(pointer.stdPerAxis.x(), 0.05, 0.003);
    EXPECT_NEAR(pointer.rmsFromMeanMm, 0.05 * std::sqrt(3.0), 0.005);
    // The 95% radius of a 3-D normal spread: sqrt of chi-squared(3) at 0.95 = 2.795 sigmas.
    EXPECT_NEAR(pointer.radius95Mm, 2.795 * 0.05, 0.01);
    EXPECT_NEAR(*pointer.meanRegistrationErrorMm, 0.04, 1e-6);
    EXPECT_NEAR(*pointer.angularStdDegrees, 0.0, 1e-9);
    EXPECT_FALSE(pointer.driftFlagged);
    EXPECT_EQ(result.points[1].label, "pointer tip");
    EXPECT_NEAR(result.points[1].mean.z(), 900.0, 0.01);

    const Assess::PointResult& reference = result.points[2];
    ASSERT_EQ(reference.windows.size(), 4u);
    EXPECT_NEAR(reference.driftMm, drift * 3.0, 1e-6);  // from the first window's centre to the last's
    EXPECT_NEAR(reference.driftMmPerMinute, drift * 60.0, 1e-6);
    EXPECT_TRUE(reference.driftFlagged);
    EXPECT_FALSE(result.refused()) << reference.motion;

    ASSERT_EQ(result.distances.size(), 2u);
    EXPECT_EQ(result.distances[0].readings, 4000u);
    EXPECT_NEAR(result.distances[0].meanMm, 100.0 + drift * 2.0, 0.01);
    EXPECT_NEAR(result.distances[0].errorMm, result.distances[0].meanMm - 101.0, 1e-9);
    EXPECT_EQ(result.distances[1].from, "pointer tip");
    EXPECT_EQ(result.distances[1].to, "reference");
}

// A marker touched in the middle of the run is refused, not reported as poor precision; one not seen at
// all is reported as such.
TEST(Assessor, AMovedMarkerIsRefusedAndTheDistancesEndsMustNameAPoint) {
    Assessor assessor(ids(), options());
    std::mt19937 random(3);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (int k = 0; k < 1000; ++k) {
        const Eigen::Vector3d at = k < 500 ? Eigen::Vector3d(0, 0, 1000) : Eigen::Vector3d(2, 0, 1000);
        assessor.addFrame({instrument("a-1", "pointer", at + Eigen::Vector3d(noise(random), 0, 0))}, {},
                          k * 0.01);
    }
    const Assess::Assessment result = assessor.result();
    EXPECT_TRUE(result.refused());
    EXPECT_TRUE(
        std::regex_search(result.points[0].motion, std::regex(R"(^moved (1\.9\d|2\.0\d) mm at 5\.00 s)")))
        << result.points[0].motion;
    EXPECT_EQ(result.points[2].seen, 0u);
    EXPECT_TRUE(result.points[2].motion.empty());

    std::string why;
    EXPECT_EQ(assessor.pointLabel("a-2", why), "reference");
    EXPECT_EQ(assessor.pointLabel("pointer.tip", why), "pointer tip");
    EXPECT_EQ(assessor.pointLabel("reference.tip", why), "");
    EXPECT_EQ(why, "'reference.tip' names no instrument (or no calibrated tip: NAME.tip)");
    EXPECT_FALSE(Assess::parseDistance("pointer:tool", why));
    EXPECT_FALSE(Assess::parseDistance("pointer:tool=-3", why));
    EXPECT_EQ(why, "takes a distance in mm above 0 up to 100000 after '=', not '-3'");
    const auto known = Assess::parseDistance("a:b=12.5", why);
    ASSERT_TRUE(known);
    EXPECT_EQ(known->from + "|" + known->to, "a|b");
    EXPECT_EQ(known->nominalMm, 12.5);
}

// From one reading no spread is measured, without two windows no drift, from no reading nothing: the
// report says so and the JSON, strict whatever the names hold, has null there. A distance from a point to
// itself, by any of its names, is refused.
TEST(Assessor, WhatWasNotMeasuredIsSaidAndNullAndADistanceTakesTwoPoints) {
    const std::string hostile = "po\"in\\ter\x01\xff";
    Assessor assessor({TrackerID("a-1", "", hostile), TrackerID("a-2", "", "reference")},
                      options({{"a-1", "a-2", 100.0}, {hostile, hostile + ".tip", 100.0}}));
    ASSERT_TRUE(assessor.addFrame({instrument("a-1", hostile, Eigen::Vector3d(0, 0, 1000))}, {}, 5.0));
    const Assess::Assessment result = assessor.result();
    std::ostringstream report;
    Assess::writeReport(result, report);
    EXPECT_NE(report.str().find("precision               none measured: one reading"), std::string::npos)
        << report.str();
    EXPECT_EQ(report.str().find("orientation"), std::string::npos) << report.str();
    EXPECT_NE(report.str().find("measured (mm)           100.000, no std: 1 reading\n"), std::string::npos)
        << report.str();

    const nlohmann::json json = nlohmann::json::parse(Assess::assessmentJson(result));
    const nlohmann::json& pointer = json["points"][0];
    EXPECT_EQ(pointer["label"], "po\"in\\ter\x01\xEF\xBF\xBD");
    EXPECT_EQ(pointer["seen"], 1);
    EXPECT_EQ(pointer["mean"], nlohmann::json::parse("[0,0,1000]"));
    for (const char* unmeasured :
         {"stdPerAxis", "rmsFromMean", "radius95", "angularStdDegrees", "drift", "driftPerMinute"}) {
        EXPECT_TRUE(pointer[unmeasured].is_null()) << unmeasured;
    }
    EXPECT_TRUE(json["points"][2]["mean"].is_null());  // the reference, never seen
    const nlohmann::json& never = json["distances"][0];
    EXPECT_TRUE(never["mean"].is_null() && never["error"].is_null() && never["rmsError"].is_null());
    EXPECT_TRUE(never["std"].is_null());
    EXPECT_EQ(json["distances"][1]["error"], 0.0);
    EXPECT_TRUE(json["distances"][1]["std"].is_null());

    std::string why;
    EXPECT_FALSE(Assess::parseDistance("pointer:pointer=5", why));
    EXPECT_EQ(why, "'pointer' is at both ends: a distance takes two points");
    EXPECT_EQ(assessor.distanceProblem({"a-1", hostile, 5.0}),
              "'a-1' and '" + hostile + "' name one point, " + hostile + ": a distance takes two");
    EXPECT_NE(assessor.distanceProblem({"a-1.tip", hostile + ".tip", 5.0}).find("name one point"),
              std::string::npos);
    EXPECT_EQ(assessor.distanceProblem({"a-1", "a-1.tip", 5.0}), "");
    EXPECT_EQ(assessor.distanceProblem({"a-1", "tool", 5.0}),
              "'tool' names no instrument (or no calibrated tip: NAME.tip)");
}

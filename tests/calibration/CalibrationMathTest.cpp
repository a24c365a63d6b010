// Pivot calibration and marker definition on synthetic measurements with a known truth.
#include "calibration/MarkerDefinition.h"
#include "calibration/PivotCalibration.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>
#include <random>

using namespace Halvoren::Calibration;

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

/// Poses of a marker whose tip `tip` rests in `pivot`, tilted up to `amplitude` degrees about x and y.
std::vector<Eigen::Matrix4d> pivoting(const Eigen::Vector3d& tip, const Eigen::Vector3d& pivot,
                                      double amplitude, std::size_t count, double noiseMm,
                                      std::mt19937& random) {
    std::normal_distribution<double> noise(0.0, noiseMm);
    std::vector<Eigen::Matrix4d> poses;
    for (std::size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) / static_cast<double>(count);
        const Eigen::Matrix3d r =
            (Eigen::AngleAxisd(amplitude * kDegree * std::sin(6.28 * t), Eigen::Vector3d::UnitX()) *
             Eigen::AngleAxisd(amplitude * kDegree * std::cos(6.28 * 2 * t), Eigen::Vector3d::UnitY()) *
             Eigen::AngleAxisd(3.1, Eigen::Vector3d::UnitX()))
                .toRotationMatrix();
        Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
        pose.block<3, 3>(0, 0) = r;
        pose.block<3, 1>(0, 3) =
            pivot - r * tip + Eigen::Vector3d(noise(random), noise(random), noise(random));
        poses.push_back(pose);
    }
    return poses;
}

}  // namespace

TEST(PivotCalibration, FindsTipAndPivotDropsOutliersAndRefusesTooLittleRotation) {
    std::mt19937 random(3);
    const Eigen::Vector3d tip(1.5, 160.0, -4.0);
    const Eigen::Vector3d pivot(20.0, -30.0, 950.0);
    std::vector<Eigen::Matrix4d> poses = pivoting(tip, pivot, 30.0, 400, 0.1, random);
    for (std::size_t i = 0; i < poses.size(); i += 40) {
        poses[i](0, 3) += 25.0;  // the tool slipped out of the pivot
    }
    std::string error;
    const auto result = pivotCalibration(poses, error);
    ASSERT_TRUE(result) << error;
    EXPECT_LT((result->tipOffset - tip).norm(), 0.1);
    EXPECT_LT((result->pivotPoint - pivot).norm(), 0.1);
    EXPECT_LT(result->rmsResidualMm, 0.3);
    EXPECT_EQ(result->posesDropped, 10u);
    EXPECT_GT(result->angularSpreadDegrees, 40.0);

    const auto stiff = pivotCalibration(pivoting(tip, pivot, 3.0, 400, 0.1, random), error);
    EXPECT_FALSE(stiff);
    EXPECT_NE(error.find("too little rotation: the poses span"), std::string::npos) << error;

    // A tip that wandered: the bound refuses what the outlier step cannot mend.
    const auto loose = pivotCalibration(pivoting(tip, pivot, 30.0, 400, 3.0, random), error);
    EXPECT_FALSE(loose);
    EXPECT_NE(error.find("the tip did not stay in one point: RMS residual "), std::string::npos) << error;
    PivotOptions lenient;
    lenient.maximumRmsMm = 20.0;
    EXPECT_TRUE(pivotCalibration(pivoting(tip, pivot, 30.0, 400, 3.0, random), error, lenient)) << error;
}

TEST(MarkerDefinition, LearnsARigidBodyAmongDriftingFiducialsAndRefusesAnAmbiguousOne) {
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0.0, 0.05);
    const auto frames = [&](const std::vector<Eigen::Vector3d>& body) {
        std::vector<std::vector<Eigen::Vector3d>> out;
        for (int f = 0; f < 120; ++f) {
            const double t = f / 60.0;
            const Eigen::Matrix3d r = (Eigen::AngleAxisd(0.4 * std::sin(t), Eigen::Vector3d::UnitY()) *
                                       Eigen::AngleAxisd(t, Eigen::Vector3d::UnitZ()))
                                          .toRotationMatrix();
            std::vector<Eigen::Vector3d> points;
            // Strays that drift, and are listed first.
            for (int s = 0; s < 4; ++s) {
                points.emplace_back(200.0 * s - 300.0 + 10.0 * std::sin(0.7 * t + s), 80.0 * s,
                                    900.0 + 30.0 * std::cos(t * (s + 1)));
            }
            for (const auto& p : body) {
                points.push_back(r * p + Eigen::Vector3d(10.0 * t, 0.0, 1000.0) +
                                 Eigen::Vector3d(noise(random), noise(random), noise(random)));
            }
            if (f % 10 == 3) {
                points.pop_back();  // a fiducial hidden now and then
            }
            out.push_back(points);
        }
        return out;
    };

    const std::vector<Eigen::Vector3d> body = {{0, 0, 0}, {55, 0, 0}, {0, 80, 0}, {35, 115, 12}};
    std::string error;
    const auto marker = defineMarker(frames(body), error);
    ASSERT_TRUE(marker) << error;
    ASSERT_EQ(marker->points.size(), 4u);
    std::vector<double> learnt;
    std::vector<double> truth;
    for (std::size_t i = 0; i < 4; ++i) {
        for (std::size_t j = i + 1; j < 4; ++j) {
            learnt.push_back((marker->points[i] - marker->points[j]).norm());
            truth.push_back((body[i] - body[j]).norm());
        }
    }
    std::sort(learnt.begin(), learnt.end());
    std::sort(truth.begin(), truth.end());
    for (std::size_t k = 0; k < truth.size(); ++k) {
        EXPECT_NEAR(learnt[k], truth[k], 0.1);
    }
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    for (const auto& p : marker->points) {
        centre += p;
    }
    EXPECT_LT(centre.norm(), 1e-9);  // origin at the centroid
    const std::string text = geometryFileText(*marker, 1500, "learnt");
    EXPECT_NE(text.find("[geometry]\ncount=4\nid=1500\n[fiducial0]\nx="), std::string::npos) << text;

    const auto square = defineMarker(frames({{0, 0, 0}, {50, 0, 0}, {50, 50, 0}, {0, 50, 0}}), error);
    EXPECT_FALSE(square);
    EXPECT_NE(error.find("too alike to tell them apart under rotation"), std::string::npos) << error;
}

#include "registration/PointRegistration.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>
#include <random>

using namespace Halvoren::Registration;

namespace {

Eigen::Matrix4d rigid(const Eigen::Vector3d& axis, double degrees, const Eigen::Vector3d& translation) {
    Eigen::Matrix4d t = Eigen::Matrix4d::Identity();
    t.topLeftCorner<3, 3>() = Eigen::AngleAxisd(degrees * M_PI / 180.0, axis.normalized()).toRotationMatrix();
    t.topRightCorner<3, 1>() = translation;
    return t;
}

Eigen::Vector3d apply(const Eigen::Matrix4d& t, const Eigen::Vector3d& p) {
    return t.topLeftCorner<3, 3>() * p + t.topRightCorner<3, 1>();
}

}  // namespace

TEST(PointRegistration, RecoversAKnownTransformAndNeverAReflection) {
    const Points image = {{0, 0, 0}, {120, 10, -5}, {30, 140, 20}, {-40, 60, 90}, {70, -30, 60}};
    const Eigen::Matrix4d truth = rigid({1, 2, 3}, 37.0, {15, -250, 1010});
    Points reference;
    for (const auto& p : image) {
        reference.push_back(apply(truth, p));
    }
    const RigidFit fit = fitRigid(image, reference);
    EXPECT_TRUE(fit.transform.isApprox(truth, 1e-9));
    EXPECT_NEAR(fit.rmsResidual, 0.0, 1e-9);
    ASSERT_EQ(fit.residuals.size(), image.size());

    // A mirrored set is best fitted by a reflection; the fit stays a rotation and says so by its residuals.
    Points mirrored;
    for (const auto& p : reference) {
        mirrored.emplace_back(-p.x(), p.y(), p.z());
    }
    const RigidFit proper = fitRigid(image, mirrored);
    const Eigen::Matrix3d rotation = proper.transform.topLeftCorner<3, 3>();
    EXPECT_NEAR(rotation.determinant(), 1.0, 1e-9);
    EXPECT_GT(proper.rmsResidual, 10.0);
}

TEST(PointRegistration, RefusesTooFewAndCollinearLandmarks) {
    EXPECT_STREQ(refusal({{0, 0, 0}, {100, 0, 0}}), "fewer than 3 landmarks");
    EXPECT_STREQ(refusal({{0, 0, 0}, {100, 0, 0}, {200, 1, 0}, {300, -1, 1}}), "collinear");
    // Three points are always coplanar: that is no reason to refuse them.
    EXPECT_STREQ(refusal({{0, 0, 0}, {100, 0, 0}, {50, 60, 0}}), "");
    // A long, thin set is collinear by its proportion even when 5 mm off its line.
    EXPECT_STREQ(refusal({{0, 0, 0}, {1000, 0, 0}, {2000, 12, 0}, {3000, -12, 0}}), "collinear");
}

TEST(PointRegistration, PredictedTreFollowsTheConfigurationAndMatchesSimulatedErrors) {
    // A square of four fiducials in the xy plane: f_x = f_y = sqrt(1250), f_z = 50 mm. At 100 mm above
    // the centre d_x = d_y = 100 and d_z = 0, so TRE^2 = FLE^2 / 4 (1 + (8 + 8) / 3) = 19/12 FLE^2.
    const Points square = {{50, 0, 0}, {-50, 0, 0}, {0, 50, 0}, {0, -50, 0}};
    const Configuration configuration = configurationOf(square);
    EXPECT_NEAR(predictedTre(configuration, 1.0, Eigen::Vector3d(0, 0, 100)), std::sqrt(19.0 / 12.0), 1e-12);
    EXPECT_NEAR(predictedTre(configuration, 2.0, Eigen::Vector3d::Zero()), 1.0,
                1e-12);  // FLE / sqrt(N) at the centroid
    EXPECT_NEAR(fleFromResiduals(1.0, 6), std::sqrt(1.5), 1e-12);

    // Over many noisy registrations the RMS target error is what the formula predicts.
    const Points image = {{0, 0, 0}, {150, 0, 0}, {0, 120, 0}, {20, 30, 80}, {140, 110, 40}, {70, 60, -30}};
    const Eigen::Vector3d target(200, 180, 120);
    const double fle = 0.5;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, fle / std::sqrt(3.0));
    double squares = 0.0;
    double freSquares = 0.0;
    const int trials = 4000;
    for (int trial = 0; trial < trials; ++trial) {
        Points touched;
        for (const auto& p : image) {
            touched.push_back(p + Eigen::Vector3d(noise(random), noise(random), noise(random)));
        }
        const RigidFit fit = fitRigid(image, touched);
        squares += (apply(fit.transform, target) - target).squaredNorm();
        freSquares += fit.rmsResidual * fit.rmsResidual;
    }
    const double predicted = predictedTre(configurationOf(image), fle, target);
    EXPECT_NEAR(std::sqrt(squares / trials), predicted, 0.05 * predicted);
    EXPECT_NEAR(fleFromResiduals(std::sqrt(freSquares / trials), 6), fle, 0.05 * fle);
}

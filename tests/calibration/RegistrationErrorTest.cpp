// The registration error of a defined marker against the fiducials reported while it is tracked.
#include "calibration/RegistrationError.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>

using Halvoren::Calibration::RegistrationError;

TEST(RegistrationError, PlacesThePointsByThePoseAndMatchesEachToTheNearestFiducial) {
    const std::vector<Eigen::Vector3d> points = {{-20, -20, 0}, {20, -20, 0}, {20, 20, 0}, {-20, 20, 0}};
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.block<3, 3>(0, 0) = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
    pose.block<3, 1>(0, 3) = Eigen::Vector3d(10, -40, 900);

    RegistrationError error;
    EXPECT_EQ(error.rmsMm(), 0.0);
    // A frame in which the camera reported nothing has nothing to match.
    error.addFrame(pose, points, {});
    EXPECT_EQ(error.matched(), 0u);

    std::vector<Eigen::Vector3d> reported;
    for (const Eigen::Vector3d& point : points) {
        reported.push_back(pose.block<3, 3>(0, 0) * point + pose.block<3, 1>(0, 3));
    }
    reported[2].x() += 0.4;                                      // one fiducial off by 0.4 mm
    reported.push_back(reported[0] + Eigen::Vector3d(0, 0, 5));  // a stray one, farther than the true one
    error.addFrame(pose, points, reported);
    EXPECT_EQ(error.matched(), 4u);
    EXPECT_NEAR(error.rmsMm(), std::sqrt(0.16 / 4.0), 1e-9);

    // A second, exact frame halves the mean square.
    reported[2].x() -= 0.4;
    error.addFrame(pose, points, reported);
    EXPECT_EQ(error.matched(), 8u);
    EXPECT_NEAR(error.rmsMm(), std::sqrt(0.16 / 8.0), 1e-9);
}

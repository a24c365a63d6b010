#include "registration/TouchDetector.h"

#include <gtest/gtest.h>

#include <random>

using namespace Halvoren::Registration;

TEST(TouchDetector, TakesEachRestOnceAndNeverAMovingTip) {
    TouchDetector detector(0.5);
    std::mt19937 random(3);
    std::normal_distribution<double> jitter(0.0, 0.1);
    const auto noisy = [&](const Eigen::Vector3d& p) {
        return Eigen::Vector3d(p + Eigen::Vector3d(jitter(random), jitter(random), jitter(random)));
    };
    double t = 0.0;
    const double step = 0.01;
    // Moving at 20 mm/s, far slower than a hand moves, and drifting slowly: no touch.
    for (int i = 0; i < 200; ++i, t += step) {
        EXPECT_FALSE(detector.add(t, noisy(Eigen::Vector3d(20.0 * t, 0, 0))));
    }
    // Resting: taken once the dwell has passed, as the mean of the rest with its spread.
    const Eigen::Vector3d rest(10, 20, 30);
    std::optional<Touch> touch;
    int frames = 0;
    for (; !touch && frames < 200; ++frames, t += step) {
        touch = detector.add(t, noisy(rest));
    }
    ASSERT_TRUE(touch);
    EXPECT_GE(frames, 50);
    EXPECT_LT(frames, 100);
    EXPECT_LT((touch->point - rest).norm(), 0.1);
    EXPECT_NEAR(touch->jitterMm, 0.1 * std::sqrt(3.0), 0.05);
    EXPECT_NEAR(touch->localisationMm, touch->jitterMm / std::sqrt(double(touch->samples)), 1e-12);
    // Resting on: not taken again until the tip left the point.
    for (int i = 0; i < 200; ++i, t += step) {
        EXPECT_FALSE(detector.add(t, noisy(rest)));
    }
    // A frame in which the tip is not seen starts the rest again.
    const Eigen::Vector3d next(60, 20, 30);
    for (int i = 0; i < 40; ++i, t += step) {
        EXPECT_FALSE(detector.add(t, noisy(next)));
    }
    EXPECT_FALSE(detector.add(t, std::nullopt));
    EXPECT_DOUBLE_EQ(detector.restedSeconds(), 0.0);
    for (int i = 0; i < 40; ++i, t += step) {
        EXPECT_FALSE(detector.add(t, noisy(next)));
    }
    for (touch.reset(); !touch && t < 100.0; t += step) {
        touch = detector.add(t, noisy(next));
    }
    ASSERT_TRUE(touch);
    EXPECT_LT((touch->point - next).norm(), 0.1);
}

#include "ftk/SimulatedCamera.h"
#include "support/FifoWriter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QTemporaryDir>

#include <array>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

using ftksim::CameraSettings;
using ftksim::ScriptedFrame;
using ftksim::SimulatedCamera;

namespace {

constexpr double kPi = 3.14159265358979323846;

ftkGeometry makeGeometry(std::uint32_t id, std::initializer_list<ftkPoint3> points) {
    ftkGeometry geometry{};
    geometry.geometryId = id;
    for (const ftkPoint3& p : points) {
        geometry.positions[geometry.pointsCount++] = p;
    }
    return geometry;
}

// Two markers of four fiducials, not symmetric, about 50 mm across.
std::map<std::uint32_t, ftkGeometry> twoMarkers() {
    return {{7, makeGeometry(7, {{0, 0, 0}, {50, 0, 0}, {0, 40, 0}, {35, 55, 0}})},
            {12, makeGeometry(12, {{-30, -20, 0}, {30, -25, 0}, {25, 30, 0}, {-20, 35, 5}})}};
}

CameraSettings quietSettings(double noise, int strays) {
    CameraSettings settings;
    settings.pixelNoise = noise;
    settings.strayReflections = strays;
    return settings;
}

struct Pose {
    Eigen::Matrix3d rotation;
    Eigen::Vector3d translation;
};

Pose truePose(const SimulatedCamera& camera, std::uint32_t id, double t) {
    double r[3][3];
    double p[3];
    camera.truePose(id, t, r, p);
    Pose pose;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            pose.rotation(i, j) = r[i][j];
        }
        pose.translation(i) = p[i];
    }
    return pose;
}

void pin(SimulatedCamera& camera, std::uint32_t id, const Eigen::Matrix3d& rotation,
         const Eigen::Vector3d& at) {
    double r[3][3];
    double p[3];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            r[i][j] = rotation(i, j);
        }
        p[i] = at(i);
    }
    camera.pinPose(id, r, p);
}

// Facing the cameras: the marker's +z towards -z of the camera.
Eigen::Matrix3d facing() {
    return Eigen::AngleAxisd(kPi, Eigen::Vector3d::UnitX()).toRotationMatrix();
}

const ftkMarkerPose* findMarker(const ScriptedFrame& frame, std::uint32_t id) {
    for (const auto& marker : frame.markers) {
        if (marker.geometryId == id) {
            return &marker;
        }
    }
    return nullptr;
}

Eigen::Vector3d toVector(const ftkPoint3& p) {
    return {p.x, p.y, p.z};
}

// Every index in the frame points into its arrays.
void expectConsistentIndices(const ScriptedFrame& frame) {
    for (const auto& fiducial : frame.fiducials) {
        ASSERT_LT(fiducial.leftIndex, frame.leftRaw.size());
        ASSERT_LT(fiducial.rightIndex, frame.rightRaw.size());
    }
    for (const auto& marker : frame.markers) {
        for (std::uint32_t index : marker.correspondences) {
            if (index != FTK_NO_CORRESPONDENCE) {
                ASSERT_LT(index, frame.fiducials.size());
            }
        }
    }
}

}  // namespace

TEST(SimulatedCamera, TriangulatedFiducialsLandWhereThePointsWere) {
    for (const double noise : {0.0, 0.2}) {
        SCOPED_TRACE("noise " + std::to_string(noise));
        SimulatedCamera camera(quietSettings(noise, 0));
        const auto geometries = twoMarkers();
        camera.setGeometries({{7, geometries.at(7)}});
        const Eigen::Vector3d at(100.0, -40.0, 900.0);
        pin(camera, 7, facing(), at);

        ScriptedFrame frame;
        ASSERT_TRUE(camera.frameAt(0.0, false, frame));
        ASSERT_EQ(frame.fiducials.size(), 4u);
        ASSERT_EQ(frame.leftRaw.size(), 4u);
        ASSERT_EQ(frame.rightRaw.size(), 4u);
        expectConsistentIndices(frame);

        const auto calibration = camera.calibration();
        // Depth is the least certain: dz = z^2 / (f b) * d(disparity); allow four standard deviations.
        const double depthTolerance = 1e-3 + 4.0 * std::sqrt(2.0) * noise * 900.0 * 900.0 /
                                                 (calibration.focalPx * calibration.baselineMm);
        std::set<std::uint32_t> matched;
        for (std::uint32_t i = 0; i < 4; ++i) {
            const Eigen::Vector3d truth = facing() * toVector(geometries.at(7).positions[i]) + at;
            const auto& fiducial = frame.fiducials[findMarker(frame, 7)->correspondences[i]];
            matched.insert(findMarker(frame, 7)->correspondences[i]);
            EXPECT_NEAR(fiducial.position.z, truth.z(), depthTolerance);
            EXPECT_NEAR(fiducial.position.x, truth.x(), depthTolerance / 4.0 + 0.02);
            EXPECT_NEAR(fiducial.position.y, truth.y(), depthTolerance / 4.0 + 0.02);

            // The detections are the projections, within the pixel noise.
            const auto& left = frame.leftRaw[fiducial.leftIndex];
            const auto& right = frame.rightRaw[fiducial.rightIndex];
            const double pixelTolerance = 1e-3 + 4.0 * noise;
            EXPECT_NEAR(left.centerX, calibration.focalPx * truth.x() / truth.z() + calibration.cx,
                        pixelTolerance);
            EXPECT_NEAR(left.centerY, calibration.focalPx * truth.y() / truth.z() + calibration.cy,
                        pixelTolerance);
            EXPECT_NEAR(
                right.centerX,
                calibration.focalPx * (truth.x() - calibration.baselineMm) / truth.z() + calibration.cx,
                pixelTolerance);
            EXPECT_NEAR(fiducial.epipolarError, std::abs(left.centerY - right.centerY), 1e-4);
            EXPECT_LE(fiducial.epipolarError, 2.0 * pixelTolerance);
            EXPECT_LE(fiducial.triangulationError, depthTolerance / 4.0 + 0.01);
            EXPECT_FLOAT_EQ(fiducial.probability, 1.0f);
            EXPECT_GE(left.width, 5);
            EXPECT_LE(left.width, 9);
            EXPECT_GT(left.pixelCount, 0u);
        }
        EXPECT_EQ(matched.size(), 4u);
    }
}

TEST(SimulatedCamera, FittedPosesFollowTheTruePathsOverManyFrames) {
    for (const double noise : {0.0, 0.1}) {
        SCOPED_TRACE("noise " + std::to_string(noise));
        SimulatedCamera camera(quietSettings(noise, 3));
        camera.setGeometries(twoMarkers());
        const auto calibration = camera.calibration();
        ScriptedFrame frame;
        double angleSum = 0.0;
        int fits = 0;
        for (int step = 0; step < 40; ++step) {
            const double t = step * 1.7;  // spread over the slow waves of the paths
            SCOPED_TRACE("t = " + std::to_string(t));
            ASSERT_TRUE(camera.frameAt(t, false, frame));
            EXPECT_EQ(frame.status, FTK_OK);
            ASSERT_EQ(frame.markers.size(), 2u) << "both markers stay in view";
            expectConsistentIndices(frame);
            for (const std::uint32_t id : {7u, 12u}) {
                const Pose truth = truePose(camera, id, t);
                const ftkMarkerPose* marker = findMarker(frame, id);
                ASSERT_NE(marker, nullptr);

                // The path stays in the working volume and mostly faces the cameras.
                EXPECT_GE(truth.translation.z(), 500.0);
                EXPECT_LE(truth.translation.z(), 1500.0);
                const double tilt = std::acos(-truth.rotation.col(2).z()) * 180.0 / kPi;
                EXPECT_LT(tilt, 35.0);
                EXPECT_NEAR(truth.rotation.determinant(), 1.0, 1e-9);

                Eigen::Matrix3d rotation;
                for (int i = 0; i < 3; ++i) {
                    for (int j = 0; j < 3; ++j) {
                        rotation(i, j) = marker->rotation[i][j];
                    }
                }
                EXPECT_NEAR(rotation.determinant(), 1.0, 1e-4);
                const Eigen::Vector3d translation(marker->translation[0], marker->translation[1],
                                                  marker->translation[2]);
                const double angle =
                    Eigen::AngleAxisd(rotation * truth.rotation.transpose()).angle() * 180.0 / kPi;
                // Depth noise dominates: dz = z^2 / (f b) * sqrt(2) * noise, over a lever of about 40 mm.
                // Five standard deviations, plus what float storage loses.
                const double z = truth.translation.z();
                const double depthSigma =
                    z * z / (calibration.focalPx * calibration.baselineMm) * std::sqrt(2.0) * noise;
                EXPECT_LT(angle, 0.01 + 5.0 * depthSigma / 40.0 * 180.0 / kPi);
                EXPECT_LT((translation - truth.translation).norm(), 0.01 + 5.0 * depthSigma);
                EXPECT_LT(marker->registrationError, 0.01 + 3.0 * depthSigma);
                for (int i = 4; i < FTK_MAX_GEOMETRY_FIDUCIALS; ++i) {
                    EXPECT_EQ(marker->correspondences[i], FTK_NO_CORRESPONDENCE);
                }
                angleSum += angle;
                ++fits;
            }
            // The markers' own fiducials, and the strays, are all seen.
            EXPECT_EQ(frame.fiducials.size(), 8u + 3u);
        }
        // On average the fit is much better than its worst case.
        EXPECT_LT(angleSum / fits, 0.01 + 8.0 * noise);
        // The paths are not standing still, and not the same for two markers.
        EXPECT_GT((truePose(camera, 7, 0.0).translation - truePose(camera, 7, 5.0).translation).norm(), 10.0);
        EXPECT_GT((truePose(camera, 7, 3.0).translation - truePose(camera, 12, 3.0).translation).norm(), 1.0);
    }
}

TEST(SimulatedCamera, AStillSceneHoldsItsPathsSoThatOnlyThePixelNoiseMovesTheFits) {
    CameraSettings settings = quietSettings(0.2, 2);
    settings.still = true;
    settings.pivotMarker = 12;
    SimulatedCamera camera(settings);
    camera.setGeometries(twoMarkers());
    const Pose start = truePose(camera, 7, 0.0);
    const Pose later = truePose(camera, 7, 30.0);
    EXPECT_TRUE(later.rotation.isApprox(start.rotation, 1e-12));
    EXPECT_TRUE(later.translation.isApprox(start.translation, 1e-12));
    EXPECT_GT((truePose(camera, 12, 30.0).translation - truePose(camera, 12, 0.0).translation).norm(), 1.0);

    // The fit's centre is the mean of the four fiducials it was fitted to, so its depth scatters by half a
    // fiducial's: dz = z^2 / (f b) * sqrt(2) * noise.
    const auto geometry = twoMarkers().at(7);
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    for (std::uint32_t i = 0; i < geometry.pointsCount; ++i) {
        centre += toVector(geometry.positions[i]) / geometry.pointsCount;
    }
    const Eigen::Vector3d trueCentre = start.rotation * centre + start.translation;
    const auto calibration = camera.calibration();
    const double expectedSigma = trueCentre.z() * trueCentre.z() /
                                 (calibration.focalPx * calibration.baselineMm) * std::sqrt(2.0) * 0.2 / 2.0;
    const int frames = 200;
    double sum = 0.0;
    double squares = 0.0;
    ScriptedFrame frame;
    for (int i = 0; i < frames; ++i) {
        ASSERT_TRUE(camera.frameAt(i / 100.0, false, frame));
        const ftkMarkerPose* marker = findMarker(frame, 7);
        ASSERT_NE(marker, nullptr);
        double z = marker->translation[2];
        for (int j = 0; j < 3; ++j) {
            z += marker->rotation[2][j] * centre(j);
        }
        sum += z - trueCentre.z();
        squares += (z - trueCentre.z()) * (z - trueCentre.z());
    }
    const double mean = sum / frames;
    const double sigma = std::sqrt(squares / frames - mean * mean);
    // 200 frames know the spread to about 5 % and the mean to 7 % of the spread.
    EXPECT_NEAR(sigma, expectedSigma, 0.2 * expectedSigma);
    EXPECT_LT(std::abs(mean), 0.3 * expectedSigma);
}

TEST(SimulatedCamera, DriftMovesAllTheCameraSeesAlongXAsItWarmsUp) {
    CameraSettings settings = quietSettings(0.0, 0);
    settings.still = true;
    settings.pivotMarker = 12;
    SimulatedCamera steady(settings);
    settings.driftMmPerMinute = 6.0;
    SimulatedCamera drifting(settings);
    steady.setGeometries(twoMarkers());
    drifting.setGeometries(twoMarkers());
    const Eigen::Vector3d shift(3.0, 0.0, 0.0);  // 6 mm a minute for 30 s
    EXPECT_TRUE(truePose(drifting, 7, 30.0)
                    .translation.isApprox(truePose(drifting, 7, 0.0).translation + shift, 1e-12));
    EXPECT_TRUE(truePose(drifting, 7, 30.0).rotation.isApprox(truePose(steady, 7, 30.0).rotation, 1e-12));
    // The pivoting marker drifts with the rest.
    EXPECT_TRUE(truePose(drifting, 12, 30.0)
                    .translation.isApprox(truePose(steady, 12, 30.0).translation + shift, 1e-12));
    // And the camera reports what it sees.
    ScriptedFrame frame;
    ASSERT_TRUE(drifting.frameAt(30.0, false, frame));
    const ftkMarkerPose* marker = findMarker(frame, 7);
    ASSERT_NE(marker, nullptr);
    const Eigen::Vector3d fitted(marker->translation[0], marker->translation[1], marker->translation[2]);
    EXPECT_LT((fitted - truePose(drifting, 7, 30.0).translation).norm(), 0.01);
}

TEST(SimulatedCamera, HiddenOrPartlyVisibleMarkersAreNotReported) {
    SimulatedCamera camera(quietSettings(0.1, 0));
    camera.setGeometries(twoMarkers());
    ScriptedFrame frame;

    camera.setHiddenGeometry(7, true);
    ASSERT_TRUE(camera.frameAt(1.0, false, frame));
    EXPECT_EQ(findMarker(frame, 7), nullptr);
    ASSERT_NE(findMarker(frame, 12), nullptr);
    EXPECT_EQ(frame.fiducials.size(), 4u) << "an occluded marker leaves no fiducials";

    camera.setHiddenGeometry(7, false);
    ASSERT_TRUE(camera.frameAt(1.0, false, frame));
    EXPECT_NE(findMarker(frame, 7), nullptr);

    // Far beyond the left edge of both images: nothing at all is detected of it.
    pin(camera, 7, facing(), Eigen::Vector3d(-2000.0, 0.0, 1000.0));
    ASSERT_TRUE(camera.frameAt(1.0, false, frame));
    EXPECT_EQ(findMarker(frame, 7), nullptr);
    EXPECT_EQ(frame.leftRaw.size(), 4u);

    // Behind the cameras.
    pin(camera, 7, facing(), Eigen::Vector3d(100.0, 0.0, -800.0));
    ASSERT_TRUE(camera.frameAt(1.0, false, frame));
    EXPECT_EQ(findMarker(frame, 7), nullptr);
    EXPECT_EQ(frame.fiducials.size(), 4u);

    // Straddling the right camera's left edge: some fiducials are in both images, some only in the left
    // one; the marker is not reported, while its fully seen fiducials still are.
    const auto calibration = camera.calibration();
    const double z = 1000.0;
    const double rightEdgeX = calibration.baselineMm - calibration.cx * z / calibration.focalPx;
    pin(camera, 7, facing(), Eigen::Vector3d(rightEdgeX - 20.0, 0.0, z));
    ASSERT_TRUE(camera.frameAt(1.0, false, frame));
    EXPECT_EQ(findMarker(frame, 7), nullptr);
    EXPECT_NE(findMarker(frame, 12), nullptr);
    EXPECT_GT(frame.fiducials.size(), 4u);
    EXPECT_LT(frame.fiducials.size(), 8u);
    EXPECT_EQ(frame.leftRaw.size(), 8u);
    expectConsistentIndices(frame);
}

TEST(SimulatedCamera, StrayReflectionsAreFiducialsOfNoMarker) {
    SimulatedCamera camera(quietSettings(0.1, 5));
    camera.setGeometries(twoMarkers());
    ScriptedFrame frame;
    for (const double t : {0.0, 4.0, 11.0}) {
        ASSERT_TRUE(camera.frameAt(t, false, frame));
        std::set<std::uint32_t> ofMarkers;
        for (const auto& marker : frame.markers) {
            for (std::uint32_t index : marker.correspondences) {
                if (index != FTK_NO_CORRESPONDENCE) {
                    ofMarkers.insert(index);
                }
            }
        }
        EXPECT_EQ(frame.markers.size(), 2u);
        EXPECT_EQ(ofMarkers.size(), 8u);
        EXPECT_EQ(frame.fiducials.size() - ofMarkers.size(), 5u);
        for (const auto& fiducial : frame.fiducials) {
            EXPECT_GE(fiducial.position.z, 500.0f);
            EXPECT_LE(fiducial.position.z, 1500.0f);
        }
    }
}

TEST(SimulatedCamera, ImagesShowABrightBlobAtEachDetection) {
    CameraSettings settings = quietSettings(0.1, 2);
    settings.imageWidth = 640;
    settings.imageHeight = 480;
    SimulatedCamera camera(settings);
    camera.setGeometries(twoMarkers());
    ScriptedFrame frame;

    ASSERT_TRUE(camera.frameAt(0.0, false, frame));
    EXPECT_TRUE(frame.leftPixels.empty());
    EXPECT_EQ(frame.width, 0);

    // Several frames: the blobs of the previous one must not linger where nothing is now.
    for (const double t : {0.0, 6.0, 13.0}) {
        SCOPED_TRACE("t = " + std::to_string(t));
        ASSERT_TRUE(camera.frameAt(t, true, frame));
        ASSERT_EQ(frame.width, 640);
        ASSERT_EQ(frame.height, 480);
        ASSERT_EQ(frame.leftPixels.size(), 640u * 480u);
        ASSERT_EQ(frame.rightPixels.size(), 640u * 480u);
        const auto pixelAt = [](const std::vector<std::uint8_t>& pixels, float x, float y) {
            return pixels[static_cast<std::size_t>(std::lround(y)) * 640 +
                          static_cast<std::size_t>(std::lround(x))];
        };
        ASSERT_EQ(frame.leftRaw.size(), 10u);
        for (const auto& raw : frame.leftRaw) {
            EXPECT_GT(pixelAt(frame.leftPixels, raw.centerX, raw.centerY), 150);
        }
        for (const auto& raw : frame.rightRaw) {
            EXPECT_GT(pixelAt(frame.rightPixels, raw.centerX, raw.centerY), 150);
        }
        // Away from every blob the background is dark.
        std::size_t bright = 0;
        for (const std::uint8_t value : frame.leftPixels) {
            bright += value > 60 ? 1 : 0;
        }
        EXPECT_GT(bright, 10u * 4u);
        EXPECT_LT(bright, 10u * 100u);
    }
}

TEST(SimulatedCamera, InjectedFaultsAtRateOne) {
    const auto frameWith = [](void (*set)(CameraSettings&), ScriptedFrame& frame) {
        CameraSettings settings = quietSettings(0.1, 0);
        set(settings);
        SimulatedCamera camera(settings);
        camera.setGeometries(twoMarkers());
        return camera.frameAt(2.0, false, frame);
    };
    ScriptedFrame frame;

    EXPECT_FALSE(frameWith([](CameraSettings& s) { s.droppedFrameRate = 1.0; }, frame));

    ASSERT_TRUE(frameWith(
        [](CameraSettings& s) {
            s.errorStatusRate = 1.0;
            s.errorStatus = 42;
        },
        frame));
    EXPECT_EQ(frame.status, 42);
    EXPECT_TRUE(frame.markers.empty());
    EXPECT_TRUE(frame.fiducials.empty());
    EXPECT_TRUE(frame.leftRaw.empty());

    ASSERT_TRUE(frameWith([](CameraSettings& s) { s.shockWarningRate = 1.0; }, frame));
    EXPECT_EQ(frame.status, FTK_WAR_SHOCK_DETECTED);
    EXPECT_EQ(frame.markers.size(), 2u) << "a shock warning comes with a usable frame";

    ASSERT_TRUE(frameWith([](CameraSettings& s) { s.markerOverflowRate = 1.0; }, frame));
    EXPECT_EQ(frame.status, FTK_OK);
    EXPECT_EQ(frame.markersStatus, FTK_PART_OVERFLOW);

    ASSERT_TRUE(frameWith([](CameraSettings&) {}, frame));
    EXPECT_EQ(frame.status, FTK_OK);
    EXPECT_EQ(frame.markersStatus, FTK_PART_OK);

    // A freeze delivers no frame from its start for its length, and frames again after it.
    CameraSettings settings = quietSettings(0.1, 0);
    settings.freezeAtSeconds = 1.0;
    settings.freezeForSeconds = 0.5;
    SimulatedCamera frozen(settings);
    frozen.setGeometries(twoMarkers());
    EXPECT_TRUE(frozen.frameAt(0.99, false, frame));
    EXPECT_FALSE(frozen.frameAt(1.0, false, frame));
    EXPECT_FALSE(frozen.frameAt(1.49, false, frame));
    EXPECT_TRUE(frozen.frameAt(1.5, false, frame));
    EXPECT_EQ(frame.markers.size(), 2u);
}

TEST(SimulatedCamera, SameSeedSameFrames) {
    ScriptedFrame first;
    ScriptedFrame second;
    SimulatedCamera a(quietSettings(0.3, 4));
    SimulatedCamera b(quietSettings(0.3, 4));
    a.setGeometries(twoMarkers());
    b.setGeometries(twoMarkers());
    ASSERT_TRUE(a.frameAt(3.0, false, first));
    ASSERT_TRUE(b.frameAt(3.0, false, second));
    ASSERT_EQ(first.fiducials.size(), second.fiducials.size());
    for (std::size_t i = 0; i < first.fiducials.size(); ++i) {
        EXPECT_EQ(first.fiducials[i].position.x, second.fiducials[i].position.x);
        EXPECT_EQ(first.fiducials[i].position.z, second.fiducials[i].position.z);
    }
}

TEST(SimulatedCamera, WaitForFrameDeliversSuccessiveFramesAndTimesOut) {
    CameraSettings settings = quietSettings(0.1, 0);
    settings.frameRateHz = 1000.0;
    SimulatedCamera fast(settings);
    fast.setGeometries(twoMarkers());
    ScriptedFrame frame;
    SimulatedCamera::FrameInfo previous;
    ASSERT_TRUE(fast.waitForFrame(std::chrono::seconds(5), false, frame, &previous));
    for (int i = 0; i < 5; ++i) {
        SimulatedCamera::FrameInfo info;
        ASSERT_TRUE(fast.waitForFrame(std::chrono::seconds(5), false, frame, &info));
        EXPECT_GT(info.index, previous.index);
        EXPECT_DOUBLE_EQ(info.timeSeconds, info.index / 1000.0);
        EXPECT_EQ(frame.markers.size(), 2u);
        previous = info;
    }

    // One frame every 100 s: the first is due at start, the next not within a millisecond.
    settings.frameRateHz = 0.01;
    SimulatedCamera slow(settings);
    ASSERT_TRUE(slow.waitForFrame(std::chrono::seconds(5), false, frame));
    EXPECT_FALSE(slow.waitForFrame(std::chrono::milliseconds(1), false, frame));
}

TEST(SimulatedCamera, ConcurrentCallersNeverShareAFrame) {
    CameraSettings settings = quietSettings(0.1, 2);
    settings.frameRateHz = 1000.0;
    SimulatedCamera camera(settings);
    std::vector<std::uint64_t> indices[2];
    const auto take = [&camera](std::vector<std::uint64_t>& out) {
        ScriptedFrame frame;
        for (int i = 0; i < 20; ++i) {
            SimulatedCamera::FrameInfo info;
            if (camera.waitForFrame(std::chrono::seconds(5), true, frame, &info)) {
                out.push_back(info.index);
            }
        }
    };
    std::thread first(take, std::ref(indices[0]));
    std::thread second(take, std::ref(indices[1]));
    // Meanwhile the device's geometries change.
    for (int i = 0; i < 20; ++i) {
        camera.setGeometries(i % 2 == 0 ? twoMarkers() : std::map<std::uint32_t, ftkGeometry>{});
    }
    first.join();
    second.join();
    std::set<std::uint64_t> all(indices[0].begin(), indices[0].end());
    all.insert(indices[1].begin(), indices[1].end());
    EXPECT_EQ(indices[0].size(), 20u);
    EXPECT_EQ(indices[1].size(), 20u);
    EXPECT_EQ(all.size(), 40u);
}

namespace {

class CameraSettingsFile : public ::testing::Test {
protected:
    std::string write(const std::string& text) {
        const std::string path = ::testing::TempDir() + "camera-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".cfg";
        std::ofstream(path) << text;
        return path;
    }
    /// The settings the file holds; nothing, with the error's text kept, when it is refused.
    std::optional<CameraSettings> read(const std::string& path) {
        auto settings = ftksim::readCameraSettings(path);
        if (!settings) {
            EXPECT_EQ(settings.error().kind, Halvoren::ErrorKind::BadInput);
            error = settings.error().message;
            return std::nullopt;
        }
        return *settings;
    }
    std::string error;
};

}  // namespace

TEST_F(CameraSettingsFile, ReadsEveryKeyAndKeepsDefaultsForTheRest) {
    const std::string path = write(
        "# demonstration camera\n"
        "\n"
        "model = fTk 500\n"
        "  serial=0x1A2b   # hexadecimal\n"
        "rate = 30.5\n"
        "noise = 0.25\n"
        "width = 640\n"
        "height = 480\n"
        "strays = 0\n"
        "seed = 4000000000\n"
        "shock_rate = 0.01\n"
        "drop_rate = 0\n"
        "error_rate = 1\n"
        "error_status = 4\n"
        "overflow_rate = 0.5\r\n"
        "internal_rate = 0.25\n"
        "freeze_at = 2.5\n"
        "freeze_for = 0.5\n"
        "pivot_marker = 1200\n"
        "pivot_point = 1, -2.5, 900\n"
        "still = 1\n"
        "drift = -2.5\n"
        "body = 0 0 0; 55 0 0;0 80 0\n"
        "replay = runs/first.seq.mhd\n"
        "replay_speed = 2.5\n");
    const auto settings = read(path);
    ASSERT_TRUE(settings) << error;
    EXPECT_EQ(settings->model, FTK_DEVICE_FUSIONTRACK_500);
    EXPECT_EQ(settings->serialNumber, 0x1A2BULL);
    EXPECT_DOUBLE_EQ(settings->frameRateHz, 30.5);
    EXPECT_DOUBLE_EQ(settings->pixelNoise, 0.25);
    EXPECT_EQ(settings->imageWidth, 640);
    EXPECT_EQ(settings->imageHeight, 480);
    EXPECT_EQ(settings->strayReflections, 0);
    EXPECT_EQ(settings->seed, 4000000000u);
    EXPECT_DOUBLE_EQ(settings->shockWarningRate, 0.01);
    EXPECT_DOUBLE_EQ(settings->droppedFrameRate, 0.0);
    EXPECT_DOUBLE_EQ(settings->errorStatusRate, 1.0);
    EXPECT_EQ(settings->errorStatus, 4);
    EXPECT_DOUBLE_EQ(settings->markerOverflowRate, 0.5);
    EXPECT_DOUBLE_EQ(settings->internalErrorRate, 0.25);
    EXPECT_DOUBLE_EQ(settings->freezeAtSeconds, 2.5);
    EXPECT_DOUBLE_EQ(settings->freezeForSeconds, 0.5);
    EXPECT_EQ(settings->pivotMarker, 1200u);
    EXPECT_EQ(settings->pivotPoint, (std::array<double, 3>{1.0, -2.5, 900.0}));
    EXPECT_TRUE(settings->still);
    EXPECT_DOUBLE_EQ(settings->driftMmPerMinute, -2.5);
    ASSERT_EQ(settings->body.size(), 3u);
    EXPECT_EQ(settings->body[2], (std::array<double, 3>{0.0, 80.0, 0.0}));
    // A recording named from the settings file's folder.
    EXPECT_EQ(settings->replay, std::filesystem::path(path).parent_path() / "runs/first.seq.mhd");
    EXPECT_DOUBLE_EQ(settings->replaySpeed, 2.5);

    const auto replay = read(write("replay = /data/run.mha\nreplay_speed = max\n"));
    ASSERT_TRUE(replay) << error;
    EXPECT_EQ(replay->replay, "/data/run.mha");
    EXPECT_EQ(replay->replaySpeed, CameraSettings::kReplayAtOnce);

    const auto minimal = read(write("model = simulator\nserial = 123456\n"));
    ASSERT_TRUE(minimal) << error;
    EXPECT_EQ(minimal->model, FTK_DEVICE_SIMULATOR);
    EXPECT_EQ(minimal->serialNumber, 123456u);
    EXPECT_DOUBLE_EQ(minimal->frameRateHz, CameraSettings{}.frameRateHz);
    EXPECT_TRUE(minimal->replay.empty());
    EXPECT_DOUBLE_EQ(minimal->replaySpeed, 1.0);
    EXPECT_FALSE(minimal->still);
    EXPECT_DOUBLE_EQ(minimal->driftMmPerMinute, 0.0);
}

TEST_F(CameraSettingsFile, RejectsBadLinesNamingFileAndLine) {
    struct Case {
        std::string text;
        std::string expected;  // after "<path>:"
    };
    const Case cases[] = {
        {"rate = 60\nframerate = 30\n", "2: unknown key \"framerate\""},
        {"# header\n\nrate 60\n", "3: expected \"key = value\""},
        {"= 60\n", "1: expected \"key = value\""},
        {"rate = fast\n", "1: bad value \"fast\" for \"rate\""},
        {"rate = 60hz\n", "1: bad value \"60hz\" for \"rate\""},
        {"rate = 0\n", "1: bad value \"0\" for \"rate\""},
        {"rate =\n", "1: bad value \"\" for \"rate\""},
        {"noise = -0.1\n", "1: bad value \"-0.1\" for \"noise\""},
        {"model = spryTrack 300\n", "1: bad value \"spryTrack 300\" for \"model\""},
        {"serial = 0\n", "1: bad value \"0\" for \"serial\""},
        {"serial = 0xZZ\n", "1: bad value \"0xZZ\" for \"serial\""},
        {"serial = 99999999999999999999999\n", "1: bad value \"99999999999999999999999\" for \"serial\""},
        {"width = 1280.5\n", "1: bad value \"1280.5\" for \"width\""},
        {"height = 70000\n", "1: bad value \"70000\" for \"height\""},
        {"strays = -1\n", "1: bad value \"-1\" for \"strays\""},
        {"seed = 4294967296\n", "1: bad value \"4294967296\" for \"seed\""},
        {"drop_rate = 1.5\n", "1: bad value \"1.5\" for \"drop_rate\""},
        {"error_status = 0\n", "1: bad value \"0\" for \"error_status\""},
        {"pivot_tip = 1 2\n", "1: bad value \"1 2\" for \"pivot_tip\""},
        {"pivot_point = 1 2 nan\n", "1: bad value \"1 2 nan\" for \"pivot_point\""},
        {"body = 0 0 0; 1 1 1\n", "1: bad value \"0 0 0; 1 1 1\" for \"body\""},
        {"still = 2\n", "1: bad value \"2\" for \"still\": expected a whole number from 0 to 1"},
        {"still = yes\n", "1: bad value \"yes\" for \"still\""},
        {"drift = inf\n", "1: bad value \"inf\" for \"drift\""},
        {"drift = -1000.5\n", "1: bad value \"-1000.5\" for \"drift\": expected a number from -1000 to 1000"},
        {"replay = run.raw\n", "1: bad value \"run.raw\" for \"replay\""},
        {"replay_speed = 0\n", "1: bad value \"0\" for \"replay_speed\""},
        {"replay_speed = 1001\n",
         "1: bad value \"1001\" for \"replay_speed\": expected a number above 0 and at "
         "most 1000, or \"max\""},
        {"rate = 60\nrate = 30\n", "2: key \"rate\" given twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path = write(c.text);
        error.clear();
        EXPECT_FALSE(read(path));
        EXPECT_EQ(error.rfind(path + ":" + c.expected, 0), 0u) << error;
    }
}

TEST_F(CameraSettingsFile, AQuotedValueIsTakenAsWrittenSoThatAnyPathReplays) {
    // '#', '=', blanks at either end, non-ASCII and a line break in a path; a comment after the quotes.
    const std::string weird = "/data/ run#1 = \xc3\xa4\n\"x\" \\ /a.seq.mhd";
    const auto quoted =
        read(write("replay = \"/data/ run#1 = \xc3\xa4\\n\\\"x\\\" \\\\ /a.seq.mhd\"   # the run\n"
                   "model = \"sTk 180\"\n"));
    ASSERT_TRUE(quoted) << error;
    EXPECT_EQ(quoted->replay, weird);
    EXPECT_EQ(quoted->model, FTK_DEVICE_SPRYTRACK_180);

    const std::pair<std::string, std::string> bad[] = {
        {"rate = 60\nreplay = \"/a.seq.mhd\n", "2: a quoted value without its closing quote"},
        {"replay = \"/a\\q.seq.mhd\"\n", "1: unknown escape \"\\q\" in a quoted value"},
        {"replay = \"/a.seq.mhd\" b\n", "1: text after the quoted value of \"replay\": \"b\""},
    };
    for (const auto& [text, expected] : bad) {
        SCOPED_TRACE(text);
        const std::string path = write(text);
        error.clear();
        EXPECT_FALSE(read(path));
        EXPECT_EQ(error, path + ":" + expected);
    }
}

TEST_F(CameraSettingsFile, AFifoIsRefusedAtOnceWhetherOrNotItHasAWriter) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // One that no program writes would hold the reader for ever; one that sends an endless line, too.
    const std::string idle = dir.filePath("idle").toStdString();
    ASSERT_EQ(::mkfifo(idle.c_str(), 0600), 0);
    const TestSupport::FifoWriter fifo(dir.filePath("fifo").toStdString(), 2 * 1024 * 1024, 'x');
    for (const std::string& path : {idle, fifo.path()}) {
        EXPECT_FALSE(read(path));
        EXPECT_EQ(error, path + ": cannot open the camera settings file: it is a FIFO, not a regular file");
    }
}

TEST_F(CameraSettingsFile, ARegularFileMayFillTheLimitButNotPassIt) {
    std::string text = "rate = 30\n";
    text += std::string(1024 * 1024 - text.size() - 1, '#') + "\n";
    const auto full = read(write(text));
    ASSERT_TRUE(full) << error;
    EXPECT_DOUBLE_EQ(full->frameRateHz, 30.0);

    const std::string path = write(text + "\n");
    EXPECT_FALSE(read(path));
    EXPECT_EQ(error, path + ": larger than 1 MB: not a camera settings file");
}

TEST_F(CameraSettingsFile, UnreadableFileNamesTheFile) {
    const std::string missing = ::testing::TempDir() + "no-such-camera.cfg";
    EXPECT_FALSE(read(missing));
    EXPECT_NE(error.find(missing), std::string::npos) << error;

    error.clear();
    EXPECT_FALSE(read(::testing::TempDir()));
    EXPECT_NE(error.find(::testing::TempDir()), std::string::npos) << error;
}

namespace {

template <class T>
bool sameBytes(const std::vector<T>& a, const std::vector<T>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

bool inside(double t, double from, double length) {
    return t >= from && t < from + length;
}

}  // namespace

TEST_F(CameraSettingsFile, HideLinesEachAddAPeriodAndBadOnesAreRefused) {
    // Repeatable; a marker file's id below 1000 names the geometry the camera knows by the raised id.
    const auto settings =
        read(write("hide = 7 1 0.5   # geometry 1007\n"
                   "strays = 2\n"
                   "hide = 1012 2.5 1\n"
                   "hide = 1007 4.5 0.25\n"));
    ASSERT_TRUE(settings) << error;
    ASSERT_EQ(settings->hidePeriods.size(), 3u);
    EXPECT_EQ(settings->hidePeriods[0].geometryId, 1007u);
    EXPECT_DOUBLE_EQ(settings->hidePeriods[0].fromSeconds, 1.0);
    EXPECT_DOUBLE_EQ(settings->hidePeriods[0].forSeconds, 0.5);
    EXPECT_EQ(settings->hidePeriods[1].geometryId, 1012u);

    std::string tooMany;
    for (int i = 0; i <= 1000; ++i) {
        tooMany += "hide = 1200 " + std::to_string(i) + " 1\n";
    }
    const std::pair<std::string, std::string> bad[] = {
        {"hide = 7 1\n", "1: bad value \"7 1\""},
        {"hide = 7 1 1\nhide = 0 1 1\n", "2: bad value \"0 1 1\""},
        {"hide = 4294967296 1 1\n", "1: bad value \"4294967296 1 1\""},
        {"hide = 7 -1 1\n", "1: bad value \"7 -1 1\""},
        {"hide = 7 1 86401\n", "1: bad value \"7 1 86401\""},
        {"hide = 7 1 nan\n", "1: bad value \"7 1 nan\""},
        {"hide = 7 1 1 1\n", "1: bad value \"7 1 1 1\""},
        {tooMany, "1001: bad value \"1200 1000 1\""},
    };
    const std::string what =
        " for \"hide\": expected \"GEOMETRY_ID FROM_SECOND FOR_SECONDS\": a geometry id from 1 to 4294967295";
    for (const auto& [text, expected] : bad) {
        SCOPED_TRACE(text.substr(0, 40));
        const std::string path = write(text);
        error.clear();
        EXPECT_FALSE(read(path));
        EXPECT_EQ(error.rfind(path + ":" + expected + what, 0), 0u) << error;
    }
}

TEST_F(CameraSettingsFile, HideLinesOccludeAMarkerForTheirPeriodsAsTheTestHookDoes) {
    const auto settings =
        read(write("hide = 7 1 0.5\nstrays = 2\nhide = 1012 2.5 1\nhide = 1007 4.5 0.25\n"));
    ASSERT_TRUE(settings) << error;
    // Frame for frame, images included, the same as the hook hiding the marker over the same periods.
    CameraSettings unhidden = *settings;
    unhidden.hidePeriods.clear();
    SimulatedCamera camera(*settings);
    SimulatedCamera hooked(unhidden);
    std::map<std::uint32_t, ftkGeometry> markers;
    for (const auto& [id, geometry] : twoMarkers()) {
        markers[id + 1000] = geometry;
        markers[id + 1000].geometryId = id + 1000;
    }
    camera.setGeometries(markers);
    hooked.setGeometries(markers);
    ScriptedFrame frame;
    ScriptedFrame expected;
    for (const double t : {0.5, 1.0, 1.25, 1.5, 2.6, 3.4, 3.5, 4.6, 4.75, 6.0}) {
        SCOPED_TRACE(t);
        const bool hidden7 = inside(t, 1.0, 0.5) || inside(t, 4.5, 0.25);
        const bool hidden12 = inside(t, 2.5, 1.0);
        hooked.setHiddenGeometry(1007, hidden7);
        hooked.setHiddenGeometry(1012, hidden12);
        ASSERT_TRUE(camera.frameAt(t, true, frame));
        ASSERT_TRUE(hooked.frameAt(t, true, expected));
        EXPECT_EQ(findMarker(frame, 1007) == nullptr, hidden7);
        EXPECT_EQ(findMarker(frame, 1012) == nullptr, hidden12);
        const std::size_t shown = 2 - hidden7 - hidden12;
        EXPECT_EQ(frame.markers.size(), shown);
        EXPECT_EQ(frame.fiducials.size(), 2 + 4 * shown);
        EXPECT_EQ(frame.rightRaw.size(), 2 + 4 * shown);
        EXPECT_TRUE(sameBytes(frame.markers, expected.markers));
        EXPECT_TRUE(sameBytes(frame.fiducials, expected.fiducials));
        EXPECT_TRUE(sameBytes(frame.leftRaw, expected.leftRaw));
        EXPECT_TRUE(sameBytes(frame.rightRaw, expected.rightRaw));
        EXPECT_TRUE(frame.leftPixels == expected.leftPixels && frame.rightPixels == expected.rightPixels);
    }
}

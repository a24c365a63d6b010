#pragma once
// The scene a run of the application sees, as the simulated camera makes it from the same settings and
// markers: the tests' truth.

#include "ftk/SimulatedCamera.h"
#include "geometry/MarkerFile.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cmath>
#include <map>
#include <string>
#include <vector>

namespace TestSupport {

/// The scene a run sees, as the simulated camera makes it from the same settings and markers.
class SceneTruth {
public:
    SceneTruth(const std::string& settingsPath, const std::vector<std::string>& markerFiles)
        : m_camera(settings(settingsPath)) {
        std::map<std::uint32_t, ftkGeometry> geometries;
        for (const std::string& path : markerFiles) {
            const auto marker = Halvoren::MarkerFile::read(path).marker;
            EXPECT_TRUE(marker) << path;
            ftkGeometry geometry{};
            geometry.geometryId = marker->id;
            geometry.pointsCount = static_cast<std::uint32_t>(marker->fiducials.size());
            for (std::size_t i = 0; i < marker->fiducials.size(); ++i) {
                const auto& f = marker->fiducials[i];
                geometry.positions[i] = {static_cast<float>(f.x), static_cast<float>(f.y),
                                         static_cast<float>(f.z)};
            }
            geometries[marker->id] = geometry;
        }
        m_camera.setGeometries(geometries);
    }

    /// The true pose of a geometry in the frame the camera numbered `counter` (its first is 1).
    Eigen::Isometry3d pose(std::uint32_t geometryId, int counter) const {
        double r[3][3];
        double p[3];
        m_camera.truePose(geometryId, time(counter), r, p);
        Eigen::Isometry3d pose = Eigen::Isometry3d::Identity();
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                pose.linear()(i, j) = r[i][j];
            }
            pose.translation()(i) = p[i];
        }
        return pose;
    }
    double time(int counter) const { return (counter - 1) / m_rate; }
    /// The simulated camera itself: its frames are what a run's camera delivers.
    ftksim::SimulatedCamera& camera() { return m_camera; }

    /// One standard deviation of a marker's fitted position at this depth: the depth's, from the pixel
    /// noise of both cameras' centres, which dominates the lateral one.
    double depthSigma(double z) const {
        const auto calibration = m_camera.calibration();
        return z * z / (calibration.focalPx * calibration.baselineMm) * std::sqrt(2.0) * m_noise;
    }

private:
    ftksim::CameraSettings settings(const std::string& path) {
        const auto read = ftksim::readCameraSettings(path);
        EXPECT_TRUE(read) << read.error().message;
        m_rate = read->frameRateHz;
        m_noise = read->pixelNoise;
        return *read;
    }

    double m_rate = 60.0;
    double m_noise = 0.1;
    ftksim::SimulatedCamera m_camera;
};

}  // namespace TestSupport

#pragma once
// How well a marker's defined geometry matches what the camera reports while it tracks the marker: each
// defined fiducial, placed by the tracked pose, to the nearest fiducial the camera reported.

#include <Eigen/Core>

#include <cstddef>
#include <vector>

namespace Halvoren::Calibration {

class RegistrationError {
public:
    /// Adds a frame in which the marker was tracked at `pose` (marker to camera) and the camera reported
    /// `fiducials`. A frame without fiducials adds nothing.
    void addFrame(const Eigen::Matrix4d& pose, const std::vector<Eigen::Vector3d>& markerPoints,
                  const std::vector<Eigen::Vector3d>& fiducials);

    /// Root mean square of the distances added so far, in mm; 0 before any.
    double rmsMm() const;
    /// Defined fiducials matched to a reported one so far.
    std::size_t matched() const { return m_matched; }

private:
    double m_squaredSum = 0.0;
    std::size_t m_matched = 0;
};

}  // namespace Halvoren::Calibration

#include "calibration/RegistrationError.h"

#include <algorithm>
#include <cmath>

namespace Halvoren::Calibration {

void RegistrationError::addFrame(const Eigen::Matrix4d& pose,
                                 const std::vector<Eigen::Vector3d>& markerPoints,
                                 const std::vector<Eigen::Vector3d>& fiducials) {
    if (fiducials.empty()) {
        return;
    }
    for (const Eigen::Vector3d& point : markerPoints) {
        const Eigen::Vector3d placed = pose.block<3, 3>(0, 0) * point + pose.block<3, 1>(0, 3);
        double nearest = (fiducials.front() - placed).norm();
        for (const Eigen::Vector3d& fiducial : fiducials) {
            nearest = std::min(nearest, (fiducial - placed).norm());
        }
        m_squaredSum += nearest * nearest;
        ++m_matched;
    }
}

double RegistrationError::rmsMm() const {
    return m_matched == 0 ? 0.0 : std::sqrt(m_squaredSum / static_cast<double>(m_matched));
}

}  // namespace Halvoren::Calibration

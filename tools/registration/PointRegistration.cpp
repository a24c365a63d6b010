#include "registration/PointRegistration.h"

#include <Eigen/Eigenvalues>
#include <Eigen/SVD>

#include <algorithm>
#include <cmath>
#include <limits>

namespace Halvoren::Registration {

namespace {

Eigen::Vector3d centroidOf(const Points& points) {
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d& p : points) {
        sum += p;
    }
    return points.empty() ? sum : Eigen::Vector3d(sum / static_cast<double>(points.size()));
}

}  // namespace

RigidFit fitRigid(const Points& moving, const Points& fixed) {
    RigidFit fit;
    const std::size_t n = std::min(moving.size(), fixed.size());
    if (n == 0) {
        return fit;
    }
    const Eigen::Vector3d movingCentre = centroidOf(moving);
    const Eigen::Vector3d fixedCentre = centroidOf(fixed);
    Eigen::Matrix3d covariance = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < n; ++i) {
        covariance += (moving[i] - movingCentre) * (fixed[i] - fixedCentre).transpose();
    }
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(covariance, Eigen::ComputeFullU | Eigen::ComputeFullV);
    // The last singular direction flips when the best orthogonal fit is a reflection.
    Eigen::Matrix3d sign = Eigen::Matrix3d::Identity();
    sign(2, 2) = (svd.matrixV() * svd.matrixU().transpose()).determinant() < 0.0 ? -1.0 : 1.0;
    const Eigen::Matrix3d rotation = svd.matrixV() * sign * svd.matrixU().transpose();
    fit.transform.topLeftCorner<3, 3>() = rotation;
    fit.transform.topRightCorner<3, 1>() = fixedCentre - rotation * movingCentre;
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double residual =
            (rotation * moving[i] + fit.transform.topRightCorner<3, 1>() - fixed[i]).norm();
        fit.residuals.push_back(residual);
        squares += residual * residual;
    }
    fit.rmsResidual = std::sqrt(squares / static_cast<double>(n));
    return fit;
}

Configuration configurationOf(const Points& points) {
    Configuration configuration;
    configuration.count = static_cast<int>(points.size());
    if (points.empty()) {
        return configuration;
    }
    configuration.centroid = centroidOf(points);
    Eigen::Matrix3d scatter = Eigen::Matrix3d::Zero();
    for (const Eigen::Vector3d& p : points) {
        scatter += (p - configuration.centroid) * (p - configuration.centroid).transpose();
    }
    scatter /= static_cast<double>(points.size());
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(scatter);
    // Eigen sorts ascending; the largest extent first reads better in a report.
    const Eigen::Vector3d variance = solver.eigenvalues().reverse().cwiseMax(0.0);
    configuration.axes = solver.eigenvectors().rowwise().reverse();
    // A point's squared distance from axis k is its squared extent along the other two axes.
    for (int k = 0; k < 3; ++k) {
        configuration.axisRms(k) = std::sqrt(variance.sum() - variance(k));
    }
    return configuration;
}

double lineDistance(const Configuration& configuration) {
    return configuration.axisRms.minCoeff();
}

const char* refusal(const Points& points) {
    if (points.size() < 3) {
        return "fewer than 3 landmarks";
    }
    const Configuration configuration = configurationOf(points);
    const double fromCentroid = std::sqrt(configuration.axisRms.squaredNorm() / 2.0);
    const double bound = std::max(kMinLineDistanceMm, kMinLineDistanceShare * fromCentroid);
    return lineDistance(configuration) < bound ? "collinear" : "";
}

double predictedTre(const Configuration& configuration, double fle, const Eigen::Vector3d& target) {
    if (configuration.count == 0) {
        return std::numeric_limits<double>::infinity();
    }
    const Eigen::Vector3d offset = target - configuration.centroid;
    double ratio = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double along = offset.dot(configuration.axes.col(k));
        const double distanceSquared = std::max(0.0, offset.squaredNorm() - along * along);
        const double f = configuration.axisRms(k);
        if (f <= 0.0) {
            return std::numeric_limits<double>::infinity();
        }
        ratio += distanceSquared / (f * f);
    }
    return std::sqrt(fle * fle / configuration.count * (1.0 + ratio / 3.0));
}

double fleFromResiduals(double rmsResidual, int count) {
    return count > 2 ? rmsResidual / std::sqrt(1.0 - 2.0 / count) : 0.0;
}

}  // namespace Halvoren::Registration

#pragma once
// Paired-point rigid registration and the errors to expect of it (Fitzpatrick, West and Maurer, 1998):
// the least-squares rotation and translation that map one point set onto another, never a reflection;
// the fiducials' residuals; the predicted target error from the fiducials' configuration and their
// localisation error. Pure.

#include <Eigen/Core>

#include <vector>

namespace Halvoren::Registration {

using Points = std::vector<Eigen::Vector3d>;

/// A landmark set whose RMS distance from its best-fitting line is below the larger of these is refused
/// as collinear: no rotation about that line could be told.
constexpr double kMinLineDistanceMm = 5.0;
constexpr double kMinLineDistanceShare = 0.05;  // of the RMS distance from the centroid

struct RigidFit {
    /// Maps a point of the moving set onto the fixed set: fixed ~ R moving + t (4 x 4, homogeneous).
    Eigen::Matrix4d transform = Eigen::Matrix4d::Identity();
    std::vector<double> residuals;  // per point: |R moving + t - fixed| (the fiducial registration error)
    double rmsResidual = 0.0;
};

/// The least-squares rigid fit of `moving` onto `fixed` (same size, at least 3). A configuration that
/// would be best fitted by a reflection gets the best proper rotation instead.
RigidFit fitRigid(const Points& moving, const Points& fixed);

/// The principal axes of a point set about its centroid.
struct Configuration {
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    Eigen::Matrix3d axes = Eigen::Matrix3d::Identity();  // columns: unit axes, largest extent first
    Eigen::Vector3d axisRms = Eigen::Vector3d::Zero();   // per axis: RMS distance of the points from it
    int count = 0;
};

Configuration configurationOf(const Points& points);

/// RMS distance of the points from their best-fitting line (the smallest of the axes' RMS distances).
double lineDistance(const Configuration& configuration);
/// Empty when the set can be registered; else why not (it names "collinear", or too few points).
const char* refusal(const Points& points);

/// Expected RMS target error at `target` for fiducials of this configuration localised with an RMS
/// error `fle` (isotropic, independent, equal): sqrt(FLE^2 / N (1 + 1/3 sum d_k^2 / f_k^2)).
double predictedTre(const Configuration& configuration, double fle, const Eigen::Vector3d& target);
/// The localisation error that residuals of this RMS imply: RMS FRE / sqrt(1 - 2/N).
double fleFromResiduals(double rmsResidual, int count);

}  // namespace Halvoren::Registration

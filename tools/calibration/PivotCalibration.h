#pragma once
// Pivot calibration: where the tip of a tool lies relative to its marker, from poses of the marker taken
// while the tool pivots about its tip resting in a fixed point.

#include <Eigen/Core>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Calibration {

struct PivotOptions {
    double minimumSpreadDegrees = 20.0;  // less rotation than this cannot fix the tip
    double outlierFactor = 3.0;          // poses farther than this times the median residual are dropped
    double outlierFloorMm = 0.5;         // ... but never those within this distance
    std::size_t minimumPoses = 10;
    double maximumRmsMm = 2.0;  // more means the tip did not rest in one point: the result is no calibration
};

struct PivotResult {
    Eigen::Vector3d tipOffset = Eigen::Vector3d::Zero();   // in the marker's frame, mm
    Eigen::Vector3d pivotPoint = Eigen::Vector3d::Zero();  // in camera coordinates, mm
    double rmsResidualMm = 0.0;                            // of the poses kept
    double angularSpreadDegrees = 0.0;
    std::size_t posesUsed = 0;
    std::size_t posesDropped = 0;  // outliers
};

/// Solves R_i * tip + t_i = pivot for all poses (4 x 4, mm) by linear least squares, drops the outliers
/// and solves again. Nothing, with the reason in `error`, for too few poses, too little rotation or an RMS
/// residual above the bound.
std::optional<PivotResult> pivotCalibration(const std::vector<Eigen::Matrix4d>& poses, std::string& error,
                                            const PivotOptions& options = {});

/// The largest angle between the orientations of two of the poses, in degrees.
double angularSpreadDegrees(const std::vector<Eigen::Matrix4d>& poses);

}  // namespace Halvoren::Calibration

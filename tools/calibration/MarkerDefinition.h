#pragma once
// Marker definition: the geometry of a rigid body of 3 to 6 fiducials, learnt from frames in which the
// camera sees it as loose fiducials (no registered marker explains them).

#include <Eigen/Core>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Calibration {

struct MarkerDefinitionOptions {
    double rigidToleranceMm = 0.6;     // how much a distance within the body may vary between frames
    double presence = 0.8;             // share of frames in which the body must be found
    double distinctDistancesMm = 2.0;  // distances closer than this cannot tell the fiducials apart
    std::size_t minimumFrames = 10;
    std::size_t maximumPoints = 24;  // fiducials of the first frame considered
};

struct DefinedMarker {
    std::vector<Eigen::Vector3d> points;  // in the marker's frame: origin at the centroid, principal axes
    double alignmentRmsMm = 0.0;          // of the frames' points to the averaged geometry
    std::size_t framesUsed = 0;
};

/// Finds the largest set of 3 to 6 fiducials of the first frame that keeps its shape through the frames,
/// averages its geometry after aligning every frame onto it, and expresses it in a marker frame.
/// Nothing, with the reason in `error`, when no such set is found or its distances are too alike.
std::optional<DefinedMarker> defineMarker(const std::vector<std::vector<Eigen::Vector3d>>& frames,
                                          std::string& error, const MarkerDefinitionOptions& options = {});

/// The marker file text for the marker with this id, its coordinates rounded to 0.1 um.
std::string geometryFileText(const DefinedMarker& marker, std::uint32_t id, const std::string& comment);

/// The rotation and translation that best map `from` onto `to` (least squares, same order).
Eigen::Matrix4d rigidAlignment(const std::vector<Eigen::Vector3d>& from,
                               const std::vector<Eigen::Vector3d>& to);

}  // namespace Halvoren::Calibration

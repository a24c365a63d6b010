#pragma once
// Landmarks in image coordinates, from a 3D Slicer markups file (.mrk.json: the first markup's control
// points, in its coordinate system, LPS or RAS) or a CSV file (label,x,y,z in RAS). Positions are RAS
// millimetres once read.

#include <Eigen/Core>

#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Registration {

struct Landmark {
    std::string label;
    Eigen::Vector3d position = Eigen::Vector3d::Zero();  // image RAS, mm
};

/// A file holds at most this many landmarks; a touching session has a handful.
constexpr std::size_t kMaxLandmarks = 1000;

/// The landmarks of a file's text: JSON when it begins with '{', else CSV ("label,x,y,z" per line; a
/// first line whose numbers are not numbers is a header; blank lines and lines beginning with '#' are
/// skipped). Refuses (nothing, `error` says why, with the line for CSV) an empty set, a repeated label,
/// a position that is not three finite numbers, a markup in another unit than mm or in a coordinate
/// system other than LPS or RAS (or none: a silent flip of x and y must not be guessed).
std::optional<std::vector<Landmark>> parseLandmarks(const std::string& text, std::string& error);

/// Reads the file at `path` (at most 4 MB); `error` names the path.
std::optional<std::vector<Landmark>> readLandmarks(const std::string& path, std::string& error);

}  // namespace Halvoren::Registration

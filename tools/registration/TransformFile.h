#pragma once
// The image-to-reference transform in the ITK text transform format, as 3D Slicer reads and writes a
// linear transform: "AffineTransform_double_3_3" in LPS and in the resampling direction. Inside this
// project a transform is RAS millimetres, child to parent; the conversion happens here only.

#include <Eigen/Core>

#include <optional>
#include <string>

namespace Halvoren::Registration {

/// The file's text for `imageToReference` (image RAS mm to reference mm): C T^-1 C with C = diag(-1, -1,
/// 1), centre 0 0 0, each number written so that it reads back exactly.
std::string transformFileText(const Eigen::Matrix4d& imageToReference);

/// The transform a file's text holds, back in this project's convention. Refuses (nothing, `error` says
/// why) anything but one affine 3-D transform whose matrix is a rotation: a scaled or sheared transform
/// cannot place poses.
std::optional<Eigen::Matrix4d> parseTransformFile(const std::string& text, std::string& error);

/// Reads the file at `path` (at most 1 MB); `error` names the path.
std::optional<Eigen::Matrix4d> readTransformFile(const std::string& path, std::string& error);

/// Why a transform file cannot be written at `path` without replacing what is no regular file (a FIFO,
/// a device, a folder) there or at its temporary name; empty when it can.
std::string transformFilePathProblem(const std::string& path);

/// Writes the file whole (through PATH.tmp, renamed); false with `error` naming the path.
bool writeTransformFile(const std::string& path, const Eigen::Matrix4d& imageToReference, std::string& error);

/// The inverse of a rigid transform, exact for its rotation.
Eigen::Matrix4d rigidInverse(const Eigen::Matrix4d& transform);

}  // namespace Halvoren::Registration

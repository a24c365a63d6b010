#pragma once
// The navigation frame a run or an export gives its poses in: the reference that --reference names and
// the tips the markers' files carry.

#include "navigation/NavigationFrame.h"
#include "sequence/TrackingCodec.h"

#include <Eigen/Core>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

/// The frame for these markers: relative to the one `reference` names (its ID or name; none when empty),
/// with each marker's tip. False with the usage error written ("halvoren: --reference ...") when the
/// reference names none of them, or only by a name several of them have. With `imageToReference` (a
/// landmark registration; needs the reference) the poses are in the image's frame, "Image".
bool makeNavigation(const std::string& reference, const std::vector<Sequence::RecordedMarker>& markers,
                    Navigation::NavigationFrame& navigation, std::ostream& err,
                    const std::optional<Eigen::Matrix4d>& imageToReference = std::nullopt);

/// The registration a --registration FILE.tfm holds (none for an empty path); false with the message
/// written when the file cannot be read or holds no rigid transform.
bool readRegistration(const std::string& path, std::optional<Eigen::Matrix4d>& imageToReference,
                      std::ostream& err);

/// One line on what the frame holds, such as "halvoren: poses relative to Reference (atracsys-1300);
/// tips of: pointer"; nothing when it holds nothing beyond the camera's poses.
void writeNavigation(const Navigation::NavigationFrame& navigation,
                     const std::vector<Sequence::RecordedMarker>& markers, std::ostream& err);

}  // namespace Halvoren::App

#pragma once
// The navigation frame a run or an export gives its poses in: the reference that --reference names, the
// tips the markers' files carry, and the names --frame-name and --name choose for what goes out.

#include "navigation/NavigationFrame.h"
#include "sequence/TrackingCodec.h"
#include "text/Expected.h"

#include <Eigen/Core>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

/// What the command line says of the frame.
struct NavigationRequest {
    const std::string& reference;           // an instrument's ID or name; none when empty
    const std::string& frameName;           // the frame's name in place of the reference's; none when empty
    const std::vector<std::string>& names;  // "ID_OR_NAME=NAME", each checked by checkNameChoice
};

/// Why "ID_OR_NAME=NAME" cannot be a --name (no '=', a name that cannot be chosen); empty when it can.
std::string checkNameChoice(const std::string& text);
/// Why NAME cannot be a --frame-name; empty when it can.
std::string checkFrameName(const std::string& text);

/// The frame for these markers: relative to the one `request.reference` names (its ID or name; none when
/// empty), with each marker's tip and the names chosen. A usage error ("--reference ...", "--name ...")
/// when a reference or a --name names none of the markers, or only by a name several of them have, when one
/// instrument is given two names, or when a chosen name is another instrument's.
/// With `imageToReference` (a landmark registration; needs the reference) the poses are in the image's
/// frame, "Image".
Expected<Navigation::NavigationFrame> makeNavigation(
    const NavigationRequest& request, const std::vector<Sequence::RecordedMarker>& markers,
    const std::optional<Eigen::Matrix4d>& imageToReference = std::nullopt);

/// The registration a --registration FILE.tfm holds (none for an empty path), or why the file cannot be
/// read or holds no rigid transform.
Expected<std::optional<Eigen::Matrix4d>> readRegistration(const std::string& path);

/// One line on what the frame holds, such as "halvoren: poses relative to Reference (atracsys-1300);
/// tips of: pointer"; nothing when it holds nothing beyond the camera's poses.
void writeNavigation(const Navigation::NavigationFrame& navigation,
                     const std::vector<Sequence::RecordedMarker>& markers, std::ostream& err);

/// Gives each marker the field its recording names it by: the name it goes out under in the frame's
/// outputs ("Pointer" for pointer, so that its camera pose is PointerToTrackerTransform as it is
/// PointerToTracker over OpenIGTLink), made unique with "_2", "_3", ...
void nameMarkerFields(const Navigation::NavigationFrame& navigation,
                      std::vector<Sequence::RecordedMarker>& markers);

}  // namespace Halvoren::App

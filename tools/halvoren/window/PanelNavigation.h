#pragma once
// What the stream's panel shows in its instrument table when the run navigates in a frame: the
// instruments' positions relative to the reference (or in camera coordinates), their tips, and the frame's
// name.

#include "host/OpticalTrackingStreamController.h"
#include "navigation/NavigationFrame.h"

#include <QString>

namespace Halvoren::App {

/// The panel's hook: each instrument's position and tip in `navigation`'s frame, an instrument below
/// `minQuality` counting as not seen. It keeps its own copy of the frame and computes on the panel's
/// (GUI) thread.
OpticalTrackingStreamController::NavigationHook panelNavigation(Navigation::NavigationFrame navigation,
                                                                double minQuality);

/// "Frame: Reference (atracsys-1300)" relative to a reference, "Frame: Tracker (camera)" without.
QString panelFrameLabel(const Navigation::NavigationFrame& navigation);

}  // namespace Halvoren::App

#pragma once
// What a run navigates in: the transform chain (the reference and the tools' tips) and the name of its
// frame. Fixed before the frames flow; each output keeps a copy and computes its poses on its own thread,
// so that the camera's worker does none of it.

#include "navigation/NavigationNames.h"
#include "navigation/TransformChain.h"

#include <string>

namespace Halvoren::Navigation {

struct NavigationFrame {
    TransformChain chain;
    std::string frame = kTrackerFrame;  // "Tracker", the reference's display name, or "Image"

    /// Poses are relative to a reference marker (and in a registered image when the chain says so).
    bool relative() const { return chain.reference().has_value(); }
    /// There is anything beyond the camera's poses to give: a reference or a tip.
    bool active() const { return relative() || chain.hasTips(); }
};

}  // namespace Halvoren::Navigation

#pragma once
// What a run navigates in: the transform chain (the reference and the tools' tips), the name of its frame
// and the names chosen for what goes out. Fixed before the frames flow; each output keeps a copy and
// computes its poses on its own thread, so that the camera's worker does none of it.

#include "navigation/NavigationNames.h"
#include "navigation/TransformChain.h"

#include <string>

namespace Halvoren::Navigation {

struct NavigationFrame {
    TransformChain chain;
    std::string frame = kTrackerFrame;  // "Tracker", the reference's display name (or the chosen one), or "Image"
    NameChoices names;

    /// Poses are relative to a reference marker (and in a registered image when the chain says so).
    bool relative() const { return chain.reference().has_value(); }
    /// There is anything beyond the camera's poses to give: a reference or a tip.
    bool active() const { return relative() || chain.hasTips(); }

    /// The instrument's name in every output (its own, or the one chosen).
    std::string nameOf(const TrackerID& instrument) const { return names.nameOf(instrument); }
    /// "<Name>To<Frame>", as every output names the instrument's pose in the frame.
    std::string transformName(const TrackerID& instrument) const {
        return Navigation::transformName(names.nameOf(instrument), frame);
    }
    /// "<Name>TipTo<Frame>".
    std::string tipTransformName(const TrackerID& instrument) const {
        return Navigation::tipTransformName(names.nameOf(instrument), frame);
    }
};

}  // namespace Halvoren::Navigation

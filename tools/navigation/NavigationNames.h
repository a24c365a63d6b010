#pragma once
// The names of navigation transforms as navigation software (3D Slicer) expects them:
// "<Name>To<Frame>" and "<Name>TipTo<Frame>", and the lookup of the instrument that gives the frame.

#include "host/TrackingInstrument.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Navigation {

/// The frame of camera coordinates, used when no reference is chosen.
extern const char* const kTrackerFrame;
/// The frame of a registered image (a landmark registration's ImageToReference), after the reference.
extern const char* const kImageFrame;

/// An instrument's name as a transform shows it: its name (its ID when it has none), first letter
/// upper-cased ("pointer" -> "Pointer").
std::string displayName(const TrackerID& instrument);

/// The frame poses are given in: kTrackerFrame without a reference, else the reference's display name.
std::string frameName(const std::optional<TrackerID>& reference);

/// "<Name>To<Frame>", e.g. "PointerToReference".
std::string transformName(const TrackerID& instrument, const std::string& frame);

/// "<Name>TipTo<Frame>", e.g. "PointerTipToReference".
std::string tipTransformName(const TrackerID& instrument, const std::string& frame);

/// The instrument a reference text names: the one whose ID it is, else the one whose name it is. Empty
/// when none matches, or when the text is the name of several instruments and the ID of none (the
/// reference would be ambiguous), so that the caller can refuse it before the camera opens.
std::optional<TrackerID> resolveReference(const std::vector<TrackerID>& instruments, const std::string& text);

/// The same lookup over any sequence of items, given how to reach each one's identity; the index found.
template <typename Items, typename IdOf>
std::optional<std::size_t> findReference(const Items& items, const std::string& text, IdOf idOf) {
    std::optional<std::size_t> byName;
    bool ambiguous = false;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const TrackerID& id = idOf(items[i]);
        if (id.ID == text) {
            return i;
        }
        if (id.name == text) {
            ambiguous = ambiguous || byName.has_value();
            byName = i;
        }
    }
    return ambiguous ? std::nullopt : byName;
}

}  // namespace Halvoren::Navigation

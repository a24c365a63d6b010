#pragma once
// The names of navigation transforms as navigation software (3D Slicer) expects them:
// "<Name>To<Frame>" and "<Name>TipTo<Frame>", the names the user chose in place of the instruments' own
// (--name, --frame-name), and the lookup of the instrument that gives the frame. Every output that names
// a transform takes its names from here, so that one pose has one name everywhere.

#include "host/TrackingInstrument.h"

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Navigation {

/// The frame of camera coordinates, used when no reference is chosen.
extern const char* const kTrackerFrame;
/// The frame of a registered image (a landmark registration's ImageToReference), after the reference.
extern const char* const kImageFrame;

/// The longest name that may be chosen: it fits a TDATA element of the wire as it is.
constexpr std::size_t kMaxChosenName = 19;

/// A name as a transform shows it: first letter upper-cased ("pointer" -> "Pointer").
std::string upperFirst(std::string name);

/// An instrument's name as a transform shows it: its name (its ID when it has none), first letter
/// upper-cased ("pointer" -> "Pointer").
std::string displayName(const TrackerID& instrument);

/// The frame poses are given in: kTrackerFrame without a reference, else the reference's display name.
std::string frameName(const std::optional<TrackerID>& reference);

/// "<Name>To<Frame>", e.g. "PointerToReference"; `name` as it goes out (upper-cased first).
std::string transformName(const std::string& name, const std::string& frame);
std::string transformName(const TrackerID& instrument, const std::string& frame);

/// "<Name>TipTo<Frame>", e.g. "PointerTipToReference".
std::string tipTransformName(const std::string& name, const std::string& frame);
std::string tipTransformName(const TrackerID& instrument, const std::string& frame);

/// Whether `name` may be chosen for an instrument or a frame: 1 to kMaxChosenName letters, digits or '_',
/// so that it goes out whole as a TDATA element and is a recording's field name as it is. False with the
/// reason otherwise.
bool isChoosableName(const std::string& name, std::string& why);

/// The names the user chose for what goes out: an instrument's in place of its own (by instrument ID),
/// and the reference frame's in place of the reference's name.
class NameChoices {
public:
    void chooseName(const std::string& instrumentId, std::string name) {
        m_names[instrumentId] = std::move(name);
    }
    void chooseFrame(std::string frame) { m_frame = std::move(frame); }

    /// The instrument's name in every output: the one chosen, else its name (its ID when it has none).
    std::string nameOf(const TrackerID& instrument) const;
    /// The same as a transform starts with it, first letter upper-cased.
    std::string displayNameOf(const TrackerID& instrument) const { return upperFirst(nameOf(instrument)); }
    bool chosen(const std::string& instrumentId) const { return m_names.count(instrumentId) != 0; }
    /// The frame's chosen name, upper-cased first; none when the reference's name is the frame's.
    std::optional<std::string> frame() const;

private:
    std::map<std::string, std::string> m_names;
    std::optional<std::string> m_frame;
};

/// What a user can give to make a transform name fit `maxSize` characters: "--frame-name Ref" when a
/// three-letter frame is enough, else "--name pointer=Poin" (the instrument's name or ID as --name takes
/// it, and its name cut to fit), else "" (shorter names for both are needed). `name` and `frame` are the
/// parts as the transform shows them; `relative`: the frame is a reference's, which --frame-name renames.
std::string fittingHint(const TrackerID& instrument, const std::string& name, const std::string& frame,
                        bool tip, bool relative, std::size_t maxSize);

/// The same for a name that goes out alone (a TDATA element's): "--name pointer=NAME" with the name cut
/// to `maxSize`; "" when it fits.
std::string nameHint(const TrackerID& instrument, const std::string& name, std::size_t maxSize);

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

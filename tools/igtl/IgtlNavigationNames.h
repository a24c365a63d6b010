#pragma once
// The names a navigation frame's poses go out under, fitted to the wire: an instrument's TRANSFORM
// "<Name>To<Frame>", its tip's "<Name>TipTo<Frame>" and its TDATA element (the instrument's name), each
// as the navigation frame names it (the names the user chose included). A name too long, or one already
// given, is shortened by DeviceNames' rule; a name once given stays for the run, so that a client's
// transform keeps its name. Every message about a pose (TRANSFORM, STATUS) uses the one name it goes out
// under.

#include "igtl/IgtlMessages.h"
#include "navigation/NavigationFrame.h"

#include "host/TrackingInstrument.h"

#include <map>
#include <string>
#include <vector>

namespace Halvoren::Igtl {

/// What an instrument goes out under.
struct InstrumentDeviceNames {
    std::string transform;
    std::string tipTransform;  // empty for an instrument without a tip
    std::string element;
};

/// A name that does not go out as it is.
struct ShortenedName {
    std::string name;      // as the frame names it
    std::string sent;      // as it goes out
    bool element = false;  // a TDATA element's name, not a device name
    std::string hint;      // the option that would make it fit ("--frame-name Ref"); empty when none does
};

/// The warning for a shortened name, without a prefix: 'OpenIGTLink device name "PointerTipToReference"
/// is sent as "PointerTipT~eference" (at most 20 characters); --frame-name Ref makes it fit'.
std::string shortenedWarning(const ShortenedName& name);

class IgtlNavigationNames {
public:
    /// The frame the transforms are named after and the names chosen for the instruments.
    explicit IgtlNavigationNames(const Navigation::NavigationFrame& navigation)
        : m_frame(navigation.frame), m_names(navigation.names), m_relative(navigation.relative()) {}

    /// The instrument's names, given the first time it is asked for (its tip named when it has one then);
    /// the names shortened just now are appended to `shortened`.
    const InstrumentDeviceNames& of(const TrackerID& instrument, bool hasTip,
                                    std::vector<ShortenedName>* shortened = nullptr);

private:
    std::string m_frame;
    Navigation::NameChoices m_names;
    bool m_relative = false;
    DeviceNames m_devices{kMaxNameSize};
    DeviceNames m_elements{kMaxElementNameSize};
    std::map<std::string, InstrumentDeviceNames> m_given;  // by instrument ID (by name without one)
};

}  // namespace Halvoren::Igtl

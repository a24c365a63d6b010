#pragma once
// The names a navigation frame's poses go out under, fitted to the wire: an instrument's TRANSFORM
// "<Name>To<Frame>", its tip's "<Name>TipTo<Frame>" and its TDATA element (the instrument's name). A name
// too long, or one already given, is shortened by DeviceNames' rule; a name once given stays for the run,
// so that a client's transform keeps its name.

#include "igtl/IgtlMessages.h"

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
    // The transforms' names in full, for people.
    std::string transformLabel;
    std::string tipLabel;
};

/// A name that does not go out as it is.
struct ShortenedName {
    std::string name;      // as the frame names it
    std::string sent;      // as it goes out
    bool element = false;  // a TDATA element's name, not a device name
};

class IgtlNavigationNames {
public:
    /// `frame`: the frame the transforms are named after ("Tracker", "Reference").
    explicit IgtlNavigationNames(std::string frame) : m_frame(std::move(frame)) {}

    /// The instrument's names, given the first time it is asked for (its tip named when it has one then);
    /// the names shortened just now are appended to `shortened`.
    const InstrumentDeviceNames& of(const TrackerID& instrument, bool hasTip,
                                    std::vector<ShortenedName>* shortened = nullptr);

private:
    std::string m_frame;
    DeviceNames m_devices{kMaxNameSize};
    DeviceNames m_elements{kMaxElementNameSize};
    std::map<std::string, InstrumentDeviceNames> m_given;  // by instrument ID (by name without one)
};

}  // namespace Halvoren::Igtl

#include "igtl/IgtlNavigationNames.h"

#include "navigation/NavigationNames.h"

namespace Halvoren::Igtl {

namespace {

/// The name `names` gives the thing `key` names, noted in `shortened` when it differs.
std::string given(DeviceNames& names, const std::string& key, const std::string& name, bool element,
                  std::vector<ShortenedName>* shortened) {
    bool renamed = false;
    const std::string& sent = names.of(key, name, &renamed);
    if (renamed && shortened != nullptr) {
        shortened->push_back({name, sent, element});
    }
    return sent;
}

}  // namespace

const InstrumentDeviceNames& IgtlNavigationNames::of(const TrackerID& instrument, bool hasTip,
                                                     std::vector<ShortenedName>* shortened) {
    const std::string& key = instrument.ID.empty() ? instrument.name : instrument.ID;
    const auto known = m_given.find(key);
    if (known != m_given.end()) {
        return known->second;
    }
    InstrumentDeviceNames names;
    names.transformLabel = Navigation::transformName(instrument, m_frame);
    names.transform = given(m_devices, key, names.transformLabel, false, shortened);
    if (hasTip) {
        // A key of its own: the tool's two transforms are two devices.
        names.tipLabel = Navigation::tipTransformName(instrument, m_frame);
        names.tipTransform =
            given(m_devices, key + std::string(1, '\0') + "tip", names.tipLabel, false, shortened);
    }
    names.element =
        given(m_elements, key, instrument.name.empty() ? instrument.ID : instrument.name, true, shortened);
    return m_given.emplace(key, std::move(names)).first->second;
}

}  // namespace Halvoren::Igtl

#include "igtl/IgtlNavigationNames.h"

#include "navigation/NavigationNames.h"

namespace Halvoren::Igtl {

namespace {

/// The name `names` gives the thing `key` names, noted in `shortened` when it differs.
std::string given(DeviceNames& names, const std::string& key, const std::string& name, bool element,
                  const std::string& hint, std::vector<ShortenedName>* shortened) {
    bool renamed = false;
    const std::string& sent = names.of(key, name, &renamed);
    if (renamed && shortened != nullptr) {
        shortened->push_back({name, sent, element, hint});
    }
    return sent;
}

}  // namespace

std::string shortenedWarning(const ShortenedName& name) {
    const std::size_t limit = name.element ? kMaxElementNameSize : kMaxNameSize;
    std::string text = std::string("OpenIGTLink ") + (name.element ? "TDATA element" : "device") +
                       " name \"" + name.name + "\" is sent as \"" + name.sent + "\"";
    if (name.name.size() <= limit) {
        return text + " (another pose has its name)";
    }
    text += " (at most " + std::to_string(limit) + " characters)";
    return text + (name.hint.empty() ? "; choose shorter names with --name and --frame-name"
                                     : "; " + name.hint + " makes it fit");
}

const InstrumentDeviceNames& IgtlNavigationNames::of(const TrackerID& instrument, bool hasTip,
                                                     std::vector<ShortenedName>* shortened) {
    const std::string& key = instrument.ID.empty() ? instrument.name : instrument.ID;
    const auto known = m_given.find(key);
    if (known != m_given.end()) {
        return known->second;
    }
    const std::string name = m_names.nameOf(instrument);
    const std::string display = Navigation::upperFirst(name);
    InstrumentDeviceNames names;
    names.transform = given(
        m_devices, key, Navigation::transformName(display, m_frame), false,
        Navigation::fittingHint(instrument, display, m_frame, false, m_relative, kMaxNameSize), shortened);
    if (hasTip) {
        // A key of its own: the tool's two transforms are two devices.
        names.tipTransform = given(
            m_devices, key + std::string(1, '\0') + "tip", Navigation::tipTransformName(display, m_frame),
            false, Navigation::fittingHint(instrument, display, m_frame, true, m_relative, kMaxNameSize),
            shortened);
    }
    names.element = given(m_elements, key, name, true,
                          Navigation::nameHint(instrument, name, kMaxElementNameSize), shortened);
    return m_given.emplace(key, std::move(names)).first->second;
}

}  // namespace Halvoren::Igtl

#include "navigation/NavigationNames.h"

#include "host/TrackingInstrument.h"

#include <cctype>

namespace Halvoren::Navigation {

const char* const kTrackerFrame = "Tracker";
const char* const kImageFrame = "Image";

std::string upperFirst(std::string name) {
    if (!name.empty()) {
        name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    }
    return name;
}

std::string displayName(const TrackerID& instrument) {
    return upperFirst(instrument.name.empty() ? instrument.ID : instrument.name);
}

std::string frameName(const std::optional<TrackerID>& reference) {
    return reference ? displayName(*reference) : std::string(kTrackerFrame);
}

std::string transformName(const std::string& name, const std::string& frame) {
    return upperFirst(name) + "To" + frame;
}

std::string transformName(const TrackerID& instrument, const std::string& frame) {
    return transformName(displayName(instrument), frame);
}

std::string tipTransformName(const std::string& name, const std::string& frame) {
    return upperFirst(name) + "TipTo" + frame;
}

std::string tipTransformName(const TrackerID& instrument, const std::string& frame) {
    return tipTransformName(displayName(instrument), frame);
}

bool isChoosableName(const std::string& name, std::string& why) {
    if (name.empty() || name.size() > kMaxChosenName) {
        why = "takes a name of 1 to " + std::to_string(kMaxChosenName) + " characters";
        return false;
    }
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '_') {
            why = "takes a name of letters, digits and '_', not '" + name + "'";
            return false;
        }
    }
    return true;
}

std::string NameChoices::nameOf(const TrackerID& instrument) const {
    const auto chosen = m_names.find(instrument.ID);
    if (chosen != m_names.end()) {
        return chosen->second;
    }
    return instrument.name.empty() ? instrument.ID : instrument.name;
}

std::optional<std::string> NameChoices::frame() const {
    return m_frame ? std::optional<std::string>(upperFirst(*m_frame)) : std::nullopt;
}

namespace {

// "--name KEY=NAME" with the name cut to `keep` characters, made a name --name takes.
std::string renameHint(const TrackerID& instrument, const std::string& name, std::size_t keep) {
    std::string cut = name.substr(0, keep);
    for (char& c : cut) {
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    return "--name " + (instrument.name.empty() ? instrument.ID : instrument.name) + "=" + cut;
}

}  // namespace

std::string fittingHint(const TrackerID& instrument, const std::string& name, const std::string& frame,
                        bool tip, bool relative, std::size_t maxSize) {
    const std::size_t size = name.size() + (tip ? 5 : 2) + frame.size();
    if (size <= maxSize) {
        return std::string();
    }
    const std::size_t over = size - maxSize;
    // A short frame name serves every instrument at once, so it comes first.
    constexpr std::size_t kShortFrame = 3;
    if (relative && frame.size() >= kShortFrame + over) {
        return "--frame-name " + frame.substr(0, kShortFrame);
    }
    if (name.size() >= kShortFrame + over) {
        return renameHint(instrument, name, name.size() - over);
    }
    return std::string();
}

std::string nameHint(const TrackerID& instrument, const std::string& name, std::size_t maxSize) {
    return name.size() <= maxSize ? std::string() : renameHint(instrument, name, maxSize);
}

std::optional<TrackerID> resolveReference(const std::vector<TrackerID>& instruments,
                                          const std::string& text) {
    const auto index =
        findReference(instruments, text, [](const TrackerID& id) -> const TrackerID& { return id; });
    if (!index) {
        return std::nullopt;
    }
    return instruments[*index];
}

}  // namespace Halvoren::Navigation

#include "navigation/NavigationNames.h"

#include "host/TrackingInstrument.h"

#include <cctype>

namespace Halvoren::Navigation {

const char* const kTrackerFrame = "Tracker";
const char* const kImageFrame = "Image";

std::string displayName(const TrackerID& instrument) {
    std::string name = instrument.name.empty() ? instrument.ID : instrument.name;
    if (!name.empty()) {
        name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    }
    return name;
}

std::string frameName(const std::optional<TrackerID>& reference) {
    return reference ? displayName(*reference) : std::string(kTrackerFrame);
}

std::string transformName(const TrackerID& instrument, const std::string& frame) {
    return displayName(instrument) + "To" + frame;
}

std::string tipTransformName(const TrackerID& instrument, const std::string& frame) {
    return displayName(instrument) + "TipTo" + frame;
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

#include "halvoren/session/NavigationSetup.h"

#include "navigation/NavigationNames.h"
#include "registration/TransformFile.h"
#include "sequence/TrackingFields.h"

#include <algorithm>
#include <ostream>
#include <set>
#include <sstream>

namespace Halvoren::App {

namespace {

std::vector<TrackerID> identities(const std::vector<Sequence::RecordedMarker>& markers) {
    std::vector<TrackerID> ids;
    for (const Sequence::RecordedMarker& marker : markers) {
        ids.emplace_back(marker.id, "", marker.name);
    }
    return ids;
}

/// The instrument `text` names, or the usage error, `option` being what named it.
Expected<TrackerID> instrumentNamed(const std::vector<TrackerID>& ids, const std::string& text,
                                    const std::string& option) {
    if (std::optional<TrackerID> found = Navigation::resolveReference(ids, text)) {
        return *found;
    }
    const auto named =
        std::count_if(ids.begin(), ids.end(), [&](const TrackerID& id) { return id.name == text; });
    std::ostringstream message;
    message << option
            << (named > 1 ? " names several instruments; give its id:"
                          : " names no instrument; give one of:");
    const char* separator = " ";
    for (const TrackerID& id : ids) {
        message << separator << id.name << " (" << id.ID << ')';
        separator = ", ";
    }
    return makeError(ErrorKind::Usage, message.str());
}

std::string described(const TrackerID& id) {
    return id.name + " (" + id.ID + ")";
}

/// The --name choices, each instrument's once, no two instruments going out under one name.
Expected<void> chooseNames(const std::vector<std::string>& names, const std::vector<TrackerID>& ids,
                           Navigation::NameChoices& choices) {
    for (const std::string& text : names) {
        const std::size_t equals = text.rfind('=');
        const std::string key = text.substr(0, equals);
        const Expected<TrackerID> found = instrumentNamed(ids, key, "--name " + key);
        if (!found) {
            return found.error();
        }
        if (choices.chosen(found->ID)) {
            return makeError(ErrorKind::Usage,
                             "--name " + text + ": " + described(*found) + " is given a name twice");
        }
        choices.chooseName(found->ID, text.substr(equals + 1));
    }
    for (const TrackerID& id : ids) {
        if (!choices.chosen(id.ID)) {
            continue;
        }
        for (const TrackerID& other : ids) {
            if (other.ID != id.ID && choices.displayNameOf(other) == choices.displayNameOf(id)) {
                return makeError(ErrorKind::Usage, "--name " + choices.nameOf(id) + " for " + described(id) +
                                                       ": " + described(other) + " goes out as " +
                                                       choices.displayNameOf(other) +
                                                       "; give each instrument a name of its own");
            }
        }
    }
    return {};
}

/// Refuses a chosen frame name that is another instrument's: "PointerToPointer" would hide what it means.
Expected<void> checkFrameNameFree(const Navigation::NameChoices& choices, const std::vector<TrackerID>& ids,
                                  const TrackerID& reference) {
    for (const TrackerID& id : ids) {
        if (id.ID != reference.ID && choices.displayNameOf(id) == *choices.frame()) {
            return makeError(ErrorKind::Usage, "--frame-name " + *choices.frame() + ": " + described(id) +
                                                   " goes out as " + choices.displayNameOf(id) +
                                                   "; give the frame a name of its own");
        }
    }
    return {};
}

}  // namespace

std::string checkNameChoice(const std::string& text) {
    const std::size_t equals = text.rfind('=');
    if (equals == std::string::npos || equals == 0) {
        return "takes ID_OR_NAME=NAME, such as pointer=Ptr, not '" + text + "'";
    }
    std::string why;
    return Navigation::isChoosableName(text.substr(equals + 1), why) ? std::string() : why;
}

std::string checkFrameName(const std::string& text) {
    std::string why;
    if (!Navigation::isChoosableName(text, why)) {
        return why;
    }
    if (Navigation::upperFirst(text) == Navigation::kTrackerFrame) {
        return std::string("takes a name other than ") + Navigation::kTrackerFrame +
               ", which names camera coordinates";
    }
    return std::string();
}

Expected<Navigation::NavigationFrame> makeNavigation(const NavigationRequest& request,
                                                     const std::vector<Sequence::RecordedMarker>& markers,
                                                     const std::optional<Eigen::Matrix4d>& imageToReference) {
    Navigation::NavigationFrame navigation;
    const std::vector<TrackerID> ids = identities(markers);
    if (Expected<void> chosen = chooseNames(request.names, ids, navigation.names); !chosen) {
        return chosen.error();
    }
    if (!request.reference.empty()) {
        const Expected<TrackerID> found =
            instrumentNamed(ids, request.reference, "--reference " + request.reference);
        if (!found) {
            return found.error();
        }
        // By its ID: a frame's instruments are matched to it by the one thing they cannot share.
        navigation.chain.setReference(found->ID);
        if (!request.frameName.empty()) {
            navigation.names.chooseFrame(request.frameName);
            if (Expected<void> free = checkFrameNameFree(navigation.names, ids, *found); !free) {
                return free.error();
            }
        }
        navigation.frame = navigation.names.frame().value_or(navigation.names.displayNameOf(*found));
        if (imageToReference) {
            navigation.chain.setImageToReference(imageToReference);
            navigation.frame = Navigation::kImageFrame;
        }
    }
    for (const Sequence::RecordedMarker& marker : markers) {
        if (marker.tip) {
            navigation.chain.setTip(marker.id,
                                    Eigen::Vector3d((*marker.tip)[0], (*marker.tip)[1], (*marker.tip)[2]));
        }
    }
    return navigation;
}

Expected<std::optional<Eigen::Matrix4d>> readRegistration(const std::string& path) {
    if (path.empty()) {
        return std::optional<Eigen::Matrix4d>();
    }
    std::string error;
    std::optional<Eigen::Matrix4d> imageToReference = Registration::readTransformFile(path, error);
    if (!imageToReference) {
        return makeError(ErrorKind::BadInput, "--registration " + error);
    }
    return imageToReference;
}

void writeNavigation(const Navigation::NavigationFrame& navigation,
                     const std::vector<Sequence::RecordedMarker>& markers, std::ostream& err) {
    if (!navigation.active()) {
        return;
    }
    err << "halvoren: poses ";
    if (navigation.relative()) {
        err << (navigation.chain.inImage() ? "in the registered image's frame (Image) through the reference ("
                                           : "relative to " + navigation.frame + " (")
            << *navigation.chain.reference() << ')';
    } else {
        err << "in camera coordinates (" << navigation.frame << ')';
    }
    const char* separator = "; tips of: ";
    for (const Sequence::RecordedMarker& marker : markers) {
        if (marker.tip) {
            err << separator << marker.name;
            separator = ", ";
        }
    }
    err << '\n';
}

void nameMarkerFields(const Navigation::NavigationFrame& navigation,
                      std::vector<Sequence::RecordedMarker>& markers) {
    std::set<std::string> taken;
    for (Sequence::RecordedMarker& marker : markers) {
        const std::string base = Sequence::TrackingFields::fieldNameOf(
            navigation.names.displayNameOf(TrackerID(marker.id, "", marker.name)));
        marker.field = base;
        for (int n = 2; !taken.insert(marker.field).second; ++n) {
            marker.field = base + "_" + std::to_string(n);
        }
    }
}

}  // namespace Halvoren::App

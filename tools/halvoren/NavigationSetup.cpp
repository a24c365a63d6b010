#include "halvoren/NavigationSetup.h"

#include "navigation/NavigationNames.h"
#include "sequence/TrackingFields.h"
#include "registration/TransformFile.h"

#include <algorithm>
#include <ostream>
#include <set>

namespace Halvoren::App {

namespace {

std::vector<TrackerID> identities(const std::vector<Sequence::RecordedMarker>& markers) {
    std::vector<TrackerID> ids;
    for (const Sequence::RecordedMarker& marker : markers) {
        ids.emplace_back(marker.id, "", marker.name);
    }
    return ids;
}

/// The instrument `text` names; none with the usage error written, `option` being what named it.
std::optional<TrackerID> instrumentNamed(const std::vector<TrackerID>& ids, const std::string& text,
                                         const std::string& option, std::ostream& err) {
    std::optional<TrackerID> found = Navigation::resolveReference(ids, text);
    if (!found) {
        const auto named =
            std::count_if(ids.begin(), ids.end(), [&](const TrackerID& id) { return id.name == text; });
        err << "halvoren: " << option
            << (named > 1 ? " names several instruments; give its id:"
                          : " names no instrument; give one of:");
        const char* separator = " ";
        for (const TrackerID& id : ids) {
            err << separator << id.name << " (" << id.ID << ')';
            separator = ", ";
        }
        err << '\n';
    }
    return found;
}

/// The --name choices, each instrument's once, no two instruments going out under one name.
bool chooseNames(const std::vector<std::string>& names, const std::vector<TrackerID>& ids,
                 Navigation::NameChoices& choices, std::ostream& err) {
    for (const std::string& text : names) {
        const std::size_t equals = text.rfind('=');
        const std::string key = text.substr(0, equals);
        const std::optional<TrackerID> found = instrumentNamed(ids, key, "--name " + key, err);
        if (!found) {
            return false;
        }
        if (choices.chosen(found->ID)) {
            err << "halvoren: --name " << text << ": " << found->name << " (" << found->ID
                << ") is given a name twice\n";
            return false;
        }
        choices.chooseName(found->ID, text.substr(equals + 1));
    }
    for (const TrackerID& id : ids) {
        if (!choices.chosen(id.ID)) {
            continue;
        }
        for (const TrackerID& other : ids) {
            if (other.ID != id.ID && choices.displayNameOf(other) == choices.displayNameOf(id)) {
                err << "halvoren: --name " << choices.nameOf(id) << " for " << id.name << " (" << id.ID
                    << "): " << other.name << " (" << other.ID << ") goes out as "
                    << choices.displayNameOf(other) << "; give each instrument a name of its own\n";
                return false;
            }
        }
    }
    return true;
}

/// Whether the chosen frame name is no other instrument's: "PointerToPointer" would hide what it means.
bool frameNameFree(const Navigation::NameChoices& choices, const std::vector<TrackerID>& ids,
                   const TrackerID& reference, std::ostream& err) {
    for (const TrackerID& id : ids) {
        if (id.ID != reference.ID && choices.displayNameOf(id) == *choices.frame()) {
            err << "halvoren: --frame-name " << *choices.frame() << ": " << id.name << " (" << id.ID
                << ") goes out as " << choices.displayNameOf(id) << "; give the frame a name of its own\n";
            return false;
        }
    }
    return true;
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

bool makeNavigation(const NavigationRequest& request, const std::vector<Sequence::RecordedMarker>& markers,
                    Navigation::NavigationFrame& navigation, std::ostream& err,
                    const std::optional<Eigen::Matrix4d>& imageToReference) {
    navigation = {};
    const std::vector<TrackerID> ids = identities(markers);
    if (!chooseNames(request.names, ids, navigation.names, err)) {
        return false;
    }
    if (!request.reference.empty()) {
        const std::optional<TrackerID> found =
            instrumentNamed(ids, request.reference, "--reference " + request.reference, err);
        if (!found) {
            return false;
        }
        // By its ID: a frame's instruments are matched to it by the one thing they cannot share.
        navigation.chain.setReference(found->ID);
        if (!request.frameName.empty()) {
            navigation.names.chooseFrame(request.frameName);
            if (!frameNameFree(navigation.names, ids, *found, err)) {
                return false;
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
    return true;
}

bool readRegistration(const std::string& path, std::optional<Eigen::Matrix4d>& imageToReference,
                      std::ostream& err) {
    imageToReference.reset();
    if (path.empty()) {
        return true;
    }
    std::string error;
    imageToReference = Registration::readTransformFile(path, error);
    if (!imageToReference) {
        err << "halvoren: --registration " << error << '\n';
    }
    return imageToReference.has_value();
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

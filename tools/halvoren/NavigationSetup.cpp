#include "halvoren/NavigationSetup.h"

#include "navigation/NavigationNames.h"
#include "registration/TransformFile.h"

#include <algorithm>
#include <ostream>

namespace Halvoren::App {

namespace {

std::vector<TrackerID> identities(const std::vector<Sequence::RecordedMarker>& markers) {
    std::vector<TrackerID> ids;
    for (const Sequence::RecordedMarker& marker : markers) {
        ids.emplace_back(marker.id, "", marker.name);
    }
    return ids;
}

}  // namespace

bool makeNavigation(const std::string& reference, const std::vector<Sequence::RecordedMarker>& markers,
                    Navigation::NavigationFrame& navigation, std::ostream& err,
                    const std::optional<Eigen::Matrix4d>& imageToReference) {
    navigation = {};
    if (!reference.empty()) {
        const std::vector<TrackerID> ids = identities(markers);
        const std::optional<TrackerID> found = Navigation::resolveReference(ids, reference);
        if (!found) {
            const auto named = std::count_if(ids.begin(), ids.end(),
                                             [&](const TrackerID& id) { return id.name == reference; });
            err << "halvoren: --reference " << reference
                << (named > 1 ? " names several instruments; give its id:"
                              : " names no instrument; give one of:");
            const char* separator = " ";
            for (const TrackerID& id : ids) {
                err << separator << id.name << " (" << id.ID << ')';
                separator = ", ";
            }
            err << '\n';
            return false;
        }
        // By its ID: a frame's instruments are matched to it by the one thing they cannot share.
        navigation.chain.setReference(found->ID);
        navigation.frame = Navigation::frameName(found);
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

}  // namespace Halvoren::App

#include "record/NavigationFields.h"

#include "sequence/TrackingFields.h"
#include "text/Text.h"

#include <set>

namespace Halvoren::Record {

namespace {

namespace Names = Sequence::TrackingFields;

// A marker as the names show it: its field, a valid field name unique in the recording.
TrackerID fieldIdentity(const RecordedMarker& marker) {
    return TrackerID(marker.id, "", marker.field);
}

// The frame's name as a field name: the one chosen for it, else the reference marker's field, upper-cased
// as the transforms are.
std::string frameFieldName(const Navigation::NavigationFrame& navigation,
                           const std::vector<RecordedMarker>& markers) {
    if (const auto chosen = navigation.names.frame()) {
        return Names::fieldNameOf(*chosen);
    }
    for (const RecordedMarker& marker : markers) {
        if (navigation.chain.reference() && marker.id == *navigation.chain.reference()) {
            return Navigation::displayName(fieldIdentity(marker));
        }
    }
    return Names::fieldNameOf(navigation.frame);
}

// `stem` itself, or with "_2", "_3", ... while another transform field has it.
std::string uniqueStem(const std::string& stem, std::set<std::string>& taken) {
    std::string unique = stem;
    for (int n = 2; taken.count(unique) != 0; ++n) {
        unique = stem + "_" + std::to_string(n);
    }
    taken.insert(unique);
    return unique;
}

std::string matrixText(const Eigen::Matrix4d& pose) {
    std::vector<double> values;
    values.reserve(16);
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            values.push_back(pose(row, column));
        }
    }
    return Text::formatNumbers(values);
}

}  // namespace

NavigationFields::NavigationFields(Navigation::NavigationFrame navigation,
                                   const std::vector<RecordedMarker>& markers)
    : m_navigation(std::move(navigation)), m_markers(markers) {
    // Only "...Transform" and "...TransformStatus" fields can meet: the camera's poses' stems come first.
    std::set<std::string> taken;
    for (const RecordedMarker& marker : m_markers) {
        taken.insert(marker.field + "To" + Navigation::kTrackerFrame);
    }
    const std::string frame = frameFieldName(m_navigation, m_markers);
    for (std::size_t k = 0; k < m_markers.size(); ++k) {
        const TrackerID id = fieldIdentity(m_markers[k]);
        for (const bool tip : {false, true}) {
            const bool derived = tip ? m_navigation.chain.tip(id.ID).has_value() : m_navigation.relative();
            if (derived) {
                const std::string stem = uniqueStem(
                    tip ? Navigation::tipTransformName(id, frame) : Navigation::transformName(id, frame),
                    taken);
                m_transforms.push_back({k, tip, stem + "Transform", stem + "TransformStatus"});
            }
        }
    }
}

std::vector<std::string> NavigationFields::names() const {
    std::vector<std::string> names;
    for (const Transform& transform : m_transforms) {
        names.push_back(transform.name);
    }
    return names;
}

// Recorder's thread.
void NavigationFields::add(const RecordedFrame& frame, Sequence::Fields& fields) {
    if (m_transforms.empty()) {
        return;
    }
    m_navigation.chain.compute(seenInstrumentsOf(frame, m_markers), 0.0, m_poses);
    for (const Transform& transform : m_transforms) {
        const Navigation::FramePose& pose = m_poses[transform.marker];
        const Eigen::Matrix4d& matrix = transform.tip ? pose.tipPose : pose.pose;
        fields.emplace_back(transform.name, matrixText(pose.valid() ? matrix : Eigen::Matrix4d::Identity()));
        fields.emplace_back(transform.status, pose.valid() ? "OK" : "INVALID");
    }
}

}  // namespace Halvoren::Record

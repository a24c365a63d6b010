#pragma once
// The navigation transforms a recording holds besides the camera's poses: each marker's pose relative to
// the run's reference and each tool's pose moved to its tip, under the names navigation software expects
// ("PointerToReferenceTransform", "PointerTipToReferenceTransform"), each with its status, so that 3D
// Slicer's Sequences module shows them as they were navigated. Derived on the recorder's thread from the
// frame's recorded poses: the camera's worker does none of it. A replay and an export ignore them.

#include "navigation/NavigationFrame.h"
#include "record/RecordedFrames.h"
#include "sequence/SequenceFile.h"

#include <cstddef>
#include <string>
#include <vector>

namespace Halvoren::Record {

class NavigationFields {
public:
    /// Nothing to add.
    NavigationFields() = default;
    /// For these markers, their fields unique (assignMarkerFields): every marker relative to the
    /// navigation's reference when it has one, every tool whose tip it knows moved to its tip. The names
    /// are made from the markers' fields, first letter upper-cased, and are valid field names unique in
    /// the recording's frames: one that another field has gets "_2", "_3", ... before "Transform".
    NavigationFields(Navigation::NavigationFrame navigation, const std::vector<RecordedMarker>& markers);

    /// Whether any transform is derived: without a reference and tips the frames keep their fields alone.
    bool empty() const { return m_transforms.empty(); }
    /// The transforms' names ("PointerToReferenceTransform", ...), in the order they are added.
    std::vector<std::string> names() const;

    /// Recorder's thread: appends the frame's derived transforms, each followed by its status, OK when
    /// valid (the markers it needs recorded OK), else INVALID with the identity.
    void add(const RecordedFrame& frame, Sequence::Fields& fields);

private:
    struct Transform {
        std::size_t marker = 0;
        bool tip = false;
        std::string name;    // "<Stem>Transform"
        std::string status;  // "<Stem>TransformStatus"
    };

    Navigation::NavigationFrame m_navigation;
    std::vector<RecordedMarker> m_markers;
    std::vector<Transform> m_transforms;
    std::vector<Navigation::FramePose> m_poses;  // reused frame to frame
};

}  // namespace Halvoren::Record

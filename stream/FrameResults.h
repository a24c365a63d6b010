#pragma once
// The frame-processing stages of the acquisition pass, free of any stream: which fiducials a frame
// reports, the fiducials data component, instrument poses and qualities, and the fiducials' image
// detections of the update record. All of them run on the worker thread.

#include "stream/AtracsysTrackingStreamBase.h"

#include "ftk/ftk.h"
#include "host/TrackingInstrument.h"
#include "host/TrackingStream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Halvoren::SpryTrack::FrameResults {

using FiducialQueryMode = AtracsysTrackingStreamBase::FiducialQueryMode;
using AtracsysUpdate = AtracsysTrackingStreamBase::AtracsysUpdate;

/// The parts of a driver frame that the stages read. Counts are cut to the arrays' capacities (and to 0
/// for a missing array), so a driver that reports more entries than it reserved is never read past.
struct FrameView {
    const ftkMarkerPose* markers = nullptr;
    std::uint32_t markerCount = 0;
    const ftkFiducial3D* fiducials = nullptr;
    std::uint32_t fiducialCount = 0;
    const ftkRawDetection* leftRaw = nullptr;
    std::uint32_t leftRawCount = 0;
    const ftkRawDetection* rightRaw = nullptr;
    std::uint32_t rightRawCount = 0;

    static FrameView of(const ftkFrame& frame);
};

/// A marker's instrument as one frame sees it; built once per marker and frame.
struct MarkerIdentity {
    std::string instrumentId;  // instrumentIdOf(geometry id)
    std::uint64_t instrumentIdHash = 0;
    std::int32_t instrumentIndex = -1;  // position in the registry's ID order, -1 when not registered
};

/// The fiducials a frame reports and the marker that owns each fiducial of the frame.
struct FiducialSelection {
    std::vector<std::uint32_t> indices;      // fiducial indices in report order; mode 1 may repeat one
    std::vector<std::int32_t> ownerMarkers;  // per fiducial: index of the last marker listing it, or -1
};

/// 64-bit FNV-1a over the bytes of the text.
std::uint64_t fnv1a64(std::string_view text);

/// Ids and id hashes of every marker of the frame, in frame order; indices are left at -1.
std::vector<MarkerIdentity> markerIdentities(const FrameView& frame);

/// Fills the selection for the mode. The owner table is built for every mode but "None"; a
/// correspondence beyond the fiducial array is ignored. In mode "All in marker vicinity" a fiducial is
/// reported when its distance to at least one marker's translation is at most maxDistance (mm).
void selectFiducials(const FrameView& frame, FiducialQueryMode mode, double maxDistance,
                     FiducialSelection& selection);

/// The fiducials data component of the selection. A fiducial's instrument index comes from the last
/// marker listing it whose instrument is registered; its hash from its owner (the empty id's hash when
/// it has none). A raw detection index beyond its array gives the pixel count 0.
std::unique_ptr<TrackingInstrumentFiducialsData> buildFiducialsData(
    const FrameView& frame, const FiducialSelection& selection, const std::vector<MarkerIdentity>& markers);

/// Quality of a marker fit: 1 at no registration error, falling linearly to 0 at 10 mm and beyond.
double markerQuality(float registrationError);

/// Writes the marker's pose (driver rotation and translation, mm) and quality into an active
/// instrument; an inactive instrument is left as it is.
void writeMarkerPose(const ftkMarkerPose& marker, TrackingInstrument& instrument);

/// Appends, per selected fiducial, the centre and bounding-box size of its left and right raw
/// detections to the record's vectors, reserved to their final length. A raw detection index beyond its
/// array gives the centre and size 0.
void appendFiducialDetections(const FrameView& frame, const std::vector<std::uint32_t>& selection,
                              AtracsysUpdate& update);

}  // namespace Halvoren::SpryTrack::FrameResults

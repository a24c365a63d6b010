#pragma once
// A tracking recording's fields (TrackingFields.h lists them) as plain values, and back: the one reader
// and writer of them, for the tools that record and export and for the simulated camera's replay. Knows
// no host and no driver: whoever calls it maps its values onto its own types.

#include "sequence/SequenceFile.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Sequence {

/// A marker as the recording keeps it, so that a replay can register it again.
struct RecordedMarker {
    std::string name;   // the instrument's name (the marker file's base name)
    std::string id;     // the instrument's ID
    std::string field;  // the name as a field name, unique in the recording
    std::uint32_t geometryId = 0;
    std::vector<std::array<double, 3>> fiducials;  // mm
    std::optional<std::array<double, 3>> tip;      // the tool's calibrated tip, mm in the marker's frame
};

/// What the recording's own fields say of the run.
struct RecordingHeader {
    int imageWidth = 0;  // of one camera's image; 0 without images
    int imageHeight = 0;
    std::vector<RecordedMarker> markers;

    bool images() const { return imageWidth > 0 && imageHeight > 0; }
};

/// One marker in one frame.
struct RecordedPose {
    static constexpr std::array<double, 16> kIdentity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

    std::array<double, 16> transform = kIdentity;  // row by row, mm; the identity when not seen
    // Read back: false when the recorded transform is no rigid motion, which is read as the identity.
    bool rigid = true;
    bool statusOk = false;  // seen and passing the recording run's quality gate; read back false if not rigid
    double quality = 0.0;   // 0 when not seen
    // What the camera reported with the pose, mm, in its single precision (written as the shortest text
    // that reads back to the same float). None when it did not report the marker in this frame, and in
    // recordings made before the field was recorded.
    std::optional<float> registrationErrorMm;
};

/// One fiducial of a frame.
struct RecordedFiducial {
    double x = 0.0, y = 0.0, z = 0.0;  // mm
    double probability = 0.0;
    double epipolarError = 0.0;
    double triangulationError = 0.0;
    std::uint32_t leftPixelCount = 0;
    std::uint32_t rightPixelCount = 0;
    std::int32_t markerIndex = -1;  // in the recording's markers; -1: of no marker
};

/// One frame of a run.
struct RecordedFrame {
    std::uint32_t frameNumber = 0;    // the camera's counter; 0 when the data did not say
    double timestampSeconds = 0.0;    // since the first frame's exposure
    std::uint64_t exposureUs = 0;     // the camera's exposure stamp; 0 when it gave none
    std::uint64_t timestampMs = 0;    // the instruments' time stamp (ms since the epoch)
    std::vector<RecordedPose> poses;  // one per marker, in the markers' order
    std::vector<RecordedFiducial> fiducials;
    bool stale = false;  // the first frame after a stale period
};

bool operator==(const RecordedMarker& a, const RecordedMarker& b);
bool operator==(const RecordedPose& a, const RecordedPose& b);
bool operator==(const RecordedFiducial& a, const RecordedFiducial& b);
bool operator==(const RecordedFrame& a, const RecordedFrame& b);

/// What a reader of recordings takes besides SequenceReaderLimits: as many markers as a recording may
/// name, and images of at most this side (the driver's image header holds 16 bits).
constexpr std::size_t kMaxRecordedMarkers = 1'000'000;
constexpr int kMaxRecordedImageSide = 65535;

/// Gives each marker its field, unique among them: a field already set is kept when it is a valid field
/// name that no marker before it has, otherwise it becomes the name as a field name
/// (TrackingFields::fieldNameOf), with "_2", "_3", ... appended while a marker before it has that one.
void assignMarkerFields(std::vector<RecordedMarker>& markers);

/// The recording's own fields. The markers' fields must be unique (assignMarkerFields).
Fields recordingFields(const RecordingHeader& header);
/// The header a recording's own fields describe: of the version this codec writes, its image size when it
/// has images, its markers each with a valid field name no other one has and, when it has a tip, three
/// finite numbers for it (a marker without the field has no tip). Bad input with the reason otherwise.
Expected<RecordingHeader> recordingOf(const Fields& fields);

/// A frame's fields, with one pose per marker (a frame with fewer records the rest unseen). A registration
/// error is written only when there is one.
Fields frameFields(const RecordedFrame& frame, const std::vector<RecordedMarker>& markers);
/// The frame a recording's frame fields describe, one pose per marker. False with the reason when they are
/// malformed (a time stamp TrackingFields::timestampOf refuses too).
bool frameOf(const Fields& fields, const std::vector<RecordedMarker>& markers, RecordedFrame& frame,
             std::string& why);

}  // namespace Halvoren::Sequence

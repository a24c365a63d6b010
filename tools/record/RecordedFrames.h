#pragma once
// A tracking run's frames as the fields of a recording, and back: the one place that knows how host
// tracking data maps onto the recording's fields (sequence/TrackingFields.h lists them).

#include "host/TrackingInstrument.h"
#include "sequence/SequenceFile.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren {
class TrackingStreamData;
}

namespace Halvoren::Record {

/// A marker as the recording keeps it, so that a replay can register it again.
struct RecordedMarker {
    std::string name;   // the instrument's name (the marker file's base name)
    std::string id;     // the instrument's ID
    std::string field;  // the name as a field name, unique in the recording
    std::uint32_t geometryId = 0;
    std::vector<std::array<double, 3>> fiducials;  // mm
};

/// Gives each marker its field, unique among them: a field already set is kept when it is a valid field
/// name that no marker before it has, otherwise it becomes the name as a field name, with a number appended
/// when a marker before it has that one.
void assignMarkerFields(std::vector<RecordedMarker>& markers);

/// The recording's own fields for these markers and images (W x H of one camera; 0 without images).
Sequence::Fields recordingFields(const std::vector<RecordedMarker>& markers, int imageWidth, int imageHeight);
/// The markers of a recording's fields; false with the reason when they are malformed.
bool markersOf(const Sequence::Fields& fields, std::vector<RecordedMarker>& markers, std::string& error);

/// One fiducial of a frame, as the stream's fiducials component reports it.
struct RecordedFiducial {
    double x = 0.0, y = 0.0, z = 0.0;  // mm
    double probability = 0.0;
    double epipolarError = 0.0;
    double triangulationError = 0.0;
    std::uint32_t leftPixelCount = 0;
    std::uint32_t rightPixelCount = 0;
    std::int32_t instrumentIndex = -1;  // in the frame's instruments; -1: of no instrument
};

/// One frame of a run, host-side.
struct RecordedFrame {
    std::uint32_t frameNumber = 0;  // the camera's counter; 0 when the data did not say
    std::uint64_t exposureUs = 0;
    double timestampSeconds = 0.0;  // since the first frame's exposure
    std::uint64_t timestampMs = 0;  // the instruments' time stamp (ms since the epoch)
    bool stale = false;             // the first frame after a stale period
    std::vector<TrackingInstrument> instruments;
    // Read back only (frameOf): per instrument, whether the recording says OK for it. Never for a pose that
    // is not a rigid motion, which is read as the identity.
    std::vector<bool> statusOk;
    std::vector<RecordedFiducial> fiducials;
};

/// The frame of a datum of tracking data (its frame component and fiducials component when it has
/// them); the timestamp in seconds is left for the caller, who knows the first frame.
RecordedFrame recordedFrameOf(const TrackingStreamData& data);

/// A frame's fields: instruments matched to the markers by ID (instruments of no marker are left out; a
/// marker without an instrument is recorded unseen: identity, quality 0), their status OK when they pass
/// the quality gate. The markers' fields must be unique (assignMarkerFields).
Sequence::Fields frameFields(const RecordedFrame& frame, const std::vector<RecordedMarker>& markers,
                             double minQuality);
/// The frame a recording's frame fields describe, with one instrument per marker in the markers' order
/// (its ID and name the marker's, its time stamp the frame's) and its recorded status; false with the
/// reason when they are malformed (a time stamp TrackingFields::timestampOf refuses too).
bool frameOf(const Sequence::Fields& fields, const std::vector<RecordedMarker>& markers, RecordedFrame& frame,
             std::string& error);

}  // namespace Halvoren::Record

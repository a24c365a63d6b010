#pragma once
// A tracking run's host data as a recording's values, and back (sequence/TrackingCodec.h turns those into
// the recording's fields): the one place that knows how host tracking data maps onto a recording.

#include "host/TrackingInstrument.h"
#include "sequence/TrackingCodec.h"

#include <vector>

namespace Halvoren {
class TrackingStreamData;
}

namespace Halvoren::Record {

using Sequence::RecordedFiducial;
using Sequence::RecordedFrame;
using Sequence::RecordedMarker;
using Sequence::RecordedPose;

/// The frame of a datum of tracking data (its frame, fiducials and registration components when it has
/// them): one pose per marker, its instrument matched by ID (instruments of no marker are left out; a
/// marker without an instrument is recorded unseen: identity, quality 0), its status OK when it passes the
/// quality gate, its registration error the one the registration component gives for it. A fiducial's
/// instrument becomes its marker. The time stamp in seconds is left for the caller, who knows the first
/// frame.
RecordedFrame recordedFrameOf(const TrackingStreamData& data, const std::vector<RecordedMarker>& markers,
                              double minQuality);

/// The instruments a recorded frame describes, one per marker in the markers' order: its ID and name the
/// marker's, its pose and quality the recorded ones, its time stamp the frame's.
std::vector<TrackingInstrument> instrumentsOf(const RecordedFrame& frame,
                                              const std::vector<RecordedMarker>& markers);

/// The same as a quality gate sees them: an instrument whose recorded status is not OK has quality 0, so
/// that it counts as not seen whatever quality was recorded (what the recording's run gated stays gated).
std::vector<TrackingInstrument> seenInstrumentsOf(const RecordedFrame& frame,
                                                  const std::vector<RecordedMarker>& markers);

}  // namespace Halvoren::Record

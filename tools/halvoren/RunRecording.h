#pragma once
// Record and replay as the application sets them up: a replay becomes the simulated camera's settings
// (the driver plays the recording as a camera) and, unless markers are given, the recording's markers as
// geometry files; a recording learns its markers from the files the stream registered.

#include "halvoren/StreamSetup.h"
#include "health/FrameAccounting.h"
#include "record/RecordedFrames.h"
#include "sequence/SequenceFile.h"

#include <QTemporaryDir>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren::App {

/// Opens a recording and reads its markers; null, with the reason written after `what` ("halvoren: "
/// and, say, "cannot replay: "), otherwise.
std::unique_ptr<Sequence::SequenceReader> openRecording(const std::string& path,
                                                        std::vector<Record::RecordedMarker>& markers,
                                                        const std::string& what, std::ostream& err);

/// What a replay leaves for the run: its scratch folder (the settings and the markers it wrote) and the
/// number of frames the recording holds, after which the run ends.
struct ReplaySetup {
    std::unique_ptr<QTemporaryDir> folder;
    std::size_t frameCount = 0;
};

/// Control thread, before the camera opens: reads the recording named by setup.replay, points the
/// simulated driver at it (FTK_SIMULATOR_SETTINGS) and, when the setup names no markers and no
/// workspace, adds the recording's markers to it. A recording without camera images turns the setup's
/// images off, with a warning. False with the reason written otherwise (a recording without frames too).
bool prepareReplay(StreamSetup& setup, ReplaySetup& replay, std::ostream& err);

/// A marker the stream registered: the instrument's name and the file it came from.
struct MarkerSource {
    std::string name;
    std::string path;
};

/// The markers a recording keeps of these instruments: each with the geometry of the file it came from
/// (matched by name), and a field name unique in the recording.
std::vector<Record::RecordedMarker> recordedMarkers(const std::vector<TrackingInstrument>& instruments,
                                                    const std::vector<MarkerSource>& sources);

/// The run's health figures as the recording's fields (TrackingFields::healthField names them).
Sequence::Fields healthFields(const Health::HealthFigures& figures);

}  // namespace Halvoren::App

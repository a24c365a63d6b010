#pragma once
// Record and replay as the application sets them up: a replay is checked, and, unless markers are given,
// the recording's markers become geometry files (the simulated driver then plays the recording as a
// camera, asked through its replay control); a recording learns its markers from the files the stream
// registered.

#include "halvoren/session/StreamSetup.h"
#include "health/FrameAccounting.h"
#include "record/RecordedFrames.h"
#include "sequence/RecordingLock.h"
#include "sequence/SequenceFile.h"

#include <QTemporaryDir>

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

/// Opens a recording, reads its header (Sequence::recordingOf) and checks that it has every frame it
/// names (TrackingFields::checkFrames); null, with the reason written after `what` ("halvoren: " and,
/// say, "cannot replay: "), otherwise.
std::unique_ptr<Sequence::SequenceReader> openRecording(const std::string& path,
                                                        Sequence::RecordingHeader& header,
                                                        const std::string& what, std::ostream& err);

/// What a replay leaves for the run: its scratch folder (the markers it wrote) and the number of frames
/// the recording holds, after which the run ends.
struct ReplaySetup {
    std::unique_ptr<QTemporaryDir> folder;
    std::size_t frameCount = 0;
    /// The serial number the replay's device is told to have, so that the device the driver opened can be
    /// told to be the replay's.
    std::uint64_t serialNumber = 0;
};

/// Control thread, before the camera opens: reads and checks the recording named by setup.replay and,
/// when the setup names no markers and no workspace, adds the recording's markers to it. A recording without
/// camera images turns the setup's images off, with a warning. False with the reason written otherwise (a
/// recording without frames too).
bool prepareReplay(StreamSetup& setup, ReplaySetup& replay, std::ostream& err);

/// A marker the stream registered: the instrument's name and the file it came from.
struct MarkerSource {
    std::string name;
    std::string path;
};

/// The geometry id the stream knows an instrument by (its ID), when it says.
using GeometryIdOf = std::function<std::optional<std::uint32_t>(const std::string& instrumentId)>;

/// The markers a recording keeps of these instruments: each with the geometry of the file it came from,
/// and a field name unique in the recording. An instrument whose geometry id the stream gives is matched
/// to the file that declares that id (as the camera knows it), any other one (or one no file declares
/// the id of) by name; each file to one instrument at most, so that instruments of one name keep their
/// own geometries.
std::vector<Record::RecordedMarker> recordedMarkers(const std::vector<TrackingInstrument>& instruments,
                                                    const std::vector<MarkerSource>& sources,
                                                    const GeometryIdOf& geometryIdOf = {});

/// Control thread, before the replay is prepared and the camera opens: refuses a recording at
/// setup.record whose files cannot be made, or that would write over the recording being replayed (the
/// same file, whatever path names it), then takes the recording's lock for the run, so that no other
/// program records there meanwhile. False with the reason written otherwise.
bool prepareRecording(const StreamSetup& setup, std::unique_ptr<Sequence::RecordingLock>& lock,
                      std::ostream& err);

/// The run's health figures as the recording's fields (TrackingFields::healthField names them).
Sequence::Fields healthFields(const Health::HealthFigures& figures);

}  // namespace Halvoren::App

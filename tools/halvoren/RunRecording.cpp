#include "halvoren/RunRecording.h"

#include "geometry/MarkerFile.h"
#include "sequence/SequenceFile.h"
#include "sequence/TrackingFields.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <sstream>

namespace Halvoren::App {

namespace {

namespace Fields = Sequence::TrackingFields;

/// The recording's markers as geometry files in the folder, named as the instruments were.
bool writeMarkers(const std::vector<Record::RecordedMarker>& markers, const QTemporaryDir& folder,
                  std::vector<std::string>& paths, std::ostream& err) {
    for (const Record::RecordedMarker& recorded : markers) {
        MarkerFile::Marker marker;
        marker.id = recorded.geometryId;
        for (const auto& p : recorded.fiducials) {
            marker.fiducials.push_back(
                {static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])});
        }
        // The instrument is named after the file; a name that is no file name keeps its field name.
        const std::string stem = recorded.name.find('/') == std::string::npos && !recorded.name.empty() &&
                                         recorded.name != "." && recorded.name != ".."
                                     ? recorded.name
                                     : recorded.field;
        const std::string path = folder.filePath(QString::fromStdString(stem + ".ini")).toStdString();
        std::ofstream out(path, std::ios::out | std::ios::trunc);
        out << MarkerFile::write(marker, "from the recording");
        if (!out.flush()) {
            err << "halvoren: cannot write the recording's marker " << recorded.name << " to " << path
                << '\n';
            return false;
        }
        paths.push_back(path);
    }
    return true;
}

/// A value of the driver's settings file taken as written: any path survives, '#', '=', blanks at either
/// end and line breaks included.
std::string quotedSetting(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\r') {
            quoted += "\\r";
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

/// Points the driver at the recording: it reads its settings when the camera opens, and the replay is
/// the camera from then on.
bool writeReplaySettings(const StreamSetup& setup, const QTemporaryDir& folder, std::ostream& err) {
    std::ostringstream speed;
    if (setup.replaySpeed > 0.0) {
        speed << setup.replaySpeed;
    } else {
        speed << "max";
    }
    const std::string settings = folder.filePath("camera.txt").toStdString();
    std::ofstream out(settings, std::ios::out | std::ios::trunc);
    out << "replay = " << quotedSetting(std::filesystem::absolute(setup.replay).string())
        << "\nreplay_speed = " << speed.str() << '\n';
    if (!out.flush()) {
        err << "halvoren: cannot write the replay's settings to " << settings << '\n';
        return false;
    }
    ::setenv("FTK_SIMULATOR_SETTINGS", settings.c_str(), 1);
    return true;
}

}  // namespace

std::unique_ptr<Sequence::SequenceReader> openRecording(const std::string& path,
                                                        std::vector<Record::RecordedMarker>& markers,
                                                        const std::string& what, std::ostream& err) {
    std::string error;
    auto reader = Sequence::SequenceReader::open(path, error);
    if (reader && !Record::markersOf(reader->fields(), markers, error)) {
        error = path + ": " + error;
        reader.reset();
    }
    if (!reader) {
        err << "halvoren: " << what << error << '\n';
    }
    return reader;
}

bool prepareReplay(StreamSetup& setup, ReplaySetup& replay, std::ostream& err) {
    std::vector<Record::RecordedMarker> markers;
    const auto reader = openRecording(setup.replay, markers, "cannot replay: ", err);
    if (!reader) {
        return false;
    }
    replay.frameCount = reader->frameCount();
    if (replay.frameCount == 0) {
        err << "halvoren: cannot replay: " << setup.replay << " holds no frames\n";
        return false;
    }
    const std::string* images = Sequence::findField(reader->fields(), Fields::kImages);
    if (setup.images && (images == nullptr || *images != "True")) {
        // Queried anyway, every frame would say that the camera sent none.
        err << "halvoren: warning: " << setup.replay
            << " holds no camera images: --images gives none, and a recording made from it has none\n";
        setup.images = false;
    }
    replay.folder = std::make_unique<QTemporaryDir>();
    if (!replay.folder->isValid()) {
        err << "halvoren: cannot make a scratch folder for the replay\n";
        return false;
    }
    if (setup.markers.empty() && setup.workspace.empty() &&
        !writeMarkers(markers, *replay.folder, setup.markers, err)) {
        return false;
    }
    return writeReplaySettings(setup, *replay.folder, err);
}

std::vector<Record::RecordedMarker> recordedMarkers(const std::vector<TrackingInstrument>& instruments,
                                                    const std::vector<MarkerSource>& sources) {
    std::vector<Record::RecordedMarker> markers;
    std::set<std::string> fields;
    for (const TrackingInstrument& instrument : instruments) {
        Record::RecordedMarker marker;
        marker.name = instrument.id.name;
        marker.id = instrument.id.ID;
        const std::string base = Fields::fieldNameOf(marker.name);
        marker.field = base;
        for (int n = 2; !fields.insert(marker.field).second; ++n) {
            marker.field = base + "_" + std::to_string(n);
        }
        for (const MarkerSource& source : sources) {
            if (source.name != marker.name) {
                continue;
            }
            const MarkerFile::Loaded loaded = MarkerFile::read(source.path);
            if (loaded.marker) {
                marker.geometryId = MarkerFile::cameraId(loaded.marker->id);
                for (const MarkerFile::Fiducial& f : loaded.marker->fiducials) {
                    marker.fiducials.push_back({f.x, f.y, f.z});
                }
            }
            break;
        }
        markers.push_back(std::move(marker));
    }
    return markers;
}

Sequence::Fields healthFields(const Health::HealthFigures& f) {
    const auto number = [](double value) { return Fields::formatNumbers({value}); };
    Sequence::Fields fields = {
        {Fields::healthField("FramesMade"), std::to_string(f.made)},
        {Fields::healthField("FramesDelivered"), std::to_string(f.delivered)},
        {Fields::healthField("FramesMissed"), std::to_string(f.missed)},
        {Fields::healthField("FramesTwice"), std::to_string(f.twice)},
        {Fields::healthField("RateHz"), number(f.rateHz)},
        {Fields::healthField("JitterMs"), number(f.jitterMs)},
        {Fields::healthField("LargestGapMs"), number(f.largestGapMs)},
        {Fields::healthField("StalePeriods"), std::to_string(f.stalePeriods)},
        {Fields::healthField("LongestStaleMs"), number(f.longestStaleMs)},
    };
    if (f.latencyMeasured) {
        fields.emplace_back(Fields::healthField("LatencyMedianMs"),
                            number(f.latency.percentileUs(0.5) / 1000.0));
        fields.emplace_back(Fields::healthField("LatencyP99Ms"),
                            number(f.latency.percentileUs(0.99) / 1000.0));
    }
    return fields;
}

}  // namespace Halvoren::App

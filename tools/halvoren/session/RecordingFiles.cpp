#include "halvoren/session/RecordingFiles.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/session/FileChecks.h"

#include "geometry/MarkerFile.h"
#include "sequence/SequenceFile.h"
#include "sequence/TrackingFields.h"
#include "text/FileDescriptor.h"
#include "text/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <ostream>

namespace Halvoren::App {

namespace {

namespace Fields = Sequence::TrackingFields;

/// The recording's markers as geometry files in the folder, named as the instruments were, with their tips.
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
        // A folder each: instruments may share a name, and keep it in the replay.
        const std::string subfolder = folder.filePath(QString::number(paths.size())).toStdString();
        std::error_code made;
        std::filesystem::create_directory(subfolder, made);
        const std::string path = subfolder + "/" + stem + ".ini";
        std::ofstream out(path, std::ios::out | std::ios::trunc);
        // The tip too, so that the replay navigates with the tips the run had.
        std::optional<MarkerFile::Tip> tip;
        if (recorded.tip) {
            tip =
                MarkerFile::Tip{(*recorded.tip)[0], (*recorded.tip)[1], (*recorded.tip)[2], std::nullopt, ""};
        }
        out << MarkerFile::write(marker, "from the recording", tip);
        if (!out.flush()) {
            err << "halvoren: cannot write the recording's marker " << recorded.name << " to " << path
                << '\n';
            return false;
        }
        paths.push_back(path);
    }
    return true;
}

}  // namespace

std::unique_ptr<Sequence::SequenceReader> openRecording(const std::string& path,
                                                        Sequence::RecordingHeader& header,
                                                        const std::string& what, std::ostream& err) {
    auto opened = Sequence::SequenceReader::open(path);
    if (!opened) {
        err << "halvoren: " << what << opened.error().message << '\n';
        return nullptr;
    }
    auto recording = Sequence::recordingOf((*opened)->fields());
    std::string error;
    if (!recording || !Fields::checkFrames(**opened, error)) {
        err << "halvoren: " << what << path << ": " << (recording ? error : recording.error().message)
            << '\n';
        return nullptr;
    }
    header = std::move(*recording);
    return std::move(*opened);
}

bool prepareReplay(StreamSetup& setup, ReplaySetup& replay, std::ostream& err) {
    Sequence::RecordingHeader header;
    const auto reader = openRecording(setup.replay, header, "cannot replay: ", err);
    if (!reader) {
        return false;
    }
    replay.frameCount = reader->frameCount();
    if (replay.frameCount == 0) {
        err << "halvoren: cannot replay: " << setup.replay << " holds no frames\n";
        return false;
    }
    if (setup.images && !header.images()) {
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
        !writeMarkers(header.markers, *replay.folder, setup.markers, err)) {
        return false;
    }
    // "REPLAY" and the process: no camera of a maker's carries it.
    replay.serialNumber = (0x5245504C4159ULL << 16) | (static_cast<std::uint64_t>(::getpid()) & 0xFFFFu);
    return true;
}

namespace {

/// The first source not used yet that matches; sources.size() when none does.
template <typename Matches>
std::size_t firstSource(const std::vector<MarkerSource>& sources, const std::vector<bool>& used,
                        Matches matches) {
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (!used[i] && matches(i)) {
            return i;
        }
    }
    return sources.size();
}

}  // namespace

std::vector<Record::RecordedMarker> recordedMarkers(const std::vector<TrackingInstrument>& instruments,
                                                    const std::vector<MarkerSource>& sources,
                                                    const GeometryIdOf& geometryIdOf) {
    std::vector<MarkerFile::Loaded> files;
    for (const MarkerSource& source : sources) {
        files.push_back(markerFileAt(source.path));
    }
    std::vector<bool> used(sources.size(), false);
    std::vector<Record::RecordedMarker> markers;
    for (const TrackingInstrument& instrument : instruments) {
        Record::RecordedMarker marker;
        marker.name = instrument.id.name;
        marker.id = instrument.id.ID;
        // By the id when the stream gives it: a name may be shared (two folders' tool.ini).
        const std::optional<std::uint32_t> id = geometryIdOf ? geometryIdOf(marker.id) : std::nullopt;
        std::size_t k = sources.size();
        if (id) {
            k = firstSource(sources, used, [&](std::size_t i) {
                return files[i].marker && MarkerFile::cameraId(files[i].marker->id) == *id;
            });
        }
        if (k == sources.size()) {
            k = firstSource(sources, used, [&](std::size_t i) { return sources[i].name == marker.name; });
        }
        if (k < sources.size()) {
            used[k] = true;
            if (const auto& file = files[k].marker) {
                marker.geometryId = MarkerFile::cameraId(file->id);
                for (const MarkerFile::Fiducial& f : file->fiducials) {
                    marker.fiducials.push_back({f.x, f.y, f.z});
                }
            }
            if (const auto& tip = files[k].tip) {
                marker.tip = std::array<double, 3>{tip->x, tip->y, tip->z};
            }
        }
        markers.push_back(std::move(marker));
    }
    Sequence::assignMarkerFields(markers);
    return markers;
}

namespace {

/// The end of a regular file, at most `bytes` of it; empty for anything else.
std::string tailOf(const std::string& path, std::size_t bytes) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    std::string tail;
    if (fd.get() >= 0 && ::fstat(fd.get(), &status) == 0 && S_ISREG(status.st_mode)) {
        const auto size = static_cast<std::size_t>(status.st_size);
        tail.resize(std::min(size, bytes));
        const ssize_t got =
            ::pread(fd.get(), tail.data(), tail.size(), static_cast<off_t>(size - tail.size()));
        tail.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    return tail;
}

/// The data file a recording's header names: beside it unless absolute, the header itself for LOCAL;
/// empty when its last line names none (a .mha, whose data follows the header in the same file). Only
/// the header's end is read, where MetaImage puts ElementDataFile: a long recording's header is large.
std::string dataFileNamedBy(const std::string& header) {
    const std::string tail = Text::trimmed(tailOf(header, 2 * PATH_MAX));
    const std::size_t lineStart = tail.rfind('\n');
    const std::string line = tail.substr(lineStart == std::string::npos ? 0 : lineStart + 1);
    const std::string key = "ElementDataFile";
    const std::size_t equals = line.find('=');
    if (line.rfind(key, 0) != 0 || equals == std::string::npos ||
        !Text::trimmed(line.substr(key.size(), equals - key.size())).empty()) {
        return std::string();
    }
    const std::string value = Text::trimmed(line.substr(equals + 1));
    if (value.empty() || value == "LOCAL") {
        return value.empty() ? value : header;
    }
    const std::size_t slash = header.rfind('/');
    return value[0] == '/' || slash == std::string::npos ? value : header.substr(0, slash + 1) + value;
}

/// Whether two paths name one file: symbolic and hard links, "a/../b" and the like resolved.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat x {};
    struct stat y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
}

/// Why recording to setup.record would write over the replayed recording's header or data; empty when
/// it would not.
std::string overwritesReplay(const StreamSetup& setup) {
    if (setup.replay.empty()) {
        return std::string();
    }
    if (sameFile(setup.record, setup.replay)) {
        return "it is the recording being replayed, " + setup.replay;
    }
    const std::string replayData = dataFileNamedBy(setup.replay);
    for (const std::string& written : Sequence::SequenceWriter::filesOf(setup.record, setup.images)) {
        for (const std::string& replayed : {setup.replay, replayData}) {
            if (!replayed.empty() && sameFile(written, replayed)) {
                return "its file " + written + " is " + replayed + ", of the recording being replayed (" +
                       setup.replay + ")";
            }
        }
    }
    return std::string();
}

}  // namespace

bool prepareRecording(const StreamSetup& setup, std::unique_ptr<Sequence::RecordingLock>& lock,
                      std::ostream& err) {
    if (const Expected<void> recordable = checkRecordable(setup.record, setup.images); !recordable) {
        reportError(recordable.error(), err);
        return false;
    }
    if (const std::string reason = overwritesReplay(setup); !reason.empty()) {
        err << "halvoren: cannot record to " << setup.record << ": " << reason << '\n';
        return false;
    }
    std::string error;
    lock = Sequence::RecordingLock::acquire(setup.record, error);
    if (!lock) {
        err << "halvoren: cannot record: " << error << '\n';
        return false;
    }
    return true;
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

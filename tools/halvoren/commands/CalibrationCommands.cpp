#include "halvoren/commands/CalibrationCommands.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/outputs/PoseTarget.h"
#include "halvoren/outputs/ProgressOutput.h"
#include "halvoren/session/FileChecks.h"
#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/RunController.h"
#include "halvoren/session/StreamSession.h"

#include "HalvorenVersion.h"
#include "calibration/FrameCollector.h"
#include "calibration/MarkerDefinition.h"
#include "calibration/PivotCalibration.h"
#include "calibration/RegistrationError.h"
#include "geometry/MarkerFile.h"
#include "geometry/MarkerTip.h"
#include "host/Log.h"
#include "host/Properties.h"
#include "host/TrackingStream.h"
#include "text/JsonWriter.h"

#include <Eigen/Core>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

namespace Halvoren::App {

namespace {

/// The geometry ids that the set-up's markers declare (the --marker files and the workspace's), as the
/// camera will know them, each with the marker that holds it. The plug-ins must be loaded: an old
/// workspace is converted as it is read.
std::map<std::uint32_t, std::string> takenMarkerIds(const StreamSetup& setup) {
    std::map<std::uint32_t, std::string> taken;
    // A workspace that cannot be read is refused, with the reason, as the session is created.
    const Expected<Properties> settings =
        setup.workspace.empty() ? Expected<Properties>(Properties()) : readStreamSettings(setup.workspace);
    if (settings) {
        if (const Properties* targets = settings->subProperties("TrackingTargets")) {
            for (const Properties* target : targets->subProperties()) {
                std::string path;
                target->param("Path", path);
                const auto id = path.empty() || !unreadableFileReason(path).empty() ? std::nullopt
                                                                                    : declaredMarkerId(path);
                if (id) {
                    taken.emplace(*id, "the workspace's marker " + target->name());
                }
            }
        }
    }
    for (const std::string& path : setup.markers) {
        if (const auto id = declaredMarkerId(path)) {
            taken.emplace(*id, path);
        }
    }
    return taken;
}

/// A frame collector that wakes the run: at once when the frames it waits for are handed over, and now
/// and then before, so that its queue is drained before it could fill.
class WakingCollector : public Calibration::FrameCollector {
public:
    WakingCollector(std::string instrumentId, std::size_t count, std::function<void()> wake)
        : FrameCollector(std::move(instrumentId)),
          m_count(count),
          m_wake(wake),
          m_waker(queue().policy().capacity, wake) {}

    void take(const Output::FrameItem& item) override {
        m_waker.drained();
        FrameCollector::take(item);
    }
    void queued() override {
        if (++m_queued == m_count) {
            m_wake();
        } else {
            m_waker.queued();
        }
    }

private:
    const std::size_t m_count;
    const std::function<void()> m_wake;
    std::size_t m_queued = 0;  // the worker's
    QueueWaker m_waker;
};

/// A frame collector among the run's outputs while it lives.
class Collecting {
public:
    Collecting(StreamSession& session, RunController& controller, std::string instrumentId, std::size_t count)
        : m_session(session),
          m_collector(std::make_shared<WakingCollector>(std::move(instrumentId), count,
                                                        [&controller] { controller.wake(); })) {
        m_session.outputs().add(m_collector);
    }
    ~Collecting() { m_session.outputs().remove(m_collector); }
    Collecting(const Collecting&) = delete;
    Collecting& operator=(const Collecting&) = delete;

    Calibration::FrameCollector& collector() { return *m_collector; }

private:
    StreamSession& m_session;
    std::shared_ptr<WakingCollector> m_collector;
};

/// Streams until `count` frames are collected, the stream stops, a replay ends or an interrupt comes;
/// shows progress on a terminal.
bool collect(RunController& controller, Calibration::FrameCollector& collector, std::size_t count,
             const std::string& what, std::ostream& err) {
    if (!showsProgress() && Log::globalLevel() < Log::Warning) {
        err << what << ": " << count << " frames\n" << std::flush;  // once: the count is for a terminal
    }
    RunController::Plan plan;
    plan.turn = [&collector] { collector.drain(); };
    plan.done = [&collector, count] { return collector.collected() >= count; };
    plan.progress = [&collector, count, &what](std::ostream& line) {
        line << what << ": frame " << collector.collected() << '/' << count << "   ";
    };
    // Generous: the camera delivers tens of frames a second.
    plan.limit = std::chrono::milliseconds(30000 + 200 * count);
    controller.run(plan);
    collector.drain();  // what came before the stream stopped
    return collector.collected() >= count;
}

/// After a collection that stopped short: whether an interrupt stopped it, which is said.
bool sayInterrupted(std::ostream& err) {
    if (Interrupts::requested()) {
        err << "interrupted\n";
    }
    return Interrupts::requested();
}

/// Says why a collection of `count` frames stopped short, not at a replay's end; the exit code.
int collectionStopped(const StreamSession& session, std::uint64_t count, std::ostream& err) {
    if (sayInterrupted(err)) {
        return ExitInterrupted;
    }
    session.writeReplayStop(err);
    err << "halvoren: the tracking stream stopped before " << count << " frames\n";
    return ExitFailure;
}

std::string formatVector(const Eigen::Vector3d& v) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << v.x() << ' ' << v.y() << ' ' << v.z();
    return text.str();
}

/// The instrument of the marker given, which the session names after its file; a workspace's markers are
/// registered beside it, and one of them may bear that name too. Nothing, with the reason, when there is
/// no such instrument or more than one.
std::optional<TrackingInstrument> pivotInstrument(const StreamSession& session, const PivotOptions& options,
                                                  std::ostream& err, int& code) {
    const TrackingStream* tracking = session.trackingStream();
    const std::string wanted = std::filesystem::path(options.markers.front()).stem().string();
    std::vector<TrackingInstrument> named;
    for (const TrackingInstrument& each :
         tracking != nullptr ? tracking->instruments() : std::vector<TrackingInstrument>()) {
        if (each.id.name == wanted) {
            named.push_back(each);
        }
    }
    if (named.empty()) {
        err << "halvoren: the marker was not registered\n";
        code = ExitFailure;
        return std::nullopt;
    }
    if (named.size() > 1) {
        err << "halvoren pivot: cannot tell which instrument to calibrate: the marker file "
            << options.markers.front() << " and a marker of the workspace " << options.workspace
            << " are both named " << wanted << " (";
        for (std::size_t k = 0; k < named.size(); ++k) {
            err << (k == 0 ? "" : ", ") << named[k].id.ID;
        }
        err << "); rename one of them\n";
        code = ExitBadInput;
        return std::nullopt;
    }
    return named.front();
}

/// Streams until the frames are collected; nothing, with the exit code, when the stream stopped before.
std::optional<std::vector<Calibration::FrameCollector::Frame>> collectPoses(StreamSession& session,
                                                                            RunController& controller,
                                                                            const std::string& instrumentId,
                                                                            std::uint64_t count,
                                                                            std::ostream& err, int& code) {
    Stream& stream = session.stream();
    Collecting collecting(session, controller, instrumentId, count);
    code = ExitFailure;
    if (!stream.start()) {
        err << "halvoren: cannot start the tracking stream\n";
        return std::nullopt;
    }
    const bool complete = collect(controller, collecting.collector(), count, "collecting poses", err);
    stream.close();
    if (!complete && session.replayEnded()) {
        err << "halvoren: the recording ended before " << count << " frames: calibrating from those it has\n";
    } else if (!complete) {
        code = collectionStopped(session, count, err);
        return std::nullopt;
    }
    return collecting.collector().takeFrames();
}

void writePivotResult(const Calibration::PivotResult& result, const TrackingInstrument& instrument,
                      std::size_t framesWithoutMarker, std::ostream& out) {
    const std::string name = instrument.id.name.empty() ? instrument.id.ID : instrument.id.name;
    out << "pivot calibration of " << name << " (" << instrument.id.ID << ") from " << result.posesUsed
        << " poses (" << result.posesDropped << " outliers dropped, " << framesWithoutMarker
        << " frames without the marker)\n"
        << "tip offset (marker frame, mm)    " << formatVector(result.tipOffset) << '\n'
        << "pivot point (camera, mm)         " << formatVector(result.pivotPoint) << '\n'
        << std::fixed << std::setprecision(3) << "RMS residual (mm)                " << result.rmsResidualMm
        << '\n'
        << std::setprecision(1) << "angular spread (degrees)         " << result.angularSpreadDegrees << '\n';
}

/// The result as JSON in the file the options name, if any; the exit code.
int writePivotJson(const Calibration::PivotResult& result, const TrackingInstrument& instrument,
                   const std::string& path, std::ostream& err) {
    if (path.empty()) {
        return ExitOk;
    }
    const std::string name = instrument.id.name.empty() ? instrument.id.ID : instrument.id.name;
    // A FIFO nobody reads is refused rather than waited for, as the stream's poses are.
    PoseTarget target;
    if (!target.open(path, err, err)) {
        return ExitWriteFailed;
    }
    std::ostream& out = target.stream();
    Text::JsonWriter json(Text::JsonWriter::Layout::Compact, 10);
    json.beginObject().key("marker").string(name).key("id").string(instrument.id.ID);
    json.key("tipOffset").vector3(result.tipOffset).key("pivotPoint").vector3(result.pivotPoint);
    json.key("rmsResidualMm").number(result.rmsResidualMm);
    json.key("angularSpreadDegrees").number(result.angularSpreadDegrees);
    json.key("posesUsed").integer(result.posesUsed).key("posesDropped").integer(result.posesDropped);
    json.key("version").string(HALVOREN_VERSION);
    out << json.endObject().text() << '\n';
    if (!target.close(err) || out.fail()) {
        err << "halvoren: cannot write " << path << '\n';
        return ExitWriteFailed;
    }
    return ExitOk;
}

/// Now in UTC, ISO 8601 to the second.
std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    char text[32] = {};
    if (gmtime_r(&now, &parts) != nullptr) {
        std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts);
    }
    return text;
}

/// The tip written into the marker file, if the options ask for it; the exit code.
int savePivotTip(const Calibration::PivotResult& result, const PivotOptions& options, std::ostream& out,
                 std::ostream& err) {
    if (!options.save) {
        return ExitOk;
    }
    // To the micrometre, as printed: the calibration is not finer, and the file stays readable.
    const auto micrometres = [](double mm) { return std::round(mm * 1000.0) / 1000.0; };
    MarkerFile::Tip tip;
    tip.x = micrometres(result.tipOffset.x());
    tip.y = micrometres(result.tipOffset.y());
    tip.z = micrometres(result.tipOffset.z());
    tip.rms = micrometres(result.rmsResidualMm);
    tip.date = utcNow();
    const std::string& path = options.markers.front();
    if (const std::string problem = MarkerFile::saveTip(path, tip); !problem.empty()) {
        err << "halvoren pivot: " << problem << '\n';
        return ExitWriteFailed;
    }
    out << "tip saved to " << path << '\n';
    return ExitOk;
}

/// Calibrates from the collected frames and reports the result; the exit code.
int calibratePivot(const std::vector<Calibration::FrameCollector::Frame>& frames,
                   const TrackingInstrument& instrument, const PivotOptions& options, std::ostream& out,
                   std::ostream& err) {
    std::vector<Eigen::Matrix4d> poses;
    for (const auto& frame : frames) {
        if (frame.pose) {
            poses.push_back(*frame.pose);
        }
    }
    std::string error;
    Calibration::PivotOptions bounds;
    bounds.maximumRmsMm = options.maxRmsMm;
    const auto result = Calibration::pivotCalibration(poses, error, bounds);
    if (!result) {
        err << "halvoren pivot: " << error << '\n';
        return ExitCalibrationRefused;
    }
    writePivotResult(*result, instrument, frames.size() - poses.size(), out);
    if (const int code = writePivotJson(*result, instrument, options.output, err); code != ExitOk) {
        return code;
    }
    return savePivotTip(*result, options, out, err);
}

/// The set-up to define a marker with: every fiducial reported, as the new body's are explained by no
/// marker; the example markers known unless the options name others.
DefineMarkerOptions definitionSetup(const DefineMarkerOptions& options) {
    DefineMarkerOptions setup = options;
    setup.fiducialMode = 3;  // all fiducials: the new body's are explained by no marker
    if (setup.markers.empty() && setup.workspace.empty()) {
        setup.markers = exampleMarkers();
    }
    return setup;
}

/// The geometry id for the new marker: the one asked for, unless taken, or the first free one. False,
/// with the reason, when the one asked for is taken.
bool chooseMarkerId(const DefineMarkerOptions& options, const DefineMarkerOptions& setup, std::uint32_t& id,
                    std::ostream& err) {
    // Before the camera opens: a taken id would only be found once the run is recorded and the file
    // written.
    const std::map<std::uint32_t, std::string> taken = takenMarkerIds(setup);
    id = MarkerFile::kFirstFreeId;
    if (options.id) {
        id = *options.id;
        const std::uint32_t registered = MarkerFile::cameraId(id);
        if (const auto holder = taken.find(registered); holder != taken.end()) {
            err << "halvoren: cannot give the new marker the id " << id;
            if (registered != id) {
                err << " (" << registered << " to the camera, which raises ids below "
                    << MarkerFile::kFirstFreeId << ')';
            }
            err << ": it is already used by " << holder->second << '\n';
            return false;
        }
    } else {
        std::set<std::uint32_t> takenIds;
        for (const auto& [takenId, holder] : taken) {
            takenIds.insert(takenId);
        }
        id = MarkerFile::firstFreeId(takenIds);
    }
    return true;
}

/// Streams every fiducial and collects the frames; nothing, with the exit code, when the stream stopped
/// before. Leaves the stream stopped, not closed, for the check.
std::optional<std::vector<Calibration::FrameCollector::Frame>> collectFiducials(
    StreamSession& session, RunController& controller, std::uint64_t count, std::ostream& err, int& code) {
    Stream& stream = session.stream();
    Collecting collecting(session, controller, std::string(), count);
    code = ExitFailure;
    if (!stream.start()) {
        err << "halvoren: cannot start the tracking stream\n";
        return std::nullopt;
    }
    if (!collect(controller, collecting.collector(), count, "collecting fiducials", err)) {
        if (!session.replayEnded()) {
            stream.close();
            code = collectionStopped(session, count, err);
            return std::nullopt;
        }
        err << "halvoren: the recording ended before " << count << " frames: learning from those it has\n";
    }
    stream.stop();
    return collecting.collector().takeFrames();
}

/// Writes the marker's geometry file; the exit code.
int writeGeometryFile(const Calibration::DefinedMarker& marker, std::uint32_t id, const std::string& path,
                      std::ostream& err) {
    std::ofstream out(path, std::ios::trunc);
    out << Calibration::geometryFileText(
        marker, id,
        "Defined by halvoren define-marker from " + std::to_string(marker.framesUsed) + " frames.");
    out.close();
    if (out.fail()) {
        err << "halvoren: cannot write " << path << '\n';
        return ExitWriteFailed;
    }
    return ExitOk;
}

void writeDefinedMarker(const Calibration::DefinedMarker& marker, std::uint32_t id, const std::string& path,
                        std::ostream& out) {
    out << "defined marker " << id << " with " << marker.points.size() << " fiducials from "
        << marker.framesUsed << " frames (alignment RMS " << std::fixed << std::setprecision(3)
        << marker.alignmentRmsMm << " mm), written to " << path << '\n';
    for (std::size_t k = 0; k < marker.points.size(); ++k) {
        out << "  fiducial" << k << "  " << formatVector(marker.points[k]) << '\n';
    }
}

/// The check of a new marker: its file registered and tracked like any marker. Prints how often it was
/// seen, its mean quality and its registration error; the exit code.
int checkNewMarker(StreamSession& session, RunController& controller,
                   const Calibration::DefinedMarker& marker, const DefineMarkerOptions& options,
                   std::ostream& out, std::ostream& err) {
    if (session.replaying()) {
        out << "check: skipped, a replay shows only the markers it recorded\n";
        return ExitOk;
    }
    Stream& stream = session.stream();
    // The file was just written from the camera's frames: a refusal is this program's failure.
    const Expected<std::string> instrumentId = addMarkerFile(stream, options.output);
    if (!instrumentId) {
        return reportError(makeError(ErrorKind::Failure, "the new marker could not be registered"), err);
    }
    Collecting checking(session, controller, *instrumentId, options.checkFrames);
    if (!stream.start() ||
        !collect(controller, checking.collector(), options.checkFrames, "checking the new marker", err)) {
        stream.close();
        if (sayInterrupted(err)) {
            return ExitInterrupted;  // the geometry file was written from a complete collection
        }
        err << "halvoren: the tracking stream stopped during the check\n";
        return ExitFailure;
    }
    stream.close();
    std::size_t seen = 0;
    double qualitySum = 0.0;
    Calibration::RegistrationError registration;
    const auto checked = checking.collector().takeFrames();
    for (const auto& frame : checked) {
        if (frame.pose) {
            ++seen;
            qualitySum += frame.quality;
            registration.addFrame(*frame.pose, marker.points, frame.fiducials);
        }
    }
    const double share =
        checked.empty() ? 0.0 : 100.0 * static_cast<double>(seen) / static_cast<double>(checked.size());
    out << std::fixed << std::setprecision(3) << "check: " << *instrumentId << " seen in "
        << std::setprecision(1) << share << "% of " << checked.size() << " frames, mean quality "
        << std::setprecision(3) << (seen == 0 ? 0.0 : qualitySum / static_cast<double>(seen))
        << ", registration error " << registration.rmsMm() << " mm RMS\n";
    return seen == 0 ? ExitFailure : ExitOk;
}

}  // namespace

int runPivot(const PivotOptions& options, std::ostream& out, std::ostream& err) {
    Log::setGlobalLevel(options.logLevel);
    if (options.markers.size() != 1) {
        err << "halvoren pivot: give the tool's marker with --marker FILE\n";
        return ExitUsage;
    }
    if (!resultsWritable({&options.output}, err)) {
        return ExitBadInput;
    }
    LoadedPlugins plugins;
    auto created = StreamSession::create(plugins.manager(), options, false, err);
    if (!created) {
        return reportError(created.error(), err);
    }
    StreamSession& session = **created;
    int code = ExitOk;
    const std::optional<TrackingInstrument> instrument = pivotInstrument(session, options, err, code);
    if (!instrument) {
        return code;
    }
    RunController controller(session, err);
    const auto frames = collectPoses(session, controller, instrument->id.ID, options.frames, err, code);
    if (!frames) {
        return code;
    }
    return calibratePivot(*frames, *instrument, options, out, err);
}

int runDefineMarker(const DefineMarkerOptions& options, std::ostream& out, std::ostream& err) {
    Log::setGlobalLevel(options.logLevel);
    if (!resultsWritable({&options.output}, err)) {
        return ExitBadInput;
    }
    const DefineMarkerOptions setup = definitionSetup(options);
    LoadedPlugins plugins;
    std::uint32_t id = 0;
    if (!chooseMarkerId(options, setup, id, err)) {
        return ExitBadInput;
    }
    auto created = StreamSession::create(plugins.manager(), setup, false, err);
    if (!created) {
        return reportError(created.error(), err);
    }
    StreamSession& session = **created;
    int code = ExitOk;
    RunController controller(session, err);
    const auto frames = collectFiducials(session, controller, options.frames, err, code);
    if (!frames) {
        return code;
    }
    std::vector<std::vector<Eigen::Vector3d>> loose;
    for (const auto& frame : *frames) {
        loose.push_back(frame.looseFiducials);
    }
    std::string error;
    const auto marker = Calibration::defineMarker(loose, error);
    if (!marker) {
        err << "halvoren define-marker: " << error << '\n';
        return ExitCalibrationRefused;
    }
    if (const int written = writeGeometryFile(*marker, id, options.output, err); written != ExitOk) {
        return written;
    }
    writeDefinedMarker(*marker, id, options.output, out);
    return checkNewMarker(session, controller, *marker, options, out, err);
}

}  // namespace Halvoren::App

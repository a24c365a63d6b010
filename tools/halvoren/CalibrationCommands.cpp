#include "halvoren/CalibrationCommands.h"

#include "halvoren/InputChecks.h"
#include "halvoren/LoadedPlugins.h"
#include "halvoren/StreamSession.h"

#include "calibration/FrameCollector.h"
#include "calibration/MarkerDefinition.h"
#include "calibration/PivotCalibration.h"
#include "geometry/MarkerFile.h"
#include "host/Log.h"
#include "host/OpticalTracking.h"
#include "host/Properties.h"
#include "host/TrackingStream.h"

#include <unistd.h>

#include <Eigen/Core>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <type_traits>

namespace Halvoren::App {

namespace {

/// Reads the set-up options and the calibration commands' own: --frames N, --output FILE, and --max-rms MM
/// (pivot) or --id N (define-marker).
template <typename Options>
bool parseCalibrationOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    constexpr bool isPivot = std::is_same_v<Options, PivotOptions>;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const OptionResult common = parseSetupOption(args, i, options, error);
        if (common == OptionResult::Invalid) {
            return false;
        }
        if (common == OptionResult::Taken) {
            continue;
        }
        const std::string& arg = args[i];
        const bool named =
            arg == "--frames" || arg == "--output" || (isPivot ? arg == "--max-rms" : arg == "--id");
        if (!named) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (i + 1 >= args.size()) {
            error = "option " + arg + " needs a value";
            return false;
        }
        const std::string& value = args[++i];
        std::uint64_t number = 0;
        if (arg == "--output") {
            options.output = value;
        } else if (arg == "--frames") {
            if (!parseWholeNumber(value, number) || number < 10 || number > 1000000) {
                error = "--frames takes a whole number from 10 to 1000000, not '" + value + "'";
                return false;
            }
            options.frames = number;
        } else if constexpr (isPivot) {
            char* end = nullptr;
            const double mm = std::strtod(value.c_str(), &end);
            if (*end != '\0' || !std::isfinite(mm) || mm <= 0.0) {
                error = "--max-rms takes a distance in mm above 0, not '" + value + "'";
                return false;
            }
            options.maxRmsMm = mm;
        } else if (!parseWholeNumber(value, number) || number > 0xFFFFFFFFULL) {
            error = "--id takes a geometry id (a whole number below 2^32), not '" + value + "'";
            return false;
        } else {
            options.id = static_cast<std::uint32_t>(number);
        }
    }
    return true;
}

/// The geometry ids that the set-up's markers declare (the --marker files and the workspace's), as the
/// camera will know them, each with the marker that holds it. The plug-ins must be loaded: an old
/// workspace is converted as it is read.
std::map<std::uint32_t, std::string> takenMarkerIds(const StreamSetup& setup) {
    std::map<std::uint32_t, std::string> taken;
    Properties settings;
    std::string error;
    // A workspace that cannot be read is refused, with the reason, as the session is created.
    if (!setup.workspace.empty() && readStreamSettings(setup.workspace, settings, error)) {
        if (const Properties* targets = settings.subProperties("TrackingTargets")) {
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

/// Streams until `count` frames are collected or the stream stops; prints progress on standard error.
bool collect(Calibration::FrameCollector& collector, Stream& stream, std::size_t count,
             const std::string& what, std::ostream& err) {
    const bool terminal = isatty(STDERR_FILENO) != 0;
    auto lastLine = std::chrono::steady_clock::now();
    const auto progress = [&](std::size_t so) {
        const auto now = std::chrono::steady_clock::now();
        if (terminal) {
            err << '\r' << what << ": frame " << so << '/' << count << "   " << std::flush;
        } else if (now - lastLine >= std::chrono::seconds(1)) {
            lastLine = now;
            err << what << ": frame " << so << '/' << count << '\n';
        }
    };
    // Generous: the camera delivers tens of frames a second.
    const auto timeout = std::chrono::milliseconds(30000 + 200 * count);
    const bool complete =
        collector.waitFor(count, timeout, progress, [&] { return stream.isStateOneOf({Stream::Running}); });
    if (terminal) {
        err << '\n';
    }
    return complete;
}

std::string formatVector(const Eigen::Vector3d& v) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << v.x() << ' ' << v.y() << ' ' << v.z();
    return text.str();
}

std::string jsonVector(const Eigen::Vector3d& v) {
    std::ostringstream text;
    text << std::setprecision(10) << '[' << v.x() << ',' << v.y() << ',' << v.z() << ']';
    return text.str();
}

}  // namespace

std::optional<PivotOptions> parsePivotOptions(const std::vector<std::string>& args, std::string& error) {
    PivotOptions options;
    if (!parseCalibrationOptions(args, options, error)) {
        return std::nullopt;
    }
    return options;
}

std::string pivotUsage() {
    return "Usage: halvoren pivot --marker FILE [options]\n"
           "Pivot calibration: pivot the tool about its tip, resting in a fixed point, while the camera\n"
           "records the marker; prints the tip offset in the marker's frame, the pivot point, the RMS\n"
           "residual and the angular spread of the poses.\n"
           "  --marker FILE          the tool's marker geometry\n"
           "  --frames N             frames to record (default 600)\n"
           "  --output FILE          also write the result as JSON\n"
           "  --max-rms MM           refuse an RMS residual above MM (default 2)\n"
           "  --workspace FILE       configure the stream from a workspace (its markers are tracked too)\n"
           "  --quiet | --verbose    fewer or more messages on standard error\n"
           "Exit code 7: the poses cannot give a calibration (too few, too little rotation, or an RMS\n"
           "residual above --max-rms: the tip did not rest in one point).\n";
}

int runPivot(const PivotOptions& options, std::ostream& err) {
    Log::setGlobalLevel(options.logLevel);
    if (options.markers.size() != 1) {
        err << "halvoren pivot: give the tool's marker with --marker FILE\n" << pivotUsage();
        return ExitUsage;
    }
    if (const std::string problem = cannotWriteMessage(options.output); !problem.empty()) {
        err << "halvoren: " << problem << '\n';
        return ExitBadInput;
    }
    LoadedPlugins plugins;
    StreamSession session(plugins.manager());
    int code = ExitOk;
    if (!session.create(options, false, err, code)) {
        return code;
    }
    // The instrument of the marker given, which the session names after its file; a workspace's markers
    // are registered beside it, and one of them may bear that name too.
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
        return ExitFailure;
    }
    if (named.size() > 1) {
        err << "halvoren pivot: cannot tell which instrument to calibrate: the marker file "
            << options.markers.front() << " and a marker of the workspace " << options.workspace
            << " are both named " << wanted << " (";
        for (std::size_t k = 0; k < named.size(); ++k) {
            err << (k == 0 ? "" : ", ") << named[k].id.ID;
        }
        err << "); rename one of them\n";
        return ExitBadInput;
    }
    const TrackingInstrument instrument = named.front();
    Calibration::FrameCollector collector(session.stream(), instrument.id.ID);
    if (!session.stream().start()) {
        err << "halvoren: cannot start the tracking stream\n";
        return ExitFailure;
    }
    const bool complete = collect(collector, session.stream(), options.frames, "collecting poses", err);
    session.stream().close();
    if (!complete) {
        err << "halvoren: the tracking stream stopped before " << options.frames << " frames\n";
        return ExitFailure;
    }
    const auto frames = collector.take();
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
    const std::string name = instrument.id.name.empty() ? instrument.id.ID : instrument.id.name;
    std::cout << "pivot calibration of " << name << " (" << instrument.id.ID << ") from " << result->posesUsed
              << " poses (" << result->posesDropped << " outliers dropped, " << frames.size() - poses.size()
              << " frames without the marker)\n"
              << "tip offset (marker frame, mm)    " << formatVector(result->tipOffset) << '\n'
              << "pivot point (camera, mm)         " << formatVector(result->pivotPoint) << '\n'
              << std::fixed << std::setprecision(3) << "RMS residual (mm)                "
              << result->rmsResidualMm << '\n'
              << std::setprecision(1) << "angular spread (degrees)         " << result->angularSpreadDegrees
              << '\n';
    if (!options.output.empty()) {
        std::ofstream out(options.output, std::ios::trunc);
        out << std::setprecision(10) << "{\"marker\":\"" << name << "\",\"id\":\"" << instrument.id.ID
            << "\",\"tipOffset\":" << jsonVector(result->tipOffset)
            << ",\"pivotPoint\":" << jsonVector(result->pivotPoint)
            << ",\"rmsResidualMm\":" << result->rmsResidualMm
            << ",\"angularSpreadDegrees\":" << result->angularSpreadDegrees
            << ",\"posesUsed\":" << result->posesUsed << ",\"posesDropped\":" << result->posesDropped
            << "}\n";
        out.close();
        if (out.fail()) {
            err << "halvoren: cannot write " << options.output << '\n';
            return ExitWriteFailed;
        }
    }
    return ExitOk;
}

std::optional<DefineMarkerOptions> parseDefineMarkerOptions(const std::vector<std::string>& args,
                                                            std::string& error) {
    DefineMarkerOptions options;
    if (!parseCalibrationOptions(args, options, error)) {
        return std::nullopt;
    }
    if (!options.help && options.output.empty()) {
        error = "give the geometry file to write with --output FILE";
        return std::nullopt;
    }
    return options;
}

std::string defineMarkerUsage() {
    return "Usage: halvoren define-marker --output FILE [options]\n"
           "Defines a new marker: show the new rigid body (3 to 6 fiducials) to the camera and move it;\n"
           "its geometry is learnt from the fiducials no registered marker explains, written as a geometry\n"
           "file, then registered and tracked for 100 frames as a check.\n"
           "  --output FILE          the geometry file to write\n"
           "  --id N                 its geometry id (default: the first free one from 1000 up)\n"
           "  --marker FILE          a marker already known (repeatable; default: the example markers)\n"
           "  --frames N             frames to learn from (default 300)\n"
           "  --quiet | --verbose    fewer or more messages on standard error\n"
           "Exit code 7: no new rigid body found, or its fiducials cannot be told apart.\n";
}

int runDefineMarker(const DefineMarkerOptions& options, std::ostream& err) {
    Log::setGlobalLevel(options.logLevel);
    if (const std::string problem = cannotWriteMessage(options.output); !problem.empty()) {
        err << "halvoren: " << problem << '\n';
        return ExitBadInput;
    }
    DefineMarkerOptions setup = options;
    setup.fiducialMode = 3;  // all fiducials: the new body's are explained by no marker
    if (setup.markers.empty() && setup.workspace.empty()) {
        setup.markers = exampleMarkers();
    }
    LoadedPlugins plugins;
    // Before the camera opens: a taken id would only be found once the run is recorded and the file
    // written.
    const std::map<std::uint32_t, std::string> taken = takenMarkerIds(setup);
    std::uint32_t id = MarkerFile::kFirstFreeId;
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
            return ExitBadInput;
        }
    } else {
        std::set<std::uint32_t> takenIds;
        for (const auto& [takenId, holder] : taken) {
            takenIds.insert(takenId);
        }
        id = MarkerFile::firstFreeId(takenIds);
    }

    StreamSession session(plugins.manager());
    int code = ExitOk;
    if (!session.create(setup, false, err, code)) {
        return code;
    }
    Stream& stream = session.stream();
    std::vector<Calibration::FrameCollector::Frame> frames;
    {
        Calibration::FrameCollector collector(stream, std::string());
        if (!stream.start()) {
            err << "halvoren: cannot start the tracking stream\n";
            return ExitFailure;
        }
        if (!collect(collector, stream, options.frames, "collecting fiducials", err)) {
            stream.close();
            err << "halvoren: the tracking stream stopped before " << options.frames << " frames\n";
            return ExitFailure;
        }
        stream.stop();
        frames = collector.take();
    }
    std::vector<std::vector<Eigen::Vector3d>> loose;
    for (const auto& frame : frames) {
        loose.push_back(frame.looseFiducials);
    }
    std::string error;
    const auto marker = Calibration::defineMarker(loose, error);
    if (!marker) {
        err << "halvoren define-marker: " << error << '\n';
        return ExitCalibrationRefused;
    }
    {
        std::ofstream out(options.output, std::ios::trunc);
        out << Calibration::geometryFileText(
            *marker, id,
            "Defined by halvoren define-marker from " + std::to_string(marker->framesUsed) + " frames.");
        out.close();
        if (out.fail()) {
            err << "halvoren: cannot write " << options.output << '\n';
            return ExitWriteFailed;
        }
    }
    std::cout << "defined marker " << id << " with " << marker->points.size() << " fiducials from "
              << marker->framesUsed << " frames (alignment RMS " << std::fixed << std::setprecision(3)
              << marker->alignmentRmsMm << " mm), written to " << options.output << '\n';
    for (std::size_t k = 0; k < marker->points.size(); ++k) {
        std::cout << "  fiducial" << k << "  " << formatVector(marker->points[k]) << '\n';
    }

    // The check: the new file registered and tracked like any marker.
    auto* optical = dynamic_cast<OpticalTrackingInterface*>(&stream);
    const std::string name = std::filesystem::path(options.output).stem().string();
    const std::string instrumentId =
        optical != nullptr ? optical->addTrackingMarker(name, options.output) : "";
    if (instrumentId.empty()) {
        err << "halvoren: the new marker could not be registered\n";
        return ExitFailure;
    }
    Calibration::FrameCollector checker(stream, instrumentId);
    if (!stream.start() || !collect(checker, stream, options.checkFrames, "checking the new marker", err)) {
        stream.close();
        err << "halvoren: the tracking stream stopped during the check\n";
        return ExitFailure;
    }
    stream.close();
    std::size_t seen = 0;
    double qualitySum = 0.0;
    double squaredError = 0.0;
    std::size_t matched = 0;
    const auto checked = checker.take();
    for (const auto& frame : checked) {
        if (!frame.pose) {
            continue;
        }
        ++seen;
        qualitySum += frame.quality;
        // Registration error: each defined fiducial, placed by the pose, to the nearest reported one.
        for (const Eigen::Vector3d& point : marker->points) {
            const Eigen::Vector3d placed =
                frame.pose->block<3, 3>(0, 0) * point + frame.pose->block<3, 1>(0, 3);
            double nearest = -1.0;
            for (const Eigen::Vector3d& fiducial : frame.fiducials) {
                const double d = (fiducial - placed).norm();
                nearest = nearest < 0.0 || d < nearest ? d : nearest;
            }
            if (nearest >= 0.0) {
                squaredError += nearest * nearest;
                ++matched;
            }
        }
    }
    const double share =
        checked.empty() ? 0.0 : 100.0 * static_cast<double>(seen) / static_cast<double>(checked.size());
    std::cout << std::fixed << std::setprecision(3) << "check: " << instrumentId << " seen in "
              << std::setprecision(1) << share << "% of " << checked.size() << " frames, mean quality "
              << std::setprecision(3) << (seen == 0 ? 0.0 : qualitySum / static_cast<double>(seen))
              << ", registration error "
              << (matched == 0 ? 0.0 : std::sqrt(squaredError / static_cast<double>(matched))) << " mm RMS\n";
    return seen == 0 ? ExitFailure : ExitOk;
}

}  // namespace Halvoren::App

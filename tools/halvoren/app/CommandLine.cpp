#include "halvoren/app/CommandLine.h"

#include "halvoren/session/NavigationSetup.h"

#include "assess/Assessor.h"
#include "commandline/NumberOptions.h"
#include "host/Log.h"
#include "text/Text.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>

namespace Halvoren::App {

namespace {

constexpr std::int64_t kUnlimited = std::numeric_limits<std::int64_t>::max();

using CommandLine::aboveZero;
using CommandLine::checkNumber;
using CommandLine::number;
using CommandLine::whole;

/// An empty path would mean no file at all, which is not what the one who gave the option asked for.
const CLI::Validator kFilePath(
    [](const std::string& text) {
        return text.empty() ? std::string("takes a file path, not an empty text") : std::string();
    },
    std::string());

/// Lists each command with the first line of its description, which sums it up; the command's own help
/// shows all of it.
class Formatter : public CLI::Formatter {
public:
    std::string make_subcommand(const CLI::App* command) const override {
        std::ostringstream out;
        const std::string description = command->get_description();
        CLI::detail::format_help(out, command->get_display_name(true),
                                 description.substr(0, description.find('\n')), get_column_width());
        return out.str();
    }
};

enum class Images {
    None,    // the command queries no camera images
    OptIn,   // --images turns them on
    OptOut,  // on; --no-images turns them off
};

/// The help of --marker where the example markers are its default: it names the folder this program
/// really reads them from (the installed data, HALVOREN_DATA_DIR or the source tree's data/).
std::string trackMarkersHelp() {
    return "track the marker geometry in FILE (repeatable; default: " + exampleDataDirectory() +
           "/markers/*.ini)";
}

void declareMarkers(CLI::App& command, StreamSetup& setup, const std::string& help) {
    command.add_option("--marker", setup.markers, help)
        ->type_name("FILE")
        ->allow_extra_args(false)
        ->check(kFilePath);
}

void declareWorkspace(CLI::App& command, StreamSetup& setup, const std::string& help) {
    command.add_option("--workspace", setup.workspace, help)->type_name("FILE")->check(kFilePath);
}

void declareFiducials(CLI::App& command, StreamSetup& setup) {
    static const std::array<std::string, 4> modes = {"none", "marker", "vicinity", "all"};
    command
        .add_option_function<std::string>(
            "--fiducials",
            [&setup](const std::string& mode) {
                setup.fiducialMode =
                    static_cast<int>(std::find(modes.begin(), modes.end(), mode) - modes.begin());
            },
            "report fiducials")
        ->type_name("MODE")
        ->check(CLI::IsMember(modes));
}

/// The images option of commands that have one; nothing otherwise.
CLI::Option* declareImages(CLI::App& command, StreamSetup& setup, Images images) {
    if (images == Images::OptIn) {
        return command.add_flag("--images", setup.images, "query the camera images");
    }
    if (images == Images::OptOut) {
        CLI::Option* on = command.add_flag("--images", setup.images, "query the camera images (the default)");
        return command
            .add_flag_callback(
                "--no-images", [&setup] { setup.images = false; },
                "do not query the camera images (no camera views)")
            ->excludes(on);
    }
    return nullptr;
}

/// `images`: the option that turns the camera images on (--images) or off (--no-images); without it the
/// command has no images to send and no --igtl-image-rate.
void declareIgtl(CLI::App& command, StreamSetup& setup, Images images, CLI::Option* imagesOption) {
    CLI::Option* port =
        command
            .add_option_function<int>(
                "--igtl-port", [&setup](int value) { setup.igtlPort = value; },
                "serve the poses to OpenIGTLink clients on this TCP port, 0 to 65535 (0: any free port)")
            ->type_name("PORT")
            ->transform(whole(0, 65535, "a port number from 0 to 65535"));
    command.add_option("--igtl-host", setup.igtlHost, "listen on this address only (default: all)")
        ->type_name("ADDR")
        ->needs(port);
    if (images != Images::None) {
        CLI::Option* rate = command
                                .add_option("--igtl-image-rate", setup.igtlImageRate,
                                            "camera images sent to clients per second, 0 to 1000")
                                ->type_name("HZ")
                                ->capture_default_str()
                                ->transform(number(0.0, 1000.0, "images per second from 0 to 1000"))
                                ->needs(port);
        CLI::Option* imagePort =
            command
                .add_option_function<int>(
                    "--igtl-image-port", [&setup](int value) { setup.igtlImagePort = value; },
                    "serve the camera images on this TCP port of their own, 0 to 65535 (0: any free port), "
                    "so that no pose waits behind an image")
                ->type_name("PORT")
                ->transform(whole(0, 65535, "a port number from 0 to 65535"))
                ->needs(port);
        for (CLI::Option* option : {rate, imagePort}) {
            if (images == Images::OptIn) {
                option->needs(imagesOption);
            } else {
                option->excludes(imagesOption);
            }
        }
    }
    command
        .add_option("--igtl-max-clients", setup.igtlMaxClients,
                    "clients connected at once, 1 to 4096; more are refused")
        ->type_name("N")
        ->capture_default_str()
        ->transform(whole(1, 4096, "a whole number of clients from 1 to 4096"))
        ->needs(port);
}

void declareLogLevel(CLI::App& command, StreamSetup& setup) {
    CLI::Option* quiet = command.add_flag_callback(
        "--quiet", [&setup] { setup.logLevel = Log::Warning; }, "fewer messages on standard error");
    command
        .add_flag_callback(
            "--verbose", [&setup] { setup.logLevel = Log::Debug; }, "more messages on standard error")
        ->excludes(quiet);
}

/// The quality gate.
void declareMinQuality(CLI::App& command, StreamSetup& setup) {
    command
        .add_option("--min-quality", setup.minQuality,
                    "an instrument below this quality (0 to 1) counts as not seen (default 0: no gate)")
        ->type_name("Q")
        ->transform(number(0.0, 1.0, "a quality from 0 to 1"));
}

/// The tracking health options of the commands that stream: the quality gate and the staleness bound.
void declareHealth(CLI::App& command, StreamSetup& setup) {
    declareMinQuality(command, setup);
    command
        .add_option("--stale-after", setup.staleAfterMs,
                    "no new frame this long: the poses are stale (default: three frame periods, at least 50)")
        ->type_name("MS")
        ->transform(whole(1, 60000, "a whole number of milliseconds from 1 to 60000"));
}

/// --reference alone: the marker the poses are given relative to.
CLI::Option* declareReferenceMarker(CLI::App& command, std::string& reference) {
    return command
        .add_option("--reference", reference,
                    "give every pose relative to the marker of instrument NAME (its name or id)")
        ->type_name("NAME")
        ->check(CLI::Validator(
            [](const std::string& text) {
                return text.empty() ? std::string("takes an instrument's name or id, not an empty text")
                                    : std::string();
            },
            std::string()));
}

/// The navigation frame: --reference, and the names the poses go out under.
void declareReference(CLI::App& command, std::string& reference, std::string& frameName,
                      std::vector<std::string>& names) {
    CLI::Option* referenceOption = declareReferenceMarker(command, reference);
    command
        .add_option("--frame-name", frameName,
                    "the reference's frame is NAME in every pose's name (PointerToRef for NAME Ref)")
        ->type_name("NAME")
        ->needs(referenceOption)
        ->check(CLI::Validator(checkFrameName, std::string()));
    command
        .add_option("--name", names,
                    "the instrument (its name or id) is NAME in every pose's name and TDATA, repeatable")
        ->type_name("ID_OR_NAME=NAME")
        ->allow_extra_args(false)
        ->check(CLI::Validator(checkNameChoice, std::string()));
}

/// --registration, which places the poses in a registered image's frame: it needs the reference.
void declareRegistration(CLI::App& command, std::string& registration) {
    command
        .add_option("--registration", registration,
                    "give every pose in the image FILE.tfm registers to the reference (needs --reference)")
        ->type_name("FILE.tfm")
        ->check(kFilePath)
        ->needs(command.get_option("--reference"));
}

void declareReplay(CLI::App& command, StreamSetup& setup) {
    CLI::Option* replay =
        command
            .add_option("--replay", setup.replay,
                        "play the recording FILE as the camera (its markers unless markers are given)")
            ->type_name("FILE")
            ->check(kFilePath);
    command
        .add_option_function<std::string>(
            "--replay-speed",
            [&setup](const std::string& speed) {
                setup.replaySpeed = 0.0;  // max: as fast as the stream takes them
                if (speed != "max") {
                    Text::parseFinite(speed, setup.replaySpeed);  // checked, and passed on in its plain form
                }
            },
            "times the recorded pace, above 0 up to 1000, or max: as fast as the stream takes them")
        ->type_name("X")
        ->check(CLI::Validator(
            [](std::string& text) {
                return text == "max" ? std::string()
                                     : checkNumber(text, 1e-3, 1000.0, "a factor from 0.001 to 1000 or max");
            },
            std::string()))
        ->needs(replay);
}

void declareRecord(CLI::App& command, StreamSetup& setup) {
    command
        .add_option("--record", setup.record,
                    "record the run into the sequence metafile FILE (.seq.mhd; the images too with --images)")
        ->type_name("FILE")
        ->check(CLI::Validator(
            [](const std::string& text) {
                const std::string suffix = ".mhd";
                const bool mhd = text.size() > suffix.size() &&
                                 text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
                return mhd ? std::string()
                           : "takes a .mhd file (such as run.seq.mhd; the pixels go beside it), not '" +
                                 text + "'";
            },
            std::string()));
}

/// The options that configure the stream, as every command that runs it has them.
void declareSetup(CLI::App& command, StreamSetup& setup, Images images) {
    declareWorkspace(command, setup, "configure the stream from a workspace file");
    declareReplay(command, setup);
    declareFiducials(command, setup);
    CLI::Option* imagesOption = declareImages(command, setup, images);
    declareIgtl(command, setup, images, imagesOption);
    declareLogLevel(command, setup);
}

/// "--format": csv, or jsonl (json as its other name).
void declareFormat(CLI::App& command, PoseFormat& format) {
    command
        .add_option_function<std::string>(
            "--format",
            [&format](const std::string& name) {
                format = name == "csv" ? PoseFormat::Csv : PoseFormat::JsonLines;
            },
            "output format (default csv; json is jsonl)")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "jsonl", "json"}));
}

void declareStream(CLI::App& command, StreamOptions& options) {
    command.footer("Ctrl-C stops the stream, closes the camera and exits.");
    declareMarkers(command, options, trackMarkersHelp());
    declareSetup(command, options, Images::OptIn);
    command
        .add_option("--save-workspace", options.saveWorkspace, "save the configuration the stream ran with")
        ->type_name("FILE")
        ->check(kFilePath);
    command.add_option("--frames", options.frames, "stop after N frames (0: no limit; a replay: its end)")
        ->type_name("N")
        ->capture_default_str()
        ->transform(whole(0, kUnlimited, "a whole number of frames from 0 to " + std::to_string(kUnlimited)))
        ->each([&options](const std::string&) { options.framesGiven = true; });
    command
        .add_option("--duration", options.durationSeconds,
                    "stop after this time, above 0 (default: no limit)")
        ->type_name("SECONDS")
        ->transform(aboveZero("a number of seconds above 0"));
    declareFormat(command, options.format);
    command.add_option("--output", options.output, "write the poses to FILE instead of standard output")
        ->type_name("FILE")
        ->check(kFilePath);
    declareHealth(command, options);
    declareReference(command, options.reference, options.frameName, options.names);
    declareRegistration(command, options.registration);
    declareRecord(command, options);
    command
        .add_option("--health-every", options.healthEverySeconds,
                    "print the health block this often, above 0 (default: at the end only)")
        ->type_name("SECONDS")
        ->transform(aboveZero("a number of seconds above 0"));
}

void declareExport(CLI::App& command, ExportOptions& options) {
    command.add_option("FILE", options.recording, "the recording (.mhd or .mha)")
        ->type_name("FILE")
        ->required()
        ->check(kFilePath);
    declareFormat(command, options.format);
    command.add_option("--output", options.output, "write the poses to FILE instead of standard output")
        ->type_name("FILE")
        ->check(kFilePath);
    command
        .add_option("--min-quality", options.minQuality,
                    "poses below Q are INVALID too, 0 to 1 (default 0: the recorded status alone)")
        ->type_name("Q")
        ->transform(number(0.0, 1.0, "a quality from 0 to 1"));
    declareReference(command, options.reference, options.frameName, options.names);
    declareRegistration(command, options.registration);
}

void declareGui(CLI::App& command, GuiOptions& options) {
    command.footer(
        "Fiducials: all unless --fiducials or a workspace says otherwise. Without a display (or with\n"
        "QT_QPA_PLATFORM=offscreen) --screenshot renders offscreen. Ctrl-C (or SIGTERM) closes the\n"
        "window as its close button does.");
    declareMarkers(command, options, trackMarkersHelp());
    declareSetup(command, options, Images::OptOut);
    declareHealth(command, options);
    declareReference(command, options.reference, options.frameName, options.names);
    declareRegistration(command, options.registration);
    declareRecord(command, options);
    // An empty path would mean no screenshot: offscreen, a window nobody can close.
    CLI::Option* screenshot =
        command
            .add_option("--screenshot", options.screenshot, "render the window into the PNG FILE, then exit")
            ->type_name("FILE")
            ->check(kFilePath);
    command.add_option("--frames", options.frames, "frames before the screenshot")
        ->type_name("N")
        ->capture_default_str()
        ->transform(whole(0, kUnlimited, "a whole number of frames from 0 to " + std::to_string(kUnlimited)))
        ->needs(screenshot);
}

void declareCalibrationFrames(CLI::App& command, std::uint64_t& frames, const std::string& help) {
    command.add_option("--frames", frames, help)
        ->type_name("N")
        ->capture_default_str()
        ->transform(whole(10, 1000000, "a whole number of frames from 10 to 1000000"));
}

void declarePivot(CLI::App& command, PivotOptions& options) {
    command.footer(
        "Exit code 7: the poses cannot give a calibration (too few, too little rotation, or an RMS\n"
        "residual above --max-rms: the tip did not rest in one point).");
    command
        .add_option_function<std::string>(
            "--marker", [&options](const std::string& path) { options.markers = {path}; },
            "the tool's marker geometry")
        ->type_name("FILE")
        ->required()
        ->check(kFilePath);
    declareCalibrationFrames(command, options.frames, "frames to record, 10 to 1000000");
    command.add_option("--output", options.output, "also write the result as JSON")->type_name("FILE");
    command.add_flag(
        "--save", options.save,
        "write the tip, its RMS residual and the date (UTC) into the marker FILE's [tip] section");
    command.add_option("--max-rms", options.maxRmsMm, "refuse an RMS residual above MM (above 0)")
        ->type_name("MM")
        ->capture_default_str()
        ->transform(aboveZero("a distance in mm above 0"));
    declareWorkspace(command, options, "configure the stream from a workspace (its markers are tracked too)");
    declareReplay(command, options);
    declareFiducials(command, options);
    declareIgtl(command, options, Images::None, nullptr);
    declareLogLevel(command, options);
}

void declareDefineMarker(CLI::App& command, DefineMarkerOptions& options) {
    command.footer("Exit code 7: no new rigid body found, or its fiducials cannot be told apart.");
    command.add_option("--output", options.output, "the geometry file to write")
        ->type_name("FILE")
        ->required()
        ->check(kFilePath);
    command
        .add_option_function<std::uint32_t>(
            "--id", [&options](std::uint32_t id) { options.id = id; },
            "its geometry id, below 2^32 (default: the first free one from 1000 up)")
        ->type_name("N")
        ->transform(whole(0, 0xFFFFFFFF, "a geometry id, a whole number from 0 to 4294967295"));
    declareMarkers(command, options, "a marker already known (repeatable; default: the example markers)");
    declareCalibrationFrames(command, options.frames, "frames to learn from, 10 to 1000000");
    declareWorkspace(command, options, "configure the stream from a workspace (its markers are known too)");
    declareReplay(command, options);
    declareIgtl(command, options, Images::None, nullptr);
    declareLogLevel(command, options);
}

void declareAssess(CLI::App& command, AssessOptions& options) {
    command.footer(
        "Exit code 7: a marker moved more than its jitter explains (someone touched it): the assessment is\n"
        "refused. Exit code 10: frames came but no marker was seen in any of them. Ctrl-C stops early and\n"
        "assesses the frames taken.");
    declareMarkers(command, options, trackMarkersHelp());
    declareWorkspace(command, options, "configure the stream from a workspace file");
    declareReplay(command, options);
    command.add_option("--frames", options.frames, "assess N frames (0: no limit; a replay: its end)")
        ->type_name("N")
        ->capture_default_str()
        ->transform(whole(0, kUnlimited, "a whole number of frames from 0 to " + std::to_string(kUnlimited)))
        ->each([&options](const std::string&) { options.framesGiven = true; });
    command.add_option("--duration", options.durationSeconds, "assess for this time instead, above 0")
        ->type_name("SECONDS")
        ->transform(aboveZero("a number of seconds above 0"));
    declareReference(command, options.reference, options.frameName, options.names);
    command
        .add_option("--distance", options.distances,
                    "a known distance between A and B (instruments, or NAME.tip), repeatable")
        ->type_name("A:B=MM")
        ->allow_extra_args(false)
        ->check(CLI::Validator(
            [](const std::string& text) {
                std::string why;
                return Assess::parseDistance(text, why) ? std::string() : why;
            },
            std::string()));
    command.add_option("--window", options.windowSeconds, "the drift's time window, above 0")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->transform(aboveZero("a number of seconds above 0"));
    declareMinQuality(command, options);
    command.add_option("--output", options.output, "also write the assessment as JSON")
        ->type_name("FILE")
        ->check(kFilePath);
    command
        .add_option("--plot", options.plot,
                    "draw the readings, the drift and the distances into the PNG FILE")
        ->type_name("FILE")
        ->check(kFilePath);
    declareLogLevel(command, options);
}

void declareRegister(CLI::App& command, RegisterOptions& options) {
    command.footer(
        "Exit code 7: the landmarks are collinear. Ctrl-C cancels with nothing written (with --verify: the\n"
        "landmarks touched so far are reported).");
    declareMarkers(command, options, trackMarkersHelp());
    declareWorkspace(command, options, "configure the stream from a workspace file");
    declareReplay(command, options);
    declareRecord(command, options);
    declareReferenceMarker(command, options.reference)->required();
    command
        .add_option("--pointer", options.pointer, "the instrument whose calibrated tip touches (name or id)")
        ->type_name("NAME")
        ->required();
    command
        .add_option("--landmarks", options.landmarks,
                    "the image's landmarks (.mrk.json, or CSV label,x,y,z RAS)")
        ->type_name("FILE")
        ->required()
        ->check(kFilePath);
    CLI::Option* verify =
        command
            .add_option("--verify", options.verify, "touch the landmarks again to verify this registration")
            ->type_name("FILE.tfm")
            ->check(kFilePath);
    command
        .add_option("--output", options.output,
                    "write ImageToReference as an ITK transform file (for 3D Slicer)")
        ->type_name("FILE.tfm")
        ->check(kFilePath)
        ->excludes(verify);
    command.add_option("--report", options.report, "also write the registration (or verification) as JSON")
        ->type_name("FILE")
        ->check(kFilePath);
    command
        .add_option("--target", options.targets,
                    "predict the error at this point too (image RAS mm), repeatable")
        ->type_name("X,Y,Z")
        ->allow_extra_args(false)
        ->check(CLI::Validator(
            [](const std::string& text) {
                double xyz[3];
                return parseTarget(text, xyz) ? std::string() : std::string("takes three numbers X,Y,Z");
            },
            std::string()))
        ->excludes(verify);
    command.add_option("--dwell", options.dwellSeconds, "the tip rests this long on a landmark, 0.1 to 60")
        ->type_name("SECONDS")
        ->capture_default_str()
        ->transform(number(0.1, 60.0, "a number of seconds from 0.1 to 60"));
    declareMinQuality(command, options);
    declareLogLevel(command, options);
}

void declareConvert(CLI::App& command, ConvertOptions& options) {
    command.add_option("IN", options.in, "the workspace file to read")->type_name("FILE")->required();
    command.add_option("OUT", options.out, "the file to write (may be IN)")->type_name("FILE")->required();
}

/// Keeps the options' type from being deduced from a lambda: the options named decide it.
template <typename T>
struct Named {
    using Type = T;
};

/// A row of the command table, its declaration, surroundings and run bound to `options`.
template <typename Options>
Command command(const char* name, const char* description, Options& options,
                void (*addOptions)(CLI::App&, typename Named<Options>::Type&),
                Surroundings (*surroundings)(const typename Named<Options>::Type&),
                int (*run)(const typename Named<Options>::Type&, std::ostream&, std::ostream&)) {
    return Command{name, description, [&options, addOptions](CLI::App& app) { addOptions(app, options); },
                   [&options, surroundings] { return surroundings(options); },
                   [&options, run](std::ostream& out, std::ostream& err) { return run(options, out, err); }};
}

using Qt = Surroundings::Qt;

/// A command that reads and writes files, with the Qt application `qt`.
Surroundings filesOnly(Qt qt) {
    Surroundings surroundings;
    surroundings.qt = qt;
    return surroundings;
}

/// A command that runs the camera: neither standard error nor, when the poses go there, standard output
/// holds it up.
Surroundings cameraRun(Qt qt, bool posesToStandardOutput, bool offscreen) {
    Surroundings surroundings;
    surroundings.qt = qt;
    surroundings.boundedConsoles = true;
    surroundings.posesToStandardOutput = posesToStandardOutput;
    surroundings.offscreen = offscreen;
    return surroundings;
}

/// The commands that stream or manage the plug-ins, in the order the help lists them. A description's
/// first line sums the command up.
std::vector<Command> streamingCommands(CommandLineOptions& options) {
    return {
        command(
            "stream", "Streams poses from the tracking camera, one line per instrument per frame.",
            options.stream, declareStream,
            [](const StreamOptions& given) { return cameraRun(Qt::Core, given.output.empty(), false); },
            runStream),
        command(
            "gui",
            "Shows the stream's panel and camera views in a window.\n"
            "Opens a window with the stream's controller panel and the left and right camera images, and\n"
            "streams until the window is closed.",
            options.gui, declareGui,
            // A screenshot needs no screen.
            [](const GuiOptions& given) { return cameraRun(Qt::Widgets, false, !given.screenshot.empty()); },
            runGui),
        command(
            "plugins",
            "Lists the loaded plug-ins, their algorithms and conversions, and the refused modules.\n"
            "Lists the plug-in modules loaded from the plug-in folder beside the application and from the\n"
            "folders of HALVOREN_PLUGIN_PATH (separated by ':'): "  // one line of the help
            "their algorithms, the workspace conversions\n"
            "they registered, and every module that was refused, with the reason.",
            options.plugins, [](CLI::App&, PluginsOptions&) {},
            [](const PluginsOptions&) { return filesOnly(Qt::Core); }, runPlugins),
        command(
            "convert",
            "Brings an old workspace file up to date.\n"
            "Runs the workspace conversions of the loaded plug-ins on the workspace file IN, says what they\n"
            "changed, and writes the workspace in the current format to OUT (which may be IN).",
            options.convert, declareConvert, [](const ConvertOptions&) { return filesOnly(Qt::Core); },
            runConvert),
    };
}

/// The commands that calibrate, export and assess, in the order the help lists them.
std::vector<Command> calibrationCommands(CommandLineOptions& options) {
    return {
        command(
            "pivot",
            "Pivot calibration of a tool's tip.\n"
            "Pivot the tool about its tip, resting in a fixed point, while the camera records the marker;\n"
            "prints the tip offset in the marker's frame, the pivot point, the RMS residual and the angular\n"
            "spread of the poses.",
            options.pivot, declarePivot,
            [](const PivotOptions&) { return cameraRun(Qt::Core, false, false); }, runPivot),
        command(
            "define-marker",
            "Learns a new marker's geometry from the camera.\n"
            "Show the new rigid body (3 to 6 fiducials) to the camera and move it; its geometry is learnt\n"
            "from the fiducials no registered marker explains, written as a geometry file, then registered\n"
            "and tracked for 100 frames as a check.",
            options.defineMarker, declareDefineMarker,
            [](const DefineMarkerOptions&) { return cameraRun(Qt::Core, false, false); }, runDefineMarker),
        command(
            "export",
            "Writes a recording's poses as halvoren stream wrote them.\n"
            "Reads a recording made with --record and writes one line per instrument per frame, in CSV or\n"
            "JSON lines, as halvoren stream wrote them while recording.",
            options.exportPoses, declareExport, [](const ExportOptions&) { return filesOnly(Qt::None); },
            runExport),
        command(
            "assess",
            "Assesses the tracking's quality while the markers are held still.\n"
            "Runs the camera (or a replay) for a number of frames or a time and reports, per marker and\n"
            "calibrated tip: the mean position, the precision (standard deviation per axis, RMS distance "
            "from\n"
            "the mean, the radius holding 95% of the readings), the orientation's spread, the registration\n"
            "error, the drift per time window and the share of frames seen; and per known distance its\n"
            "trueness.",
            options.assess, declareAssess,
            // The plot is drawn with Qt's painter, which needs no screen.
            [](const AssessOptions& given) {
                return cameraRun(given.plot.empty() ? Qt::Core : Qt::Widgets, false, true);
            },
            runAssess),
        command(
            "register",
            "Registers an image to the reference marker by touching its landmarks with a pointer.\n"
            "Touch each landmark of --landmarks in turn with the pointer's tip and rest for the dwell time;\n"
            "the image is registered to the reference (rigid, least squares), each landmark's residual and\n"
            "the predicted target error are reported, and ImageToReference is written for 3D Slicer.",
            options.registration, declareRegister,
            [](const RegisterOptions&) { return cameraRun(Qt::Core, false, false); }, runRegister),
    };
}

/// The commands, in the order the help lists them.
std::vector<Command> commandTable(CommandLineOptions& options) {
    std::vector<Command> commands = streamingCommands(options);
    for (Command& command : calibrationCommands(options)) {
        commands.push_back(std::move(command));
    }
    return commands;
}

}  // namespace

std::vector<Command> declareCommands(CLI::App& app, CommandLineOptions& options) {
    app.description(
        "The host application: loads the plug-in modules, makes the tracking stream through them and\n"
        "runs it from the command line or in a window.");
    app.formatter(std::make_shared<Formatter>());
    app.get_formatter()->column_width(36);
    app.require_subcommand(0, 1);
    app.add_flag("--version", options.version,
                 "print the versions of halvoren, of the host it was built for and of the loaded plug-ins");
    std::vector<Command> commands = commandTable(options);
    for (const Command& command : commands) {
        command.addOptions(*app.add_subcommand(command.name, command.description));
    }
    return commands;
}

const Command* givenCommand(const CLI::App& app, const std::vector<Command>& commands) {
    for (const CLI::App* given : app.get_subcommands()) {
        for (const Command& command : commands) {
            if (command.name == given->get_name()) {
                return &command;
            }
        }
    }
    return nullptr;
}

}  // namespace Halvoren::App

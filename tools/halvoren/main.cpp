// halvoren: the host application. Loads the plug-in modules, makes the tracking stream through them and
// runs it from the command line or in a window.
#include "halvoren/CalibrationCommands.h"
#include "halvoren/ConvertCommand.h"
#include "halvoren/GuiCommand.h"
#include "halvoren/PluginsCommand.h"
#include "halvoren/StreamCommand.h"

#include <QApplication>
#include <QCoreApplication>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {
const char* const kUsage =
    "Usage: halvoren <command> [options]\n"
    "Commands:\n"
    "  stream    stream poses from the tracking camera (halvoren stream --help)\n"
    "  gui       show the stream's panel and camera views in a window (halvoren gui --help)\n"
    "  plugins   list the loaded plug-ins, their algorithms and conversions, and refused modules\n"
    "  convert   bring an old workspace file up to date (halvoren convert IN OUT)\n"
    "  pivot     pivot calibration of a tool's tip (halvoren pivot --help)\n"
    "  define-marker  learn a new marker's geometry from the camera (halvoren define-marker --help)\n";

/// Parses the command's options and runs it with its Qt application, or prints its usage. Options are
/// read and checked first, so that wrong options and --help need no display.
template <typename Options, typename App>
int runCommand(int argc, char** argv, const char* name, const std::vector<std::string>& args,
               std::optional<Options> (*parse)(const std::vector<std::string>&, std::string&),
               std::string (*usage)(), int (*run)(const Options&, std::ostream&)) {
    std::string error;
    const std::optional<Options> options = parse(args, error);
    if (!options) {
        std::cerr << "halvoren " << name << ": " << error << "\n" << usage();
        return Halvoren::App::ExitUsage;
    }
    if (options->help) {
        std::cout << usage();
        return Halvoren::App::ExitOk;
    }
    if (!Halvoren::App::checkSetupOptions(*options, error)) {
        std::cerr << "halvoren " << name << ": " << error << "\n" << usage();
        return Halvoren::App::ExitUsage;
    }
    App app(argc, argv);
    return run(*options, std::cerr);
}
}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage;
        return args.empty() ? Halvoren::App::ExitUsage : Halvoren::App::ExitOk;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "stream") {
        return runCommand<Halvoren::App::StreamOptions, QCoreApplication>(
            argc, argv, "stream", args, Halvoren::App::parseStreamOptions, Halvoren::App::streamUsage,
            Halvoren::App::runStream);
    }
    if (command == "gui") {
        // A screenshot needs no screen: without a display, render offscreen.
        const bool noDisplay = qEnvironmentVariableIsEmpty("DISPLAY") &&
                               qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                               qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
        if (noDisplay && std::find(args.begin(), args.end(), "--screenshot") != args.end()) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        }
        return runCommand<Halvoren::App::GuiOptions, QApplication>(
            argc, argv, "gui", args, Halvoren::App::parseGuiOptions, Halvoren::App::guiUsage,
            Halvoren::App::runGui);
    }
    if (command == "pivot") {
        return runCommand<Halvoren::App::PivotOptions, QCoreApplication>(
            argc, argv, "pivot", args, Halvoren::App::parsePivotOptions, Halvoren::App::pivotUsage,
            Halvoren::App::runPivot);
    }
    if (command == "define-marker") {
        return runCommand<Halvoren::App::DefineMarkerOptions, QCoreApplication>(
            argc, argv, "define-marker", args, Halvoren::App::parseDefineMarkerOptions,
            Halvoren::App::defineMarkerUsage, Halvoren::App::runDefineMarker);
    }
    if (command == "plugins") {
        QCoreApplication app(argc, argv);
        return Halvoren::App::runPlugins(args, std::cout, std::cerr);
    }
    if (command == "convert") {
        QCoreApplication app(argc, argv);
        return Halvoren::App::runConvert(args, std::cout, std::cerr);
    }
    std::cerr << "halvoren: unknown command '" << command << "'\n" << kUsage;
    return Halvoren::App::ExitUsage;
}

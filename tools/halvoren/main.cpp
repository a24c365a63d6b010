// halvoren: the host application. Loads the plug-in modules, makes the tracking stream through them and
// runs it from the command line or in a window.
#include "halvoren/CommandLine.h"

#include <CLI/CLI.hpp>

#include <QApplication>
#include <QCoreApplication>

#include <iostream>

namespace {

using namespace Halvoren::App;

/// A screenshot needs no screen: without a display, the window renders offscreen.
void renderOffscreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

/// Runs the command given, with the Qt application it needs; the options are parsed and checked first, so
/// that wrong options and --help need no display.
int runCommand(int argc, char** argv, const CLI::App& app, const Commands& commands,
               const CommandLineOptions& options) {
    if (*commands.gui) {
        if (!options.gui.screenshot.empty()) {
            renderOffscreenWithoutDisplay();
        }
        QApplication qt(argc, argv);
        return runGui(options.gui, std::cout, std::cerr);
    }
    if (*commands.exportPoses) {
        return runExport(options.exportPoses, std::cout, std::cerr);
    }
    if (!*commands.stream && !*commands.pivot && !*commands.defineMarker && !*commands.plugins &&
        !*commands.convert) {
        std::cout << app.help();
        return ExitUsage;
    }
    QCoreApplication qt(argc, argv);
    if (*commands.stream) {
        return runStream(options.stream, std::cout, std::cerr);
    }
    if (*commands.pivot) {
        return runPivot(options.pivot, std::cout, std::cerr);
    }
    if (*commands.defineMarker) {
        return runDefineMarker(options.defineMarker, std::cout, std::cerr);
    }
    if (*commands.plugins) {
        return runPlugins(options.plugins, std::cout, std::cerr);
    }
    return runConvert(options.convert, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("", "halvoren");
    CommandLineOptions options;
    const Commands commands = declareCommands(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Error& error) {
        return reportParseError(app, error, std::cout, std::cerr);
    }
    return runCommand(argc, argv, app, commands, options);
}

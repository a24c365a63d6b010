// halvoren: the host application. Loads the plug-in modules, makes the tracking stream through them and
// runs it from the command line or in a window.
#include "halvoren/CommandLine.h"
#include "halvoren/ConsoleOutput.h"

#include <CLI/CLI.hpp>

#include <QApplication>
#include <QCoreApplication>

#include <unistd.h>

#include <functional>
#include <iostream>
#include <memory>
#include <string>

namespace {

using namespace Halvoren::App;

/// A screenshot needs no screen: without a display, the window renders offscreen.
void renderOffscreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

/// Runs a command that runs the camera with a standard error (and, when the poses go there, a standard
/// output) that never holds it up: what the reader does not take is dropped, counted and, when the reader
/// takes that at least, said at the end.
int runWithConsoles(bool posesToStandardOutput,
                    const std::function<int(std::ostream& out, std::ostream& err)>& command) {
    ConsoleOutput err(STDERR_FILENO);
    err.takeOverLog();
    std::unique_ptr<ConsoleOutput> out;
    if (posesToStandardOutput) {
        out = std::make_unique<ConsoleOutput>(STDOUT_FILENO, 4 * ConsoleOutput::kDefaultQueueBytes);
    }
    int code = command(out != nullptr ? out->stream() : std::cout, err.stream());
    if (out != nullptr) {
        if (const std::uint64_t lost = out->finish(); lost != 0) {
            err.stream() << "lines not written to standard output: " << lost << '\n';
        }
        if (out->failed() && code == ExitOk) {
            err.stream() << "halvoren: cannot write the poses to standard output\n";
            code = ExitWriteFailed;
        }
    }
    if (const std::uint64_t lost = err.finish(); lost != 0) {
        ConsoleOutput::writeBounded(
            STDERR_FILENO, "lines not written to standard error: " + std::to_string(lost) + '\n', 0.5);
    }
    return code;
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
        return runWithConsoles(
            false, [&](std::ostream& out, std::ostream& err) { return runGui(options.gui, out, err); });
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
        return runWithConsoles(options.stream.output.empty(), [&](std::ostream& out, std::ostream& err) {
            return runStream(options.stream, out, err);
        });
    }
    if (*commands.pivot) {
        return runWithConsoles(
            false, [&](std::ostream& out, std::ostream& err) { return runPivot(options.pivot, out, err); });
    }
    if (*commands.defineMarker) {
        return runWithConsoles(false, [&](std::ostream& out, std::ostream& err) {
            return runDefineMarker(options.defineMarker, out, err);
        });
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

// halvoren: the host application. Loads the plug-in modules, makes the tracking stream through them and
// runs it from the command line or in a window.
#include "halvoren/app/CommandLine.h"
#include "halvoren/commands/PluginsCommand.h"
#include "halvoren/console/ConsoleOutput.h"
#include "halvoren/console/Interrupts.h"
#include "halvoren/session/ExitCodes.h"

#include "commandline/Arguments.h"
#include "commandline/UsageError.h"
#include "host/Log.h"

#include <CLI/CLI.hpp>

#include <QApplication>
#include <QCoreApplication>

#include <unistd.h>

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace Halvoren::App;

/// Qt's own messages (a missing XDG_RUNTIME_DIR, a font it substitutes) are the library's chatter, not
/// news for the user: they go to the log as detail, shown with --verbose.
void qtMessageToLog(QtMsgType type, const QMessageLogContext& /*context*/, const QString& message) {
    using Halvoren::Log;
    Log::log(type == QtFatalMsg ? Log::Error : Log::Debug, "Qt", message.toStdString());
}

/// Routes Qt's messages to the log while main runs; Qt's own clean-up after it speaks as Qt does.
struct QtMessagesToLog {
    QtMessagesToLog() { qInstallMessageHandler(qtMessageToLog); }
    ~QtMessagesToLog() { qInstallMessageHandler(nullptr); }
    QtMessagesToLog(const QtMessagesToLog&) = delete;
    QtMessagesToLog& operator=(const QtMessagesToLog&) = delete;
};

/// A screenshot needs no screen: without a display, the window renders offscreen.
void renderOffscreenWithoutDisplay() {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

/// Runs a command that runs the camera with a standard error (and, when the poses go there, a standard
/// output) that never holds it up: what the reader does not take is dropped, counted and, when the reader
/// takes that at least, said at the end. Poses lost that way make the run's exit code, unless it failed
/// otherwise; lines standard error lost do not.
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
        const std::uint64_t lost = out->finish();
        if (lost != 0) {
            err.stream() << "lines not written to standard output: " << lost << '\n';
        }
        if (out->failed() && (code == ExitOk || code == ExitPosesLost)) {
            err.stream() << "halvoren: cannot write the poses to standard output\n";
            code = ExitWriteFailed;
        } else if (lost != 0 && code == ExitOk) {
            code = ExitPosesLost;
        }
    }
    if (const std::uint64_t lost = err.finish(); lost != 0) {
        ConsoleOutput::writeBounded(
            STDERR_FILENO, "lines not written to standard error: " + std::to_string(lost) + '\n', 0.5);
    }
    return code;
}

/// Runs the command given in the surroundings it asks for: its Qt application, and consoles that never
/// hold up the camera when it runs one.
int runCommand(int& argc, char** argv, const Command& command) {
    const Surroundings surroundings = command.surroundings();
    if (surroundings.offscreen) {
        renderOffscreenWithoutDisplay();
    }
    std::unique_ptr<QCoreApplication> qt;
    if (surroundings.qt == Surroundings::Qt::Widgets) {
        qt = std::make_unique<QApplication>(argc, argv);
    } else if (surroundings.qt == Surroundings::Qt::Core) {
        qt = std::make_unique<QCoreApplication>(argc, argv);
    }
    if (!surroundings.boundedConsoles) {
        return command.run(std::cout, std::cerr);
    }
    return runWithConsoles(surroundings.posesToStandardOutput, command.run);
}

}  // namespace

int main(int argc, char** argv) {
    Interrupts::ignoreClosedPipes();
    const QtMessagesToLog qtMessages;
    CLI::App app("", "halvoren");
    CommandLineOptions options;
    const std::vector<Command> commands = declareCommands(app, options);
    try {
        app.parse(Halvoren::CommandLine::arguments(argc, argv));
    } catch (const CLI::Error& error) {
        return Halvoren::CommandLine::reportParseError(app, error, std::cout, std::cerr);
    }
    // The options are parsed and checked before any Qt application is made: wrong options and --help
    // need no display.
    if (options.version) {
        const QCoreApplication qt(argc, argv);
        return runVersion(std::cout);
    }
    const Command* given = givenCommand(app, commands);
    if (given == nullptr) {
        std::cout << app.help();
        return ExitUsage;
    }
    // Held until the command's outputs are all finished and said: a signal at any point of the run stops
    // it the one way.
    const Interrupts interrupts;
    return runCommand(argc, argv, *given);
}

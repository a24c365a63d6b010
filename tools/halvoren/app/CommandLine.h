#pragma once
// The command line: one table of the commands, each row with the command's name, description, options and
// what runs it; every option declared once with its type, range or choices, help text and the options it
// needs or excludes. The help, the usage errors and the dispatch all come from the table.

#include "halvoren/commands/AssessCommand.h"
#include "halvoren/commands/CalibrationCommands.h"
#include "halvoren/commands/ConvertCommand.h"
#include "halvoren/commands/ExportCommand.h"
#include "halvoren/commands/GuiCommand.h"
#include "halvoren/commands/PluginsCommand.h"
#include "halvoren/commands/RegisterCommand.h"
#include "halvoren/commands/StreamCommand.h"

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace Halvoren::App {

/// The options of every command, filled in as the command line is parsed.
struct CommandLineOptions {
    StreamOptions stream;
    GuiOptions gui;
    PivotOptions pivot;
    DefineMarkerOptions defineMarker;
    ConvertOptions convert;
    PluginsOptions plugins;
    ExportOptions exportPoses;
    AssessOptions assess;
    bool version = false;  // --version: the versions instead of a command
    RegisterOptions registration;
};

/// What main sets up around a command's run.
struct Surroundings {
    enum class Qt { None, Core, Widgets };
    Qt qt = Qt::Core;
    bool offscreen = false;  // a window renders offscreen when there is no display
    // Standard error never holds up the camera: what its reader does not take is dropped and counted.
    bool boundedConsoles = false;
    bool posesToStandardOutput = false;  // nor does standard output, which takes the poses
};

/// One row of the command table: a command of the application, bound to its options.
struct Command {
    std::string name;
    std::string description;                                       // its first line sums the command up
    std::function<void(CLI::App&)> addOptions;                     // declares the options on the command
    std::function<Surroundings()> surroundings;                    // asked once the options are parsed
    std::function<int(std::ostream& out, std::ostream& err)> run;  // returns the exit code
};

/// Declares the commands of the table and their options on `app`; parsing fills `options`, which must
/// outlive the table returned.
std::vector<Command> declareCommands(CLI::App& app, CommandLineOptions& options);

/// Once `app` is parsed: the row of the command given, nullptr when none was.
const Command* givenCommand(const CLI::App& app, const std::vector<Command>& commands);

}  // namespace Halvoren::App

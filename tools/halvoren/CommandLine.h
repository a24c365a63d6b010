#pragma once
// The command line: every command and every option of it, each declared once with its type, range or
// choices, help text and the options it needs or excludes. The help is generated from the declarations.

#include "halvoren/CalibrationCommands.h"
#include "halvoren/ConvertCommand.h"
#include "halvoren/ExportCommand.h"
#include "halvoren/GuiCommand.h"
#include "halvoren/PluginsCommand.h"
#include "halvoren/StreamCommand.h"

#include <iosfwd>

namespace CLI {
class App;
class Error;
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
};

/// The commands as declared on the application; after parsing, the one given reads true.
struct Commands {
    CLI::App* stream = nullptr;
    CLI::App* gui = nullptr;
    CLI::App* pivot = nullptr;
    CLI::App* defineMarker = nullptr;
    CLI::App* convert = nullptr;
    CLI::App* plugins = nullptr;
    CLI::App* exportPoses = nullptr;
};

/// Declares the commands and their options on `app`; parsing fills `options`, which must outlive it.
Commands declareCommands(CLI::App& app, CommandLineOptions& options);

/// Handles what app.parse() threw: the help asked for goes to `out` (ExitOk); a usage error, named with
/// its command, and that command's help go to `err` (ExitUsage).
int reportParseError(const CLI::App& app, const CLI::Error& error, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App

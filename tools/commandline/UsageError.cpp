#include "commandline/UsageError.h"

#include <CLI/CLI.hpp>

#include <ostream>
#include <string>
#include <vector>

namespace Halvoren::CommandLine {

int reportParseError(const CLI::App& app, const CLI::Error& error, std::ostream& out, std::ostream& err) {
    // CLI11's help and its other requests to stop with success; the help is of the command given.
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
        out << app.help();
        return 0;
    }
    const std::vector<CLI::App*> given = app.get_subcommands();
    const CLI::App& command = given.empty() ? app : *given.front();
    err << app.get_name() << (given.empty() ? "" : " " + command.get_name()) << ": " << error.what() << '\n'
        << (given.empty() ? app.help() : command.help(app.get_name()));  // "Usage: halvoren stream ..."

    return 2;
}

}  // namespace Halvoren::CommandLine

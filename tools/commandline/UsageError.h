#pragma once
// The one way the project's programs answer what their command line's parse threw.

#include <iosfwd>

namespace CLI {
class App;
class Error;
}  // namespace CLI

namespace Halvoren::CommandLine {

/// The help asked for goes to `out` (exit code 0); a usage error, named with the program and the command
/// given, and that command's help go to `err` (exit code 2).
int reportParseError(const CLI::App& app, const CLI::Error& error, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::CommandLine

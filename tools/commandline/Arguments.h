#pragma once
// A program's arguments as CLI11 takes them.

#include <string>
#include <vector>

namespace Halvoren::CommandLine {

/// The arguments after the program's name, in the reversed order CLI11's parse takes. "--name=" is given
/// as "--name" and an empty value: CLI11 would drop the empty value and take the next argument as the
/// option's value, so "--marker= --frames 5" would refuse "5" instead of the empty path.
std::vector<std::string> arguments(int argc, const char* const* argv);

}  // namespace Halvoren::CommandLine

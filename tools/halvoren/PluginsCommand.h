#pragma once
// "halvoren plugins": what the application loaded, and what it refused.

#include <iosfwd>
#include <string>
#include <vector>

namespace Halvoren {
class PluginManager;
}

namespace Halvoren::App {

std::string pluginsUsage();

/// Writes the plug-in folders, each loaded module (id, file, vendor, description, dependencies, its
/// algorithms with their categories), the registered workspace conversions and every refused module with
/// its reason.
void describePlugins(const PluginManager& plugins, const std::vector<std::string>& folders,
                     std::ostream& out);

/// Runs the command; returns the exit code.
int runPlugins(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App

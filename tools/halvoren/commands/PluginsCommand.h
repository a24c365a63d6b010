#pragma once
// "halvoren plugins": what the application loaded, and what it refused.

#include <iosfwd>
#include <string>
#include <vector>

namespace Halvoren {
class PluginManager;
}

namespace Halvoren::App {

/// The command takes no options.
struct PluginsOptions {};

/// Writes the plug-in folders, each loaded module (id, file, version, vendor, description, dependencies, its
/// algorithms with their categories), the registered workspace conversions and every refused module with
/// its reason.
void describePlugins(const PluginManager& plugins, const std::vector<std::string>& folders,
                     std::ostream& out);

/// Runs the command: the list goes to `out`. Returns the exit code.
int runPlugins(const PluginsOptions& options, std::ostream& out, std::ostream& err);

/// "halvoren --version": the application's version, the host version it was built for and each loaded
/// plug-in's version, a line each. Returns the exit code.
int runVersion(std::ostream& out);

}  // namespace Halvoren::App

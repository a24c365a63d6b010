#include "halvoren/commands/PluginsCommand.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/StreamSetup.h"

#include "HalvorenVersion.h"

#include "host/AlgorithmFactory.h"
#include "host/Log.h"
#include "host/PluginBase.h"
#include "host/PluginManager.h"
#include "host/WorkspaceConversionRegistry.h"

#include <ostream>

namespace Halvoren::App {

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text.empty() ? "none" : text;
}

}  // namespace

void describePlugins(const PluginManager& plugins, const std::vector<std::string>& folders,
                     std::ostream& out) {
    out << "Plug-in folders:\n";
    for (const std::string& folder : folders) {
        out << "  " << folder << '\n';
    }
    out << "Plug-ins:\n";
    const std::vector<PluginManager::LoadedPlugin> loaded = plugins.plugins();
    if (loaded.empty()) {
        out << "  none\n";
    }
    for (const PluginManager::LoadedPlugin& plugin : loaded) {
        out << "  " << plugin.id << "  (" << plugin.file << ")\n"
            << "    version: " << (plugin.version.empty() ? "not given" : plugin.version) << '\n'
            << "    vendor: " << plugin.vendor << '\n'
            << "    description: " << plugin.description << '\n'
            << "    dependencies: " << joined(plugin.dependencies) << '\n'
            << "    algorithms:";
        if (plugin.algorithmFactory == nullptr || plugin.algorithmFactory->algorithmDescriptors().empty()) {
            out << " none";
        }
        out << '\n';
        if (plugin.algorithmFactory != nullptr) {
            for (const AlgorithmFactory::Descriptor* algorithm :
                 plugin.algorithmFactory->algorithmDescriptors()) {
                out << "      " << algorithm->name << "  (category " << algorithm->category << ")\n";
            }
        }
    }
    out << "Workspace conversions (run on workspaces below their number):\n";
    const std::vector<WorkspaceConversionFunction> conversions =
        WorkspaceConversionRegistry::instance().conversions();
    if (conversions.empty()) {
        out << "  none\n";
    }
    for (const WorkspaceConversionFunction& conversion : conversions) {
        out << "  " << conversion.number << "  " << conversion.description << '\n';
    }
    out << "Refused modules:\n";
    if (plugins.refusedModules().empty()) {
        out << "  none\n";
    }
    for (const PluginManager::RefusedModule& refused : plugins.refusedModules()) {
        out << "  " << refused.file << ": " << refused.reason << '\n';
    }
}

int runPlugins(const PluginsOptions& /*options*/, std::ostream& out, std::ostream& /*err*/) {
    // The refusals are listed below; the log need not repeat them.
    Log::setGlobalLevel(Log::Error);
    LoadedPlugins plugins;
    describePlugins(plugins.manager(), plugins.folders(), out);
    return ExitOk;
}

int runVersion(std::ostream& out) {
    // A module that is refused says why on standard error; the versions go to standard output alone.
    Log::setGlobalLevel(Log::Error);
    LoadedPlugins plugins;
    out << "halvoren " << HALVOREN_VERSION << '\n' << "host version " << PluginManager::kHostVersion << '\n';
    for (const PluginManager::LoadedPlugin& plugin : plugins.manager().plugins()) {
        out << "plug-in " << plugin.id << ' '
            << (plugin.version.empty() ? "(no version given)" : plugin.version) << '\n';
    }
    return ExitOk;
}

}  // namespace Halvoren::App

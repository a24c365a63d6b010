#pragma once

#include "host/PluginManager.h"

#include <string>
#include <vector>

namespace Halvoren::App {

/// The plug-in modules a command loaded: those of the plug-in folder beside the application and of the
/// folders of HALVOREN_PLUGIN_PATH. Declare it before anything made through the plug-ins, which is their
/// code and must go first.
class LoadedPlugins {
public:
    /// Loads the modules of the given folders; by default those named above.
    LoadedPlugins();
    explicit LoadedPlugins(const std::vector<std::string>& folders);
    /// Main thread. Runs the work that the plug-ins' objects queued to the main thread, which is the
    /// modules' code too, then unloads the modules.
    ~LoadedPlugins();
    LoadedPlugins(const LoadedPlugins&) = delete;
    LoadedPlugins& operator=(const LoadedPlugins&) = delete;

    PluginManager& manager() { return m_manager; }
    const std::vector<std::string>& folders() const { return m_folders; }

private:
    std::vector<std::string> m_folders;
    PluginManager m_manager;
};

}  // namespace Halvoren::App

#include "halvoren/session/LoadedPlugins.h"

namespace Halvoren::App {

LoadedPlugins::LoadedPlugins() : LoadedPlugins(PluginManager::defaultFolders()) {}

LoadedPlugins::LoadedPlugins(const std::vector<std::string>& folders) : m_folders(folders) {
    m_manager.loadFolders(m_folders);
}

LoadedPlugins::~LoadedPlugins() {
    m_manager.unloadAll();
}

}  // namespace Halvoren::App

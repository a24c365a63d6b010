#include "app/LoadedPlugins.h"

#include <QCoreApplication>
#include <QEvent>

namespace Halvoren::App {

LoadedPlugins::LoadedPlugins() : LoadedPlugins(PluginManager::defaultFolders()) {}

LoadedPlugins::LoadedPlugins(const std::vector<std::string>& folders) : m_folders(folders) {
    m_manager.loadFolders(m_folders);
}

LoadedPlugins::~LoadedPlugins() {
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    m_manager.unloadAll();
}

}  // namespace Halvoren::App

#include "InstallLayout.h"

#include <filesystem>
#include <system_error>

namespace Halvoren::InstallLayout {

namespace {

/// `relative` seen from the running program's folder, normalised; empty when that folder cannot be told.
std::filesystem::path besideExecutable(const char* relative) {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    return (exe.parent_path() / relative).lexically_normal();
}

bool isFolder(const std::filesystem::path& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_directory(path, error);
}

}  // namespace

std::string pluginFolder() {
    const std::filesystem::path installed = besideExecutable(HALVOREN_INSTALLED_PLUGIN_DIR);
    return (isFolder(installed) ? installed : besideExecutable(HALVOREN_BUILD_PLUGIN_DIR)).string();
}

std::string dataFolder() {
    const std::filesystem::path installed = besideExecutable(HALVOREN_INSTALLED_DATA_DIR);
    return isFolder(installed) ? installed.string() : std::string();
}

}  // namespace Halvoren::InstallLayout

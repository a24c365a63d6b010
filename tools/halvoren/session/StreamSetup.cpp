#include "halvoren/session/StreamSetup.h"

#include "host/InstallLayout.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>

namespace Halvoren::App {

std::string exampleDataDirectory() {
    if (const char* dir = std::getenv("HALVOREN_DATA_DIR")) {
        return dir;
    }
    const std::string installed = InstallLayout::dataFolder();
    return installed.empty() ? HALVOREN_SOURCE_DATA_DIR : installed;
}

std::vector<std::string> exampleMarkers() {
    const std::filesystem::path dir = std::filesystem::path(exampleDataDirectory()) / "markers";
    std::vector<std::string> markers;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() == ".ini") {
            markers.push_back(entry.path().string());
        }
    }
    std::sort(markers.begin(), markers.end());
    return markers;
}

}  // namespace Halvoren::App

#include "app/InputChecks.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace Halvoren::App {

namespace {

// The camera reserves the geometry ids below this; the stream raises a file's id by it.
constexpr std::uint32_t kFirstFreeGeometryId = 1000;

std::string trimmed(const std::string& text) {
    const auto begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return std::string();
    }
    return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

}  // namespace

std::string unreadableFileReason(const std::string& path) {
    if (path.rfind(":/", 0) == 0) {
        return std::string();
    }
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        return "does not exist";
    }
    if (std::filesystem::is_directory(status)) {
        return "is a folder";
    }
    if (error || ::access(path.c_str(), R_OK) != 0 || !std::ifstream(path)) {
        return "cannot be read";
    }
    return std::string();
}

std::string unwritableFileReason(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path file(path);
    if (fs::is_directory(file, error)) {
        return "is a folder";
    }
    if (fs::exists(file, error)) {
        return ::access(path.c_str(), W_OK) == 0 ? std::string() : "is not writable";
    }
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, error)) {
        return "is in a folder that does not exist (" + folder.string() + ")";
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        return "is in a folder that is not writable (" + folder.string() + ")";
    }
    return std::string();
}

std::string cannotWriteMessage(const std::string& path) {
    const std::string reason = path.empty() ? std::string() : unwritableFileReason(path);
    return reason.empty() ? std::string() : "cannot write " + path + ": it " + reason;
}

std::optional<std::uint32_t> declaredMarkerId(const std::string& path) {
    std::ifstream file(path);
    std::string section;
    std::optional<std::uint32_t> declared;
    // Read as the geometry reader reads: the last "id" of the last [geometry] section, a leading number.
    for (std::string line; std::getline(file, line);) {
        const auto open = line.find('[');
        const auto close = line.rfind(']');
        if (open != std::string::npos && close != std::string::npos && close > open) {
            section = line.substr(open + 1, close - open - 1);
            if (section == "geometry") {
                declared.reset();
            }
            continue;
        }
        const auto equals = line.find('=');
        if (section != "geometry" || equals == std::string::npos || line.substr(0, equals) != "id") {
            continue;
        }
        const std::string value = trimmed(line.substr(equals + 1));
        char* end = nullptr;
        const long id = std::strtol(value.c_str(), &end, 10);
        if (end == value.c_str() || id < 0 || id > 0xFFFFFFFFL - kFirstFreeGeometryId) {
            declared.reset();
            continue;
        }
        const auto raw = static_cast<std::uint32_t>(id);
        declared = raw < kFirstFreeGeometryId ? raw + kFirstFreeGeometryId : raw;
    }
    return declared;
}

}  // namespace Halvoren::App

#include "halvoren/InputChecks.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>

namespace Halvoren::App {

namespace {

// The camera reserves the geometry ids below this; the stream raises a file's id by it.
constexpr std::uint32_t kFirstFreeGeometryId = 1000;

// What the geometry reader takes: at most this many fiducials, in a file of at most this size.
constexpr long kMaxFiducials = 6;
constexpr std::uintmax_t kMaxGeometryBytes = 1024 * 1024;

// Fiducials closer than this cannot be told apart by the camera.
constexpr double kMinFiducialDistanceMm = 1.0;

using IniSections = std::map<std::string, std::map<std::string, std::string>>;

/// The sections of a geometry file as the geometry reader sees them: names and keys untrimmed, a
/// repeated section starting over.
IniSections readIniSections(std::istream& in) {
    IniSections sections;
    std::string current;
    for (std::string line; std::getline(in, line);) {
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        const auto open = line.find('[');
        const auto close = line.rfind(']');
        if (open != std::string::npos && close != std::string::npos) {
            current = close > open ? line.substr(open + 1, close - open - 1) : line.substr(open + 1);
            sections[current].clear();
            continue;
        }
        const auto equals = line.find('=');
        if (equals != std::string::npos && !current.empty()) {
            sections[current][line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return sections;
}

const std::string* iniValue(const IniSections& sections, const std::string& section, const std::string& key) {
    const auto s = sections.find(section);
    if (s == sections.end()) {
        return nullptr;
    }
    const auto k = s->second.find(key);
    return k != s->second.end() ? &k->second : nullptr;
}

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

MarkerGeometryCheck checkMarkerGeometry(const std::string& path) {
    MarkerGeometryCheck check;
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (path.rfind(":/", 0) == 0 || error || size > kMaxGeometryBytes) {
        return check;
    }
    std::ifstream file(path);
    const IniSections sections = readIniSections(file);
    const std::string* countText = iniValue(sections, "geometry", "count");
    if (countText == nullptr || iniValue(sections, "geometry", "id") == nullptr) {
        return check;
    }
    const long count = std::strtol(countText->c_str(), nullptr, 10);
    if (count < 0 || count > kMaxFiducials) {
        return check;
    }
    std::vector<std::array<double, 3>> points;
    for (long i = 0; i < count; ++i) {
        std::array<double, 3> point{};
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const std::string* text =
                iniValue(sections, "fiducial" + std::to_string(i), std::string(1, "xyz"[axis]));
            if (text == nullptr) {
                return check;
            }
            // The reader keeps single precision.
            point[axis] = static_cast<double>(std::strtof(text->c_str(), nullptr));
            if (!std::isfinite(point[axis])) {
                return check;
            }
        }
        points.push_back(point);
    }
    if (count < 3) {
        check.warnings.push_back(
            (count == 0 ? std::string("declares no fiducials")
                        : "has only " + std::to_string(count) + " fiducial" + (count == 1 ? "" : "s")) +
            ": a marker needs at least 3 to be tracked");
    }
    for (std::size_t a = 0; a < points.size() && check.refusal.empty(); ++a) {
        for (std::size_t b = a + 1; b < points.size(); ++b) {
            const double distance = std::hypot(points[a][0] - points[b][0], points[a][1] - points[b][1],
                                               points[a][2] - points[b][2]);
            if (distance < kMinFiducialDistanceMm) {
                std::ostringstream text;
                text << "its fiducial" << a << " and fiducial" << b << " are " << std::fixed
                     << std::setprecision(3) << distance
                     << " mm apart (less than 1 mm): the camera cannot tell them apart";
                check.refusal = text.str();
                break;
            }
        }
    }
    return check;
}

}  // namespace Halvoren::App

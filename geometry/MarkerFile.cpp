#include "MarkerFile.h"

#include "text/BoundedFile.h"
#include "text/Text.h"
#include "text/ToolTip.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <locale>
#include <sstream>
#include <system_error>

namespace Halvoren::MarkerFile {

namespace {

const std::string kGeometrySection = "geometry";
const std::string kTipSection = "tip";

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::string missingSection(const std::string& section) {
    return "Parsing INI file, could not find section \"" + section + "\"";
}

std::string missingKey(const std::string& section, const std::string& key) {
    return "Parsing INI file, could not find key \"" + key + "\" in section \"" + section + "\"";
}

std::string tooLarge(const std::string& what) {
    return what + " is larger than " + std::to_string(kMaxBytes / 1024) + " KB: not a marker geometry";
}

Loaded refusedAsTooLarge(const std::string& what) {
    Loaded loaded;
    loaded.source = Source::TooLarge;
    loaded.messages.push_back({Message::Level::Error, tooLarge(what)});
    return loaded;
}

template <typename Number>
std::string shortest(Number value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    return std::string(buffer, result.ptr);
}

}  // namespace

bool readBounded(std::istream& input, std::string& text, std::size_t limit) {
    // In chunks: a stream of one endless line must not be taken in whole.
    char chunk[64 * 1024];
    while (input.read(chunk, sizeof(chunk)), input.gcount() > 0) {
        const auto count = static_cast<std::size_t>(input.gcount());
        if (count > limit - text.size()) {
            return false;
        }
        text.append(chunk, count);
    }
    return true;
}

std::uint32_t firstFreeId(const std::set<std::uint32_t>& taken) {
    std::uint32_t id = kFirstFreeId;
    for (auto it = taken.lower_bound(id);
         it != taken.end() && *it == id && id < std::numeric_limits<std::uint32_t>::max(); ++it) {
        ++id;
    }
    return id;
}

bool Ini::parse(const char* text, std::size_t length) {
    m_sections.clear();
    if (text == nullptr) {
        return true;
    }
    if (const void* nul = std::memchr(text, '\0', length)) {
        length = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
    }

    std::string current;
    std::size_t begin = 0;
    while (begin < length) {
        const char* lineStart = text + begin;
        const void* newline = std::memchr(lineStart, '\n', length - begin);
        const std::size_t end =
            newline != nullptr ? static_cast<std::size_t>(static_cast<const char*>(newline) - text) : length;
        std::string line(lineStart, end - begin);
        begin = end + 1;
        if (line.empty()) {
            continue;
        }
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());

        const std::size_t open = line.find('[');
        const std::size_t close = line.rfind(']');
        if (open != std::string::npos && close != std::string::npos) {
            // A ']' only before the '[' leaves the rest of the line as the name.
            current = close > open ? line.substr(open + 1, close - open - 1) : line.substr(open + 1);
            m_sections[current].clear();
            continue;
        }

        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && !current.empty()) {
            m_sections[current][line.substr(0, equals)] = line.substr(equals + 1);
            continue;
        }

        line.erase(std::remove_if(line.begin(), line.end(), isBlank), line.end());
        if (line.empty() || line.front() == ';') {
            continue;
        }
        return false;
    }
    return true;
}

const std::string* Ini::find(const std::string& section, const std::string& key) const {
    const auto sectionIt = m_sections.find(section);
    if (sectionIt == m_sections.end()) {
        return nullptr;
    }
    const auto keyIt = sectionIt->second.find(key);
    return keyIt != sectionIt->second.end() ? &keyIt->second : nullptr;
}

std::string Ini::value(const std::string& section, const std::string& key) const {
    const std::string* found = find(section, key);
    return found != nullptr ? *found : std::string();
}

// Lenient C-library reading, not the strict text library: marker files load as the maker's tools load
// them. In the C locale whatever the process set: a '.' is the decimal point in every marker file.
std::uint32_t tolerantUnsigned(const std::string& text) {
    return static_cast<std::uint32_t>(std::strtol(text.c_str(), nullptr, 10));
}

float tolerantFloat(const std::string& text) {
    const double number = Text::lenientNumber(text.c_str(), nullptr);
    // Rounded by hand beyond the largest float: to it up to half a step above it, which is how its own
    // shortest text reads, and to infinity from there (rather than through an undefined conversion).
    const double largest = static_cast<double>(FLT_MAX);
    const double halfStepAbove = largest + std::ldexp(1.0, 103);
    if (std::abs(number) > largest) {
        const float magnitude =
            std::abs(number) < halfStepAbove ? FLT_MAX : std::numeric_limits<float>::infinity();
        return number < 0.0 ? -magnitude : magnitude;
    }
    return static_cast<float>(number);
}

namespace {

/// The geometry of the INI text into `loaded`, or the Error message that says what is missing.
void parseGeometry(const Ini& ini, Loaded& loaded) {
    const auto error = [&loaded](std::string message) {
        loaded.messages.push_back({Message::Level::Error, std::move(message)});
    };
    if (ini.sections().count(kGeometrySection) == 0) {
        return error(missingSection(kGeometrySection));
    }
    const std::string* countText = ini.find(kGeometrySection, "count");
    if (countText == nullptr) {
        return error(missingKey(kGeometrySection, "count"));
    }
    // Checked before narrowing: a huge count must not wrap into the valid range.
    const long count = std::strtol(countText->c_str(), nullptr, 10);
    if (count < 0 || count > static_cast<long>(kMaxFiducials)) {
        return error("Geometry file declares " + std::to_string(count) + " fiducials, only 0 to " +
                     std::to_string(kMaxFiducials) + " are supported");
    }
    const std::string* idText = ini.find(kGeometrySection, "id");
    if (idText == nullptr) {
        return error(missingKey(kGeometrySection, "id"));
    }
    Marker marker;
    marker.id = tolerantUnsigned(*idText);
    loaded.messages.push_back({Message::Level::Info, "Loading geometry " + std::to_string(marker.id) +
                                                         ", composed of " + std::to_string(count) +
                                                         " fiducials"});

    for (long i = 0; i < count; ++i) {
        const std::string section = "fiducial" + std::to_string(i);
        if (ini.sections().count(section) == 0) {
            return error(missingSection(section));
        }
        Fiducial fiducial;
        for (const auto& [key, coordinate] :
             {std::pair<const char*, float*>{"x", &fiducial.x}, {"y", &fiducial.y}, {"z", &fiducial.z}}) {
            const std::string* valueText = ini.find(section, key);
            if (valueText == nullptr) {
                return error(missingKey(section, key));
            }
            *coordinate = tolerantFloat(*valueText);
            // The camera cannot match a marker with a point at infinity.
            if (!std::isfinite(*coordinate)) {
                return error(std::string("Geometry file: \"") + key + "\" in section \"" + section +
                             "\" is not a finite number: " + *valueText);
            }
        }
        marker.fiducials.push_back(fiducial);
    }
    loaded.marker = std::move(marker);
}

/// A finite number and nothing else, blanks around it allowed: a tip is written by the tools, and a
/// half-read one would put the tool's point somewhere else.
std::optional<double> strictNumber(const std::string& text) {
    const char* begin = text.c_str();
    char* end = nullptr;
    const double number = Text::lenientNumber(begin, &end);
    if (end == begin || !std::isfinite(number)) {
        return std::nullopt;
    }
    for (; *end != '\0'; ++end) {
        if (!isBlank(*end)) {
            return std::nullopt;
        }
    }
    return number;
}

std::string tipNotANumber(const std::string& key, const std::string& text) {
    return "Marker file: \"" + key + "\" in section \"tip\" is not a finite number: " + text;
}

/// The [tip] section, if any; a missing or unreadable coordinate drops the tip with an Error message, an
/// unreadable rms drops the rms.
std::optional<Tip> parseTip(const Ini& ini, std::vector<Message>& messages) {
    if (ini.sections().count(kTipSection) == 0) {
        return std::nullopt;
    }
    Tip tip;
    for (const auto& [key, coordinate] :
         {std::pair<const char*, double*>{"x", &tip.x}, {"y", &tip.y}, {"z", &tip.z}}) {
        const std::string* valueText = ini.find(kTipSection, key);
        const std::optional<double> number = valueText ? strictNumber(*valueText) : std::nullopt;
        if (!number) {
            const std::string problem =
                valueText == nullptr ? missingKey(kTipSection, key) : tipNotANumber(key, *valueText);
            messages.push_back({Message::Level::Error, problem + "; the tip is ignored"});
            return std::nullopt;
        }
        *coordinate = *number;
    }
    if (const std::string problem = ToolTip::problem(tip.x, tip.y, tip.z); !problem.empty()) {
        messages.push_back({Message::Level::Error,
                            "Marker file: the tip in section \"tip\" " + problem + "; the tip is ignored"});
        return std::nullopt;
    }
    if (const std::string* rms = ini.find(kTipSection, "rms")) {
        tip.rms = strictNumber(*rms);
        if (!tip.rms) {
            messages.push_back({Message::Level::Error, tipNotANumber("rms", *rms)});
        }
    }
    tip.date = ini.value(kTipSection, "date");
    return tip;
}

}  // namespace

Loaded parse(std::string_view text, Sections sections) {
    Loaded loaded;
    Ini ini;
    if (!ini.parse(text.data(), text.size())) {
        return loaded;
    }
    parseGeometry(ini, loaded);
    if (loaded.marker && sections == Sections::GeometryAndTip) {
        loaded.tip = parseTip(ini, loaded.messages);
    }
    return loaded;
}

Loaded read(std::istream& input, Sections sections) {
    std::string text;
    if (!readBounded(input, text, kMaxBytes)) {
        return refusedAsTooLarge("Geometry text");
    }
    return parse(text, sections);
}

Loaded read(const std::string& path, Sections sections) {
    // A regular file only, never waited for: a FIFO or a device is refused at once.
    const BoundedFile::Result file = BoundedFile::read(path, kMaxBytes);
    if (file.outcome == BoundedFile::Outcome::TooLarge) {
        return refusedAsTooLarge("Geometry file " + path);
    }
    if (file.outcome == BoundedFile::Outcome::NotRegular || file.outcome == BoundedFile::Outcome::Folder) {
        Loaded loaded;
        loaded.source = Source::Unreadable;
        loaded.messages.push_back({Message::Level::Error, BoundedFile::message(file, path, kMaxBytes)});
        return loaded;
    }
    if (file.outcome != BoundedFile::Outcome::Read) {
        Loaded loaded = parse(std::string_view(), sections);
        loaded.source = Source::Unreadable;
        return loaded;
    }
    return parse(file.text, sections);
}

std::string write(const Marker& marker, const std::string& comment, const std::optional<Tip>& tip) {
    std::ostringstream text;
    text.imbue(std::locale::classic());  // an id of 1000 is "1000" whatever locale a host made global
    // A NUL would end the text before the sections.
    std::string clean = comment;
    clean.erase(std::remove(clean.begin(), clean.end(), '\0'), clean.end());
    std::istringstream lines(clean);
    for (std::string line; std::getline(lines, line);) {
        text << "; " << line << '\n';
    }
    text << "[geometry]\ncount=" << marker.fiducials.size() << "\nid=" << marker.id << '\n';
    for (std::size_t k = 0; k < marker.fiducials.size(); ++k) {
        const Fiducial& f = marker.fiducials[k];
        text << "[fiducial" << k << "]\nx=" << shortest(f.x) << "\ny=" << shortest(f.y)
             << "\nz=" << shortest(f.z) << '\n';
    }
    if (tip) {
        text << tipSection(*tip);
    }
    return text.str();
}

std::string tipSection(const Tip& tip, const std::string& newline) {
    std::string text = "[tip]" + newline + "x=" + shortest(tip.x) + newline + "y=" + shortest(tip.y) +
                       newline + "z=" + shortest(tip.z) + newline;
    if (tip.rms) {
        text += "rms=" + shortest(*tip.rms) + newline;
    }
    // A line break or a NUL in the date would break the file.
    std::string date = tip.date;
    date.erase(
        std::remove_if(date.begin(), date.end(), [](char c) { return c == '\n' || c == '\r' || c == '\0'; }),
        date.end());
    if (!date.empty()) {
        text += "date=" + date + newline;
    }
    return text;
}

}  // namespace Halvoren::MarkerFile

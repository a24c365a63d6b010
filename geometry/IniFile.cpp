#include "geometry/IniFile.h"

#include "host/Log.h"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace Halvoren::SpryTrack {

namespace {

bool isBlank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

bool IniFile::parse(const char* text, std::size_t length) {
    m_sections.clear();
    m_currentSection.clear();
    if (text == nullptr) {
        return true;
    }
    // A NUL ends the text.
    if (const void* nul = std::memchr(text, '\0', length)) {
        length = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
    }

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
            // Nothing is trimmed; a ']' only before the '[' leaves the rest of the line as the name.
            m_currentSection = close > open ? line.substr(open + 1, close - open - 1) : line.substr(open + 1);
            m_sections[m_currentSection].clear();
            continue;
        }

        const std::size_t equals = line.find('=');
        if (equals != std::string::npos && !m_currentSection.empty()) {
            m_sections[m_currentSection][line.substr(0, equals)] = line.substr(equals + 1);
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

bool IniFile::hasSection(const std::string& section) const {
    if (m_sections.count(section) != 0) {
        return true;
    }
    HALVOREN_LOG(Log::Error, "",
                 "AtracsysTracking: Parsing INI file, could not find section \"" << section << "\"");
    return false;
}

bool IniFile::hasKey(const std::string& section, const std::string& key) const {
    const auto it = m_sections.find(section);
    if (it != m_sections.end() && it->second.count(key) != 0) {
        return true;
    }
    HALVOREN_LOG(Log::Error, "",
                 "AtracsysTracking: Parsing INI file, could not find key \"" << key << "\" in section \""
                                                                             << section << "\"");
    return false;
}

bool IniFile::readUnsigned(const std::string& section, const std::string& key, std::uint32_t& value) const {
    if (!hasKey(section, key)) {
        return false;
    }
    // Tolerant like the C library: no digits gives 0, trailing text is ignored, negatives wrap.
    value = static_cast<std::uint32_t>(std::strtol(this->value(section, key).c_str(), nullptr, 10));
    return true;
}

bool IniFile::readFloat(const std::string& section, const std::string& key, float& value) const {
    if (!hasKey(section, key)) {
        return false;
    }
    const double number = std::strtod(this->value(section, key).c_str(), nullptr);
    // Out-of-range doubles become infinities explicitly rather than through an undefined conversion.
    if (number > static_cast<double>(FLT_MAX)) {
        value = std::numeric_limits<float>::infinity();
    } else if (number < -static_cast<double>(FLT_MAX)) {
        value = -std::numeric_limits<float>::infinity();
    } else {
        value = static_cast<float>(number);
    }
    return true;
}

std::string IniFile::value(const std::string& section, const std::string& key) const {
    const auto sectionIt = m_sections.find(section);
    if (sectionIt == m_sections.end()) {
        return std::string();
    }
    const auto keyIt = sectionIt->second.find(key);
    return keyIt != sectionIt->second.end() ? keyIt->second : std::string();
}

}  // namespace Halvoren::SpryTrack

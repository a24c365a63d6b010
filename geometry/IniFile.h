#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace Halvoren::SpryTrack {

/// The tolerant INI reader of marker geometry files: sections of untrimmed keys and values. A plain value
/// used by one thread at a time; no lock.
class IniFile {
public:
    using Section = std::map<std::string, std::string>;

    /// Replaces the content with the sections of the text; false on a syntax error.
    bool parse(const char* text, std::size_t length);
    bool hasSection(const std::string& section) const;
    bool hasKey(const std::string& section, const std::string& key) const;
    bool readUnsigned(const std::string& section, const std::string& key, std::uint32_t& value) const;
    bool readFloat(const std::string& section, const std::string& key, float& value) const;
    /// Raw value text; empty when missing (no message).
    std::string value(const std::string& section, const std::string& key) const;
    const std::map<std::string, Section>& sections() const { return m_sections; }

private:
    std::map<std::string, Section> m_sections;
    std::string m_currentSection;
};

}  // namespace Halvoren::SpryTrack

#pragma once
// The marker geometry file: an INI text of a [geometry] section (count, id) and one [fiducialN] section
// (x, y, z in mm) per fiducial, and optionally a [tip] section: the calibrated tip of the tool that
// carries the marker. The one reader and writer of the format, for the plug-in and the tools alike: plain
// C++, no logging; what a reader has to say comes back as messages.

#include "text/ToolTip.h"

#include <cstddef>
#include <cstdint>
#include <istream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace Halvoren::MarkerFile {

/// The camera reserves the geometry ids below this one; a file's lower id is raised by it.
inline constexpr std::uint32_t kFirstFreeId = 1000;
/// The most fiducials a marker may have.
inline constexpr std::size_t kMaxFiducials = 6;
/// A marker file is a few hundred bytes; anything larger than this is not one.
inline constexpr std::size_t kMaxBytes = 1024 * 1024;

/// The id the camera knows a file's id by: ids it reserves are raised by kFirstFreeId.
constexpr std::uint32_t cameraId(std::uint32_t fileId) {
    return fileId < kFirstFreeId ? fileId + kFirstFreeId : fileId;
}

/// The lowest id from kFirstFreeId up that is not taken. (No set in memory can hold every one of them.)
std::uint32_t firstFreeId(const std::set<std::uint32_t>& taken);

struct Fiducial {
    float x = 0.f;
    float y = 0.f;
    float z = 0.f;
    bool operator==(const Fiducial& other) const { return x == other.x && y == other.y && z == other.z; }
};

/// The tool's tip as a pivot calibration found it: [tip] with x, y, z (mm, the marker's frame), rms (mm,
/// the calibration's RMS residual) and date (free text, ISO 8601 UTC as written by the tools).
/// The largest tip coordinate read, mm: a [tip] is read by the rule for every tip (ToolTip).
constexpr double kMaxTipMm = ToolTip::kMaxMm;

struct Tip {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    std::optional<double> rms;
    std::string date;
    bool operator==(const Tip& other) const {
        return x == other.x && y == other.y && z == other.z && rms == other.rms && date == other.date;
    }
};

struct Marker {
    std::uint32_t id = 0;  // as the file gives it, not raised
    std::vector<Fiducial> fiducials;
    bool operator==(const Marker& other) const { return id == other.id && fiducials == other.fiducials; }
};

struct Message {
    enum class Level { Info, Error };
    Level level;
    std::string text;
};

enum class Source {
    Read,        // the whole text was read
    Unreadable,  // the file could not be opened or read: read as an empty text
    TooLarge,    // more than kMaxBytes; reading stopped there and nothing was parsed
};

/// A marker read, or why not, with what the reader found to say in the order it found it.
struct Loaded {
    std::optional<Marker> marker;
    std::optional<Tip> tip;  // read with the marker only
    std::vector<Message> messages;
    Source source = Source::Read;
};

/// What a reader takes from the text. The plug-in takes the geometry alone: the camera needs no tip, and
/// a file with one must load there as it always did.
enum class Sections {
    GeometryAndTip,  // a malformed [tip] is an Error message; the marker is kept, the tip is not
    Geometry,        // [tip] is ignored like any other section
};

/// Parses a marker file's text; a NUL ends it.
Loaded parse(std::string_view text, Sections sections = Sections::GeometryAndTip);
/// Reads at most kMaxBytes of the stream, then parses.
Loaded read(std::istream& input, Sections sections = Sections::GeometryAndTip);
/// Reads at most kMaxBytes of the file, then parses. Only a regular file is read (BoundedFile): a FIFO,
/// a device or a folder is refused at once, never waited for, with an Error message that says so. A file
/// that cannot be opened or read is parsed as an empty text.
Loaded read(const std::string& path, Sections sections = Sections::GeometryAndTip);

/// The file's text: the comment (each of its lines after "; "), then the sections, numbers in the
/// shortest form that reads back as the same value ("x=0", "y=-7.25").
std::string write(const Marker& marker, const std::string& comment = std::string(),
                  const std::optional<Tip>& tip = std::nullopt);
/// The [tip] section's text, numbers as write() gives them; lines end with `newline`.
std::string tipSection(const Tip& tip, const std::string& newline = "\n");

/// The tolerant INI reading of marker files: lines end at '\n' ('\r' is dropped anywhere); a line with a
/// '[' and a ']' names a section (untrimmed, from the first '[' to the last ']'; a header repeated starts
/// the section over); "key=value" inside a section sets a key (untrimmed; the last one counts); blank
/// lines and lines beginning with ';' are skipped; anything else fails the whole text.
class Ini {
public:
    using Section = std::map<std::string, std::string>;

    /// Replaces the content with the sections of the text; false on a syntax error. A NUL ends the text.
    bool parse(const char* text, std::size_t length);
    const std::map<std::string, Section>& sections() const { return m_sections; }
    /// The raw value, or null when the section or the key is missing.
    const std::string* find(const std::string& section, const std::string& key) const;
    /// The raw value; empty when missing.
    std::string value(const std::string& section, const std::string& key) const;

private:
    std::map<std::string, Section> m_sections;
};

/// Reads at most `limit` bytes of the stream into `text`; false when it holds more.
bool readBounded(std::istream& input, std::string& text, std::size_t limit);

/// Values read as the C library reads them: leading blanks skipped, trailing text ignored, no digits
/// gives 0, and a negative wraps into the unsigned range.
std::uint32_t tolerantUnsigned(const std::string& text);
/// Out-of-range values become infinities.
float tolerantFloat(const std::string& text);

}  // namespace Halvoren::MarkerFile

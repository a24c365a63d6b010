#include "CameraSettings.h"

#include "text/BoundedFile.h"
#include "text/Text.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <sstream>

namespace ftksim {
namespace {

// A settings file is a few dozen lines; anything this large is not one.
constexpr std::size_t kMaxSettingsBytes = 1024 * 1024;

namespace BoundedFile = Halvoren::BoundedFile;
namespace Text = Halvoren::Text;
using Text::trimmed;

// What separates the words of a value.
constexpr const char* kBlanks = " \t\r\n\f\v";

// Decimal, or hexadecimal after "0x"; no sign, no spaces, no overflow.
bool parseUnsigned(const std::string& text, std::uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (hex) {
        return Text::parseHexadecimal(std::string_view(text).substr(2), value);
    }
    return !text.empty() && text[0] != '+' && Text::parseUnsigned(text, value);
}

// Optional minus sign and decimal digits, within [minimum, maximum].
bool parseInteger(const std::string& text, std::int64_t minimum, std::int64_t maximum, std::int64_t& value) {
    std::int64_t parsed = 0;
    if (text.empty() || text[0] == '+' || !Text::parseInteger(text, parsed) || parsed < minimum ||
        parsed > maximum) {
        return false;
    }
    value = parsed;
    return true;
}

// Three finite numbers within +-limit, separated by blanks or commas.
bool parsePoint(const std::string& text, double limit, std::array<double, 3>& point) {
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    std::array<double, 3> parsed{};
    std::size_t count = 0;
    for (std::string_view rest = Text::trim(spaced); !rest.empty();) {
        const std::size_t end = std::min(rest.find_first_of(kBlanks), rest.size());
        if (count == parsed.size() || !Text::parseFinite(rest.substr(0, end), parsed[count]) ||
            std::abs(parsed[count]) > limit) {
            return false;
        }
        ++count;
        rest = Text::trim(rest.substr(end));
    }
    if (count != parsed.size()) {
        return false;
    }
    point = parsed;
    return true;
}

// Reads one value into the settings; returns what is expected of the value when it does not fit.
using KeyReader = std::function<std::optional<std::string>(const std::string&, CameraSettings&)>;

KeyReader realIn(double minimum, double maximum, bool minimumIncluded, double CameraSettings::*field) {
    return [=](const std::string& text, CameraSettings& settings) -> std::optional<std::string> {
        double value = 0.0;
        if (Text::parseFinite(text, value) && (minimumIncluded ? value >= minimum : value > minimum) &&
            value <= maximum) {
            settings.*field = value;
            return std::nullopt;
        }
        return "a number " + std::string(minimumIncluded ? "from " : "above ") + Text::formatNumber(minimum) +
               (minimumIncluded ? " to " : " and at most ") + Text::formatNumber(maximum);
    };
}

KeyReader pointIn(double limit, std::array<double, 3> CameraSettings::*field) {
    return [=](const std::string& text, CameraSettings& settings) -> std::optional<std::string> {
        if (parsePoint(text, limit, settings.*field)) {
            return std::nullopt;
        }
        return "three numbers \"x y z\" of mm, each within +-" + std::to_string(static_cast<int>(limit));
    };
}

KeyReader integerIn(std::int64_t minimum, std::int64_t maximum,
                    const std::function<void(CameraSettings&, std::int64_t)>& store) {
    return [=](const std::string& text, CameraSettings& settings) -> std::optional<std::string> {
        std::int64_t value = 0;
        if (parseInteger(text, minimum, maximum, value)) {
            store(settings, value);
            return std::nullopt;
        }
        return "a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
    };
}

std::optional<std::string> readReplay(const std::string& text, CameraSettings& settings) {
    const auto endsWith = [&](const std::string& suffix) {
        return text.size() > suffix.size() &&
               text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (!endsWith(".mhd") && !endsWith(".mha")) {
        return std::string("a recording's header, a file ending in .mhd or .mha");
    }
    settings.replay = text;
    return std::nullopt;
}

std::optional<std::string> readReplaySpeed(const std::string& text, CameraSettings& settings) {
    if (text == "max") {
        settings.replaySpeed = CameraSettings::kReplayAtOnce;
        return std::nullopt;
    }
    if (const auto expected = realIn(0.0, 1000.0, false, &CameraSettings::replaySpeed)(text, settings)) {
        return *expected + ", or \"max\"";
    }
    return std::nullopt;
}

// A quoted value: the text between double quotes, in which a backslash takes the next character as it
// is ("\\", "\"") or stands for a control character ("\n", "\r", "\t"). So any path can be written,
// with '#', '=', blanks at either end or a line break in it. `at` is on the opening quote; on success it is
// past the closing one.
bool unquote(const std::string& line, std::size_t& at, std::string& value, std::string& why) {
    value.clear();
    for (++at; at < line.size(); ++at) {
        const char c = line[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++at == line.size()) {
            break;
        }
        static const std::map<char, char> escapes = {
            {'\\', '\\'}, {'"', '"'}, {'n', '\n'}, {'r', '\r'}, {'t', '\t'}};
        const auto escaped = escapes.find(line[at]);
        if (escaped == escapes.end()) {
            why = std::string("unknown escape \"\\") + line[at] + "\" in a quoted value";
            return false;
        }
        value += escaped->second;
    }
    why = "a quoted value without its closing quote";
    return false;
}

enum class LineKind { Blank, Entry, Bad };

// "key = value", where '#' starts a comment unless it is inside a quoted value; a blank or comment line
// is Blank. A Bad line has `why` set.
LineKind splitLine(const std::string& line, std::string& key, std::string& value, std::string& why) {
    const auto equals = line.find('=');
    const auto comment = line.find('#');
    if (equals == std::string::npos || (comment != std::string::npos && comment < equals)) {
        const std::string content = trimmed(line.substr(0, comment));
        if (content.empty()) {
            return LineKind::Blank;
        }
        why = "expected \"key = value\", found \"" + content + "\"";
        return LineKind::Bad;
    }
    key = trimmed(line.substr(0, equals));
    if (key.empty()) {
        why = "expected \"key = value\", found \"" + trimmed(line.substr(0, comment)) + "\"";
        return LineKind::Bad;
    }
    std::size_t at = line.find_first_not_of(kBlanks, equals + 1);
    if (at != std::string::npos && line[at] == '"') {
        if (!unquote(line, at, value, why)) {
            return LineKind::Bad;
        }
        const std::string rest = trimmed(line.substr(at));
        if (!rest.empty() && rest[0] != '#') {
            why = "text after the quoted value of \"" + key + "\": \"" + rest + "\"";
            return LineKind::Bad;
        }
    } else {
        const auto end = line.find('#', equals);
        value =
            trimmed(line.substr(equals + 1, end == std::string::npos ? std::string::npos : end - equals - 1));
    }
    return LineKind::Entry;
}

std::optional<std::string> readModel(const std::string& text, CameraSettings& settings) {
    static const std::map<std::string, ftkDeviceType> models = {{"sTk 180", FTK_DEVICE_SPRYTRACK_180},
                                                                {"sTk 300", FTK_DEVICE_SPRYTRACK_300},
                                                                {"fTk 250", FTK_DEVICE_FUSIONTRACK_250},
                                                                {"fTk 500", FTK_DEVICE_FUSIONTRACK_500},
                                                                {"simulator", FTK_DEVICE_SIMULATOR}};
    const auto found = models.find(text);
    if (found == models.end()) {
        return std::string("one of \"sTk 180\", \"sTk 300\", \"fTk 250\", \"fTk 500\", \"simulator\"");
    }
    settings.model = found->second;
    return std::nullopt;
}

std::optional<std::string> readSerial(const std::string& text, CameraSettings& settings) {
    std::uint64_t value = 0;
    // Serial number 0 means "no device" to the driver's callers.
    if (!parseUnsigned(text, value) || value == 0) {
        return std::string("a non-zero serial number, decimal or 0x hexadecimal");
    }
    settings.serialNumber = value;
    return std::nullopt;
}

std::optional<std::string> readBody(const std::string& text, CameraSettings& settings) {
    std::vector<std::array<double, 3>> points;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ';');) {
        std::array<double, 3> point{};
        if (!parsePoint(item, 500.0, point)) {
            points.clear();
            break;
        }
        points.push_back(point);
    }
    if (points.size() < 3 || points.size() > 6) {
        return std::string("3 to 6 points \"x y z; x y z; ...\" of mm, each within +-500");
    }
    settings.body = points;
    return std::nullopt;
}

std::optional<std::string> readErrorStatus(const std::string& text, CameraSettings& settings) {
    std::int64_t value = 0;
    // Status 0 would report a frame without data as a success.
    if (!parseInteger(text, std::numeric_limits<std::int32_t>::min(),
                      std::numeric_limits<std::int32_t>::max(), value) ||
        value == 0) {
        return std::string("a non-zero status");
    }
    settings.errorStatus = static_cast<ftkStatus>(value);
    return std::nullopt;
}

// The camera reserves the geometry ids below this one: a marker file's lower id is raised by it.
constexpr std::uint32_t kFirstFreeGeometryId = 1000;
// A settings file names a few occlusions; a test needing more is better served by setHiddenGeometry.
constexpr std::size_t kMaxHidePeriods = 1000;
// A touching session has a handful of points.
constexpr std::size_t kMaxTouchPoints = 1000;

// "GEOMETRY_ID FROM_SECOND FOR_SECONDS": one more period in which that geometry is not seen.
std::optional<std::string> readHide(const std::string& text, CameraSettings& settings) {
    std::istringstream words(text);
    std::string id;
    std::string from;
    std::string length;
    std::string extra;
    std::int64_t geometryId = 0;
    CameraSettings::HidePeriod period;
    const auto seconds = [](const std::string& word, double& value) {
        return Text::parseFinite(word, value) && value >= 0.0 && value <= 86400.0;
    };
    if (settings.hidePeriods.size() < kMaxHidePeriods && (words >> id >> from >> length) &&
        !(words >> extra) && parseInteger(id, 1, std::numeric_limits<std::uint32_t>::max(), geometryId) &&
        seconds(from, period.fromSeconds) && seconds(length, period.forSeconds)) {
        const auto fileId = static_cast<std::uint32_t>(geometryId);
        period.geometryId = fileId < kFirstFreeGeometryId ? fileId + kFirstFreeGeometryId : fileId;
        settings.hidePeriods.push_back(period);
        return std::nullopt;
    }
    return "\"GEOMETRY_ID FROM_SECOND FOR_SECONDS\": a geometry id from 1 to " +
           std::to_string(std::numeric_limits<std::uint32_t>::max()) +
           " and two numbers of seconds from 0 to 86400, on at most " + std::to_string(kMaxHidePeriods) +
           " lines";
}

// "X Y Z SECONDS": one more point of the touching scene.
std::optional<std::string> readTouch(const std::string& text, CameraSettings& settings) {
    std::vector<double> values;
    if (settings.touchPoints.size() < kMaxTouchPoints && Text::parseNumbers(text, values) &&
        values.size() == 4 &&
        std::all_of(values.begin(), values.begin() + 3,
                    [](double v) { return std::isfinite(v) && std::abs(v) <= 1000.0; }) &&
        values[3] >= 0.0 && values[3] <= 86400.0) {
        settings.touchPoints.push_back({{{values[0], values[1], values[2]}}, values[3]});
        return std::nullopt;
    }
    return "\"X Y Z SECONDS\": a point of mm, each within +-1000, and a rest of 0 to 86400 seconds, on at "
           "most " +
           std::to_string(kMaxTouchPoints) + " lines";
}

// Keys that may be given on several lines, each adding to the settings.
bool repeatable(const std::string& key) {
    return key == "hide" || key == "touch";
}

const std::map<std::string, KeyReader>& keyReaders() {
    static const std::map<std::string, KeyReader> readers = {
        {"model", readModel},
        {"serial", readSerial},
        {"rate", realIn(0.0, 1000.0, false, &CameraSettings::frameRateHz)},
        {"noise", realIn(0.0, 10.0, true, &CameraSettings::pixelNoise)},
        {"width",
         integerIn(64, 4096,
                   [](CameraSettings& s, std::int64_t v) { s.imageWidth = static_cast<std::uint16_t>(v); })},
        {"height",
         integerIn(64, 4096,
                   [](CameraSettings& s, std::int64_t v) { s.imageHeight = static_cast<std::uint16_t>(v); })},
        {"strays",
         integerIn(0, 100,
                   [](CameraSettings& s, std::int64_t v) { s.strayReflections = static_cast<int>(v); })},
        {"seed",
         integerIn(0, std::numeric_limits<std::uint32_t>::max(),
                   [](CameraSettings& s, std::int64_t v) { s.seed = static_cast<std::uint32_t>(v); })},
        {"shock_rate", realIn(0.0, 1.0, true, &CameraSettings::shockWarningRate)},
        {"drop_rate", realIn(0.0, 1.0, true, &CameraSettings::droppedFrameRate)},
        {"error_rate", realIn(0.0, 1.0, true, &CameraSettings::errorStatusRate)},
        {"overflow_rate", realIn(0.0, 1.0, true, &CameraSettings::markerOverflowRate)},
        {"internal_rate", realIn(0.0, 1.0, true, &CameraSettings::internalErrorRate)},
        {"freeze_at", realIn(0.0, 86400.0, true, &CameraSettings::freezeAtSeconds)},
        {"freeze_for", realIn(0.0, 86400.0, true, &CameraSettings::freezeForSeconds)},
        {"pivot_marker",
         integerIn(1, std::numeric_limits<std::uint32_t>::max(),
                   [](CameraSettings& s, std::int64_t v) { s.pivotMarker = static_cast<std::uint32_t>(v); })},
        {"pivot_point", pointIn(5000.0, &CameraSettings::pivotPoint)},
        {"pivot_tip", pointIn(500.0, &CameraSettings::pivotTip)},
        {"pivot_angle", realIn(1.0, 60.0, true, &CameraSettings::pivotAngleDegrees)},
        {"touch_marker",
         integerIn(1, std::numeric_limits<std::uint32_t>::max(),
                   [](CameraSettings& s, std::int64_t v) { s.touchMarker = static_cast<std::uint32_t>(v); })},
        {"touch_reference", integerIn(1, std::numeric_limits<std::uint32_t>::max(),
                                      [](CameraSettings& s, std::int64_t v) {
                                          s.touchReference = static_cast<std::uint32_t>(v);
                                      })},
        {"touch_tip", pointIn(500.0, &CameraSettings::touchTip)},
        {"touch", readTouch},
        {"still", integerIn(0, 1, [](CameraSettings& s, std::int64_t v) { s.still = v != 0; })},
        {"drift", realIn(-1000.0, 1000.0, true, &CameraSettings::driftMmPerMinute)},
        {"body", readBody},
        {"hide", readHide},
        {"replay", readReplay},
        {"replay_speed", readReplaySpeed},
        {"error_status", readErrorStatus},
    };
    return readers;
}

std::string tooLarge(const std::string& path) {
    return path + ": larger than " + Text::sizeText(kMaxSettingsBytes) + ": not a camera settings file";
}

std::optional<CameraSettings> parseText(const std::string& text, const std::string& path,
                                        std::string& error) {
    std::istringstream file(text);
    CameraSettings settings;
    std::set<std::string> seen;
    std::string line;
    int lineNumber = 0;
    const auto fail = [&](const std::string& what) {
        error = path + ":" + std::to_string(lineNumber) + ": " + what;
        return std::nullopt;
    };
    while (std::getline(file, line)) {
        ++lineNumber;
        std::string key;
        std::string value;
        std::string why;
        const LineKind kind = splitLine(line, key, value, why);
        if (kind == LineKind::Blank) {
            continue;
        }
        if (kind == LineKind::Bad) {
            return fail(why);
        }
        const auto reader = keyReaders().find(key);
        if (reader == keyReaders().end()) {
            return fail("unknown key \"" + key + "\"");
        }
        if (!seen.insert(key).second && !repeatable(key)) {
            return fail("key \"" + key + "\" given twice");
        }
        if (const auto expected = reader->second(value, settings)) {
            return fail("bad value \"" + value + "\" for \"" + key + "\": expected " + *expected);
        }
    }
    return settings;
}

}  // namespace

Halvoren::Expected<CameraSettings> readCameraSettings(const std::string& path) {
    const BoundedFile::Result file = BoundedFile::read(path, kMaxSettingsBytes);
    const auto refused = [](std::string message) {
        return Halvoren::makeError(Halvoren::ErrorKind::BadInput, std::move(message));
    };
    switch (file.outcome) {
        case BoundedFile::Outcome::Read:
            break;
        case BoundedFile::Outcome::TooLarge:
            return refused(tooLarge(path));
        case BoundedFile::Outcome::Folder:
            return refused(path + ": cannot open the camera settings file: it is a folder");
        case BoundedFile::Outcome::NotRegular:
            return refused(path + ": cannot open the camera settings file: it is " + file.reason +
                           ", not a regular file");
        case BoundedFile::Outcome::CannotOpen:
            return refused(path + ": cannot open the camera settings file: " + file.reason);
        case BoundedFile::Outcome::ReadFailed:
            return refused(path + ": cannot read the camera settings file: " + file.reason);
    }
    std::string error;
    std::optional<CameraSettings> settings = parseText(file.text, path, error);
    if (!settings) {
        return refused(error);
    }
    // A recording named from the settings file's folder, so that the two can be moved together.
    if (!settings->replay.empty() && std::filesystem::path(settings->replay).is_relative()) {
        settings->replay = (std::filesystem::path(path).parent_path() / settings->replay).string();
    }
    return *settings;
}

Halvoren::Expected<CameraSettings> parseCameraSettings(std::istream& input, const std::string& path) {
    // Taken in bounded chunks before parsing: an endless line must not be read whole.
    std::string text;
    char chunk[64 * 1024];
    while (input.read(chunk, sizeof(chunk)), input.gcount() > 0) {
        const auto count = static_cast<std::size_t>(input.gcount());
        if (count > kMaxSettingsBytes - text.size()) {
            return Halvoren::makeError(Halvoren::ErrorKind::BadInput, tooLarge(path));
        }
        text.append(chunk, count);
    }
    if (input.bad()) {
        return Halvoren::makeError(Halvoren::ErrorKind::BadInput,
                                   path + ": cannot read the camera settings file");
    }
    std::string error;
    std::optional<CameraSettings> settings = parseText(text, path, error);
    if (!settings) {
        return Halvoren::makeError(Halvoren::ErrorKind::BadInput, error);
    }
    return *settings;
}

}  // namespace ftksim

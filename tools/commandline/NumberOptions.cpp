#include "commandline/NumberOptions.h"

#include "text/Text.h"

#include <limits>
#include <type_traits>

namespace Halvoren::CommandLine {

namespace {

/// A plain decimal number: an optional sign, digits, and for a double a fraction and an exponent. No 0x,
/// 0b or octal prefix, no digit separators; too large is refused, not saturated; no inf, no nan.
bool readNumber(const std::string& text, std::int64_t& value) {
    return Text::parseInteger(text, value);
}

bool readNumber(const std::string& text, double& value) {
    return Text::parseFinite(text, value);
}

template <typename T>
std::string check(std::string& text, T min, T max, bool aboveMin, const std::string& range) {
    T value{};
    if (readNumber(text, value) && (aboveMin ? value > min : value >= min) && value <= max) {
        if constexpr (std::is_integral_v<T>) {
            text = std::to_string(value);
        } else {
            text = Text::formatNumber(value);
        }
        return std::string();
    }
    return "takes " + range + ", not '" + text + "'";
}

}  // namespace

CLI::Validator whole(std::int64_t min, std::int64_t max, const std::string& range) {
    return CLI::Validator(
        [min, max, range](std::string& text) { return check(text, min, max, false, range); }, std::string());
}

CLI::Validator number(double min, double max, const std::string& range, bool aboveMin) {
    return CLI::Validator(
        [min, max, range, aboveMin](std::string& text) { return check(text, min, max, aboveMin, range); },
        std::string());
}

CLI::Validator aboveZero(const std::string& range) {
    return number(0.0, std::numeric_limits<double>::max(), range, true);
}

std::string checkNumber(std::string& text, double min, double max, const std::string& range) {
    return check(text, min, max, false, range);
}

}  // namespace Halvoren::CommandLine

#include "text/Text.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace Halvoren::Text {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// from_chars takes no '+'; a '+' before another sign is no number.
std::string_view withoutPlus(std::string_view text) {
    if (text.size() > 1 && text[0] == '+' && text[1] != '-' && text[1] != '+') {
        text.remove_prefix(1);
    }
    return text;
}

// `base` is the integer base, none for a floating-point type.
template <class T, class... Base>
bool fillsText(std::string_view text, T& value, Base... base) {
    T parsed{};
    const char* const end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, parsed, base...);
    if (text.empty() || result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    value = parsed;
    return true;
}

template <class T>
bool parseWhole(std::string_view text, T& value) {
    return fillsText(withoutPlus(text), value);
}

}  // namespace

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string trimmed(std::string_view text) {
    return std::string(trim(text));
}

bool parseNumber(std::string_view text, double& value) {
    return parseWhole(text, value);
}

bool parseNumber(std::string_view text, float& value) {
    return parseWhole(text, value);
}

bool parseFinite(std::string_view text, double& value) {
    double parsed = 0.0;
    if (!parseWhole(text, parsed) || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

bool parseInteger(std::string_view text, std::int64_t& value) {
    return parseWhole(text, value);
}
bool parseInteger(std::string_view text, std::int32_t& value) {
    return parseWhole(text, value);
}
bool parseUnsigned(std::string_view text, std::uint64_t& value) {
    return parseWhole(text, value);
}
bool parseUnsigned(std::string_view text, std::uint32_t& value) {
    return parseWhole(text, value);
}

bool parseHexadecimal(std::string_view text, std::uint64_t& value) {
    return fillsText(text, value, 16);
}

double lenientNumber(const char* text, char** end) {
    // Made once and never freed: any thread may read with it until the process ends. Only a process out
    // of memory at its first call has none, and reads as strtod does.
    static const locale_t classic = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return classic != static_cast<locale_t>(nullptr) ? ::strtod_l(text, end, classic)
                                                     : std::strtod(text, end);
}

bool parseNumbers(std::string_view text, std::vector<double>& values) {
    values.clear();
    const char* p = text.data();
    const char* const end = p + text.size();
    while (true) {
        while (p != end && (*p == ' ' || *p == '\t')) {
            ++p;
        }
        if (p == end) {
            return true;
        }
        double v = 0.0;
        const auto result = std::from_chars(p, end, v);
        if (result.ec != std::errc() || (result.ptr != end && *result.ptr != ' ' && *result.ptr != '\t')) {
            return false;
        }
        values.push_back(v);
        p = result.ptr;
    }
}

std::string formatNumber(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string formatNumbers(const std::vector<double>& values) {
    std::string text;
    for (const double v : values) {
        if (!text.empty()) {
            text += ' ';
        }
        text += formatNumber(v);
    }
    return text;
}

std::string errorText(int error) {
    // The GNU strerror_r: returns the text, maybe not in the buffer.
    char buffer[256];
    return ::strerror_r(error, buffer, sizeof(buffer));
}

std::string sizeText(std::uint64_t bytes) {
    constexpr std::uint64_t kB = 1024;
    for (const auto& [unit, name] : {std::pair{kB * kB * kB, " GB"}, {kB * kB, " MB"}, {kB, " KB"}}) {
        if (bytes >= unit && bytes % unit == 0) {
            return std::to_string(bytes / unit) + name;
        }
    }
    return std::to_string(bytes) + " bytes";
}

}  // namespace Halvoren::Text

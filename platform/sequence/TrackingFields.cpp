#include "sequence/TrackingFields.h"

#include <charconv>

namespace Halvoren::Sequence::TrackingFields {

std::string fieldNameOf(const std::string& name) {
    std::string field;
    for (const char c : name) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        field += keep ? c : '_';
    }
    return field.empty() ? std::string("Marker") : field;
}

// to_chars and from_chars: the shortest text that reads back to the same double, whatever the locale
// (a window's application may have set one with a decimal comma).
std::string formatNumbers(const std::vector<double>& values) {
    std::string text;
    char buffer[32];
    for (const double v : values) {
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
        if (!text.empty()) {
            text += ' ';
        }
        text.append(buffer, result.ptr);
    }
    return text;
}

bool parseNumbers(const std::string& text, std::vector<double>& values) {
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

}  // namespace Halvoren::Sequence::TrackingFields

#include "sequence/TrackingFields.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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

std::string formatNumbers(const std::vector<double>& values) {
    std::string text;
    char buffer[32];
    for (const double v : values) {
        std::snprintf(buffer, sizeof buffer, "%.17g", v);
        if (!text.empty()) {
            text += ' ';
        }
        text += buffer;
    }
    return text;
}

bool parseNumbers(const std::string& text, std::vector<double>& values) {
    values.clear();
    const char* p = text.c_str();
    while (true) {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
        if (*p == '\0') {
            return true;
        }
        char* end = nullptr;
        errno = 0;
        const double v = std::strtod(p, &end);
        if (end == p || errno == ERANGE || (*end != '\0' && *end != ' ' && *end != '\t')) {
            return false;
        }
        values.push_back(v);
        p = end;
    }
}

}  // namespace Halvoren::Sequence::TrackingFields

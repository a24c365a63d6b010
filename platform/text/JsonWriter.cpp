#include "text/JsonWriter.h"

#include <charconv>
#include <cmath>

namespace Halvoren::Text {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD, in place of a byte that is no UTF-8

/// The length of the well-formed UTF-8 sequence at `at` (no overlong forms, no surrogates, nothing above
/// U+10FFFF); 0 when there is none.
std::size_t utf8Length(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const unsigned char next = byte(at + k);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

void appendEscaped(std::string& out, unsigned char c) {
    switch (c) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\b':
            out += "\\b";
            return;
        case '\f':
            out += "\\f";
            return;
        default: {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
    out += '"';
    std::size_t plain = 0;  // the start of the run of bytes that go out as they are
    std::size_t at = 0;
    while (at < text.size()) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++at;
            continue;
        }
        const std::size_t length = c < 0x80 ? 0 : utf8Length(text, at);
        if (length != 0) {
            at += length;
            continue;
        }
        out.append(text.data() + plain, at - plain);
        if (c < 0x80) {
            appendEscaped(out, c);
        } else {
            out += kReplacement;
        }
        plain = ++at;
    }
    out.append(text.data() + plain, at - plain);
    out += '"';
}

void appendJsonNumber(std::string& out, double value, int significantDigits) {
    if (!std::isfinite(value)) {
        out += "null";  // JSON has no NaN nor infinity
        return;
    }
    char buffer[40];
    const std::to_chars_result written = significantDigits > 0
                                             ? std::to_chars(buffer, buffer + sizeof buffer, value,
                                                             std::chars_format::general, significantDigits)
                                             : std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, written.ptr);
}

JsonWriter::JsonWriter(Layout layout, int significantDigits)
    : m_layout(layout), m_significantDigits(significantDigits) {}

JsonWriter& JsonWriter::beginObject() {
    separate();
    m_text += '{';
    m_empty.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    close('}');
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    m_text += '[';
    m_empty.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    close(']');
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    appendJsonString(m_text, name);
    m_text += m_layout == Layout::Indented ? ": " : ":";
    m_afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
    separate();
    appendJsonString(m_text, text);
    return *this;
}

JsonWriter& JsonWriter::number(double value) {
    separate();
    appendJsonNumber(m_text, value, m_significantDigits);
    return *this;
}

JsonWriter& JsonWriter::number(const std::optional<double>& value) {
    return value ? number(*value) : null();
}

JsonWriter& JsonWriter::signedInteger(std::int64_t value) {
    separate();
    char buffer[24];
    m_text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
    return *this;
}

JsonWriter& JsonWriter::unsignedInteger(std::uint64_t value) {
    separate();
    char buffer[24];
    m_text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    separate();
    m_text += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    m_text += "null";
    return *this;
}

std::string JsonWriter::take() {
    std::string text = std::move(m_text);
    m_text.clear();
    m_empty.clear();
    m_afterKey = false;
    return text;
}

void JsonWriter::separate() {
    if (m_afterKey) {
        m_afterKey = false;  // a member's value follows its key directly
        return;
    }
    if (m_empty.empty()) {
        return;
    }
    if (!m_empty.back()) {
        m_text += ',';
    }
    m_empty.back() = false;
    newLine();
}

void JsonWriter::close(char bracket) {
    const bool empty = m_empty.empty() || m_empty.back();
    if (!m_empty.empty()) {
        m_empty.pop_back();
    }
    if (!empty) {
        newLine();
    }
    m_text += bracket;
}

void JsonWriter::newLine() {
    if (m_layout == Layout::Indented) {
        m_text += '\n';
        m_text.append(4 * m_empty.size(), ' ');
    }
}

}  // namespace Halvoren::Text

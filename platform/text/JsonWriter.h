#pragma once
// The one way this project writes JSON: strict JSON (RFC 8259) whatever the text and the numbers hold.
// Names are escaped and kept valid UTF-8 (a byte that is no UTF-8 becomes U+FFFD), numbers are written in
// the classic form whatever the locale, and a number that is not finite is written as null.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace Halvoren::Text {

/// `text` as a JSON string, quotes included, appended to `out`.
void appendJsonString(std::string& out, std::string_view text);
/// `value` as a JSON number appended to `out`: with `significantDigits` (as printf's %g), or the shortest
/// text that reads back to it when 0; null when it is not finite.
void appendJsonNumber(std::string& out, double value, int significantDigits = 0);

/// Builds one JSON text value by value. The caller keeps the nesting right (each key followed by one
/// value, each begin by its end); the writer places the commas and, when indented, the line breaks.
class JsonWriter {
public:
    enum class Layout { Compact, Indented };

    /// Numbers with `significantDigits` (0: the shortest that reads back).
    explicit JsonWriter(Layout layout = Layout::Compact, int significantDigits = 0);

    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    /// The name of the object's next member.
    JsonWriter& key(std::string_view name);

    JsonWriter& string(std::string_view text);
    JsonWriter& number(double value);
    /// null when there is none.
    JsonWriter& number(const std::optional<double>& value);
    template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
    JsonWriter& integer(Integer value) {
        return std::is_signed_v<Integer> ? signedInteger(static_cast<std::int64_t>(value))
                                         : unsignedInteger(static_cast<std::uint64_t>(value));
    }
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    /// Three numbers as an array.
    template <typename Vector>
    JsonWriter& vector3(const Vector& v) {
        beginArray();
        number(static_cast<double>(v.x()))
            .number(static_cast<double>(v.y()))
            .number(static_cast<double>(v.z()));
        return endArray();
    }

    const std::string& text() const { return m_text; }
    /// The text, leaving the writer empty.
    std::string take();

private:
    JsonWriter& signedInteger(std::int64_t value);
    JsonWriter& unsignedInteger(std::uint64_t value);
    /// Before a value or a key: the comma after the previous one and, indented, the line break.
    void separate();
    void close(char bracket);
    void newLine();

    const Layout m_layout;
    const int m_significantDigits;
    std::string m_text;
    std::vector<bool> m_empty;  // per open object or array: nothing written in it yet
    bool m_afterKey = false;
};

}  // namespace Halvoren::Text

// Every JSON the project writes goes through one writer: whatever the names and numbers hold, a strict
// parser reads it back to what was written.
#include "text/JsonWriter.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <clocale>
#include <limits>
#include <string>

using Halvoren::Text::JsonWriter;

namespace {

std::string quoted(const std::string& text) {
    std::string out;
    Halvoren::Text::appendJsonString(out, text);
    return out;
}

}  // namespace

TEST(JsonWriter, AnyTextIsAStrictStringThatReadsBackWithWhatIsNoUtf8Replaced) {
    const std::string hostile = std::string("po\"inter\\back\nslash\t\x01\x1f\x7f") + '\0' + "end";
    EXPECT_EQ(nlohmann::json::parse(quoted(hostile)).get<std::string>(), hostile);
    EXPECT_EQ(quoted(std::string("a\0b", 3)), "\"a\\u0000b\"");
    // Well-formed UTF-8 stays as it is: two, three and four bytes.
    const std::string utf8 = "Zürich \xE2\x82\xAC \xF0\x9F\x98\x80";
    EXPECT_EQ(quoted(utf8), '"' + utf8 + '"');
    // What is no UTF-8 becomes U+FFFD, byte by byte: a stray continuation, a Latin-1 byte, a sequence cut
    // short at the end, an overlong form, a surrogate, a code point above U+10FFFF.
    const std::string replacement = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> broken[] = {
        {"\x80", replacement},
        {"caf\xE9!", "caf" + replacement + "!"},
        {"x\xE2\x82", "x" + replacement + replacement},
        {"\xC0\xAF", replacement + replacement},
        {"\xED\xA0\x80", replacement + replacement + replacement},
        {"\xF4\x90\x80\x80", replacement + replacement + replacement + replacement},
    };
    for (const auto& [text, expected] : broken) {
        const std::string json = quoted(text);
        EXPECT_EQ(json, '"' + expected + '"');
        EXPECT_NO_THROW(nlohmann::json::parse(json)) << json;
    }
}

TEST(JsonWriter, NumbersAreClassicAndNotFiniteOnesNullInEitherLayout) {
    std::setlocale(LC_ALL, "de_DE.UTF-8");  // a decimal comma, where the machine has the locale
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto layout : {JsonWriter::Layout::Compact, JsonWriter::Layout::Indented}) {
        JsonWriter json(layout, 10);
        json.beginObject().key("name").string("a\"b").key("values").beginArray();
        json.number(2.5).number(-inf).number(nan).number(1.0 / 3.0).number(1e300).number(std::nullopt);
        json.endArray().key("count").integer(std::uint64_t{18446744073709551615u}).key("n").integer(-3);
        json.key("empty").beginObject().endObject().key("none").beginArray().endArray();
        json.key("ok").boolean(true).key("nothing").null().endObject();
        const nlohmann::json read = nlohmann::json::parse(json.text());
        EXPECT_EQ(read["values"], nlohmann::json::parse("[2.5,null,null,0.3333333333,1e+300,null]"));
        EXPECT_EQ(read["count"].get<std::uint64_t>(), 18446744073709551615u);
        EXPECT_EQ(read["n"], -3);
        EXPECT_EQ(read["name"], "a\"b");
        EXPECT_TRUE(read["empty"].empty() && read["none"].empty() && read["ok"] == true);
        EXPECT_TRUE(read["nothing"].is_null());
    }
    JsonWriter compact;
    compact.beginArray().number(0.1).number(100.0).endArray();
    EXPECT_EQ(compact.take(), "[0.1,100]");  // the shortest that reads back
    JsonWriter indented(JsonWriter::Layout::Indented);
    indented.beginObject().key("a").beginArray().integer(1).endArray().endObject();
    EXPECT_EQ(indented.text(), "{\n    \"a\": [\n        1\n    ]\n}");
    std::setlocale(LC_ALL, "C");
}

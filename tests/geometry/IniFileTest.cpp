// The INI reading of marker files.
#include "geometry/MarkerFile.h"

#include <gtest/gtest.h>

#include <string>

using IniFile = Halvoren::MarkerFile::Ini;
using Halvoren::MarkerFile::tolerantFloat;
using Halvoren::MarkerFile::tolerantUnsigned;

namespace {

bool parse(IniFile& ini, const std::string& text) {
    return ini.parse(text.data(), text.size());
}

}  // namespace

TEST(IniFile, CarriageReturnsBlankLinesAndCommentsAreIgnored) {
    IniFile ini;
    ASSERT_TRUE(
        parse(ini, "\r\n; first comment\r\n[geo\rmetry]\r\n\r\n  \t \r\ncount=3\r\n   ; indented\nid=1\r"));
    const IniFile::Section expected{{"count", "3"}, {"id", "1"}};
    ASSERT_EQ(ini.sections().size(), 1u);
    EXPECT_EQ(ini.sections().at("geometry"), expected);
}

TEST(IniFile, KeysAndValuesAreNotTrimmed) {
    IniFile ini;
    ASSERT_TRUE(parse(ini, "[s]\ncount = 3\nx= 1.5\n;k=v\n"));
    const IniFile::Section expected{{"count ", " 3"}, {"x", " 1.5"}, {";k", "v"}};
    EXPECT_EQ(ini.sections().at("s"), expected);
}

TEST(IniFile, SectionHeaderNames) {
    struct Case {
        std::string header;
        std::string name;
    };
    const Case cases[] = {
        {"[geometry]", "geometry"},
        {"  [geometry]  ", "geometry"},
        {"x[geometry]y", "geometry"},
        {"[ geometry ]", " geometry "},
        {"[a]b]", "a]b"},
        {"]x[name", "name"},  // last ']' before the first '[': the rest of the line
        {"; [commented]", "commented"},
    };
    for (const Case& c : cases) {
        IniFile ini;
        ASSERT_TRUE(parse(ini, c.header + "\nk=v\n")) << c.header;
        ASSERT_EQ(ini.sections().size(), 1u) << c.header;
        EXPECT_EQ(ini.sections().begin()->first, c.name) << c.header;
        EXPECT_EQ(ini.value(c.name, "k"), "v") << c.header;
    }
}

TEST(IniFile, RepeatedHeaderDiscardsEarlierKeysAndRepeatedKeyReplaces) {
    IniFile ini;
    ASSERT_TRUE(parse(ini, "[a]\nk=1\nold=1\n[b]\nk=2\n[a]\nk=3\nk=4\n"));
    EXPECT_EQ(ini.sections().at("a"), (IniFile::Section{{"k", "4"}}));
    EXPECT_EQ(ini.sections().at("b"), (IniFile::Section{{"k", "2"}}));
}

TEST(IniFile, SyntaxErrorsFailTheWholeText) {
    for (const std::string text : {"[a]\n# comment\n", "k=v\n[a]\n", "[a]\nnot a key\n", "[]\nk=v\n"}) {
        IniFile ini;
        EXPECT_FALSE(parse(ini, text)) << text;
    }
}

TEST(IniFile, NulEndsTheTextAndParseStartsAfresh) {
    IniFile ini;
    ASSERT_TRUE(parse(ini, "[old]\nk=v\n"));
    const char raw[] = "[a]\nk=v\0garbage line\n[b]\n";
    ASSERT_TRUE(ini.parse(raw, sizeof(raw) - 1));
    EXPECT_EQ(ini.sections().size(), 1u);
    EXPECT_EQ(ini.value("a", "k"), "v");

    // The current section of an earlier text does not carry over.
    EXPECT_FALSE(parse(ini, "k=v\n"));
}

TEST(IniFile, NumbersAreReadTolerantly) {
    IniFile ini;
    ASSERT_TRUE(parse(ini,
                      "[s]\nplain=5\nspaced=  42\ncomment=3 ; three\nletters=abc\nnegative=-1\n"
                      "decimal=50.5\nexponent=-1.25e2\n"));
    EXPECT_EQ(tolerantUnsigned(ini.value("s", "plain")), 5u);
    EXPECT_EQ(tolerantUnsigned(ini.value("s", "spaced")), 42u);
    EXPECT_EQ(tolerantUnsigned(ini.value("s", "comment")), 3u);
    EXPECT_EQ(tolerantUnsigned(ini.value("s", "letters")), 0u);
    EXPECT_EQ(tolerantUnsigned(ini.value("s", "negative")), 0xFFFFFFFFu);

    EXPECT_FLOAT_EQ(tolerantFloat(ini.value("s", "decimal")), 50.5f);
    EXPECT_FLOAT_EQ(tolerantFloat(ini.value("s", "exponent")), -125.f);
    EXPECT_FLOAT_EQ(tolerantFloat(ini.value("s", "comment")), 3.f);
    EXPECT_FLOAT_EQ(tolerantFloat(ini.value("s", "letters")), 0.f);
}

TEST(IniFile, MissingSectionOrKeyIsFoundAsNothing) {
    IniFile ini;
    ASSERT_TRUE(parse(ini, "[s]\nk=1\n"));
    ASSERT_NE(ini.find("s", "k"), nullptr);
    EXPECT_EQ(*ini.find("s", "k"), "1");
    EXPECT_EQ(ini.find("S", "k"), nullptr);
    EXPECT_EQ(ini.find("s", "K"), nullptr);
    EXPECT_EQ(ini.value("t", "k"), "");
}

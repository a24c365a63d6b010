#include "geometry/IniFile.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>

using Halvoren::Log;
using Halvoren::SpryTrack::IniFile;

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
    std::uint32_t u = 99;
    EXPECT_TRUE(ini.readUnsigned("s", "plain", u));
    EXPECT_EQ(u, 5u);
    EXPECT_TRUE(ini.readUnsigned("s", "spaced", u));
    EXPECT_EQ(u, 42u);
    EXPECT_TRUE(ini.readUnsigned("s", "comment", u));
    EXPECT_EQ(u, 3u);
    EXPECT_TRUE(ini.readUnsigned("s", "letters", u));
    EXPECT_EQ(u, 0u);
    EXPECT_TRUE(ini.readUnsigned("s", "negative", u));
    EXPECT_EQ(u, 0xFFFFFFFFu);

    float f = 99.f;
    EXPECT_TRUE(ini.readFloat("s", "decimal", f));
    EXPECT_FLOAT_EQ(f, 50.5f);
    EXPECT_TRUE(ini.readFloat("s", "exponent", f));
    EXPECT_FLOAT_EQ(f, -125.f);
    EXPECT_TRUE(ini.readFloat("s", "comment", f));
    EXPECT_FLOAT_EQ(f, 3.f);
    EXPECT_TRUE(ini.readFloat("s", "letters", f));
    EXPECT_FLOAT_EQ(f, 0.f);
}

TEST(IniFile, MissingSectionOrKeyIsLoggedAndLeavesTheValue) {
    TestSupport::LogCapture log;
    IniFile ini;
    ASSERT_TRUE(parse(ini, "[s]\nk=1\n"));
    EXPECT_TRUE(ini.hasSection("s"));
    EXPECT_FALSE(ini.hasSection("S"));
    std::uint32_t u = 7;
    EXPECT_FALSE(ini.readUnsigned("s", "K", u));
    EXPECT_EQ(u, 7u);
    float f = 7.f;
    EXPECT_FALSE(ini.readFloat("t", "k", f));
    EXPECT_EQ(f, 7.f);

    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTracking: Parsing INI file, could not find section \"S\""),
              1);
    EXPECT_EQ(log.count(Log::Error, "",
                        "AtracsysTracking: Parsing INI file, could not find key \"K\" in section \"s\""),
              1);
    EXPECT_EQ(log.count(Log::Error, "",
                        "AtracsysTracking: Parsing INI file, could not find key \"k\" in section \"t\""),
              1);
    EXPECT_EQ(log.records().size(), 3u);
}

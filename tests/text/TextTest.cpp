// Numbers are read the same way everywhere: the whole text or nothing, whatever the locale.
#include "text/Text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

using namespace Halvoren;

TEST(Text, NumbersFillTheWholeTextInTheClassicFormWhateverTheLocale) {
    // A window's application may switch to a decimal comma; files keep their '.'.
    std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    double number = -1.0;
    EXPECT_TRUE(Text::parseNumber("2.5", number));
    EXPECT_EQ(number, 2.5);
    EXPECT_TRUE(Text::parseNumber("+1e3", number));
    EXPECT_EQ(number, 1000.0);
    for (const char* bad : {"", " 1", "1 ", "2,5", "1.5x", "++1", "+-1", "0x10"}) {
        number = -1.0;
        EXPECT_FALSE(Text::parseNumber(bad, number)) << bad;
        EXPECT_EQ(number, -1.0) << bad;  // untouched
    }
    EXPECT_TRUE(Text::parseNumber("inf", number));
    EXPECT_FALSE(Text::parseFinite("inf", number));
    EXPECT_FALSE(Text::parseFinite("1e400", number));

    std::uint32_t counter = 7;
    EXPECT_TRUE(Text::parseUnsigned("4294967295", counter));
    EXPECT_EQ(counter, 4294967295u);
    EXPECT_FALSE(Text::parseUnsigned("4294967296", counter));
    EXPECT_FALSE(Text::parseUnsigned("-1", counter));
    std::int64_t whole = 0;
    EXPECT_TRUE(Text::parseInteger("-42", whole));
    EXPECT_EQ(whole, -42);
    EXPECT_FALSE(Text::parseInteger("4.0", whole));
    std::uint64_t serial = 0;
    EXPECT_TRUE(Text::parseHexadecimal("1a2B", serial));
    EXPECT_EQ(serial, 0x1a2bu);
    for (const char* bad : {"0x1a", "+1a", "1g", "", "10000000000000000"}) {
        EXPECT_FALSE(Text::parseHexadecimal(bad, serial)) << bad;
    }
    float single = 0.0f;
    EXPECT_TRUE(Text::parseNumber("+0.1", single));
    EXPECT_EQ(single, 0.1f);
    EXPECT_FALSE(Text::parseNumber("1e39", single));

    std::vector<double> values;
    EXPECT_TRUE(Text::parseNumbers(Text::formatNumbers({0.1, -3.0, 1e-300}), values));
    EXPECT_EQ(values, (std::vector<double>{0.1, -3.0, 1e-300}));  // read back exactly
    EXPECT_FALSE(Text::parseNumbers("1 2;3", values));
    std::setlocale(LC_NUMERIC, "C");

    EXPECT_EQ(Text::trim(" \t a b\r\n"), "a b");
    EXPECT_EQ(Text::sizeText(4ull << 30), "4 GB");
    EXPECT_EQ(Text::sizeText(1000), "1000 bytes");
}

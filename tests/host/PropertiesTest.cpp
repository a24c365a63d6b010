#include "host/Properties.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using namespace Halvoren;

namespace {

template <typename T>
T roundTrip(const T& value) {
    Properties p;
    p.setParam("v", value);
    T out{};
    EXPECT_TRUE(p.param("v", out)) << p.findParam("v")->value;
    return out;
}

}  // namespace

TEST(Properties, EveryTypeRoundTripsExactly) {
    EXPECT_EQ(roundTrip(std::string("some text; with <symbols>")), "some text; with <symbols>");
    EXPECT_EQ(roundTrip(true), true);
    EXPECT_EQ(roundTrip(false), false);
    EXPECT_EQ(roundTrip(std::numeric_limits<int>::min()), std::numeric_limits<int>::min());
    EXPECT_EQ(roundTrip(std::numeric_limits<unsigned>::max()), std::numeric_limits<unsigned>::max());
    EXPECT_EQ(roundTrip(std::numeric_limits<long long>::min()), std::numeric_limits<long long>::min());
    EXPECT_EQ(roundTrip(std::numeric_limits<long long>::max()), std::numeric_limits<long long>::max());

    for (float f :
         {0.1f, 1.0f / 3.0f, std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity()}) {
        EXPECT_EQ(roundTrip(f), f);
    }
    for (double d : {0.1, 1.0 / 3.0, 100.0, std::numeric_limits<double>::denorm_min(),
                     std::numeric_limits<double>::lowest(), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(roundTrip(d), d);
    }
    EXPECT_TRUE(std::signbit(roundTrip(-0.0)));
    EXPECT_TRUE(std::isnan(roundTrip(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_TRUE(std::isnan(roundTrip(std::numeric_limits<float>::quiet_NaN())));
}

TEST(Properties, TextIsPlainAndReadable) {
    Properties p;
    p.setParam("b", true);
    p.setParam("i", -42);
    p.setParam("d", 1.5);
    p.setParam("c", static_cast<const char*>(nullptr));
    EXPECT_EQ(p.findParam("b")->value, "true");
    EXPECT_EQ(p.findParam("i")->value, "-42");
    EXPECT_EQ(p.findParam("d")->value, "1.5");
    EXPECT_EQ(p.findParam("c")->value, "");
}

TEST(Properties, BoolAlsoReadsOneAndZero) {
    Properties p;
    p.setParam("one", "1");
    p.setParam("zero", "0");
    bool a = false;
    bool b = true;
    EXPECT_TRUE(p.param("one", a));
    EXPECT_TRUE(p.param("zero", b));
    EXPECT_TRUE(a);
    EXPECT_FALSE(b);
}

TEST(Properties, MissingOrUnconvertibleValueFailsAndLeavesOutputUnchanged) {
    Properties p;
    p.setParam("word", "abc");
    p.setParam("fraction", "1.5");
    p.setParam("trailing", "12abc");
    p.setParam("negative", "-1");
    p.setParam("huge", "99999999999");
    p.setParam("tooLargeForFloat", "1e300");
    p.setParam("empty", "");
    p.setParam("yes", "yes");

    int i = 7;
    for (const char* name : {"missing", "word", "fraction", "trailing", "huge", "empty"}) {
        EXPECT_FALSE(p.param(name, i)) << name;
        EXPECT_EQ(i, 7) << name;
    }
    unsigned u = 7;
    EXPECT_FALSE(p.param("negative", u));
    EXPECT_EQ(u, 7u);
    float f = 7.0f;
    EXPECT_FALSE(p.param("tooLargeForFloat", f));
    EXPECT_FALSE(p.param("word", f));
    EXPECT_EQ(f, 7.0f);
    double d = 7.0;
    EXPECT_FALSE(p.param("trailing", d));
    EXPECT_EQ(d, 7.0);
    bool b = true;
    EXPECT_FALSE(p.param("yes", b));
    EXPECT_FALSE(p.param("word", b));
    EXPECT_TRUE(b);
    std::string s = "unchanged";
    EXPECT_FALSE(p.param("missing", s));
    EXPECT_EQ(s, "unchanged");
}

TEST(Properties, SettingAnExistingParamKeepsPositionTypeAndAttributes) {
    Properties p;
    p.setParam("first", 1);
    p.setParam("second", 2);
    p.setParamType("first", 8);
    p.setParamAttributes("first", {{"min", "0"}, {"max", "9"}});

    p.setParam("first", 5);
    ASSERT_EQ(p.params().size(), 2u);
    EXPECT_EQ(p.params()[0].name, "first");
    EXPECT_EQ(p.params()[0].value, "5");
    EXPECT_EQ(p.paramType("first"), 8);
    EXPECT_EQ(p.paramAttributes("first"), (Properties::Attributes{{"min", "0"}, {"max", "9"}}));

    // Type and attributes of a missing parameter: nothing happens, nothing is created.
    p.setParamType("missing", 3);
    p.setParamAttributes("missing", {{"a", "b"}});
    EXPECT_FALSE(p.hasParam("missing"));
    EXPECT_EQ(p.paramType("missing"), 0);

    EXPECT_TRUE(p.removeParam("first"));
    EXPECT_FALSE(p.removeParam("first"));
    EXPECT_EQ(p.params().size(), 1u);
}

TEST(Properties, ValueWithDefaultUsesTheSameTextForm) {
    Properties p;
    p.setParam("mode", 2, 0);
    p.setParam("distance", 0.1, 100.0);
    p.setParam("plain", true);
    EXPECT_EQ(p.paramDefault("mode"), std::optional<std::string>("0"));
    EXPECT_EQ(p.paramDefault("distance"), std::optional<std::string>("100"));
    EXPECT_EQ(p.paramDefault("plain"), std::nullopt);
    EXPECT_EQ(p.paramDefault("missing"), std::nullopt);
    int mode = 0;
    EXPECT_TRUE(p.param("mode", mode));
    EXPECT_EQ(mode, 2);
}

TEST(Properties, SubBlocksKeepOrderAndLookupDoesNotCreateUnlessAsked) {
    Properties root("root");
    root.setAttributes({{"hidden", "true"}});
    Properties* a = root.addSubProperties("target");
    Properties* b = root.addSubProperties("target");
    root.addSubProperties("other");
    a->setParam("Path", "a.ini");
    b->setParam("Path", "b.ini");

    EXPECT_EQ(root.subProperties("target"), a);
    EXPECT_EQ(root.subProperties("missing", false), nullptr);
    EXPECT_EQ(root.subProperties().size(), 3u);
    const Properties& constRoot = root;
    EXPECT_EQ(constRoot.subProperties("missing"), nullptr);
    EXPECT_EQ(constRoot.subProperties("target"), a);

    Properties* created = root.subProperties("missing", true);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->name(), "missing");
    EXPECT_EQ(root.subProperties("missing", true), created);
    EXPECT_EQ(root.subProperties().size(), 4u);

    EXPECT_TRUE(root.removeSubProperties(a));
    EXPECT_FALSE(root.removeSubProperties(a));
    ASSERT_EQ(root.subProperties().size(), 3u);
    EXPECT_EQ(root.subProperties()[0], b);
}

TEST(Properties, CopyIsDeepAndEqualityLooksAtEverything) {
    Properties original("block");
    original.setAttributes({{"hidden", "true"}});
    original.setParam("n", 1, 0);
    original.setParamType("n", 8);
    original.setParamAttributes("n", {{"values", "A,B"}});
    original.addSubProperties("child")->setParam("Path", "x");
    original.addSubProperties("second");

    Properties copy(original);
    EXPECT_EQ(copy, original);
    copy.subProperties("child")->setParam("Path", "y");
    std::string path;
    EXPECT_TRUE(original.subProperties("child")->param("Path", path));
    EXPECT_EQ(path, "x");
    EXPECT_NE(copy, original);

    auto differs = [&](auto change) {
        Properties other(original);
        change(other);
        return other != original;
    };
    EXPECT_TRUE(differs([](Properties& p) { p.setName("renamed"); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setAttributes({}); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParam("n", 2); }));
    EXPECT_TRUE(differs([](Properties& p) { p.findParam("n")->defaultValue = "1"; }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParamType("n", 0); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParamAttributes("n", {}); }));
    EXPECT_TRUE(differs([](Properties& p) { p.subProperties("child")->setName("renamed"); }));
    EXPECT_TRUE(differs([](Properties& p) {
        p.removeSubProperties(p.subProperties("child"));
        p.addSubProperties("child")->setParam("Path", "x");  // same blocks, other order
    }));

    Properties assigned;
    assigned = original;
    EXPECT_EQ(assigned, original);
    // Assigning a block its own descendant must not read freed memory.
    Properties* child = assigned.subProperties("child");
    assigned = *child;
    EXPECT_EQ(assigned.name(), "child");
    EXPECT_TRUE(assigned.subProperties().empty());
}

TEST(Properties, CopyFromReplacesEqualNamesAndAppendsTheRest) {
    Properties target("target");
    target.setParam("keep", 1);
    target.setParam("replace", 1);
    target.addSubProperties("existing");

    Properties source("source");
    source.setParam("replace", 2, 0);
    source.setParamType("replace", 8);
    source.setParam("added", "new");
    source.addSubProperties("copied")->setParam("Path", "p");

    target.copyFrom(source);
    EXPECT_EQ(target.name(), "target");
    ASSERT_EQ(target.params().size(), 3u);
    EXPECT_EQ(target.params()[0].name, "keep");
    EXPECT_EQ(target.params()[1].name, "replace");
    EXPECT_EQ(target.params()[1].value, "2");
    EXPECT_EQ(target.paramType("replace"), 8);
    EXPECT_EQ(target.paramDefault("replace"), std::optional<std::string>("0"));
    EXPECT_EQ(target.params()[2].name, "added");
    ASSERT_EQ(target.subProperties().size(), 2u);
    EXPECT_EQ(target.subProperties()[1]->name(), "copied");

    source.subProperties("copied")->setParam("Path", "changed");
    std::string path;
    EXPECT_TRUE(target.subProperties("copied")->param("Path", path));
    EXPECT_EQ(path, "p");

    // Copying a block into itself duplicates its sub-blocks once.
    target.copyFrom(target);
    EXPECT_EQ(target.params().size(), 3u);
    EXPECT_EQ(target.subProperties().size(), 4u);
}

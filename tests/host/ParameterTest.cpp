#include "host/Parameter.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

using namespace Halvoren;

namespace {

enum Mode : std::int32_t { First = 0, Second = 1, Third = 2 };

struct Settings : Configurable {
    Parameter<float> tolerance{"tolerance", 1.0f, this};
    Parameter<Mode> mode{"mode", First, this};
    Parameter<bool> flag{"flag", false, this};
    Parameter<double> distance{"distance", 100.0, this};
    Parameter<int> count{"count", 0, this};
    Parameter<std::string> label{"label", "none", this};
};

std::vector<std::string> paramNames(const Properties& p) {
    std::vector<std::string> names;
    for (const auto& param : p.params()) {
        names.push_back(param.name);
    }
    return names;
}

}  // namespace

TEST(Parameter, ChangeSignalsOnlyOnChangeParameterFirstThenOwner) {
    Settings settings;
    std::vector<std::string> calls;
    auto a = settings.distance.signalValueChanged.connect([&] { calls.push_back("parameter"); });
    auto b = settings.signalParametersChanged.connect([&] { calls.push_back("owner"); });

    settings.distance.setValue(100.0);
    EXPECT_TRUE(calls.empty());
    settings.distance = 5.0;
    EXPECT_EQ(calls, (std::vector<std::string>{"parameter", "owner"}));
    EXPECT_EQ(settings.distance.value(), 5.0);

    calls.clear();
    settings.distance.setValue(std::nan(""));
    settings.distance.setValue(std::nan(""));
    EXPECT_EQ(calls.size(), 2u) << "storing NaN over NaN is no change";
}

TEST(Parameter, ConfigurationWritesEveryParameterInRegistrationOrder) {
    Settings settings;
    Properties p;
    settings.configuration(&p);
    EXPECT_EQ(paramNames(p),
              (std::vector<std::string>{"tolerance", "mode", "flag", "distance", "count", "label"}));
    EXPECT_EQ(p.paramDefault("distance"), std::optional<std::string>("100"));
    EXPECT_EQ(p.paramDefault("label"), std::optional<std::string>("none"));

    settings.configuration(nullptr);
    settings.configure(nullptr);
}

TEST(Parameter, ConfigureRestoresWhatConfigurationWrote) {
    Settings saved;
    saved.tolerance = 0.1f;
    saved.mode = Third;
    saved.flag = true;
    saved.distance = 1.0 / 3.0;
    saved.count = -17;
    saved.label = "text with spaces";
    Properties p;
    saved.configuration(&p);

    Settings restored;
    int changes = 0;
    auto c = restored.signalParametersChanged.connect([&] { ++changes; });
    restored.configure(&p);
    EXPECT_EQ(restored.tolerance.value(), 0.1f);
    EXPECT_EQ(restored.mode.value(), Third);
    EXPECT_TRUE(restored.flag.value());
    EXPECT_EQ(restored.distance.value(), 1.0 / 3.0);
    EXPECT_EQ(restored.count.value(), -17);
    EXPECT_EQ(restored.label.value(), "text with spaces");
    EXPECT_EQ(changes, 6);

    restored.configure(&p);
    EXPECT_EQ(changes, 6) << "unchanged values emit nothing";
}

TEST(Parameter, EnumerationIsStoredAsIntegerWithTypeCodeAndAttributes) {
    Settings settings;
    settings.mode.setType(8);
    settings.mode.setAttribute("values", "None,Some,All");
    settings.mode.setAttribute("hint", "mode");
    settings.mode = Second;

    Properties p;
    settings.configuration(&p);
    const Properties::Param* param = p.findParam("mode");
    ASSERT_NE(param, nullptr);
    EXPECT_EQ(param->value, "1");
    EXPECT_EQ(param->defaultValue, std::optional<std::string>("0"));
    EXPECT_EQ(param->type, 8);
    // Attributes are kept in key order.
    EXPECT_EQ(param->attributes, (Properties::Attributes{{"hint", "mode"}, {"values", "None,Some,All"}}));
    // Parameters without a type code leave the block's code alone.
    EXPECT_EQ(p.paramType("count"), 0);
}

TEST(Parameter, DeprecatedNameIsReadWithWarning) {
    TestSupport::LogCapture log;
    Configurable owner;
    Parameter<int> value("current", 1, &owner, {"older", "oldest"});
    int changes = 0;
    auto c = value.signalValueChanged.connect([&] { ++changes; });

    Properties p;
    p.setParam("oldest", 3);
    p.setParam("older", 5);
    owner.configure(&p);
    EXPECT_EQ(value.value(), 5) << "the first older name found wins";
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(log.count(Log::Warning, "Core.Parameter",
                        "Using deprecated parameter name 'older'. Please use: 'current' instead."),
              1);
    EXPECT_EQ(log.records().size(), 1u);

    // The current name takes precedence and is read silently.
    p.setParam("current", 9);
    owner.configure(&p);
    EXPECT_EQ(value.value(), 9);
    EXPECT_EQ(log.records().size(), 1u);
}

TEST(Parameter, MissingNameLeavesValueUnchangedAndLogsNothing) {
    TestSupport::LogCapture log;
    Settings settings;
    settings.mode = Third;
    int changes = 0;
    auto c = settings.signalParametersChanged.connect([&] { ++changes; });

    Properties p;
    p.setParam("count", "not a number");
    settings.configure(&p);
    EXPECT_EQ(settings.mode.value(), Third);
    EXPECT_EQ(settings.count.value(), 0);
    EXPECT_EQ(changes, 0);
    EXPECT_TRUE(log.records().empty());
}

TEST(Parameter, ValueOutsideTheRangeOrTheListIsRefusedWithAWarning) {
    TestSupport::LogCapture log;
    Settings settings;
    settings.count.setAttribute("min", "-5");
    settings.count.setAttribute("max", "200");
    settings.distance.setAttribute("min", "0.5");
    settings.mode.setAttribute("values", "None,Some,All");
    settings.mode = Second;
    int changes = 0;
    auto c = settings.signalParametersChanged.connect([&] { ++changes; });

    Properties p;
    p.setParam("count", 201);
    p.setParam("distance", std::nan(""));
    p.setParam("mode", 3);
    settings.configure(&p);
    EXPECT_EQ(settings.count.value(), 0);
    EXPECT_EQ(settings.distance.value(), 100.0);
    EXPECT_EQ(settings.mode.value(), Second);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(log.count(Log::Warning, "Core.Parameter",
                        "Refusing value 201 of parameter 'count': above its maximum 200"),
              1);
    EXPECT_EQ(log.count(Log::Warning, "Core.Parameter",
                        "Refusing value nan of parameter 'distance': below its minimum 0.5"),
              1);
    EXPECT_EQ(log.count(Log::Warning, "Core.Parameter",
                        "Refusing value 3 of parameter 'mode': not the index of one of its 3 values"),
              1);

    // The limits themselves and every index of the list are accepted.
    p.setParam("count", -5);
    p.setParam("distance", 0.5);
    p.setParam("mode", 2);
    settings.configure(&p);
    EXPECT_EQ(settings.count.value(), -5);
    EXPECT_EQ(settings.distance.value(), 0.5);
    EXPECT_EQ(settings.mode.value(), Third);
    p.setParam("mode", -1);
    settings.configure(&p);
    EXPECT_EQ(settings.mode.value(), Third);
    EXPECT_EQ(log.countContaining("Refusing value -1 of parameter 'mode'"), 1);
}

TEST(Parameter, DestroyedParameterUnregistersAndOwnerMayDieFirst) {
    auto owner = std::make_unique<Configurable>();
    Parameter<int> first("first", 1, owner.get());
    {
        Parameter<int> temporary("temporary", 2, owner.get());
        EXPECT_EQ(owner->parameter("temporary"), &temporary);
    }
    auto last = std::make_unique<Parameter<int>>("last", 3, owner.get());
    Properties p;
    owner->configuration(&p);
    EXPECT_EQ(paramNames(p), (std::vector<std::string>{"first", "last"}));
    EXPECT_EQ(owner->parameter("temporary"), nullptr);

    owner.reset();
    last->setValue(4);  // must not reach the destroyed owner
    last.reset();
    EXPECT_EQ(last, nullptr);
}

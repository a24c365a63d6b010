#include "host/Signal.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Halvoren;

TEST(Signal, CallsReceiversInConnectionOrder) {
    SignalImpl<int> signal;
    std::vector<int> calls;
    auto a = signal.connect([&](int v) { calls.push_back(v * 10 + 1); });
    auto b = signal.connect([&](int v) { calls.push_back(v * 10 + 2); });
    signal.emitSignal(3);
    EXPECT_EQ(calls, (std::vector<int>{31, 32}));
}

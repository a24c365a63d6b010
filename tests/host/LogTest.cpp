#include "host/Log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Halvoren::Log;

// A watcher of one message (the replay's check of the device) must see it when the user asked for fewer
// messages; standard error and the other sinks keep the thresholds.
TEST(Log, ASinkWithALevelOfItsOwnSeesWhatTheThresholdsHide) {
    const int previous = Log::globalLevel();
    Log::setGlobalLevel(Log::Warning);
    Log::setStderrEnabled(false);
    std::vector<std::string> watched;
    std::vector<std::string> ordinary;
    const int watcher = Log::addSink([&](const Log::Record& r) { watched.push_back(r.text); }, Log::Info);
    const int sink = Log::addSink([&](const Log::Record& r) { ordinary.push_back(r.text); });
    EXPECT_TRUE(Log::isAccepted(Log::Info, "Cat"));
    EXPECT_FALSE(Log::isAccepted(Log::Debug, "Cat"));
    HALVOREN_LOG(Log::Info, "Cat", "detected " << 1);
    HALVOREN_LOG(Log::Debug, "Cat", "detail");
    HALVOREN_LOG(Log::Warning, "Cat", "careful");
    Log::removeSink(watcher);
    EXPECT_FALSE(Log::isAccepted(Log::Info, "Cat"));
    Log::removeSink(sink);
    Log::setStderrEnabled(true);
    Log::setGlobalLevel(previous);
    EXPECT_EQ(watched, (std::vector<std::string>{"detected 1", "careful"}));
    EXPECT_EQ(ordinary, (std::vector<std::string>{"careful"}));
}

#include "health/TrackingHealth.h"

#include "host/TrackingStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace Halvoren::Health {
namespace {

TrackingInstrument instrument(const std::string& name, double quality) {
    TrackingInstrument i;
    i.id = TrackerID(name + "_0", "", name);
    i.quality = quality;
    return i;
}

constexpr std::uint64_t kNowUs = 1'800'000'000'000'000ull;  // a host clock reading, us since the epoch

TEST(FrameAccounting, CountsMissedRepeatedAndRestartedFramesFromTheCounter) {
    FrameAccounting accounting;
    // Counters 10 11 13 14 14 18, then the camera counts anew from 1; the counter may also wrap.
    const std::vector<std::uint32_t> counters{10, 11, 13, 14, 14, 18, 1, 2};
    std::int64_t arrival = 0;
    for (const std::uint32_t c : counters) {
        accounting.addFrame(c, kNowUs, {}, arrival, kNowUs);
        arrival += 20'000;
    }
    accounting.addFrame(std::nullopt, 0, {}, arrival, kNowUs);
    const HealthFigures& f = accounting.figures();
    EXPECT_EQ(f.delivered, 9u);
    EXPECT_EQ(f.withoutCounter, 1u);
    EXPECT_EQ(f.twice, 1u);
    EXPECT_EQ(f.missed, 1u + 3u);  // 12, then 15 16 17
    EXPECT_EQ(f.restarts, 1u);
    EXPECT_EQ(f.made, 9u + 2u);  // 10..18 and 1..2
    EXPECT_NEAR(f.rateHz, 50.0, 1e-9);
    EXPECT_NEAR(f.jitterMs, 0.0, 1e-9);
    EXPECT_NEAR(f.largestGapMs, 20.0, 1e-9);

    FrameAccounting wrapping;
    wrapping.addFrame(0xFFFFFFFEu, kNowUs, {}, 0, kNowUs);
    wrapping.addFrame(1u, kNowUs, {}, 1, kNowUs);
    EXPECT_EQ(wrapping.figures().missed, 2u);  // 0xFFFFFFFF and 0
    EXPECT_EQ(wrapping.figures().restarts, 0u);
}

TEST(FrameAccounting, MeasuresLatencyOnlyOnTheHostClockAndCountsGatedFrames) {
    FrameAccounting accounting(0.95);
    for (int i = 0; i < 100; ++i) {
        // Latencies 1..100 ms; the reference is below the gate in every fourth frame, never unseen.
        const std::vector<TrackingInstrument> instruments{instrument("ref", i % 4 == 0 ? 0.9 : 0.99),
                                                          instrument("tool", 0.0)};
        accounting.addFrame(static_cast<std::uint32_t>(i + 1), kNowUs - 1000ull * (i + 1), instruments,
                            i * 16'667, kNowUs);
    }
    const HealthFigures& f = accounting.figures();
    ASSERT_TRUE(f.latencyMeasured);
    EXPECT_EQ(f.latency.count(), 100u);
    EXPECT_NEAR(f.latency.percentileUs(0.5), 50'000.0, 50'000.0 * 0.016);
    EXPECT_NEAR(f.latency.percentileUs(0.99), 99'000.0, 99'000.0 * 0.016);
    EXPECT_EQ(f.latency.maxUs(), 100'000u);
    EXPECT_EQ(f.gated.at("ref"), 25u);
    EXPECT_EQ(f.gated.count("tool"), 0u);  // not seen is not gated
    EXPECT_FALSE(passesGate(instrument("ref", 0.9), 0.95));
    EXPECT_TRUE(passesGate(instrument("ref", 0.95), 0.95));
    EXPECT_FALSE(passesGate(instrument("ref", 0.0), 0.0));

    // A camera whose stamps count from its own start: intervals only.
    FrameAccounting ownClock;
    ownClock.addFrame(1u, 5'000'000, {}, 0, kNowUs);
    EXPECT_FALSE(ownClock.figures().latencyMeasured);
    std::ostringstream block;
    writeHealthBlock(block, ownClock.figures());
    EXPECT_NE(block.str().find("latency not measured: the camera's clock is its own"), std::string::npos);
}

/// Tracking data of one camera frame, stamped now.
std::shared_ptr<TrackingStreamData> frameData(std::uint32_t counter) {
    auto data = std::make_shared<TrackingStreamData>(nullptr, std::vector<TrackingInstrument>{});
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    data->components().add(std::make_unique<TrackingFrameInfoData>(
        counter,
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count())));
    return data;
}

template <typename Predicate>
bool waitFor(Predicate predicate) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

TEST(TrackingHealth, SaysWhenFramesStopAndWhenTheyComeBackInOrder) {
    std::mutex mutex;
    std::vector<std::pair<bool, double>> calls;
    TrackingHealth::Options options;
    options.staleAfter = std::chrono::milliseconds(60);
    TrackingHealth health(options, [&](bool stale, double ms) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.emplace_back(stale, ms);
    });
    const auto callCount = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return calls.size();
    };
    const auto start = std::chrono::steady_clock::now();
    health.addData(*frameData(1));
    ASSERT_TRUE(waitFor([&] { return callCount() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, options.staleAfter);
    EXPECT_TRUE(health.stale());
    EXPECT_TRUE(health.figures().stale);
    health.addData(*frameData(2));
    ASSERT_EQ(callCount(), 2u);
    EXPECT_FALSE(health.stale());
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(calls[0].first);
        EXPECT_GE(calls[0].second, 60.0);
        EXPECT_FALSE(calls[1].first);
        EXPECT_GE(calls[1].second, calls[0].second);
    }
    // Paused (the stream stopped on purpose): no stale period until frames come again.
    health.pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(callCount(), 2u);
    const HealthFigures f = health.figures();
    EXPECT_EQ(f.stalePeriods, 1u);
    EXPECT_GE(f.longestStaleMs, 60.0);
    EXPECT_EQ(f.delivered, 2u);
    EXPECT_DOUBLE_EQ(f.staleBoundMs, 60.0);
    std::ostringstream block;
    writeHealthBlock(block, f);
    EXPECT_NE(block.str().find("stale periods 1 (longest "), std::string::npos);
}

TEST(TrackingHealth, TheEndOfAReplayIsNoStalenessButAFrameAfterItArmsTheWatchAgain) {
    std::atomic<int> staleCalls{0};
    std::atomic<int> endChecks{0};
    TrackingHealth::Options options;
    options.staleAfter = std::chrono::milliseconds(1);
    TrackingHealth health(options, [&](bool stale, double) { staleCalls += stale ? 1 : 0; });
    // As the window asks: whether the recording's last frame, 3, came; it reads the figures.
    health.setEndCheck([&] {
        ++endChecks;
        return health.figures().lastCounter == 3;
    });
    health.addData(*frameData(3));
    ASSERT_TRUE(waitFor([&] { return endChecks.load() >= 1; }));
    EXPECT_EQ(staleCalls.load(), 0);
    EXPECT_FALSE(health.stale());
    EXPECT_EQ(health.figures().stalePeriods, 0u);
    health.addData(*frameData(4));
    ASSERT_TRUE(waitFor([&] { return staleCalls.load() == 1; }));
    EXPECT_TRUE(health.figures().stale);
}

TEST(TrackingHealth, TheDefaultBoundIsThreeFramePeriodsAndAtLeastFiftyMilliseconds) {
    TrackingHealth health(TrackingHealth::Options{});
    EXPECT_DOUBLE_EQ(health.figures().staleBoundMs, 50.0);
    // A 20 Hz camera: 150 ms.
    auto first = frameData(1);
    auto second = frameData(2);
    const_cast<TrackingFrameInfoData*>(second->components().get<TrackingFrameInfoData>())->exposureUs =
        first->components().get<TrackingFrameInfoData>()->exposureUs + 50'000;
    health.addData(*first);
    health.addData(*second);
    EXPECT_NEAR(health.figures().staleBoundMs, 150.0, 1e-6);
    health.pause();
}

}  // namespace
}  // namespace Halvoren::Health

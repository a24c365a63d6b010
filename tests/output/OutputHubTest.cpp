// The one hand-over: an output that stalls loses only its own frames, counted, whatever its policy, while
// every other output gets every frame in order.
#include "output/OutputHub.h"

#include "host/TrackingStream.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

using namespace Halvoren;
using namespace Halvoren::Output;

namespace {

constexpr auto kTimeout = std::chrono::seconds(20);

/// Keeps the numbers of the frames it takes; while held, its thread waits in take().
class CollectingOutput : public FrameOutput {
public:
    CollectingOutput(QueuePolicy policy, bool held) : FrameOutput("collecting", policy), m_held(held) {}

    void take(const FrameItem& item) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_inTake = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_held; });
        m_numbers.push_back(item.kind == FrameItem::Kind::Frame ? item.number : 0);
    }
    void end() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
    }
    void waitInTake() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ASSERT_TRUE(m_changed.wait_for(lock, kTimeout, [this] { return m_inTake; }));
    }
    void release() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = false;
        m_changed.notify_all();
    }
    std::vector<std::uint64_t> numbers() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_numbers;
    }
    bool ended() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ended;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_held;
    bool m_inTake = false;
    bool m_ended = false;
    std::vector<std::uint64_t> m_numbers;
};

std::shared_ptr<const StreamData> frame() {
    return std::make_shared<TrackingStreamData>(nullptr, std::vector<TrackingInstrument>(2));
}

/// Hands 100 frames to a stalled output with `policy` and to a free one; the run is cut at 100.
void runStalled(QueuePolicy policy, std::shared_ptr<CollectingOutput>& stalled,
                std::shared_ptr<CollectingOutput>& free, OutputHub& outputs) {
    stalled = std::make_shared<CollectingOutput>(policy, true);
    free = std::make_shared<CollectingOutput>(QueuePolicy{DropPolicy::EveryFrame, 1000}, false);
    outputs.add(stalled);
    outputs.add(free);
    outputs.setFrameLimit(100);
    outputs.handOver(frame());
    stalled->waitInTake();  // frame 1 is in hand; the queue fills behind it
    for (int i = 1; i < 110; ++i) {
        outputs.handOver(frame());  // never waits, though one output takes nothing
    }
    EXPECT_TRUE(outputs.isCut());
    EXPECT_EQ(outputs.frames(), 100u);
    stalled->release();
    outputs.finish();
    std::vector<std::uint64_t> all(100);
    for (std::uint64_t i = 0; i < all.size(); ++i) {
        all[i] = i + 1;
    }
    EXPECT_EQ(free->numbers(), all);
    EXPECT_TRUE(free->ended());
    EXPECT_TRUE(stalled->ended());
}

}  // namespace

TEST(OutputHub, AStalledOutputThatKeepsEveryFrameLosesOnlyTheFramesThatFindItsQueueFull) {
    std::shared_ptr<CollectingOutput> stalled;
    std::shared_ptr<CollectingOutput> free;
    OutputHub outputs;
    runStalled({DropPolicy::EveryFrame, 4}, stalled, free, outputs);
    // The frame in hand and the four that fitted, in order; the rest dropped and counted.
    EXPECT_EQ(stalled->numbers(), (std::vector<std::uint64_t>{1, 2, 3, 4, 5}));
    const auto reports = outputs.reports();
    EXPECT_EQ(reports[0].counts.dropped, 95u);
    EXPECT_EQ(reports[0].counts.queued + reports[0].counts.dropped, 100u);
    EXPECT_EQ(reports[1].counts.dropped, 0u);
}

TEST(OutputHub, AStalledOutputThatWantsTheLatestGetsTheNewestFrames) {
    std::shared_ptr<CollectingOutput> stalled;
    std::shared_ptr<CollectingOutput> free;
    OutputHub outputs;
    runStalled({DropPolicy::LatestOnly, 2}, stalled, free, outputs);
    EXPECT_EQ(stalled->numbers(), (std::vector<std::uint64_t>{1, 99, 100}));
    EXPECT_EQ(outputs.reports()[0].counts.dropped, 97u);
}

TEST(OutputHub, StalenessReachesEveryOutputInOrderAndNothingComesAfterTheCut) {
    auto first = std::make_shared<CollectingOutput>(QueuePolicy{}, false);
    auto second = std::make_shared<CollectingOutput>(QueuePolicy{}, false);
    OutputHub outputs;
    outputs.add(first);
    outputs.add(second);
    outputs.handOver(frame());
    outputs.notify(FrameItem::Kind::Stale, 60.0);
    outputs.handOver(frame());
    outputs.handOver(std::make_shared<StreamData>(nullptr));  // not tracking data: not a frame
    EXPECT_FALSE(outputs.waitForCut(std::chrono::milliseconds(1)));
    outputs.cut();
    EXPECT_TRUE(outputs.waitForCut(kTimeout));
    outputs.handOver(frame());
    outputs.notify(FrameItem::Kind::Fresh, 1.0);
    outputs.finish();
    EXPECT_EQ(first->numbers(), (std::vector<std::uint64_t>{1, 0, 2}));
    EXPECT_EQ(second->numbers(), first->numbers());
}

namespace {

/// Drained by its owner, who never does here; with `gone`, an owner that left without taking the rest.
class OwnerDrained : public FrameOutput {
public:
    explicit OwnerDrained(bool gone)
        : FrameOutput("owned", {DropPolicy::EveryFrame, 8}, Consumer::Owner), m_gone(gone) {}
    void take(const FrameItem& item) override { numbers.push_back(item.number); }
    void end() override {
        if (!m_gone) {
            FrameOutput::end();
        }
    }
    std::vector<std::uint64_t> numbers;

private:
    bool m_gone;
};

}  // namespace

TEST(OutputHub, AnOwnerDrainedOutputTakesTheFramesBeforeTheCutAtItsEndOrCountsThemLost) {
    auto kept = std::make_shared<OwnerDrained>(false);
    auto left = std::make_shared<OwnerDrained>(true);
    OutputHub outputs;
    outputs.add(kept);
    outputs.add(left);
    for (int i = 0; i < 3; ++i) {
        outputs.handOver(frame());
    }
    outputs.finish();
    EXPECT_EQ(kept->numbers, (std::vector<std::uint64_t>{1, 2, 3}));
    const auto reports = outputs.reports();
    EXPECT_EQ(reports[0].counts.dropped, 0u);
    EXPECT_TRUE(left->numbers.empty());
    EXPECT_EQ(reports[1].counts.queued, 3u);
    EXPECT_EQ(reports[1].counts.dropped, 3u);
}

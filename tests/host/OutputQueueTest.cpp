// The queue wakes its consumer only when it sleeps: no item may be left unseen by a consumer that went to
// sleep just as it was pushed.
#include "host/OutputQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>
#include <vector>

using namespace Halvoren::Output;

namespace {
constexpr auto kGenerous = std::chrono::seconds(20);
}

TEST(OutputQueue, AConsumerThatSleepsIsWokenForEveryPushAndByTheClosing) {
    OutputQueue<int> queue({DropPolicy::EveryFrame, 4});
    constexpr int kItems = 5000;
    std::atomic<int> taken{0};
    std::vector<int> seen;
    std::thread consumer([&] {
        int item = 0;
        // A lost wake-up leaves popFor waiting out its whole time-out and the item unseen.
        while (queue.popFor(item, kGenerous)) {
            seen.push_back(item);
            ++taken;
        }
    });
    for (int i = 0; i < kItems; ++i) {
        // One item at a time, so that the consumer is often deciding to sleep as the next one comes.
        while (taken.load() < i) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(queue.push(i));
    }
    while (taken.load() < kItems) {
        std::this_thread::yield();
    }
    queue.close();  // wakes the consumer sleeping on an empty queue
    consumer.join();
    ASSERT_EQ(seen.size(), std::size_t(kItems));
    EXPECT_EQ(seen.front(), 0);
    EXPECT_EQ(seen.back(), kItems - 1);
    EXPECT_EQ(queue.counts().queued, std::uint64_t(kItems));
    EXPECT_EQ(queue.counts().dropped, 0u);

    int item = 0;
    EXPECT_FALSE(queue.popFor(item, std::chrono::milliseconds(1)));
    EXPECT_FALSE(queue.push(1));
    EXPECT_EQ(queue.counts().dropped, 1u);
}

TEST(OutputQueue, PopForGivesUpWhenNothingComes) {
    OutputQueue<int> queue({DropPolicy::LatestOnly, 1});
    int item = 7;
    EXPECT_FALSE(queue.popFor(item, std::chrono::milliseconds(5)));
    EXPECT_EQ(item, 7);
    EXPECT_TRUE(queue.push(1));
    EXPECT_FALSE(queue.push(2));  // replaced the first
    EXPECT_TRUE(queue.popFor(item, std::chrono::milliseconds(5)));
    EXPECT_EQ(item, 2);
}

TEST(OutputQueue, PopAllTakesEveryWaitingItemInOrderAndDiscardCountsWhatIsLeft) {
    OutputQueue<int> queue({DropPolicy::EveryFrame, 8});
    std::deque<int> items;
    std::thread consumer([&] { EXPECT_TRUE(queue.popAll(items)); });  // woken by the push if asleep
    queue.push(1);
    consumer.join();
    EXPECT_EQ(items, std::deque<int>{1});
    items.clear();
    for (int i = 2; i <= 4; ++i) {
        queue.push(i);
    }
    queue.close();
    EXPECT_TRUE(queue.popAll(items));  // what waits is still taken once closed
    EXPECT_EQ(items, (std::deque<int>{2, 3, 4}));
    items.clear();
    EXPECT_FALSE(queue.popAll(items));

    OutputQueue<int> left({DropPolicy::LatestOnly, 4});
    left.push(5);
    left.push(6);
    EXPECT_EQ(left.discard(), 2u);
    EXPECT_EQ(left.counts().dropped, 2u);
    int item = 0;
    EXPECT_FALSE(left.popFor(item, std::chrono::milliseconds(1)));
}

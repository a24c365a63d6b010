#include "host/Signal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
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

TEST(Signal, CallablesShareTheSameArgumentObject) {
    SignalImpl<std::vector<int>&> signal;
    std::vector<int> seenBySecond;
    auto taker = signal.connect([](std::vector<int>& v) { v.push_back(7); });
    auto reader = signal.connect([&](std::vector<int>& v) { seenBySecond = v; });
    std::vector<int> data{1};
    signal.emitSignal(data);
    EXPECT_EQ(seenBySecond, (std::vector<int>{1, 7}));
    EXPECT_EQ(data, (std::vector<int>{1, 7}));
}

TEST(Signal, ReentrantEmissionOnSameThreadIsDropped) {
    SignalImpl<int> signal;
    std::vector<int> calls;
    auto c = signal.connect([&](int v) {
        calls.push_back(v);
        signal.emitSignal(v + 100);
    });
    signal.emitSignal(1);
    signal.emitSignal(2);
    EXPECT_EQ(calls, (std::vector<int>{1, 2}));
}

TEST(Signal, CallableMayDisconnectItselfAndAnotherDuringEmission) {
    SignalImpl<> signal;
    std::vector<char> calls;
    std::shared_ptr<SignalConnection> a, b, c;
    a = signal.connect([&] {
        calls.push_back('a');
        a->disconnect();
        c->disconnect();
    });
    b = signal.connect([&] { calls.push_back('b'); });
    c = signal.connect([&] { calls.push_back('c'); });

    signal.emitSignal();
    EXPECT_EQ(calls, (std::vector<char>{'a', 'b'}));
    EXPECT_FALSE(a->isConnected());
    EXPECT_FALSE(c->isConnected());
    EXPECT_EQ(signal.connectionCount(), 1u);

    calls.clear();
    signal.emitSignal();
    EXPECT_EQ(calls, (std::vector<char>{'b'}));
}

TEST(Signal, ConnectionMadeDuringEmissionJoinsTheNextEmission) {
    SignalImpl<> signal;
    std::vector<char> calls;
    std::shared_ptr<SignalConnection> late;
    auto first = signal.connect([&] {
        calls.push_back('f');
        if (!late) {
            late = signal.connect([&] { calls.push_back('l'); });
        }
    });
    auto second = signal.connect([&] { calls.push_back('s'); });

    signal.emitSignal();
    EXPECT_EQ(calls, (std::vector<char>{'f', 's'}));
    EXPECT_EQ(signal.connectionCount(), 3u);

    calls.clear();
    signal.emitSignal();
    EXPECT_EQ(calls, (std::vector<char>{'f', 's', 'l'}));
}

TEST(Signal, ConnectionMadeAndDroppedDuringEmissionIsNeverCalled) {
    SignalImpl<> signal;
    int lateCalls = 0;
    auto first = signal.connect([&] { signal.connect([&] { ++lateCalls; })->disconnect(); });
    signal.emitSignal();
    first->disconnect();
    signal.emitSignal();
    EXPECT_EQ(lateCalls, 0);
    EXPECT_EQ(signal.connectionCount(), 0u);
}

TEST(Signal, ReceiverDestructionDisconnects) {
    SignalImpl<> signal;
    int calls = 0;
    auto receiver = std::make_unique<SignalReceiver>();
    auto connection = signal.connect(receiver.get(), [&] { ++calls; });
    EXPECT_EQ(receiver->connectionCount(), 1u);

    receiver.reset();
    signal.emitSignal();
    EXPECT_EQ(calls, 0);
    EXPECT_FALSE(connection->isConnected());
    EXPECT_EQ(signal.connectionCount(), 0u);
}

TEST(Signal, DisconnectTellsTheReceiverToForgetTheConnection) {
    SignalImpl<> signal;
    SignalReceiver receiver;
    auto kept = signal.connect(&receiver, [] {});
    auto dropped = signal.connect(&receiver, [] {});
    dropped->disconnect();
    dropped->disconnect();  // idempotent
    EXPECT_EQ(receiver.connectionCount(), 1u);

    receiver.disconnectAll();
    EXPECT_FALSE(kept->isConnected());
    EXPECT_EQ(signal.connectionCount(), 0u);
}

TEST(Signal, SignalDestructionTellsReceiversWhichMayDieLater) {
    auto receiver = std::make_unique<SignalReceiver>();
    std::shared_ptr<SignalConnection> connection;
    {
        SignalImpl<int> signal;
        connection = signal.connect(receiver.get(), [](int) {});
        EXPECT_EQ(receiver->connectionCount(), 1u);
    }
    EXPECT_FALSE(connection->isConnected());
    EXPECT_EQ(receiver->connectionCount(), 0u);
    receiver.reset();
    connection->disconnect();
}

TEST(Signal, CallableMayDestroyTheSignalsOwner) {
    struct Owner {
        SignalImpl<> signal;
    };
    auto owner = std::make_unique<Owner>();
    std::vector<char> calls;
    auto a = owner->signal.connect([&] {
        calls.push_back('a');
        owner.reset();
    });
    auto b = owner->signal.connect([&] { calls.push_back('b'); });
    owner->signal.emitSignal();
    EXPECT_EQ(calls, (std::vector<char>{'a'}));
    EXPECT_FALSE(b->isConnected());
}

TEST(Signal, BlockedSignalEmitsNothing) {
    SignalImpl<> signal;
    int calls = 0;
    auto c = signal.connect([&] { ++calls; });
    signal.setBlocked(true);
    EXPECT_TRUE(signal.isBlocked());
    signal.emitSignal();
    EXPECT_EQ(calls, 0);
    signal.setBlocked(false);
    signal.emitSignal();
    EXPECT_EQ(calls, 1);
}

TEST(Signal, EmptyCallableGivesNoConnection) {
    SignalImpl<int> signal;
    SignalReceiver receiver;
    EXPECT_EQ(signal.connect(SignalImpl<int>::Function()), nullptr);
    EXPECT_EQ(signal.connect(&receiver, nullptr), nullptr);
    EXPECT_EQ(signal.connectionCount(), 0u);
    EXPECT_EQ(receiver.connectionCount(), 0u);
    signal.emitSignal(1);
}

TEST(Signal, ThrowingCallableLeavesTheSignalUsable) {
    SignalImpl<> signal;
    int calls = 0;
    bool thrown = false;
    auto thrower = signal.connect([&] {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("boom");
        }
    });
    auto counter = signal.connect([&] { ++calls; });
    EXPECT_THROW(signal.emitSignal(), std::runtime_error);
    signal.emitSignal();
    EXPECT_EQ(calls, 1);
}

// One thread emits while another connects, disconnects and destroys receivers. Meant to be run under
// ThreadSanitizer as well; the counts check that the permanent connection saw every emission.
TEST(Signal, EmissionWhileAnotherThreadConnectsAndDisconnects) {
    constexpr int emissions = 2000;
    SignalImpl<int> signal;
    std::atomic<int> permanentCalls{0};
    std::atomic<int> transientCalls{0};
    std::atomic<bool> done{false};
    auto permanent = signal.connect([&](int) { permanentCalls.fetch_add(1); });

    std::thread churn([&] {
        while (!done.load()) {
            auto plain = signal.connect([&](int) { transientCalls.fetch_add(1); });
            auto receiver = std::make_unique<SignalReceiver>();
            auto owned = signal.connect(receiver.get(), [&](int) { transientCalls.fetch_add(1); });
            plain->disconnect();
            receiver.reset();
            EXPECT_FALSE(owned->isConnected());
        }
    });
    std::thread emitter([&] {
        for (int i = 0; i < emissions; ++i) {
            signal.emitSignal(i);
        }
        done.store(true);
    });
    emitter.join();
    churn.join();

    EXPECT_EQ(permanentCalls.load(), emissions);
    EXPECT_EQ(signal.connectionCount(), 1u);
}

TEST(Signal, DisconnectWaitsForACallInFlightOnAnotherThread) {
    SignalImpl<int> signal;
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool release = false;
    std::atomic<bool> returned{false};
    std::atomic<int> callsAfterDisconnect{0};
    std::atomic<bool> disconnected{false};
    auto connection = signal.connect([&](int) {
        if (disconnected) {
            ++callsAfterDisconnect;
        }
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
        returned = true;
    });
    std::thread emitter([&] { signal.emitSignal(1); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered; }));
    }
    std::atomic<bool> disconnecting{false};
    std::thread disconnector([&] {
        disconnecting = true;
        connection->disconnect();
        // The call in flight has returned by now.
        EXPECT_TRUE(returned);
        disconnected = true;
    });
    while (!disconnecting) {
        std::this_thread::yield();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    changed.notify_all();
    disconnector.join();
    emitter.join();
    signal.emitSignal(2);
    EXPECT_EQ(callsAfterDisconnect, 0);

    // Inside the call itself, a disconnect returns at once instead of waiting for itself.
    SignalImpl<int> other;
    std::shared_ptr<SignalConnection> self;
    self = other.connect([&](int) { self->disconnect(); });
    std::thread([&] { other.emitSignal(1); }).join();
    EXPECT_FALSE(self->isConnected());
}

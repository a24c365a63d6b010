#include "host/Stream.h"

#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Halvoren;
using namespace std::chrono_literals;
using TestSupport::waitFor;
using State = Stream::State;
using Hooks = std::vector<std::string>;
using States = std::vector<State>;

namespace {

/// A stream that records its hook calls and state changes. Hooks can be told to fail or to run a callable
/// (once) while they are inside; doWork counts its passes and runs `work` when set.
class TestStream : public Stream {
public:
    using Work = std::function<std::optional<WorkContinuation>(int pass)>;

    explicit TestStream(bool pausing = false) : Stream("test"), m_pausing(pausing) {
        m_connection = signalStateChanged.connect([this](const StateChange& change) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changes.push_back(change);
        });
    }
    ~TestStream() override { close(); }

    // Set before the operation (and, for `work`, before start) that uses them.
    std::string failingHook;
    Work work;

    void during(const std::string& hook, std::function<void()> action) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_during[hook] = std::move(action);
    }
    Hooks hooks() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_hooks;
    }
    std::vector<std::thread::id> hookThreads() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_hookThreads;
    }
    std::vector<StateChange> changes() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_changes;
    }
    States newStates() const {
        States states;
        for (const auto& c : changes()) {
            states.push_back(c.newState);
        }
        return states;
    }
    void clearRecords() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hooks.clear();
        m_hookThreads.clear();
        m_changes.clear();
    }

    bool supportsPausing() const override { return m_pausing; }

    std::chrono::milliseconds interval{1};  // what a pass asks for before `work` runs
    std::atomic<int> passes{0};
    std::atomic<bool> inPass{false};
    std::atomic<bool> stopDuringPass{false};

protected:
    bool openImpl() override { return hook("open"); }
    bool closeImpl() override { return hook("close"); }
    bool startImpl() override { return hook("start"); }
    bool stopImpl() override {
        stopDuringPass = stopDuringPass || inPass;
        return hook("stop");
    }
    bool pauseImpl() override { return hook("pause"); }
    bool resumeImpl() override { return hook("resume"); }

    // Worker thread.
    std::optional<WorkContinuation> doWork() override {
        inPass = true;
        const int pass = ++passes;
        std::optional<WorkContinuation> next = WorkContinuation{std::chrono::system_clock::now() + interval};
        if (work) {
            next = work(pass);
        }
        inPass = false;
        return next;
    }

private:
    bool hook(const std::string& name) {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_hooks.push_back(name);
            m_hookThreads.push_back(std::this_thread::get_id());
            auto it = m_during.find(name);
            if (it != m_during.end()) {
                action = std::move(it->second);
                m_during.erase(it);
            }
        }
        if (action) {
            action();
        }
        return failingHook != name;
    }

    const bool m_pausing;
    mutable std::mutex m_mutex;  // guards the records and m_during
    Hooks m_hooks;
    std::vector<std::thread::id> m_hookThreads;
    std::vector<StateChange> m_changes;
    std::map<std::string, std::function<void()>> m_during;
    std::shared_ptr<SignalConnection> m_connection;
};

enum class Op { Open, Start, Stop, Pause, Resume, Close };
const Op allOps[] = {Op::Open, Op::Start, Op::Stop, Op::Pause, Op::Resume, Op::Close};

bool apply(Stream& stream, Op op) {
    switch (op) {
        case Op::Open:
            return stream.open();
        case Op::Start:
            return stream.start();
        case Op::Stop:
            return stream.stop();
        case Op::Pause:
            return stream.pause();
        case Op::Resume:
            return stream.resume();
        case Op::Close:
            return stream.close();
    }
    return false;
}

const char* opName(Op op) {
    const char* names[] = {"open", "start", "stop", "pause", "resume", "close"};
    return names[static_cast<int>(op)];
}

void bringTo(TestStream& stream, State state) {
    if (state != Stream::Closed) {
        ASSERT_TRUE(stream.open());
    }
    if (state == Stream::Running || state == Stream::Paused) {
        ASSERT_TRUE(stream.start());
    }
    if (state == Stream::Paused) {
        ASSERT_TRUE(stream.pause());
    }
    ASSERT_EQ(stream.currentState(), state);
    stream.clearRecords();
}

/// Waits for a flag set on another thread; for worker-side waits that must not spin on Qt events.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, 10s, [&] { return m_open; });
    }

private:
    std::mutex m_mutex;  // guards m_open
    std::condition_variable m_cv;
    bool m_open = false;
};

}  // namespace

TEST(Stream, EveryOperationInEverySettledState) {
    struct Row {
        State from;
        Op op;
        std::string failing;
        bool result;
        Hooks hooks;
        States emitted;
        State to;
    };
    using S = Stream;
    const std::vector<Row> rows = {
        {S::Closed, Op::Open, "", true, {"open"}, {S::Opening, S::Open}, S::Open},
        {S::Closed, Op::Start, "", false, {}, {}, S::Closed},
        {S::Closed, Op::Stop, "", false, {}, {}, S::Closed},
        {S::Closed, Op::Pause, "", false, {}, {}, S::Closed},
        {S::Closed, Op::Resume, "", false, {}, {}, S::Closed},
        {S::Closed, Op::Close, "", true, {}, {}, S::Closed},

        {S::Open, Op::Open, "", true, {}, {}, S::Open},
        {S::Open, Op::Start, "", true, {"start"}, {S::Starting, S::Running}, S::Running},
        {S::Open, Op::Stop, "", true, {}, {}, S::Open},
        {S::Open, Op::Pause, "", false, {}, {}, S::Open},
        {S::Open, Op::Resume, "", false, {}, {}, S::Open},
        {S::Open, Op::Close, "", true, {"close"}, {S::Closing, S::Closed}, S::Closed},

        {S::Running, Op::Open, "", true, {}, {}, S::Running},
        {S::Running, Op::Start, "", true, {}, {}, S::Running},
        {S::Running, Op::Stop, "", true, {"stop"}, {S::Stopping, S::Open}, S::Open},
        {S::Running, Op::Pause, "", true, {"pause"}, {S::Pausing, S::Paused}, S::Paused},
        {S::Running, Op::Resume, "", true, {}, {}, S::Running},
        {S::Running,
         Op::Close,
         "",
         true,
         {"stop", "close"},
         {S::Stopping, S::Open, S::Closing, S::Closed},
         S::Closed},

        {S::Paused, Op::Open, "", true, {}, {}, S::Paused},
        {S::Paused, Op::Start, "", false, {}, {}, S::Paused},
        {S::Paused, Op::Stop, "", true, {"stop"}, {S::Stopping, S::Open}, S::Open},
        {S::Paused, Op::Pause, "", true, {}, {}, S::Paused},
        {S::Paused, Op::Resume, "", true, {"resume"}, {S::Resuming, S::Running}, S::Running},
        {S::Paused,
         Op::Close,
         "",
         true,
         {"stop", "close"},
         {S::Stopping, S::Open, S::Closing, S::Closed},
         S::Closed},

        // Failing hooks.
        {S::Closed, Op::Open, "open", false, {"open", "close"}, {S::Opening, S::Closed}, S::Closed},
        {S::Open, Op::Start, "start", false, {"start"}, {S::Starting, S::Open}, S::Open},
        {S::Running, Op::Stop, "stop", false, {"stop"}, {S::Stopping, S::Open}, S::Open},
        {S::Running, Op::Pause, "pause", false, {"pause"}, {S::Pausing, S::Running}, S::Running},
        {S::Paused, Op::Resume, "resume", false, {"resume"}, {S::Resuming, S::Paused}, S::Paused},
        {S::Open, Op::Close, "close", false, {"close"}, {S::Closing, S::Closed}, S::Closed},
        {S::Running,
         Op::Close,
         "stop",
         true,
         {"stop", "close"},
         {S::Stopping, S::Open, S::Closing, S::Closed},
         S::Closed},
        {S::Running,
         Op::Close,
         "close",
         false,
         {"stop", "close"},
         {S::Stopping, S::Open, S::Closing, S::Closed},
         S::Closed},
    };

    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(Stream::stateName(row.from)) + " " + opName(row.op) +
                     (row.failing.empty() ? "" : ", failing " + row.failing));
        TestStream stream(true);
        bringTo(stream, row.from);
        stream.failingHook = row.failing;

        EXPECT_EQ(apply(stream, row.op), row.result);
        EXPECT_EQ(stream.hooks(), row.hooks);
        EXPECT_EQ(stream.newStates(), row.emitted);
        EXPECT_EQ(stream.currentState(), row.to);

        // Every change is reported with the state it left.
        State previous = row.from;
        for (const auto& change : stream.changes()) {
            EXPECT_EQ(change.oldState, previous);
            previous = change.newState;
        }
        stream.failingHook.clear();
    }
}

TEST(Stream, OperationsInTransitionalStatesAreRefused) {
    struct Phase {
        State transitional;
        State from;
        Op trigger;
        std::string hook;
        State to;
    };
    const std::vector<Phase> phases = {
        {Stream::Opening, Stream::Closed, Op::Open, "open", Stream::Open},
        {Stream::Starting, Stream::Open, Op::Start, "start", Stream::Running},
        {Stream::Pausing, Stream::Running, Op::Pause, "pause", Stream::Paused},
        {Stream::Resuming, Stream::Paused, Op::Resume, "resume", Stream::Running},
        {Stream::Stopping, Stream::Running, Op::Stop, "stop", Stream::Open},
        {Stream::Closing, Stream::Open, Op::Close, "close", Stream::Closed},
    };
    for (const Phase& phase : phases) {
        for (Op op : allOps) {
            SCOPED_TRACE(std::string(opName(op)) + " while " + Stream::stateName(phase.transitional));
            TestStream stream(true);
            bringTo(stream, phase.from);
            State seen = Stream::Closed;
            bool nestedResult = true;
            stream.during(phase.hook, [&] {
                seen = stream.currentState();
                nestedResult = apply(stream, op);
            });

            EXPECT_TRUE(apply(stream, phase.trigger));
            EXPECT_EQ(seen, phase.transitional);
            EXPECT_FALSE(nestedResult);
            EXPECT_EQ(stream.hooks(), Hooks{phase.hook});
            EXPECT_EQ(stream.currentState(), phase.to);
        }
    }
}

TEST(Stream, PauseNeedsPausingSupport) {
    TestStream stream(false);
    bringTo(stream, Stream::Running);
    EXPECT_FALSE(stream.pause());
    EXPECT_TRUE(stream.hooks().empty());
    EXPECT_EQ(stream.currentState(), Stream::Running);
}

TEST(Stream, ReceiverMayCloseTheStreamWhenItSeesItRunning) {
    TestStream stream;
    bringTo(stream, Stream::Open);
    bool closed = false;
    auto connection = stream.signalStateChanged.connect([&](const Stream::StateChange& change) {
        if (change.newState == Stream::Running) {
            closed = stream.close();
        }
    });

    EXPECT_TRUE(stream.start());
    EXPECT_TRUE(closed);
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(stream.hooks(), (Hooks{"start", "stop", "close"}));
    EXPECT_FALSE(stream.stopDuringPass);
    // The changes made inside the receiver reach every receiver after the change that caused them, so a
    // state mirror ends where the stream is.
    EXPECT_EQ(stream.newStates(), (States{Stream::Starting, Stream::Running, Stream::Stopping, Stream::Open,
                                          Stream::Closing, Stream::Closed}));
    State previous = Stream::Open;
    for (const auto& change : stream.changes()) {
        EXPECT_EQ(change.oldState, previous);
        previous = change.newState;
    }
}

namespace {
/// Sets a flag when the thread that created it ends.
struct ThreadExitMarker {
    std::atomic<bool>* flag = nullptr;
    ~ThreadExitMarker() {
        if (flag != nullptr) {
            *flag = true;
        }
    }
};
}  // namespace

TEST(Stream, WorkerRunsDoWorkRepeatedlyUntilStopJoinsIt) {
    TestStream stream;
    std::mutex mutex;  // guards threads
    std::vector<std::thread::id> threads;
    std::atomic<bool> workerExited{false};
    std::atomic<int> exitedAtStopImpl{-1};
    Gate stopping;
    auto connection = stream.signalStateChanged.connect([&](const Stream::StateChange& change) {
        if (change.newState == Stream::Stopping) {
            stopping.open();
        }
    });
    stream.work = [&](int pass) -> std::optional<Stream::WorkContinuation> {
        thread_local ThreadExitMarker marker;
        marker.flag = &workerExited;
        {
            std::lock_guard<std::mutex> lock(mutex);
            threads.push_back(std::this_thread::get_id());
        }
        if (pass == 5) {
            stopping.wait();  // still inside this pass when the stop is asked for
        }
        return Stream::WorkContinuation{std::chrono::system_clock::now()};
    };
    bringTo(stream, Stream::Open);
    stream.during("stop", [&] { exitedAtStopImpl = workerExited ? 1 : 0; });
    EXPECT_EQ(stream.passes, 0);

    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(waitFor([&] { return stream.passes >= 5; }));
    ASSERT_TRUE(stream.stop());

    // stopImpl ran only after the worker had finished its pass and ended.
    EXPECT_EQ(exitedAtStopImpl, 1);
    EXPECT_FALSE(stream.stopDuringPass);
    EXPECT_EQ(stream.passes, 5);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(threads.size(), 5u);
    EXPECT_NE(threads.front(), std::this_thread::get_id());
    for (const auto& id : threads) {
        EXPECT_EQ(id, threads.front());
    }
}

TEST(Stream, ContinuationFarInTheFutureIsHonouredAndStopWakesTheWorker) {
    TestStream stream;
    stream.work = [](int) -> std::optional<Stream::WorkContinuation> {
        return Stream::WorkContinuation{std::chrono::system_clock::now() + 24h};
    };
    bringTo(stream, Stream::Open);
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(waitFor([&] { return stream.passes >= 1; }));

    // Returns only because the sleeping worker is woken; a second pass would mean the time was ignored.
    EXPECT_TRUE(stream.stop());
    EXPECT_EQ(stream.passes, 1);
}

TEST(Stream, EmptyContinuationEndsTheWorkerButNotTheRun) {
    TestStream stream;
    stream.work = [](int) -> std::optional<Stream::WorkContinuation> { return std::nullopt; };
    bringTo(stream, Stream::Open);
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(waitFor([&] { return stream.passes >= 1; }));
    EXPECT_EQ(stream.currentState(), Stream::Running);

    EXPECT_TRUE(stream.stop());
    EXPECT_EQ(stream.passes, 1);
    EXPECT_EQ(stream.currentState(), Stream::Open);
}

TEST(Stream, ExceptionFromDoWorkIsLoggedAndEndsTheWorker) {
    TestSupport::LogCapture log;
    TestStream stream;
    // The pass has its next call (at once) in hand when it throws: that must not keep the worker going.
    stream.interval = 0ms;
    stream.work = [](int) -> std::optional<Stream::WorkContinuation> { throw std::runtime_error("boom"); };
    bringTo(stream, Stream::Open);
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(waitFor([&] { return stream.passes >= 1; }));

    EXPECT_TRUE(stream.close());
    EXPECT_EQ(stream.passes, 1);
    EXPECT_EQ(log.count(Log::Error, "Stream", "test: the worker pass failed and the worker ends: boom"), 1);
}

TEST(Stream, CloseFromTheWorkerThreadClosesWithoutJoiningItself) {
    TestStream stream;
    std::atomic<int> closeResult{-1};
    std::atomic<int> stateAfterClose{-1};
    stream.work = [&](int pass) -> std::optional<Stream::WorkContinuation> {
        if (pass == 1) {
            closeResult = stream.close() ? 1 : 0;
            stateAfterClose = stream.currentState();
        }
        return Stream::WorkContinuation{std::chrono::system_clock::now()};
    };
    bringTo(stream, Stream::Open);
    const auto control = std::this_thread::get_id();
    ASSERT_TRUE(stream.start());

    ASSERT_TRUE(waitFor([&] { return closeResult != -1; }));
    EXPECT_EQ(closeResult, 1);
    EXPECT_EQ(stateAfterClose, Stream::Closed);
    EXPECT_EQ(stream.hooks(), (Hooks{"start", "stop", "close"}));
    const auto threads = stream.hookThreads();
    EXPECT_EQ(threads.at(0), control);
    EXPECT_NE(threads.at(1), control);
    EXPECT_EQ(threads.at(2), threads.at(1));

    // The next control operation joins the finished worker; the pass that closed was its last.
    EXPECT_TRUE(stream.close());
    EXPECT_EQ(stream.passes, 1);
    EXPECT_EQ(stream.hooks().size(), 3u);
    EXPECT_EQ(stream.newStates(), (States{Stream::Starting, Stream::Running, Stream::Stopping, Stream::Open,
                                          Stream::Closing, Stream::Closed}));

    // The stream can run again after its worker closed it.
    EXPECT_TRUE(stream.open());
    EXPECT_TRUE(stream.start());
    EXPECT_TRUE(waitFor([&] { return stream.passes >= 2; }));
    EXPECT_TRUE(stream.close());
}

TEST(Stream, WorkerThatStoppedItsStreamCannotRestartIt) {
    TestStream stream;
    std::atomic<int> results{-1};
    std::atomic<bool> armed{false};  // the worker acts only once the stream is set up
    stream.work = [&](int) -> std::optional<Stream::WorkContinuation> {
        if (armed.exchange(false)) {
            results = (stream.stop() ? 10 : 0) + (stream.start() ? 1 : 0);
        }
        return Stream::WorkContinuation{std::chrono::system_clock::now()};
    };
    bringTo(stream, Stream::Running);
    armed = true;
    ASSERT_TRUE(waitFor([&] { return results != -1; }));
    EXPECT_EQ(results, 10);
    EXPECT_EQ(stream.currentState(), Stream::Open);

    // From the control thread the finished worker is joined and a new one runs.
    EXPECT_TRUE(stream.start());
    EXPECT_TRUE(waitFor([&] { return stream.passes >= 2; }));
    EXPECT_EQ(stream.hooks(), (Hooks{"stop", "start"}));
}

TEST(Stream, CloseAsyncFromTheWorkerRunsAfterThePass) {
    TestStream stream;
    std::mutex mutex;  // guards kept
    std::future<bool> kept;
    std::atomic<int> closesDuringPass{-1};
    stream.work = [&](int pass) -> std::optional<Stream::WorkContinuation> {
        if (pass == 1) {
            stream.closeAsync();  // dropped without waiting, as a failing pass does
            std::future<bool> second = stream.closeAsync();
            {
                std::lock_guard<std::mutex> lock(mutex);
                kept = std::move(second);
            }
            int closes = 0;
            for (const auto& h : stream.hooks()) {
                closes += h == "close" ? 1 : 0;
            }
            closesDuringPass = closes;
        }
        return Stream::WorkContinuation{std::chrono::system_clock::now()};
    };
    bringTo(stream, Stream::Open);
    ASSERT_TRUE(stream.start());

    ASSERT_TRUE(waitFor([&] { return stream.currentState() == Stream::Closed; }));
    EXPECT_EQ(closesDuringPass, 0);
    std::future<bool> future;
    {
        std::lock_guard<std::mutex> lock(mutex);
        future = std::move(kept);
    }
    ASSERT_TRUE(future.valid());
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(future.get());
    EXPECT_TRUE(stream.close());
    EXPECT_EQ(stream.hooks(), (Hooks{"start", "stop", "close"}));
    EXPECT_EQ(stream.passes, 1);
}

TEST(Stream, CloseAsyncFromAnotherThreadClosesAtOnce) {
    TestStream stream;
    bringTo(stream, Stream::Running);
    std::future<bool> future = stream.closeAsync();
    ASSERT_EQ(future.wait_for(0s), std::future_status::ready);
    EXPECT_TRUE(future.get());
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(stream.hooks(), (Hooks{"stop", "close"}));
}

TEST(Stream, WorkerCloseDuringAStopIsCarriedOutByTheStoppingThread) {
    TestStream stream;
    Gate stopping;
    std::atomic<int> workerClose{-1};
    auto connection = stream.signalStateChanged.connect([&](const Stream::StateChange& change) {
        if (change.newState == Stream::Stopping) {
            stopping.open();
        }
    });
    stream.work = [&](int pass) -> std::optional<Stream::WorkContinuation> {
        if (pass == 1) {
            // The control thread is stopping and about to join this thread: the close must not wait.
            if (stopping.wait()) {
                workerClose = stream.close() ? 1 : 0;
            }
        }
        return Stream::WorkContinuation{std::chrono::system_clock::now()};
    };
    bringTo(stream, Stream::Open);
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(waitFor([&] { return stream.passes >= 1; }));

    EXPECT_TRUE(stream.stop());
    EXPECT_EQ(workerClose, 0);
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(stream.hooks(), (Hooks{"start", "stop", "close"}));
    EXPECT_FALSE(stream.stopDuringPass);
}

TEST(Stream, CloseFromAnotherThreadWaitsForTheWorkersClose) {
    TestStream stream;
    Gate closing;
    Gate proceed;
    std::atomic<int> workerClose{-1};
    stream.work = [&](int pass) -> std::optional<Stream::WorkContinuation> {
        if (pass == 1) {
            workerClose = stream.close() ? 1 : 0;
        }
        return Stream::WorkContinuation{std::chrono::system_clock::now()};
    };
    bringTo(stream, Stream::Open);
    stream.during("close", [&] {
        closing.open();
        proceed.wait();
    });
    ASSERT_TRUE(stream.start());
    ASSERT_TRUE(closing.wait());

    // The worker is inside closeImpl: a close from here must neither run closeImpl again nor return before
    // the worker's close is complete.
    std::atomic<int> otherClose{-1};
    std::atomic<int> stateSeen{-1};
    std::thread other([&] {
        otherClose = stream.close() ? 1 : 0;
        stateSeen = stream.currentState();
    });
    proceed.open();
    other.join();

    EXPECT_EQ(workerClose, 1);
    EXPECT_EQ(otherClose, 1);
    EXPECT_EQ(stateSeen, Stream::Closed);
    EXPECT_EQ(stream.hooks(), (Hooks{"start", "stop", "close"}));
}

namespace {
/// A stream whose destructor leaves the closing to Stream: only the join remains.
class UnclosedStream : public Stream {
public:
    UnclosedStream() : Stream("unclosed") {}
    std::atomic<int> passes{0};

protected:
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    // Worker thread.
    std::optional<WorkContinuation> doWork() override {
        ++passes;
        return WorkContinuation{std::chrono::system_clock::now() + 24h};
    }
};
}  // namespace

TEST(Stream, DestructorJoinsASleepingWorker) {
    auto stream = std::make_unique<UnclosedStream>();
    ASSERT_TRUE(stream->open());
    ASSERT_TRUE(stream->start());
    ASSERT_TRUE(waitFor([&] { return stream->passes >= 1; }));
    stream.reset();  // would terminate on a joinable thread, or hang on an unwoken one
    SUCCEED();
}

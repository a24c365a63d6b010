// One run's end: whatever ends it wakes the waiting thread, which looks once more and says why it ended.
#include "halvoren/console/Interrupts.h"
#include "halvoren/session/RunController.h"

#include "health/TrackingHealth.h"
#include "host/Stream.h"
#include "output/OutputHub.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using Halvoren::App::RunController;
using Halvoren::App::RunEnd;

/// A stream that runs and delivers nothing.
class IdleStream : public Halvoren::Stream {
public:
    IdleStream() : Stream("idle") {}
    ~IdleStream() override { close(); }

protected:
    bool openImpl() override { return true; }
    bool closeImpl() override { return true; }
    bool startImpl() override { return true; }
    bool stopImpl() override { return true; }
    std::optional<WorkContinuation> doWork() override {
        return WorkContinuation{std::chrono::system_clock::now() + std::chrono::milliseconds(20)};
    }
};

}  // namespace

TEST(RunController, EachEndWakesTheRunWhichLooksOnlyWhenWoken) {
    const Halvoren::App::Interrupts interrupts;
    IdleStream stream;
    ASSERT_TRUE(stream.open() && stream.start());
    const Halvoren::Health::TrackingHealth health({});
    std::ostringstream err;

    // Each end comes from another thread a while after the run began to wait; a run that polled would
    // look many times meanwhile. The limit only keeps a broken wake-up from hanging the test.
    using Cause = std::function<void(RunController&, Halvoren::Output::OutputHub&)>;
    std::atomic<bool> done{false};
    const auto endsWith = [&](const Cause& cause) {
        Halvoren::Output::OutputHub outputs;
        RunController controller(stream, outputs, health, err);
        int looks = 0;
        RunController::Plan plan;
        plan.turn = [&looks] { ++looks; };
        plan.done = [&done] { return done.load(); };
        plan.limit = std::chrono::seconds(60);
        std::thread later([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            cause(controller, outputs);
        });
        const RunEnd end = controller.run(plan);
        later.join();
        EXPECT_LE(looks, 4) << "the run looked without being woken";
        return end;
    };

    EXPECT_EQ(endsWith([&done](RunController& controller, auto&) {
                  done = true;
                  controller.wake();
              }),
              RunEnd::Done);
    done = false;
    EXPECT_EQ(endsWith([&stream](auto&, auto&) { stream.stop(); }), RunEnd::StreamStopped);
    ASSERT_TRUE(stream.start());
    EXPECT_EQ(endsWith([](auto&, Halvoren::Output::OutputHub& outputs) { outputs.cut(); }), RunEnd::Cut);
    EXPECT_EQ(endsWith([](auto&, auto&) { ::kill(::getpid(), SIGTERM); }), RunEnd::Interrupted);
    EXPECT_EQ(err.str(), "");  // no terminal: no progress line
}

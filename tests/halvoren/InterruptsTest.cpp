// SIGINT, SIGTERM and SIGHUP while a command runs: a flag and a wake-up instead of the end of the process,
// a second flag for a second signal, and the handlers that were there before given back afterwards.
#include "halvoren/console/Interrupts.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <atomic>

namespace {

std::atomic<int> g_before{0};

extern "C" void countBefore(int) {
    ++g_before;
}

bool readable(int fd) {
    pollfd wake{fd, POLLIN, 0};
    return ::poll(&wake, 1, 0) == 1;
}

}  // namespace

TEST(Interrupts, EachSignalSetsTheFlagAndWakesAWaiterASecondCutsShortThenThePreviousHandlersComeBack) {
    using Halvoren::App::Interrupts;
    g_before = 0;
    struct sigaction before {};
    before.sa_handler = countBefore;
    sigemptyset(&before.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &before, nullptr), 0);
    ASSERT_EQ(::sigaction(SIGTERM, &before, nullptr), 0);
    ASSERT_EQ(::sigaction(SIGHUP, &before, nullptr), 0);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const Interrupts interrupts;
        ASSERT_GE(Interrupts::wakeFd(), 0);
        EXPECT_FALSE(Interrupts::requested());
        EXPECT_FALSE(readable(Interrupts::wakeFd()));
        ASSERT_EQ(::raise(signal), 0);
        EXPECT_TRUE(Interrupts::requested());
        EXPECT_FALSE(Interrupts::cutShort());
        EXPECT_EQ(Interrupts::signalNumber(), signal);
        EXPECT_TRUE(readable(Interrupts::wakeFd()));
        Interrupts::drainWake();
        EXPECT_FALSE(readable(Interrupts::wakeFd()));
        ASSERT_EQ(::raise(SIGINT), 0);
        EXPECT_TRUE(Interrupts::cutShort());
        EXPECT_EQ(Interrupts::signalNumber(), signal);  // the first one
        Interrupts::drainWake();
    }
    EXPECT_TRUE(Interrupts::requested());  // for the run's summary
    EXPECT_EQ(g_before.load(), 0);
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(::raise(SIGHUP), 0);
    EXPECT_EQ(g_before.load(), 3);

    // SIGPIPE ignored: a write to a pipe nobody reads fails instead of ending the process.
    Interrupts::ignoreClosedPipes();
    int ends[2] = {-1, -1};
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    EXPECT_EQ(::write(ends[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(ends[1]);
}

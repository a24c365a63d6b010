// Ctrl-C and SIGTERM while a command runs: a flag and a wake-up instead of the end of the process, and the
// handlers that were there before given back afterwards.
#include "halvoren/Interrupts.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

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

TEST(Interrupts, EitherSignalSetsTheFlagAndWakesAWaiterThenThePreviousHandlersComeBack) {
    using Halvoren::App::Interrupts;
    struct sigaction before {};
    before.sa_handler = countBefore;
    sigemptyset(&before.sa_mask);
    ASSERT_EQ(::sigaction(SIGINT, &before, nullptr), 0);
    ASSERT_EQ(::sigaction(SIGTERM, &before, nullptr), 0);
    for (const int signal : {SIGINT, SIGTERM}) {
        const Interrupts interrupts;
        ASSERT_GE(interrupts.wakeFd(), 0);
        EXPECT_FALSE(Interrupts::requested());
        EXPECT_FALSE(readable(interrupts.wakeFd()));
        ASSERT_EQ(::raise(signal), 0);
        EXPECT_TRUE(Interrupts::requested());
        EXPECT_TRUE(readable(interrupts.wakeFd()));
        interrupts.drainWake();
        EXPECT_FALSE(readable(interrupts.wakeFd()));
    }
    EXPECT_TRUE(Interrupts::requested());  // for the run's summary
    EXPECT_EQ(g_before.load(), 0);
    ASSERT_EQ(::raise(SIGINT), 0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_EQ(g_before.load(), 2);
}

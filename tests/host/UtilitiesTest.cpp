#include "host/Utilities.h"

#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

using namespace Halvoren;

TEST(Utilities, SplitKeepsEmptyPiecesUnlessAskedNotTo) {
    using V = std::vector<std::string>;
    EXPECT_EQ(String::split("IO;Atracsys Tracking;SpryTrack", ";"),
              (V{"IO", "Atracsys Tracking", "SpryTrack"}));
    EXPECT_EQ(String::split(";a;;b;", ";"), (V{"", "a", "", "b", ""}));
    EXPECT_EQ(String::split("", ";"), V{});
    EXPECT_EQ(String::split("whole", ";"), V{"whole"});
    EXPECT_EQ(String::split("a::b:c", "::"), (V{"a", "b:c"}));
    EXPECT_EQ(String::split("abc", ""), V{"abc"});
    EXPECT_EQ(String::split(";a;;b;", ";", String::SkipEmptyParts), (V{"a", "b"}));
}

TEST(Utilities, PathExistenceAndAbsoluteForm) {
    namespace fs = std::filesystem;
    const fs::path previous = fs::current_path();
    const fs::path dir = fs::temp_directory_path() / ("halvoren_path_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    std::ofstream("marker.ini") << "x";

    Filesystem::Path relative("marker.ini");
    EXPECT_TRUE(relative.exists());
    EXPECT_TRUE(relative.isRelative());
    relative.makeAbsolute();
    EXPECT_FALSE(relative.isRelative());
    EXPECT_EQ(fs::path(relative.string()), dir / "marker.ini");
    EXPECT_TRUE(relative.exists());

    EXPECT_FALSE(Filesystem::Path("missing.ini").exists());
    EXPECT_FALSE(Filesystem::Path("").exists());
    EXPECT_FALSE(Filesystem::Path(dir.string()).isRelative());

    fs::current_path(previous);
    fs::remove_all(dir);
}

TEST(Utilities, CurrentTimeIsMillisecondsSinceTheEpoch) {
    using namespace std::chrono;
    const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const auto now = DateTime::currentMillisecondsSinceEpochUtc();
    const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    EXPECT_GE(now, static_cast<std::uint64_t>(before));
    EXPECT_LE(now, static_cast<std::uint64_t>(after));
}

TEST(Utilities, WorkQueuedOnTheMainThreadRunsLaterEvenWithTheHandleDropped) {
    ASSERT_TRUE(QtHelpers::isMainThread());
    bool dropped = false;
    QtHelpers::runOnMainThread([&] { dropped = true; });
    bool kept = false;
    auto command = QtHelpers::runOnMainThread([&] { kept = true; });
    // The caller may hold what the work needs: nothing runs before the event loop gets to it.
    EXPECT_FALSE(dropped);
    EXPECT_FALSE(kept);
    EXPECT_FALSE(command->isDone());
    command->wait();  // runs the queue meanwhile
    EXPECT_TRUE(kept);
    EXPECT_TRUE(TestSupport::waitFor([&] { return dropped; }));
    EXPECT_TRUE(QtHelpers::runOnMainThread(nullptr)->isDone());
}

TEST(Utilities, WorkQueuedFromAnotherThreadRunsOnTheMainThreadWithTheHandleDropped) {
    QThread* const mainThread = QCoreApplication::instance()->thread();
    std::atomic<bool> ran{false};
    std::atomic<bool> onMainThread{false};
    std::atomic<bool> callerWasMain{true};
    std::thread caller([&] {
        callerWasMain = QtHelpers::isMainThread();
        QtHelpers::runOnMainThread([&] {
            onMainThread = QThread::currentThread() == mainThread;
            ran = true;
        });  // handle dropped at once
    });
    caller.join();
    EXPECT_FALSE(callerWasMain.load());
    EXPECT_TRUE(TestSupport::waitFor([&] { return ran.load(); }));
    EXPECT_TRUE(onMainThread.load());
}

TEST(Utilities, WaitOnAnotherThreadReturnsOnceTheMainThreadRanTheWork) {
    std::atomic<bool> ran{false};
    std::atomic<bool> ranBeforeWaitReturned{false};
    std::atomic<bool> waited{false};
    std::thread caller([&] {
        auto command = QtHelpers::runOnMainThread([&] { ran = true; });
        command->wait();
        ranBeforeWaitReturned = ran.load() && command->isDone();
        waited = true;
    });
    EXPECT_TRUE(TestSupport::waitFor([&] { return waited.load(); }));
    caller.join();
    EXPECT_TRUE(ranBeforeWaitReturned.load());
}

TEST(Utilities, ThrowingQueuedWorkIsLoggedAndStillFinishes) {
    TestSupport::LogCapture log;
    std::atomic<bool> waited{false};
    std::thread caller([&] {
        QtHelpers::runOnMainThread([] { throw std::runtime_error("boom"); })->wait();
        waited = true;
    });
    EXPECT_TRUE(TestSupport::waitFor([&] { return waited.load(); }));
    caller.join();
    EXPECT_EQ(log.count(Log::Error, "QtHelpers", "Work run on the main thread threw: boom"), 1);
}

#include "GroupTestStream.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

using namespace Halvoren;
using TestSupport::FlaggedSubstream;
using TestSupport::GroupTestStream;

namespace {

struct Cameras {
    Stream* left;
    Stream* right;
};

Cameras addCameras(GroupTestStream& stream) {
    auto left = std::make_unique<FlaggedSubstream>(stream, "Camera (left)");
    auto right = std::make_unique<FlaggedSubstream>(stream, "Camera (right)");
    Cameras cameras{left.get(), right.get()};
    EXPECT_TRUE(stream.addSubstream(std::move(left)));
    EXPECT_TRUE(stream.addSubstream(std::move(right)));
    return cameras;
}

}  // namespace

TEST(Substream, FollowsTheMainStreamState) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    const Cameras cameras = addCameras(stream);
    EXPECT_EQ(cameras.left->currentState(), Stream::Closed);

    ASSERT_TRUE(stream.open());
    EXPECT_EQ(cameras.left->currentState(), Stream::Open);
    EXPECT_EQ(cameras.right->currentState(), Stream::Open);

    ASSERT_TRUE(stream.start());
    EXPECT_EQ(cameras.left->currentState(), Stream::Running);
    EXPECT_EQ(cameras.right->currentState(), Stream::Running);

    ASSERT_TRUE(stream.close());
    EXPECT_EQ(cameras.left->currentState(), Stream::Closed);
    EXPECT_EQ(cameras.right->currentState(), Stream::Closed);
}

TEST(Substream, CreatedWhileTheMainStreamIsOpenStartsOpen) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    ASSERT_TRUE(stream.open());
    const Cameras cameras = addCameras(stream);
    EXPECT_EQ(cameras.left->currentState(), Stream::Open);
    EXPECT_EQ(cameras.right->currentState(), Stream::Open);
}

TEST(Substream, ControlActsOnTheWholeTrackingStream) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    const Cameras cameras = addCameras(stream);

    ASSERT_TRUE(cameras.right->open());
    EXPECT_EQ(stream.currentState(), Stream::Open);
    EXPECT_EQ(cameras.left->currentState(), Stream::Open);

    ASSERT_TRUE(cameras.right->start());
    EXPECT_EQ(stream.currentState(), Stream::Running);
    EXPECT_EQ(cameras.left->currentState(), Stream::Running);

    // Closing "Camera (left)" closes the tracking stream; both cameras follow it.
    ASSERT_TRUE(cameras.left->close());
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(cameras.left->currentState(), Stream::Closed);
    EXPECT_EQ(cameras.right->currentState(), Stream::Closed);
}

// A worker of the substream's own could still be entering doWork() when the substream is destroyed.
TEST(Substream, StartingItRunsTheMainStreamsWorkerOnly) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    auto owned = std::make_unique<FlaggedSubstream>(stream, "Camera (left)");
    FlaggedSubstream* camera = owned.get();
    ASSERT_TRUE(stream.addSubstream(std::move(owned)));
    ASSERT_TRUE(camera->open());
    ASSERT_TRUE(camera->start());
    EXPECT_EQ(stream.currentState(), Stream::Running);
    // A worker's first pass comes at once; a busy machine is given time to show one.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(camera->workPasses(), 0);
    ASSERT_TRUE(camera->stop());
    EXPECT_EQ(stream.currentState(), Stream::Open);
}

TEST(Substream, DestroyingItWhileTheMainStreamRunsLeavesTheMainStreamRunning) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    const Cameras cameras = addCameras(stream);
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());

    auto loose = std::make_unique<FlaggedSubstream>(stream, "Camera (extra)");
    ASSERT_EQ(loose->currentState(), Stream::Running);
    loose.reset();
    EXPECT_EQ(stream.currentState(), Stream::Running);

    // Through the group as well: removal, then the next frame destroys it.
    ASSERT_TRUE(stream.removeSubstream(cameras.left));
    stream.emitMainAndSubSignals(std::make_shared<CompoundStreamData>(nullptr), true);
    EXPECT_EQ(stream.currentState(), Stream::Running);
    EXPECT_EQ(cameras.right->currentState(), Stream::Running);

    // The destroyed substreams no longer listen to the main stream's state.
    ASSERT_TRUE(stream.stop());
    EXPECT_EQ(cameras.right->currentState(), Stream::Open);
}

// The group destroys removed substreams on the worker thread while the control thread may be announcing a
// state change of the main stream to them (start announces Running after the worker began).
TEST(Substream, DestroyingItWhileAnotherThreadChangesTheMainStateIsSafe) {
    TestSupport::LogCapture log;
    GroupTestStream stream;
    ASSERT_TRUE(stream.open());
    std::atomic<bool> done{false};
    std::atomic<int> cycles{0};
    std::thread destroyer([&] {
        // The state changes run while substreams come and go, however fast either side is.
        while (cycles == 0) {
            std::this_thread::yield();
        }
        for (int i = 0; i < 2000; ++i) {
            auto loose = std::make_unique<FlaggedSubstream>(stream, "Camera (extra)");
            loose.reset();
        }
        done = true;
    });
    do {
        EXPECT_TRUE(stream.start());
        ++cycles;
        EXPECT_TRUE(stream.stop());
    } while (!done);
    destroyer.join();
    EXPECT_EQ(stream.currentState(), Stream::Open);
}

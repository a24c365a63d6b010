#include "calibration/FrameCollector.h"
#include "support/NullStream.h"

#include "host/TrackingStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using Halvoren::Calibration::FrameCollector;

// A collector is made and dropped while the stream's worker goes on handing frames over: dropping it
// waits for a hand-over in flight instead of leaving the worker inside a destroyed collector.
TEST(FrameCollector, MayBeDroppedWhileTheWorkerHandsFramesOver) {
    TestSupport::NullStream<Halvoren::Stream> stream;
    Halvoren::TrackingInstrument instrument;
    instrument.id.ID = "tool";
    instrument.quality = 1.0;
    const auto data = std::make_shared<const Halvoren::TrackingStreamData>(
        &stream, std::vector<Halvoren::TrackingInstrument>{instrument});
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            stream.signalStreamData.emitSignal(data);
        }
    });
    for (int i = 0; i < 100; ++i) {
        FrameCollector collector(stream, "tool");
        ASSERT_TRUE(collector.waitFor(2, std::chrono::seconds(30)));
        const auto frames = collector.take();
        ASSERT_GE(frames.size(), 2u);
        EXPECT_TRUE(frames.front().pose.has_value());
    }
    stop = true;
    worker.join();
}

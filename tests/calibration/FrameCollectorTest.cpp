#include "calibration/FrameCollector.h"
#include "output/OutputHub.h"
#include "support/NullStream.h"

#include "host/TrackingStream.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using Halvoren::Calibration::FrameCollector;

// Collectors come and go among the run's outputs while the stream's worker goes on handing frames over:
// each gets the frames from its coming, and removing it never leaves the worker inside a gone collector.
TEST(FrameCollector, ComesAndGoesWhileTheWorkerHandsFramesOver) {
    TestSupport::NullStream<Halvoren::Stream> stream;
    Halvoren::TrackingInstrument instrument;
    instrument.id.ID = "tool";
    instrument.quality = 1.0;
    const auto data = std::make_shared<const Halvoren::TrackingStreamData>(
        &stream, std::vector<Halvoren::TrackingInstrument>{instrument});
    Halvoren::Output::OutputHub outputs;
    outputs.listen(stream);
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            stream.signalStreamData.emitSignal(data);
        }
    });
    for (int i = 0; i < 100; ++i) {
        auto collector = std::make_shared<FrameCollector>("tool");
        outputs.add(collector);
        ASSERT_TRUE(collector->waitFor(2, std::chrono::seconds(30)));
        outputs.remove(collector);
        const auto frames = collector->takeFrames();
        ASSERT_GE(frames.size(), 2u);
        EXPECT_TRUE(frames.front().pose.has_value());
    }
    stop = true;
    worker.join();
    outputs.finish();
}

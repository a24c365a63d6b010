// The control thread changes markers and the stream's life while the worker streams frames.
#include "stream/AtracsysTrackingStream.h"
#include "stream/StreamTestAccess.h"

#include "support/DriverScript.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using TestSupport::LogCapture;

namespace {

/// A frame in which the markers 1001 to 1004 are seen, each with four fiducials.
ftksim::ScriptedFrame frameWithMarkers() {
    ftksim::ScriptedFrame frame;
    for (std::uint32_t m = 0; m < 4; ++m) {
        ftkMarkerPose marker{};
        marker.geometryId = 1001 + m;
        for (std::uint32_t k = 0; k < FTK_MAX_GEOMETRY_FIDUCIALS; ++k) {
            marker.correspondences[k] = k < 4 ? 4 * m + k : FTK_NO_CORRESPONDENCE;
        }
        marker.rotation[0][0] = marker.rotation[1][1] = marker.rotation[2][2] = 1.0f;
        marker.translation[2] = 900.0f + 50.0f * static_cast<float>(m);
        marker.registrationError = 0.3f;
        frame.markers.push_back(marker);
        for (std::uint32_t k = 0; k < 4; ++k) {
            ftkFiducial3D f{};
            f.leftIndex = f.rightIndex = 4 * m + k;
            f.position = {10.0f * static_cast<float>(k), 0.0f, marker.translation[2]};
            f.probability = 1.0f;
            frame.fiducials.push_back(f);
            ftkRawDetection raw{};
            raw.centerX = 100.0f + static_cast<float>(k);
            raw.centerY = 200.0f;
            raw.width = raw.height = 5;
            raw.pixelCount = 20;
            frame.leftRaw.push_back(raw);
            frame.rightRaw.push_back(raw);
        }
    }
    frame.width = 64;
    frame.height = 48;
    frame.leftPixels.assign(64 * 48, 10);
    frame.rightPixels.assign(64 * 48, 20);
    return frame;
}

std::unique_ptr<OpticalTrackingMarker> square(std::uint32_t id) {
    auto marker = std::make_unique<OpticalTrackingMarker>("marker " + std::to_string(id), id);
    for (const auto& p : TestSupport::squareMarker()) {
        marker->addFiducial(Eigen::Vector3d(p[0], p[1], p[2]));
    }
    return marker;
}

}  // namespace

TEST(Stress, MarkersAndLifeChangeWhileTheWorkerStreams) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    sim.setRepeatFrame(frameWithMarkers());
    AtracsysTrackingStream stream;
    stream.setQueryImages(true);
    stream.setFiducialQueryMode(AtracsysTrackingStreamBase::All);

    std::atomic<int> frames{0};
    std::atomic<int> updates{0};
    auto data = stream.signalStreamData.connect([&](const std::shared_ptr<const StreamData>& d) {
        // Worker thread: read everything the frame carries.
        const auto* tracking = dynamic_cast<const TrackingStreamData*>(d.get());
        ASSERT_NE(tracking, nullptr);
        double sum = 0;
        for (const TrackingInstrument& instrument : tracking->instruments()) {
            sum += instrument.quality;
        }
        EXPECT_GE(sum, 0.0);
        ++frames;
    });
    auto images =
        stream.signalAtracsysUpdate.connect([&](AtracsysTrackingStreamBase::AtracsysUpdate& update) {
            EXPECT_TRUE(update.left.image && update.right.image);
            ++updates;
        });

    // A reader that lists instruments and saves the settings the whole time.
    std::atomic<bool> stopReader{false};
    std::thread reader([&] {
        while (!stopReader.load()) {
            for (const TrackingInstrument& instrument : TestSupport::registryOf(stream).instruments()) {
                EXPECT_EQ(instrument.id.ID.rfind("atracsys-", 0), 0u);
            }
            (void)TestSupport::registryOf(stream).mainInstrument();
            std::this_thread::yield();
        }
    });

    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
    for (int round = 0; round < 25; ++round) {
        const std::uint32_t id = 1001 + static_cast<std::uint32_t>(round % 4);
        stream.addTrackingMarker(square(id));
        const int seen = frames.load();
        ASSERT_TRUE(TestSupport::waitFor([&] { return frames.load() > seen; })) << "round " << round;
        switch (round % 5) {
            case 0:
                EXPECT_TRUE(stream.stop());
                EXPECT_TRUE(stream.start());
                break;
            case 1:
                EXPECT_TRUE(stream.close());
                EXPECT_TRUE(stream.open());
                EXPECT_TRUE(stream.start());
                break;
            case 2:
                stream.removeTrackingMarker("atracsys-" + std::to_string(id));
                break;
            case 3: {
                Properties settings;
                stream.configuration(&settings);
                stream.setFiducialQueryMode(round % 2 ? AtracsysTrackingStreamBase::BelongingToMarker
                                                      : AtracsysTrackingStreamBase::All);
                stream.setMaxFiducialMarkerDistance(50.0 + round);
                break;
            }
            default:
                stream.removeTrackingMarker("atracsys-" + std::to_string(1001 + (round + 1) % 4));
                break;
        }
    }
    const int before = frames.load();
    ASSERT_TRUE(TestSupport::waitFor([&] { return frames.load() > before; }));
    EXPECT_TRUE(stream.close());
    stopReader.store(true);
    reader.join();
    EXPECT_GT(updates.load(), 0);
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(sim.liveFrames(), 0);
}

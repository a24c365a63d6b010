#include "ScriptedDriver.h"

#include <gtest/gtest.h>

#include "support/QtWait.h"

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

using namespace FtkTest;

namespace {

// Entries numbered so that a copy shows which source entry landed where.
ftksim::ScriptedFrame numberedFrame(std::size_t entries) {
    ftksim::ScriptedFrame frame;
    for (std::size_t i = 0; i < entries; ++i) {
        ftkMarkerPose marker{};
        marker.geometryId = 1000 + static_cast<std::uint32_t>(i);
        marker.translation[2] = 500.f + static_cast<float>(i);
        frame.markers.push_back(marker);
        ftkFiducial3D fiducial{};
        fiducial.leftIndex = static_cast<std::uint32_t>(i);
        fiducial.position = {1.f, 2.f, static_cast<float>(i)};
        frame.fiducials.push_back(fiducial);
        ftkRawDetection raw{};
        raw.centerX = static_cast<float>(i);
        raw.pixelCount = 10 + static_cast<std::uint32_t>(i);
        frame.leftRaw.push_back(raw);
        frame.rightRaw.push_back(raw);
    }
    return frame;
}

ftksim::ScriptedFrame imageFrame(std::uint16_t width, std::uint16_t height, std::uint8_t seed) {
    ftksim::ScriptedFrame frame;
    frame.width = width;
    frame.height = height;
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i) {
        frame.leftPixels.push_back(static_cast<std::uint8_t>(seed + i));
        frame.rightPixels.push_back(static_cast<std::uint8_t>(seed + 2 * i));
    }
    return frame;
}

std::vector<std::uint8_t> pixels(const std::uint8_t* data, const ftkFrame* frame) {
    return std::vector<std::uint8_t>(data, data + frame->imageHeader->width * frame->imageHeader->height);
}

}  // namespace

using FtkFrame = ScriptedDriver;
using FtkFetch = ScriptedDriver;

TEST_F(FtkFrame, CreatedZeroedSizedByOptionsAndDeletedOnce) {
    ftkFrame* frame = ftkCreateFrame();
    ASSERT_NE(frame, nullptr);
    const ftkFrame zero{};
    EXPECT_EQ(std::memcmp(frame, &zero, sizeof(ftkFrame)), 0);
    EXPECT_EQ(sim().liveFrames(), 1);

    ASSERT_EQ(ftkSetFrameOptions(true, 20, 128, 64, 256, 16, frame), FTK_OK);
    EXPECT_NE(frame->imageHeader, nullptr);
    EXPECT_NE(frame->leftRaw, nullptr);
    EXPECT_EQ(frame->leftRawCapacity, 128u);
    EXPECT_EQ(frame->rightRawCapacity, 64u);
    EXPECT_EQ(frame->fiducialsCapacity, 256u);
    EXPECT_EQ(frame->markersCapacity, 16u);
    EXPECT_EQ(frame->eventsCapacity, 20u);

    EXPECT_EQ(ftkDeleteFrame(frame), FTK_OK);
    EXPECT_EQ(sim().liveFrames(), 0);
    EXPECT_EQ(ftkDeleteFrame(frame), FTK_ERR_INVALID_ARGUMENT);

    sim().setCreateFrameFails(true);
    EXPECT_EQ(ftkCreateFrame(), nullptr);
    EXPECT_EQ(sim().liveFrames(), 0);
}

TEST_F(FtkFrame, FailedOptionsAllocateNothing) {
    ftkFrame* frame = ftkCreateFrame();
    m_frames.push_back(frame);
    sim().setFrameOptionsStatus(FTK_ERR_INTERNAL);
    EXPECT_EQ(ftkSetFrameOptions(true, 20, 128, 128, 256, 16, frame), FTK_ERR_INTERNAL);
    EXPECT_EQ(frame->markers, nullptr);
    EXPECT_EQ(frame->markersCapacity, 0u);
    EXPECT_EQ(frame->imageHeader, nullptr);
}

TEST_F(FtkFetch, CopiesEntriesCutToTheCapacitiesAndReportsOverflow) {
    ftkFrame* frame = makeFrame(false, 3, 2, 1);
    sim().queueFrame(numberedFrame(5));
    sim().queueFrame(numberedFrame(1));

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->markersCount, 1u);
    EXPECT_EQ(frame->markers[0].geometryId, 1000u);
    EXPECT_EQ(frame->markersStatus, FTK_PART_OVERFLOW);
    EXPECT_EQ(frame->fiducialsCount, 2u);
    EXPECT_EQ(frame->fiducials[1].position.z, 1.f);
    EXPECT_EQ(frame->fiducialsStatus, FTK_PART_OVERFLOW);
    EXPECT_EQ(frame->leftRawCount, 3u);
    EXPECT_EQ(frame->rightRaw[2].pixelCount, 12u);
    EXPECT_EQ(frame->rightRawStatus, FTK_PART_OVERFLOW);

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->markersCount, 1u);
    EXPECT_EQ(frame->markersStatus, FTK_PART_OK);
    EXPECT_EQ(frame->fiducialsCount, 1u);
    EXPECT_EQ(frame->fiducialsStatus, FTK_PART_OK);
    EXPECT_EQ(frame->leftRawStatus, FTK_PART_OK);
}

TEST_F(FtkFetch, NeverTrustsCapacitiesTheCallerChangedInTheFrame) {
    ftkFrame* frame = makeFrame(false, 1, 1, 2);
    frame->markersCapacity = 1000;
    frame->markers = nullptr;
    sim().queueFrame(numberedFrame(40));
    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->markersCapacity, 2u);
    ASSERT_NE(frame->markers, nullptr);
    EXPECT_EQ(frame->markersCount, 2u);
    EXPECT_EQ(frame->markers[1].geometryId, 1001u);
}

TEST_F(FtkFetch, ScriptedStatusesComeThrough) {
    ftkFrame* frame = makeFrame(false, 4, 4, 4);
    ftksim::ScriptedFrame scripted = numberedFrame(2);
    scripted.status = FTK_WAR_SHOCK_DETECTED;
    scripted.markersStatus = FTK_PART_INVALID_RESERVED_SIZE;
    sim().queueFrame(scripted);
    EXPECT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_WAR_SHOCK_DETECTED);
    EXPECT_EQ(frame->markersStatus, FTK_PART_INVALID_RESERVED_SIZE);
    EXPECT_EQ(frame->markersCount, 2u);
}

TEST_F(FtkFetch, WithoutAFrameAnswersNoFrameAndLeavesTheFrameUntouched) {
    ftkFrame* frame = makeFrame(true, 4, 4, 4);
    sim().queueFrame(numberedFrame(3));
    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    ftkFrame before = *frame;
    const ftkMarkerPose firstMarker = frame->markers[0];

    EXPECT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_WAR_NO_FRAME);
    ftksim::ScriptedFrame none = numberedFrame(1);
    none.status = FTK_WAR_NO_FRAME;
    sim().queueFrame(none);
    EXPECT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_WAR_NO_FRAME);
    EXPECT_EQ(std::memcmp(&before, frame, sizeof(ftkFrame)), 0);
    EXPECT_EQ(std::memcmp(&firstMarker, &frame->markers[0], sizeof(ftkMarkerPose)), 0);
    EXPECT_EQ(sim().queuedFrames(), 0u);
}

TEST_F(FtkFetch, AnErrorLeavesNothingInTheFrameThatPassesForData) {
    ftkFrame* frame = makeFrame(true, 4, 4, 4);
    sim().queueFrame(imageFrame(4, 3, 1));
    ftksim::ScriptedFrame failed = numberedFrame(2);
    failed.status = FTK_ERR_INTERNAL;
    sim().queueFrame(failed);
    sim().queueFrame(numberedFrame(3));
    auto expectEmpty = [&](ftkStatus status) {
        EXPECT_EQ(frame->markersCount + frame->fiducialsCount + frame->leftRawCount + frame->rightRawCount,
                  0u)
            << status;
        for (ftkPartStatus part :
             {frame->markersStatus, frame->fiducialsStatus, frame->leftRawStatus, frame->rightRawStatus,
              frame->imageHeaderStatus, frame->leftPixelsStatus, frame->rightPixelsStatus}) {
            EXPECT_EQ(part, FTK_PART_INVALID) << status;
        }
        EXPECT_EQ(frame->imageHeader->width, 0) << status;
        EXPECT_EQ(frame->markersCapacity, 4u) << status;
    };

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    ASSERT_EQ(frame->imageHeader->width, 4);
    EXPECT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_ERR_INTERNAL);
    expectEmpty(FTK_ERR_INTERNAL);

    // Failures of the call itself empty the frame too; the next good frame fills it again.
    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->markersCount, 3u);
    EXPECT_EQ(ftkGetLastFrame(m_library, 99, frame, 0), FTK_ERR_NO_DEVICE);
    expectEmpty(FTK_ERR_NO_DEVICE);
}

TEST_F(FtkFetch, RejectsUnknownDevicesAndFramesNotMadeByTheDriver) {
    ftkFrame* frame = makeFrame(false, 1, 1, 1);
    sim().queueFrame(numberedFrame(1));
    EXPECT_EQ(ftkGetLastFrame(m_library, 99, frame, 0), FTK_ERR_NO_DEVICE);
    ftkFrame foreign{};
    EXPECT_EQ(ftkGetLastFrame(m_library, kSerial, &foreign, 0), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkSetFrameOptions(true, 1, 1, 1, 1, 1, &foreign), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkDeleteFrame(&foreign), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(sim().queuedFrames(), 1u);
}

TEST_F(FtkFetch, ImagesAreCopiedIntoBuffersReusedUntilTheSizeGrows) {
    ftkFrame* frame = makeFrame(true, 1, 1, 1);
    sim().queueFrame(imageFrame(4, 3, 1));
    sim().queueFrame(imageFrame(2, 2, 50));
    sim().queueFrame(imageFrame(16, 8, 100));

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->imageHeader->width, 4);
    EXPECT_EQ(frame->imageHeader->height, 3);
    EXPECT_EQ(frame->imageHeaderStatus, FTK_PART_OK);
    EXPECT_EQ(frame->leftPixelsStatus, FTK_PART_OK);
    EXPECT_EQ(pixels(frame->leftPixels, frame), imageFrame(4, 3, 1).leftPixels);
    EXPECT_EQ(pixels(frame->rightPixels, frame), imageFrame(4, 3, 1).rightPixels);
    const std::uint8_t* firstLeft = frame->leftPixels;
    const std::uint32_t firstCounter = frame->imageHeader->counter;

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->leftPixels, firstLeft);
    EXPECT_EQ(frame->imageHeader->width, 2);
    EXPECT_EQ(pixels(frame->leftPixels, frame), imageFrame(2, 2, 50).leftPixels);
    EXPECT_EQ(frame->imageHeader->counter, firstCounter + 1);

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->imageHeader->width, 16);
    EXPECT_EQ(pixels(frame->leftPixels, frame), imageFrame(16, 8, 100).leftPixels);
    EXPECT_EQ(pixels(frame->rightPixels, frame), imageFrame(16, 8, 100).rightPixels);
}

TEST_F(FtkFetch, ShortPixelBuffersArePaddedWithZeros) {
    ftkFrame* frame = makeFrame(true, 1, 1, 1);
    sim().queueFrame(imageFrame(4, 4, 7));
    ftksim::ScriptedFrame shortFrame = imageFrame(4, 4, 9);
    shortFrame.leftPixels.resize(3);
    shortFrame.rightPixels.clear();
    sim().queueFrame(shortFrame);
    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    std::vector<std::uint8_t> expected(16, 0);
    std::copy(shortFrame.leftPixels.begin(), shortFrame.leftPixels.end(), expected.begin());
    EXPECT_EQ(pixels(frame->leftPixels, frame), expected);
    EXPECT_EQ(pixels(frame->rightPixels, frame), std::vector<std::uint8_t>(16, 0));
}

TEST_F(FtkFetch, PixelsAreSkippedWhenOffOrAbsent) {
    ftkFrame* off = makeFrame(false, 1, 1, 1);
    ftkFrame* on = makeFrame(true, 1, 1, 1);
    sim().queueFrame(imageFrame(4, 4, 1));
    sim().queueFrame(numberedFrame(1));
    ftksim::ScriptedFrame failed = imageFrame(4, 4, 1);
    failed.rightPixelsStatus = FTK_PART_INVALID_RESERVED_SIZE;
    sim().queueFrame(failed);

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, off, 0), FTK_OK);
    EXPECT_EQ(off->leftPixels, nullptr);
    EXPECT_EQ(off->imageHeader->width, 0);
    EXPECT_EQ(off->leftPixelsStatus, FTK_PART_SKIPPED);
    EXPECT_EQ(off->rightPixelsStatus, FTK_PART_SKIPPED);

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, on, 0), FTK_OK);
    EXPECT_EQ(on->imageHeader->width, 0);
    EXPECT_EQ(on->leftPixelsStatus, FTK_PART_SKIPPED);

    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, on, 0), FTK_OK);
    EXPECT_EQ(on->leftPixelsStatus, FTK_PART_OK);
    EXPECT_EQ(on->rightPixelsStatus, FTK_PART_INVALID_RESERVED_SIZE);
}

TEST_F(FtkFetch, RepeatFrameAnswersWheneverTheQueueIsEmpty) {
    ftkFrame* frame = makeFrame(false, 1, 1, 8);
    sim().queueFrame(numberedFrame(1));
    // A repeat that names its camera frame: the same counter and stamp each time.
    ftksim::ScriptedFrame repeated = numberedFrame(3);
    repeated.counter = 70;
    repeated.timestampUs = 1700000000000001ull;
    sim().setRepeatFrame(repeated);
    const auto nowUs = [] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    };
    const std::uint64_t before = nowUs();
    for (std::uint32_t expected : {1u, 3u, 3u}) {
        ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 10000), FTK_OK);
        EXPECT_EQ(frame->markersCount, expected);
        if (expected == 1u) {
            // Unscripted: the frames delivered so far, stamped at delivery.
            EXPECT_EQ(frame->imageHeader->counter, 1u);
            EXPECT_GE(frame->imageHeader->timestampUs, before);
            EXPECT_LE(frame->imageHeader->timestampUs, nowUs());
        } else {
            EXPECT_EQ(frame->imageHeader->counter, 70u);
            EXPECT_EQ(frame->imageHeader->timestampUs, 1700000000000001ull);
        }
    }
    sim().setRepeatFrame(std::nullopt);
    EXPECT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_WAR_NO_FRAME);
    // Scripted counters do not stop the count of delivered frames.
    sim().queueFrame(numberedFrame(1));
    ASSERT_EQ(ftkGetLastFrame(m_library, kSerial, frame, 0), FTK_OK);
    EXPECT_EQ(frame->imageHeader->counter, 4u);
}

TEST_F(FtkFetch, WaitsForAFrameQueuedFromAnotherThreadWithoutBlockingOtherCalls) {
    ftkFrame* frame = makeFrame(false, 1, 1, 8);
    ftkStatus fetched = FTK_ERR_INTERNAL;
    std::thread worker([&] { fetched = ftkGetLastFrame(m_library, kSerial, frame, 30000); });
    ASSERT_TRUE(TestSupport::waitFor([] { return sim().waitingFetches() == 1; }));

    // The waiting fetch must not hold the driver's lock.
    EXPECT_EQ(ftkSetInt32(m_library, kSerial, 2004, 20), FTK_OK);
    EXPECT_EQ(sim().waitingFetches(), 1);

    sim().queueFrame(numberedFrame(2));
    worker.join();
    EXPECT_EQ(fetched, FTK_OK);
    EXPECT_EQ(frame->markersCount, 2u);
    EXPECT_EQ(sim().waitingFetches(), 0);
    EXPECT_EQ(sim().callsTo("ftkGetLastFrame").at(0).intValue, 30000);
}

TEST_F(FtkFetch, ClosingTheLibraryEndsAWaitingFetch) {
    ftkFrame* frame = makeFrame(false, 1, 1, 1);
    ftkStatus fetched = FTK_OK;
    std::thread worker(
        [&, library = m_library] { fetched = ftkGetLastFrame(library, kSerial, frame, 30000); });
    ASSERT_TRUE(TestSupport::waitFor([] { return sim().waitingFetches() == 1; }));
    ASSERT_EQ(ftkClose(&m_library), FTK_OK);
    // Long before the fetch's own time-out.
    EXPECT_TRUE(TestSupport::waitFor([] { return sim().waitingFetches() == 0; }));
    worker.join();
    EXPECT_EQ(fetched, FTK_ERR_NO_LIBRARY);
}

// The acquisition pass against the scripted driver: statuses and error counters, instrument poses, the
// fiducials component, the camera-image record and the exception handler. Passes are run directly on the
// test thread on an opened stream.
#include "stream/AtracsysTrackingStream.h"
#include "stream/FrameResults.h"

#include "StreamTestAccess.h"
#include "support/DriverScript.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <stdexcept>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using namespace std::chrono_literals;
using TestSupport::LogCapture;
using Clock = std::chrono::system_clock;

namespace {

constexpr std::uint32_t kNone = FTK_NO_CORRESPONDENCE;

class TestStream : public AtracsysTrackingStream {
public:
    using AtracsysTrackingStream::doWork;
};

ftkMarkerPose marker(std::uint32_t geometryId, std::initializer_list<std::uint32_t> correspondences,
                     float error = 0.0f, float x = 0.0f, float y = 0.0f, float z = 0.0f) {
    ftkMarkerPose m{};
    m.geometryId = geometryId;
    std::fill(std::begin(m.correspondences), std::end(m.correspondences), kNone);
    std::copy(correspondences.begin(), correspondences.end(), std::begin(m.correspondences));
    m.rotation[0][1] = -1.0f;
    m.rotation[1][0] = 1.0f;
    m.rotation[2][2] = 1.0f;
    m.translation[0] = x;
    m.translation[1] = y;
    m.translation[2] = z;
    m.registrationError = error;
    return m;
}

ftkFiducial3D fiducial(float x, std::uint32_t raw = 0) {
    ftkFiducial3D f{};
    f.position = {x, 0.0f, 0.0f};
    f.leftIndex = raw;
    f.rightIndex = raw;
    return f;
}

ftksim::ScriptedFrame frameWith(std::vector<ftkMarkerPose> markers,
                                std::vector<ftkFiducial3D> fiducials = {}) {
    ftksim::ScriptedFrame frame;
    frame.markers = std::move(markers);
    frame.fiducials = std::move(fiducials);
    return frame;
}

ftksim::ScriptedFrame statusFrame(ftkStatus status) {
    ftksim::ScriptedFrame frame;
    frame.status = status;
    return frame;
}

/// A 4 x 3 image pair whose pixels start at the given values.
ftksim::ScriptedFrame imageFrame(std::uint8_t leftStart, std::uint8_t rightStart) {
    ftksim::ScriptedFrame frame;
    frame.width = 4;
    frame.height = 3;
    for (std::uint8_t i = 0; i < 12; ++i) {
        frame.leftPixels.push_back(static_cast<std::uint8_t>(leftStart + i));
        frame.rightPixels.push_back(static_cast<std::uint8_t>(rightStart + i));
    }
    return frame;
}

std::vector<std::uint8_t> pixelsOf(const std::shared_ptr<SharedImage>& image) {
    const auto& mem = image->sharedMem();
    return {mem->data(), mem->data() + mem->descriptor().byteSize()};
}

class Acquisition : public ::testing::Test {
protected:
    void SetUp() override { sim = &TestSupport::scriptDevice(); }

    /// Opens the stream (not started) and counts what it emits.
    void open(TestStream& stream) {
        ASSERT_TRUE(stream.open());
        log.clear();
        sim->clearCalls();
        stream.signalStreamData.connect([this](const std::shared_ptr<const StreamData>& d) {
            data.push_back(std::static_pointer_cast<const TrackingStreamData>(d));
        });
        stream.signalCompoundData.connect(
            [this](const std::shared_ptr<const CompoundStreamData>& c) { compounds.push_back(c); });
        stream.signalAtracsysUpdate.connect(
            [this](AtracsysTrackingStreamBase::AtracsysUpdate& u) { updates.push_back(&u); });
    }

    void addInstrument(TestStream& stream, std::uint32_t geometryId, bool active = true) {
        ftkGeometry geometry{};
        geometry.geometryId = geometryId;
        TestSupport::registryOf(stream).create(TrackerID(instrumentIdOf(geometryId), "", "marker"),
                                               std::make_unique<AtracsysGeometry>("", geometry, true),
                                               active);
    }

    /// Runs one pass and checks that it asks to be called again `delay` after it began (or after it
    /// ended, for the delays counted from the end of the pass).
    void pass(TestStream& stream, std::chrono::milliseconds delay = 10ms) {
        const auto before = Clock::now();
        const auto continuation = stream.doWork();
        const auto after = Clock::now();
        ASSERT_TRUE(continuation.has_value());
        EXPECT_TRUE(continuation->flag);
        EXPECT_GE(continuation->nextCall, before + delay);
        EXPECT_LE(continuation->nextCall, after + delay);
    }

    void passes(TestStream& stream, ftkStatus status, int count) {
        for (int i = 0; i < count; ++i) {
            sim->queueFrame(statusFrame(status));
            pass(stream);
        }
    }

    static TrackingInstrument instrument(TestStream& stream, std::uint32_t geometryId) {
        return TestSupport::registryOf(stream).instrument(instrumentIdOf(geometryId)).value();
    }

    static const TrackingInstrumentFiducialsData* fiducialsOf(
        const std::shared_ptr<const TrackingStreamData>& d) {
        return d->components().get<TrackingInstrumentFiducialsData>();
    }

    LogCapture log;
    ftksim::Simulator* sim = nullptr;
    std::vector<std::shared_ptr<const TrackingStreamData>> data;
    std::vector<std::shared_ptr<const CompoundStreamData>> compounds;
    std::vector<AtracsysTrackingStreamBase::AtracsysUpdate*> updates;
};

const std::string kDriverText = "AtracsysTracking: scripted failure";

}  // namespace

TEST_F(Acquisition, MarkersBecomeInstrumentPosesAndTrackingData) {
    TestStream stream;
    open(stream);
    addInstrument(stream, 1200);
    addInstrument(stream, 1300, false);
    addInstrument(stream, 1400);
    sim->queueFrame(frameWith(
        {marker(1200, {}, 2.5f, 10, 20, 30), marker(1300, {}, 1.0f, 5, 5, 5), marker(1500, {}, 0.0f)}));
    const std::uint64_t before = DateTime::currentMillisecondsSinceEpochUtc();
    pass(stream);
    const std::uint64_t after = DateTime::currentMillisecondsSinceEpochUtc();

    ASSERT_EQ(sim->callsTo("ftkGetLastFrame").size(), 1u);
    EXPECT_EQ(sim->callsTo("ftkGetLastFrame")[0].intValue, 100);
    Eigen::Matrix4d pose;
    pose << 0, -1, 0, 10, 1, 0, 0, 20, 0, 0, 1, 30, 0, 0, 0, 1;
    const TrackingInstrument seen = instrument(stream, 1200);
    EXPECT_EQ(seen.pose, pose);
    EXPECT_DOUBLE_EQ(seen.quality, 0.75);
    EXPECT_GE(seen.timestamp, before);
    EXPECT_LE(seen.timestamp, after);
    // Not active, or not in the frame: reset to identity with the same time stamp.
    for (std::uint32_t id : {1300u, 1400u}) {
        EXPECT_EQ(instrument(stream, id).pose, Eigen::Matrix4d::Identity()) << id;
        EXPECT_EQ(instrument(stream, id).quality, 0.0) << id;
        EXPECT_EQ(instrument(stream, id).timestamp, seen.timestamp) << id;
    }
    ASSERT_EQ(data.size(), 1u);
    ASSERT_EQ(compounds.size(), 1u);
    EXPECT_EQ(compounds[0]->proxyStreamData(), data[0]);
    EXPECT_TRUE(compounds[0]->substreamsStreamData().empty());
    EXPECT_EQ(data[0]->instruments().size(), 3u);
    EXPECT_EQ(fiducialsOf(data[0]), nullptr);  // mode "None"
    EXPECT_TRUE(updates.empty());
    // The camera's registration error of each instrument whose pose the frame wrote.
    const auto errorsOf = [&](std::size_t i) {
        const auto* registration = data[i]->components().get<TrackingRegistrationData>();
        return registration != nullptr ? registration->errorsMm
                                       : std::map<std::string, float>{{"none", 0.0f}};
    };
    EXPECT_EQ(errorsOf(0), (std::map<std::string, float>{{instrumentIdOf(1200), 2.5f}}));

    sim->queueFrame(frameWith({marker(1200, {}, 12.0f, 1, 2, 3)}));
    pass(stream);
    EXPECT_EQ(instrument(stream, 1200).quality, 0.0);
    EXPECT_EQ(instrument(stream, 1200).pose(1, 3), 2.0);
    EXPECT_EQ(errorsOf(1), (std::map<std::string, float>{{instrumentIdOf(1200), 12.0f}}));

    // The marker leaves the field of view.
    sim->queueFrame(frameWith({}));
    pass(stream);
    EXPECT_EQ(instrument(stream, 1200).pose, Eigen::Matrix4d::Identity());
    EXPECT_EQ(data.size(), 3u);
}

TEST_F(Acquisition, FiducialsComponentFollowsTheQueryMode) {
    TestStream stream;
    open(stream);
    // ID order: 1100, 1200, 1300.
    addInstrument(stream, 1300);
    addInstrument(stream, 1100);
    addInstrument(stream, 1200);
    std::vector<ftkFiducial3D> fiducials;
    for (float x : {0.0f, 10.0f, 100.001f, 30.0f, 100.0f, 20.0f, 250.0f}) {
        fiducials.push_back(fiducial(x));
    }
    sim->setRepeatFrame(
        frameWith({marker(1300, {3, kNone, 5, kNone, kNone, kNone}), marker(1600, {0, 3})}, fiducials));

    auto run = [&](AtracsysTrackingStreamBase::FiducialQueryMode mode) {
        stream.setFiducialQueryMode(mode);
        pass(stream);
        return fiducialsOf(data.back());
    };
    auto positionsOf = [](const TrackingInstrumentFiducialsData* f) {
        std::vector<double> x;
        for (const auto& p : f->positions) {
            x.push_back(p.x());
        }
        return x;
    };

    EXPECT_EQ(run(AtracsysTrackingStreamBase::None), nullptr);
    EXPECT_EQ(positionsOf(run(AtracsysTrackingStreamBase::BelongingToMarker)),
              (std::vector<double>{30, 20, 0, 30}));
    // Both markers sit at the origin: 100 mm is inside, 100.001 mm is not.
    EXPECT_EQ(positionsOf(run(AtracsysTrackingStreamBase::AllInMarkerVicinity)),
              (std::vector<double>{0, 10, 30, 100, 20}));

    const TrackingInstrumentFiducialsData* all = run(AtracsysTrackingStreamBase::All);
    ASSERT_EQ(all->size(), 7u);
    const auto listed = stream.instruments();
    ASSERT_EQ(listed[2].id.ID, "atracsys-1300");
    // Fiducial 3 is listed by 1300 and then by the unregistered 1600: 1300 gives the index, 1600 owns it.
    EXPECT_EQ(all->instrumentIndices, (std::vector<std::int32_t>{-1, -1, -1, 2, -1, 2, -1}));
    const std::uint64_t h1300 = FrameResults::fnv1a64("atracsys-1300");
    const std::uint64_t h1600 = FrameResults::fnv1a64("atracsys-1600");
    const std::uint64_t none = 0xcbf29ce484222325ull;
    EXPECT_EQ(all->instrumentIdHashes,
              (std::vector<std::uint64_t>{h1600, none, none, h1600, none, h1300, none}));
}

TEST_F(Acquisition, NoFrameChangesNothingAndAGoodFrameEndsAFailureRun) {
    TestStream stream;
    open(stream);
    auto& driver = TestSupport::driverOf(stream);
    passes(stream, 7, 1);
    passes(stream, FTK_WAR_NO_FRAME, 1);
    EXPECT_EQ(driver.consecutiveErrors, 1);
    EXPECT_EQ(driver.errorCodes, (std::set<std::int32_t>{7}));
    EXPECT_TRUE(data.empty());

    sim->queueFrame(frameWith({}));
    pass(stream);
    EXPECT_EQ(driver.consecutiveErrors, 0);
    EXPECT_TRUE(driver.errorCodes.empty());
    EXPECT_EQ(data.size(), 1u);
}

TEST_F(Acquisition, InternalErrorCostsOneFrameAndStreamingGoesOnWithAFreshFrame) {
    TestStream stream;
    open(stream);
    sim->setLastErrorText("scripted failure");
    sim->queueFrame(frameWith({}));
    pass(stream);
    passes(stream, FTK_ERR_INTERNAL, 1);
    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTrackingStream: Internal system error, report to Atracsys."),
              1);
    EXPECT_EQ(log.count(Log::Error, "", kDriverText), 1);
    EXPECT_EQ(sim->countCalls("ftkDeleteFrame"), 1u);
    EXPECT_EQ(TestSupport::driverOf(stream).consecutiveErrors, 0);

    for (int i = 0; i < 3; ++i) {
        sim->queueFrame(frameWith({}));
        pass(stream);
    }
    EXPECT_EQ(data.size(), 4u);
    EXPECT_EQ(sim->countCalls("ftkCreateFrame"), 1u);
    ASSERT_EQ(sim->callsTo("ftkSetFrameOptions").size(), 1u);
    EXPECT_NE(TestSupport::driverOf(stream).frame, nullptr);
    EXPECT_EQ(stream.currentState(), Stream::Open);
    EXPECT_EQ(log.recordsAtLeast(Log::Warning).size(), 2u);  // the one report and the driver's text

    // Without a new frame the stream cannot go on: it closes, so that its owner sees it failed.
    passes(stream, FTK_ERR_INTERNAL, 1);
    sim->setCreateFrameFails(true);
    sim->queueFrame(frameWith({}));
    pass(stream);
    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTrackingStream: Cannot create frame instance."), 1);
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(data.size(), 4u);
    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTrackingStream: Internal system error, report to Atracsys."),
              2);
    EXPECT_EQ(log.count(Log::Error, "", kDriverText), 3);
}

TEST_F(Acquisition, FiftyFailuresAreSilentAndLaterOnesResetTheInstruments) {
    TestStream stream;
    open(stream);
    addInstrument(stream, 1200);
    int dataChanges = 0;
    stream.signalInstrumentsChanged.connect([&](InstrumentModifications flags) {
        dataChanges += flags.test(InstrumentModification::DataChanged) ? 1 : 0;
    });
    sim->queueFrame(frameWith({marker(1200, {}, 0.0f, 1, 2, 3)}));
    pass(stream);

    passes(stream, 7, 50);
    EXPECT_TRUE(log.recordsAtLeast(Log::Warning).empty());
    EXPECT_NE(instrument(stream, 1200).pose, Eigen::Matrix4d::Identity());

    sim->queueFrame(statusFrame(7));
    pass(stream, 500ms);
    EXPECT_EQ(
        log.count(
            Log::Error, "",
            "AtracsysTrackingStream: ftkGetLastFrame returned not FTK_OK but [7 ] for 51 times in a row!"),
        1);
    EXPECT_EQ(instrument(stream, 1200).pose, Eigen::Matrix4d::Identity());
    EXPECT_EQ(dataChanges, 1);
    sim->queueFrame(statusFrame(7));
    pass(stream, 500ms);
    EXPECT_EQ(
        log.count(
            Log::Error, "",
            "AtracsysTrackingStream: ftkGetLastFrame returned not FTK_OK but [7 ] for 52 times in a row!"),
        1);

    // A good frame ends the run; the next run starts from 1 again.
    sim->queueFrame(frameWith({}));
    pass(stream);
    log.clear();
    passes(stream, 7, 50);
    EXPECT_EQ(TestSupport::driverOf(stream).consecutiveErrors, 50);
    EXPECT_TRUE(log.recordsAtLeast(Log::Warning).empty());
}

TEST_F(Acquisition, FailureCodesAreListedOnceInAscendingOrder) {
    TestStream stream;
    open(stream);
    passes(stream, 3, 1);
    passes(stream, -5, 1);
    passes(stream, 3, 48);
    sim->queueFrame(statusFrame(3));
    pass(stream, 500ms);
    EXPECT_EQ(
        log.count(
            Log::Error, "",
            "AtracsysTrackingStream: ftkGetLastFrame returned not FTK_OK but [-5 3 ] for 51 times in a row!"),
        1);
}

TEST_F(Acquisition, ShockWarningsAreCountedForTheProcessAndRateLimited) {
    TestStream stream;
    open(stream);
    passes(stream, 7, 1);
    for (int n = 1; n <= 300; ++n) {
        sim->queueFrame(statusFrame(n % 2 == 0 ? FTK_WAR_SHOCK_SENSOR_FAULT : FTK_WAR_SHOCK_DETECTED));
        pass(stream);
        EXPECT_EQ(TestSupport::driverOf(stream).consecutiveErrors, 0);
        if (n == 25) {
            // Neither a good frame nor reopening the device starts the count again.
            sim->queueFrame(frameWith({}));
            pass(stream);
            ASSERT_TRUE(stream.close());
            ASSERT_TRUE(stream.open());
        }
    }
    auto message = [](int n) {
        return "AtracsysTrackingStream: ftkGetLastFrame returned FTK_WAR_SHOCK_DETECTED [" +
               std::to_string(n % 2 == 0 ? -40 : -17) + "] for " + std::to_string(n) + " times in a row!";
    };
    for (int n : {1, 19, 20, 30, 190, 200, 300}) {
        EXPECT_EQ(log.count(Log::Warning, "", message(n)), 1) << n;
    }
    for (int n : {21, 199, 210, 250}) {
        EXPECT_EQ(log.count(Log::Warning, "", message(n)), 0) << n;
    }
    EXPECT_EQ(log.countContaining("FTK_WAR_SHOCK_DETECTED"), 19 + 18 + 2);
    // Frames with a shock warning are still used.
    EXPECT_EQ(data.size(), 301u);
}

TEST_F(Acquisition, SkippedMarkersAreNotedAndTheFrameIsUsed) {
    TestStream stream;
    open(stream);
    auto frame = frameWith({});
    frame.markersStatus = FTK_PART_SKIPPED;
    sim->queueFrame(frame);
    pass(stream);
    EXPECT_EQ(log.count(Log::Trace, "", "QS WAR SKIPPED"), 1);
    EXPECT_EQ(data.size(), 1u);
}

struct MarkerStatusCase {
    ftkPartStatus status;
    const char* message;
};

class UntrustedMarkerStatus : public Acquisition, public ::testing::WithParamInterface<MarkerStatusCase> {};

TEST_P(UntrustedMarkerStatus, ReleasesTheFrameClosesTheStreamAndEmitsNothing) {
    TestStream stream;
    open(stream);
    addInstrument(stream, 1200);
    sim->setLastErrorText("scripted failure");
    auto frame = frameWith({marker(1200, {}, 0.0f, 1, 2, 3)});
    frame.markersStatus = GetParam().status;
    sim->queueFrame(frame);
    pass(stream);

    EXPECT_EQ(log.count(Log::Error, "", std::string("AtracsysTrackingStream: ") + GetParam().message), 1);
    EXPECT_EQ(log.count(Log::Error, "", kDriverText), 1);
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(sim->countCalls("ftkDeleteFrame"), 1u);
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(compounds.empty());
    EXPECT_EQ(instrument(stream, 1200).timestamp, 0u);  // not even reset
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, UntrustedMarkerStatus,
    ::testing::Values(MarkerStatusCase{FTK_PART_INVALID_RESERVED_SIZE, "Invalid reserved marker size."},
                      MarkerStatusCase{FTK_PART_OVERFLOW,
                                       "Marker overflow. Please increase cstMarkersCount."},
                      MarkerStatusCase{5, "Invalid frame status."}));

TEST_F(Acquisition, ImagesAreCopiedIntoThePublishedRecord) {
    TestStream stream;
    stream.setQueryImages(true);
    open(stream);
    stream.setFiducialQueryMode(AtracsysTrackingStreamBase::All);
    auto frame = imageFrame(0, 100);
    frame.fiducials = {fiducial(0.0f, 1), fiducial(1.0f, 0)};
    frame.leftRaw = {ftkRawDetection{1.5f, 2.5f, 3, 4, 12}, ftkRawDetection{5.0f, 6.0f, 7, 8, 56}};
    frame.rightRaw = {ftkRawDetection{9.0f, 10.0f, 2, 2, 4}, ftkRawDetection{11.0f, 12.0f, 3, 3, 9}};
    sim->queueFrame(frame);
    pass(stream);

    ASSERT_EQ(updates.size(), 1u);
    const auto* record = TestSupport::lastUpdateOf(stream);
    ASSERT_EQ(updates[0], record);
    const std::shared_ptr<SharedImage> left = record->left.image;
    ASSERT_TRUE(left && record->right.image);
    EXPECT_EQ(left->descriptor(), ImageDescriptor(PixelUInt8, 4, 3, 1, 1));
    EXPECT_EQ(pixelsOf(left)[11], 11);
    EXPECT_EQ(pixelsOf(record->right.image)[0], 100);
    EXPECT_EQ(record->left.fiducialCenters,
              (std::vector<Eigen::Vector2d>{Eigen::Vector2d(5.0, 6.0), Eigen::Vector2d(1.5, 2.5)}));
    EXPECT_EQ(record->right.fiducialSizes,
              (std::vector<Eigen::Vector2d>{Eigen::Vector2d(3, 3), Eigen::Vector2d(2, 2)}));

    // The driver reuses its buffers for the next frame; the published copies keep their pixels.
    stream.setFiducialQueryMode(AtracsysTrackingStreamBase::None);
    sim->queueFrame(imageFrame(50, 150));
    pass(stream);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(pixelsOf(left)[0], 0);
    EXPECT_EQ(pixelsOf(TestSupport::lastUpdateOf(stream)->left.image)[0], 50);
    EXPECT_TRUE(TestSupport::lastUpdateOf(stream)->left.fiducialCenters.empty());
    EXPECT_TRUE(TestSupport::lastUpdateOf(stream)->right.fiducialSizes.empty());
}

TEST_F(Acquisition, ImageMemoryIsReusedOnlyWhenNobodyHoldsIt) {
    TestStream stream;
    stream.setQueryImages(true);
    open(stream);
    sim->queueFrame(imageFrame(1, 2));
    pass(stream);
    const std::shared_ptr<SharedImage> heldLeft = TestSupport::lastUpdateOf(stream)->left.image;
    const std::uint8_t* rightMemory = TestSupport::lastUpdateOf(stream)->right.image->sharedMem()->data();
    // The frame's tracking data shares its images as well; here nobody keeps it.
    ASSERT_NE(data.back()->components().get<TrackingCameraImagesData>(), nullptr);
    data.clear();
    compounds.clear();

    sim->queueFrame(imageFrame(3, 4));
    pass(stream);
    // The held image keeps its pixels; the right one nobody held is refilled in place.
    EXPECT_EQ(pixelsOf(heldLeft)[0], 1);
    EXPECT_NE(TestSupport::lastUpdateOf(stream)->left.image, heldLeft);
    EXPECT_EQ(pixelsOf(TestSupport::lastUpdateOf(stream)->left.image)[0], 3);
    EXPECT_EQ(TestSupport::lastUpdateOf(stream)->right.image->sharedMem()->data(), rightMemory);
    EXPECT_EQ(pixelsOf(TestSupport::lastUpdateOf(stream)->right.image)[0], 4);
}

TEST_F(Acquisition, InvalidImagesKeepTheLastRecordAndStillTrack) {
    TestStream stream;
    stream.setQueryImages(true);
    open(stream);
    sim->queueFrame(imageFrame(0, 0));
    pass(stream);
    const auto* record = TestSupport::lastUpdateOf(stream);

    auto broken = imageFrame(1, 1);
    broken.leftPixelsStatus = FTK_PART_OVERFLOW;
    sim->queueFrame(broken);
    pass(stream);
    EXPECT_EQ(log.count(Log::Warning, "", "AtracsysTrackingStream: Raw images not available."), 1);
    EXPECT_EQ(TestSupport::lastUpdateOf(stream), record);
    EXPECT_EQ(updates.size(), 1u);
    EXPECT_EQ(data.size(), 2u);
}

TEST_F(Acquisition, ImagesNotQueriedLeaveNoRecord) {
    TestStream stream;
    open(stream);
    sim->queueFrame(frameWith({}));  // no images: their statuses say skipped
    pass(stream);
    EXPECT_EQ(TestSupport::lastUpdateOf(stream), nullptr);
    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(data.size(), 1u);
}

TEST_F(Acquisition, TrackingDataNamesTheCameraFrameWhenTheImageHeaderIsValid) {
    TestStream stream;
    open(stream);
    auto counted = frameWith({marker(1200, {})});
    counted.counter = 41;
    counted.timestampUs = 1700000000123456ull;
    sim->queueFrame(counted);
    auto noHeader = frameWith({});
    noHeader.imageHeaderStatus = FTK_PART_INVALID;
    noHeader.counter = 42;
    sim->queueFrame(noHeader);
    pass(stream);
    pass(stream);

    ASSERT_EQ(data.size(), 2u);
    const auto* info = data[0]->components().get<TrackingFrameInfoData>();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->counter, 41u);
    EXPECT_EQ(info->exposureUs, 1700000000123456ull);
    EXPECT_EQ(data[1]->components().get<TrackingFrameInfoData>(), nullptr);
}

namespace {

class ThrowingStream : public TestStream {
protected:
    void postProcessFrame(const std::string&) override { throw std::runtime_error("hook failed"); }
};

/// Hands the frame's images to the camera substreams instead of the update record.
class ImageHookStream : public TestStream {
protected:
    bool processFrameImage(const std::string& type, AtracsysUpdate&, std::shared_ptr<ImageStreamData>& left,
                           std::shared_ptr<ImageStreamData>& right) override {
        EXPECT_EQ(type, "IR");
        const auto streams = substreams();
        left = std::make_shared<ImageStreamData>(streams.at(0), nullptr);
        right = std::make_shared<ImageStreamData>(streams.at(1), nullptr);
        return true;
    }
};

}  // namespace

TEST_F(Acquisition, ExceptionEndsThePassAndClosesTheStreamAsynchronously) {
    ThrowingStream stream;
    open(stream);
    sim->queueFrame(frameWith({}));
    pass(stream);
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream",
                        "An unexpected exception occured while running the background thread: hook failed"),
              1);
    EXPECT_TRUE(TestSupport::waitFor([&] { return stream.currentState() == Stream::Closed; }));
    EXPECT_TRUE(data.empty());
}

TEST_F(Acquisition, ImageDataFromTheHookGoesToTheSubstreamsBesideTheTrackingData) {
    ImageHookStream stream;
    stream.setQueryImages(true);
    open(stream);
    addInstrument(stream, 1200);
    std::vector<std::shared_ptr<const StreamData>> leftData;
    stream.substreams().at(0)->signalStreamData.connect(
        [&](const std::shared_ptr<const StreamData>& d) { leftData.push_back(d); });
    sim->queueFrame(imageFrame(0, 0));
    pass(stream);

    EXPECT_TRUE(updates.empty());
    EXPECT_EQ(TestSupport::lastUpdateOf(stream), nullptr);
    ASSERT_EQ(compounds.size(), 1u);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(compounds[0]->proxyStreamData(), data[0]);
    const auto& images = compounds[0]->substreamsStreamData();
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0]->stream(), stream.substreams().at(0));
    EXPECT_EQ(images[1]->stream(), stream.substreams().at(1));
    for (const auto& image : images) {
        EXPECT_EQ(image->timestampDevice(), data[0]->timestampDevice());
        EXPECT_EQ(image->timestampArrival(), instrument(stream, 1200).timestamp);
    }
    ASSERT_EQ(leftData.size(), 1u);
    EXPECT_EQ(leftData[0], images[0]);
}

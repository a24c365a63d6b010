// Opening, starting, stopping and closing the camera, and the stream object's own rules.
#include "stream/AtracsysTrackingStream.h"

#include "StreamTestAccess.h"
#include "support/DriverScript.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <stdexcept>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using TestSupport::LogCapture;

namespace {

const std::string kPattern(54, 'I');

std::vector<std::int64_t> int32Writes(ftksim::Simulator& sim, std::uint32_t optionId) {
    std::vector<std::int64_t> values;
    for (const ftksim::Call& call : sim.callsTo("ftkSetInt32")) {
        if (call.optionId == optionId) {
            values.push_back(call.intValue);
        }
    }
    return values;
}

struct OpenCase {
    ftkDeviceType type;
    const char* model;
    bool spryTrackOptions;
    bool pattern;
};

class OpenByModel : public ::testing::TestWithParam<OpenCase> {};

/// Exposes the driver session and can make the model-specific step throw.
class ProbeStream : public AtracsysTrackingStream {
public:
    bool throwOnConfigure = false;

protected:
    void configureDeviceOnOpen() override {
        if (throwOnConfigure) {
            throw std::logic_error("model step failed");
        }
        AtracsysTrackingStream::configureDeviceOnOpen();
    }
};

/// Whether another thread could take the driver lock now (asking from this thread would be undefined).
bool driverLockIsFree(ProbeStream& stream) {
    return std::async(std::launch::async,
                      [&stream] {
                          std::unique_lock<std::mutex> lock(TestSupport::driverOf(stream).mutex,
                                                            std::try_to_lock);
                          return lock.owns_lock();
                      })
        .get();
}

}  // namespace

TEST_P(OpenByModel, WritesTheModelSpecificOptions) {
    LogCapture log;
    const OpenCase c = GetParam();
    ftksim::Simulator& sim = TestSupport::scriptDevice(c.type);
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());

    EXPECT_TRUE(
        log.has(Log::Info, std::string("AtracsysTracking: Detected ") + c.model + ", SN 0x0000000000001a2b"));
    if (c.spryTrackOptions) {
        EXPECT_EQ(int32Writes(sim, 6000), std::vector<std::int64_t>{1});
        EXPECT_EQ(int32Writes(sim, 6003), std::vector<std::int64_t>{0});
        EXPECT_TRUE(log.has(Log::Info, "Onboard processing disabled."));
        EXPECT_TRUE(log.has(Log::Info, "Disabled sending images on the SpryTrack."));
    } else {
        EXPECT_TRUE(int32Writes(sim, 6000).empty());
        EXPECT_TRUE(int32Writes(sim, 6003).empty());
    }
    const auto data = sim.callsTo("ftkSetData");
    if (c.pattern) {
        ASSERT_EQ(data.size(), 1u);
        EXPECT_EQ(data[0].optionId, ftksim::kOptionImageSchedulerPattern);
        EXPECT_EQ(data[0].dataSize, 54u);
        EXPECT_EQ(data[0].data, kPattern);
        EXPECT_TRUE(data[0].dataTailZero);
        EXPECT_TRUE(log.has(Log::Debug, "AtracsysTracking: Image pattern set: " + kPattern));
    } else {
        EXPECT_TRUE(data.empty());
    }
    // The tolerance goes to the device by its option name.
    const auto floats = sim.callsTo("ftkSetFloat32");
    ASSERT_EQ(floats.size(), 1u);
    EXPECT_EQ(floats[0].optionId, ftksim::kOptionDistanceMatchingTolerance);
    EXPECT_FLOAT_EQ(floats[0].floatValue, 1.0f);
    const auto frameOptions = sim.callsTo("ftkSetFrameOptions");
    ASSERT_EQ(frameOptions.size(), 1u);
    EXPECT_EQ(frameOptions[0].frameOptions, (std::vector<std::uint32_t>{1, 20, 128, 128, 256, 16}));
}

INSTANTIATE_TEST_SUITE_P(Models, OpenByModel,
                         ::testing::Values(OpenCase{FTK_DEVICE_SPRYTRACK_300, "sTk 300", true, true},
                                           OpenCase{FTK_DEVICE_SPRYTRACK_180, "sTk 180", true, false},
                                           OpenCase{FTK_DEVICE_FUSIONTRACK_500, "fTk 500", false, false},
                                           OpenCase{FTK_DEVICE_SIMULATOR, "fTk simulator", false, false}),
                         [](const ::testing::TestParamInfo<OpenCase>& info) {
                             std::string name = info.param.model;
                             name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
                             return name;
                         });

TEST(DeviceSession, ImagesQueriedEnableImageSendingAndCreateBothCameraSubstreams) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    AtracsysTrackingStream stream;
    stream.setQueryImages(true);
    ASSERT_TRUE(stream.open());
    EXPECT_EQ(int32Writes(sim, 6003), std::vector<std::int64_t>{1});
    EXPECT_TRUE(log.has(Log::Info, "Enabled sending images on the SpryTrack."));
    auto names = [&] {
        std::vector<std::string> out;
        for (Stream* s : stream.substreams()) {
            out.push_back(s->name());
        }
        return out;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"Camera (left)", "Camera (right)"}));
    EXPECT_TRUE(stream.close());

    // Opening again adds nothing; without images the substreams go away.
    ASSERT_TRUE(stream.open());
    EXPECT_EQ(stream.substreams().size(), 2u);
    stream.close();
    stream.setQueryImages(false);
    ASSERT_TRUE(stream.open());
    EXPECT_TRUE(stream.substreams().empty());
}

TEST(DeviceSession, NoDeviceFailsWithTheSingleNoDeviceMessage) {
    LogCapture log;
    TestSupport::scriptDevice(-1);
    AtracsysTrackingStream stream;
    EXPECT_FALSE(stream.open());
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    const auto problems = log.recordsAtLeast(Log::Warning);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].text, "AtracsysTracking: No SpryTrack device connected");
    EXPECT_EQ(problems[0].level, Log::Error);
}

TEST(DeviceSession, DriverThatCannotInitialiseFailsTheOpen) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    sim.setInitFails(true);
    AtracsysTrackingStream stream;
    EXPECT_FALSE(stream.open());
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream", "Cannot initialize Atracsys tracking driver"),
              1);
}

TEST(DeviceSession, FrameOptionFailureReleasesTheFrameOnceAndReportsTheDriverText) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    sim.setFrameOptionsStatus(FTK_ERR_INTERNAL);
    sim.setLastErrorText("frame buffers exhausted");
    AtracsysTrackingStream stream;
    EXPECT_FALSE(stream.open());
    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTrackingStream: Cannot set frame options."), 1);
    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTracking: frame buffers exhausted"), 1);
    EXPECT_EQ(sim.countCalls("ftkDeleteFrame"), 1u);
    stream.close();
    EXPECT_EQ(sim.countCalls("ftkDeleteFrame"), 1u);
    EXPECT_EQ(sim.liveFrames(), 0);
    EXPECT_EQ(sim.liveLibraries(), 0);
}

TEST(DeviceSession, FrameCreationFailureFailsTheOpen) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    sim.setCreateFrameFails(true);
    sim.setLastErrorText("no memory for frames");
    AtracsysTrackingStream stream;
    EXPECT_FALSE(stream.open());
    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTrackingStream: Cannot create frame instance."), 1);
    EXPECT_EQ(log.count(Log::Error, "", "AtracsysTracking: no memory for frames"), 1);
    EXPECT_EQ(sim.countCalls("ftkDeleteFrame"), 0u);
}

TEST(DeviceSession, AutomaticIntegrationTimeTakesTheDeviceValue) {
    LogCapture log;
    TestSupport::scriptDevice();  // the device reports 35
    AtracsysTrackingStream stream;
    EXPECT_EQ(stream.imageIntegrationTime(), -1);  // not opened yet
    ASSERT_TRUE(stream.open());
    auto saved = [&] {
        Properties p;
        stream.configuration(&p);
        int value = -1;
        p.param("imageIntegrationTime", value);
        return value;
    };
    EXPECT_EQ(saved(), 0);  // the main thread takes the device's value when it gets to it
    EXPECT_TRUE(TestSupport::waitFor([&] { return saved() == 35; }));
    EXPECT_EQ(stream.imageIntegrationTime(), 35);
}

TEST(DeviceSession, RequestedIntegrationTimeIsWrittenAndUnreadableDeviceLeavesTheParameter) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    {
        AtracsysTrackingStream stream;
        Properties p;
        p.setParam("imageIntegrationTime", 50);
        stream.configure(&p);
        ASSERT_TRUE(stream.open());
        EXPECT_EQ(int32Writes(sim, ftksim::kOptionImageIntegrationTime), std::vector<std::int64_t>{50});
        EXPECT_EQ(stream.imageIntegrationTime(), 50);
    }
    ftksim::DeviceSpec device = ftksim::makeDevice(TestSupport::kSerial, FTK_DEVICE_SPRYTRACK_300);
    device.refusedReads.insert(ftksim::kOptionImageIntegrationTime);
    sim.setDevices({device});
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    Properties saved;
    stream.configuration(&saved);
    int value = -1;
    ASSERT_TRUE(saved.param("imageIntegrationTime", value));
    EXPECT_EQ(value, 0);
}

TEST(DeviceSession, SecondInstanceIsRefusedAndTheFirstStaysUsable) {
    LogCapture log;
    TestSupport::scriptDevice();
    EXPECT_FALSE(AtracsysTrackingStream::exists());
    {
        AtracsysTrackingStream first;
        EXPECT_TRUE(AtracsysTrackingStream::exists());
        try {
            AtracsysTrackingStream second;
            FAIL() << "a second stream was constructed";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(
                e.what(),
                "Can not create a second instance of AtracsysTrackingStream. Only a single instance is "
                "allowed.");
        }
        EXPECT_TRUE(AtracsysTrackingStream::exists());
        EXPECT_TRUE(first.open());
        EXPECT_TRUE(first.start());
        EXPECT_TRUE(first.close());
    }
    EXPECT_FALSE(AtracsysTrackingStream::exists());
    AtracsysTrackingStream again;
    EXPECT_TRUE(AtracsysTrackingStream::exists());
}

TEST(DeviceSession, ParametersKeepTheirOrderDefaultsAndAttributes) {
    AtracsysTrackingStream stream;
    Properties saved;
    stream.configuration(&saved);
    std::vector<std::string> names;
    for (const auto& param : saved.params()) {
        names.push_back(param.name);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"Distance matching tolerance", "fiducialQueryMode", "queryImages",
                                        "maxFiducialMarkerDistance", "imageIntegrationTime", "connect"}));
    EXPECT_EQ(saved.paramType("fiducialQueryMode"), 8);
    EXPECT_EQ(saved.paramAttributes("fiducialQueryMode"),
              (Properties::Attributes{{"values", "None,Belonging to marker,All in marker vicinity,All"}}));
    EXPECT_EQ(saved.paramAttributes("imageIntegrationTime"),
              (Properties::Attributes{{"max", "200"}, {"min", "0"}, {"specialValue", "auto"}}));
    double distance = 0;
    ASSERT_TRUE(saved.param("maxFiducialMarkerDistance", distance));
    EXPECT_EQ(distance, 100.0);

    int changes = 0;
    auto connection = stream.signalParametersChanged.connect([&] { ++changes; });
    stream.setQueryImages(true);
    stream.setQueryImages(true);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(stream.capabilities().value(), 3u);
    EXPECT_EQ(stream.threadingMode(), Stream::WorkerThread);
}

TEST(DeviceSession, IntegrationTimeOnAClosedStreamIsNotStored) {
    AtracsysTrackingStream stream;
    int changes = 0;
    auto connection = stream.signalParametersChanged.connect([&] { ++changes; });
    stream.setImageIntegrationTime(50);
    EXPECT_EQ(changes, 0);
    Properties saved;
    stream.configuration(&saved);
    int value = -1;
    ASSERT_TRUE(saved.param("imageIntegrationTime", value));
    EXPECT_EQ(value, 0);
}

TEST(DeviceSession, IntegrationTimeChangeIsAnnouncedWithTheDriverLockFree) {
    LogCapture log;
    TestSupport::scriptDevice();
    ProbeStream stream;
    ASSERT_TRUE(stream.open());
    int changes = 0;
    bool lockFree = false;
    auto connection = stream.signalParametersChanged.connect([&] {
        ++changes;
        lockFree = driverLockIsFree(stream);
    });
    stream.setImageIntegrationTime(80);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(lockFree);  // a receiver may read the device back
    EXPECT_EQ(stream.imageIntegrationTime(), 80);
}

TEST(DeviceSession, ExceptionWhileOpeningFailsWithOneMessageAndReleasesTheDriver) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    ProbeStream stream;
    stream.throwOnConfigure = true;
    EXPECT_FALSE(stream.open());
    const auto problems = log.recordsAtLeast(Log::Warning);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].level, Log::Error);
    EXPECT_EQ(problems[0].category, "AtracsysTrackingStream");
    EXPECT_EQ(problems[0].text, "Cannot initialize and connect Atracsys tracking system");
    // The lock was released by the failure: the close that follows a failed open got through.
    EXPECT_EQ(stream.currentState(), Stream::Closed);
    EXPECT_EQ(sim.liveLibraries(), 0);
    EXPECT_EQ(sim.liveFrames(), 0);

    stream.throwOnConfigure = false;
    EXPECT_TRUE(stream.open());
}

TEST(DeviceSession, IsInitializedFollowsTheState) {
    LogCapture log;
    TestSupport::scriptDevice();
    AtracsysTrackingStream stream;
    EXPECT_FALSE(stream.isInitialized());
    ASSERT_TRUE(stream.open());
    EXPECT_TRUE(stream.isInitialized());
    ASSERT_TRUE(stream.start());
    EXPECT_TRUE(stream.isInitialized());
    stream.close();
    EXPECT_FALSE(stream.isInitialized());
}

TEST(DeviceSession, OptionCacheEnumeratesOncePerProcess) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    {
        AtracsysTrackingStream stream;
        ASSERT_TRUE(stream.open());
        EXPECT_EQ(stream.imageIntegrationTime(), 35);
    }
    // Another device: the stream learns its options again, the integration-time cache does not.
    const std::size_t before = sim.countCalls("ftkEnumerateOptions");
    sim.setDevices({ftksim::makeDevice(0x77, FTK_DEVICE_SPRYTRACK_180)});
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    EXPECT_EQ(stream.imageIntegrationTime(), 35);
    EXPECT_EQ(sim.countCalls("ftkEnumerateOptions"), before + 1);
}

TEST(DeviceSession, CloseReleasesFrameAndLibraryOnceAndReportsAFailedClose) {
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    EXPECT_EQ(sim.liveFrames(), 1);
    EXPECT_TRUE(stream.close());
    EXPECT_TRUE(stream.close());
    EXPECT_EQ(sim.countCalls("ftkDeleteFrame"), 1u);
    EXPECT_EQ(sim.liveFrames(), 0);
    EXPECT_EQ(sim.liveLibraries(), 0);

    ASSERT_TRUE(stream.open());
    sim.setCloseStatus(FTK_ERR_INTERNAL);
    EXPECT_FALSE(stream.close());
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream", "Cannot close Atracsys tracking library"), 1);
    sim.setCloseStatus(FTK_OK);
}

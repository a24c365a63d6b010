// The integration-time cache lives for the process: its tests rely on each test case running in a
// process of its own (as ctest runs them).
#include "ftk/ftkSimulator.h"
#include "sdk/AtracsysHelpers.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>

using namespace Halvoren::AtracsysHelpers;
using Halvoren::Log;

namespace {

const std::string kNoDevice = "AtracsysTracking: No SpryTrack device connected";
const std::string kNoHandle =
    "AtracsysTracking: Could not retrieve error condition due to uninitialised library handle.";
const std::string kRejected = "AtracsysTracking: This device cannot be used with the simulator!";
const std::string kTolerance = "Distance matching tolerance";
const std::string kPattern = "Image Scheduler Pattern";

class AtracsysHelpers : public ::testing::Test {
protected:
    void SetUp() override {
        sim().reset();
        sim().setLastErrorText("driver says no");
        m_library = ftkInit();
        ASSERT_NE(m_library, nullptr);
    }
    void TearDown() override { ftkClose(&m_library); }

    static ftksim::Simulator& sim() { return ftksim::Simulator::instance(); }

    TestSupport::LogCapture m_log;
    ftkLibrary m_library = nullptr;
};

}  // namespace

TEST_F(AtracsysHelpers, EnumerationReportsTheDeviceFound) {
    sim().setDevices({ftksim::makeDevice(0x1A2B, FTK_DEVICE_SPRYTRACK_300)});
    const DeviceInfo info = enumerateDevices(m_library, true, false);
    EXPECT_EQ(info.serialNumber, 0x1A2Bu);
    EXPECT_EQ(info.deviceType, 5);
    EXPECT_EQ(info.deviceModel, "sTk 300");
    EXPECT_EQ(m_log.count(Log::Info, "", "AtracsysTracking: Detected sTk 300, SN 0x0000000000001a2b"), 1);

    // Several devices: the last one reported wins, with one message.
    m_log.clear();
    sim().setDevices({ftksim::makeDevice(0x1A2B, FTK_DEVICE_SPRYTRACK_300),
                      ftksim::makeDevice(0xFEDCBA9876543210, FTK_DEVICE_SPRYTRACK_180)});
    const DeviceInfo last = enumerateDevices(m_library, true, false);
    EXPECT_EQ(last.serialNumber, 0xFEDCBA9876543210u);
    EXPECT_EQ(last.deviceModel, "sTk 180");
    EXPECT_EQ(m_log.countContaining("Detected"), 1);
    EXPECT_EQ(m_log.count(Log::Info, "", "AtracsysTracking: Detected sTk 180, SN 0xfedcba9876543210"), 1);

    // Quiet: no message.
    m_log.clear();
    EXPECT_EQ(enumerateDevices(m_library, true, true).serialNumber, 0xFEDCBA9876543210u);
    EXPECT_TRUE(m_log.records().empty());
}

TEST_F(AtracsysHelpers, NoDeviceIsReportedEvenWhenQuiet) {
    for (bool quiet : {false, true}) {
        const DeviceInfo info = enumerateDevices(m_library, true, quiet);
        EXPECT_EQ(info.serialNumber, 0u);
        EXPECT_EQ(info.deviceModel, "");
        EXPECT_EQ(m_log.count(Log::Error, "", kNoDevice), 1);
        EXPECT_EQ(m_log.countContaining("Detected"), 0);
        m_log.clear();
    }
}

TEST_F(AtracsysHelpers, ModelNames) {
    const std::pair<ftkDeviceType, std::string> names[] = {
        {0, "fTk simulator"}, {1, "UNKNOWN"}, {2, "fTk 500"},  {3, "fTk 250"},   {4, "sTk 180"},
        {5, "sTk 300"},       {6, "UNKNOWN"}, {-1, "UNKNOWN"}, {127, "UNKNOWN"},
    };
    for (const auto& [type, name] : names) {
        EXPECT_EQ(deviceModelName(type), name) << type;
    }
}

TEST_F(AtracsysHelpers, DriverStatusDecidesWhetherItsTextIsLogged) {
    sim().setDevices({ftksim::makeDevice(7, FTK_DEVICE_SPRYTRACK_300)});
    struct Case {
        ftkStatus status;
        bool quiet;
        int driverMessages;
    };
    for (const Case& c : {Case{-3, true, 0}, Case{-3, false, 1}, Case{FTK_ERR_INTERNAL, true, 1},
                          Case{FTK_ERR_INTERNAL, false, 1}}) {
        sim().setEnumerateDevicesStatus(c.status);
        enumerateDevices(m_library, true, c.quiet);
        EXPECT_EQ(m_log.count(Log::Error, "", "AtracsysTracking: driver says no"), c.driverMessages)
            << c.status << " quiet " << c.quiet;
        EXPECT_EQ(m_log.count(Log::Info, "", "AtracsysTracking: Detected sTk 300, SN 0x0000000000000007"),
                  c.quiet ? 0 : 1);
        m_log.clear();
    }
}

TEST_F(AtracsysHelpers, RejectingCallbackRefusesTheSimulator) {
    sim().setDevices({ftksim::makeDevice(42, FTK_DEVICE_SIMULATOR)});
    const DeviceInfo info = enumerateDevices(m_library, false, true);
    EXPECT_EQ(info.serialNumber, 42u);
    EXPECT_EQ(info.deviceType, 127);
    EXPECT_EQ(info.deviceModel, "UNKNOWN");
    EXPECT_EQ(m_log.count(Log::Error, "", kRejected), 1);

    // Any other device passes; the accepting callback takes the simulator.
    DeviceInfo other;
    recordDeviceRejectingSimulator(43, &other, FTK_DEVICE_FUSIONTRACK_250);
    EXPECT_EQ(other.serialNumber, 43u);
    EXPECT_EQ(other.deviceModel, "fTk 250");
    recordDevice(44, &other, FTK_DEVICE_SIMULATOR);
    EXPECT_EQ(other.deviceType, 0);
    EXPECT_EQ(other.deviceModel, "fTk simulator");

    // A callback without a record does nothing.
    recordDevice(45, nullptr, FTK_DEVICE_SPRYTRACK_300);
    recordDeviceRejectingSimulator(45, nullptr, FTK_DEVICE_SIMULATOR);
}

TEST_F(AtracsysHelpers, OptionEnumerationKeepsTheFirstIdOfAName) {
    auto device = ftksim::makeDevice(9, FTK_DEVICE_SPRYTRACK_300);
    device.options = {{11, "A"}, {12, "B"}, {13, "A"}};
    sim().setDevices({device});
    const OptionMap options = enumerateOptions(m_library, 9);
    EXPECT_EQ(options, (OptionMap{{"A", 11}, {"B", 12}}));

    sim().setEnumerateOptionsStatus(FTK_ERR_INTERNAL);
    enumerateOptions(m_library, 9);
    EXPECT_EQ(m_log.count(Log::Error, "", "Enumerating option failed"), 1);
}

TEST_F(AtracsysHelpers, WritingByName) {
    auto device = ftksim::makeDevice(9, FTK_DEVICE_SPRYTRACK_300);
    device.refusedWrites = {ftksim::kOptionImageSchedulerPattern};
    sim().setDevices({device});
    const OptionMap options = enumerateOptions(m_library, 9);

    EXPECT_TRUE(setOptionFloat32(m_library, 9, options, kTolerance, 2.5f));
    const auto floats = sim().callsTo("ftkSetFloat32");
    ASSERT_EQ(floats.size(), 1u);
    EXPECT_EQ(floats[0].optionId, ftksim::kOptionDistanceMatchingTolerance);
    EXPECT_EQ(floats[0].floatValue, 2.5);

    // A driver refusal is false without a message; a missing name is reported by name.
    EXPECT_FALSE(setOptionData(m_library, 9, options, kPattern, "I"));
    EXPECT_TRUE(m_log.records().empty());
    EXPECT_FALSE(setOptionFloat32(m_library, 9, OptionMap{}, kTolerance, 1.f));
    EXPECT_FALSE(setOptionData(m_library, 9, OptionMap{}, kPattern, "I"));
    EXPECT_EQ(m_log.count(Log::Error, "AtracsysHelpers",
                          "Failed to set value - option < Distance matching tolerance > not available"),
              1);
    EXPECT_EQ(m_log.count(Log::Error, "AtracsysHelpers",
                          "Failed to set value - option < Image Scheduler Pattern > not available"),
              1);
    EXPECT_EQ(sim().countCalls("ftkSetFloat32"), 1u);
    EXPECT_EQ(sim().countCalls("ftkSetData"), 1u);
}

TEST_F(AtracsysHelpers, DataIsSentInAZeroFilledBuffer) {
    sim().setDevices({ftksim::makeDevice(9, FTK_DEVICE_SPRYTRACK_300)});
    const OptionMap options = enumerateOptions(m_library, 9);
    const std::string pattern(54, 'I');
    const std::string full(FTK_DATA_BUFFER_SIZE, 'x');

    EXPECT_TRUE(setOptionData(m_library, 9, options, kPattern, ""));
    EXPECT_TRUE(setOptionData(m_library, 9, options, kPattern, pattern));
    EXPECT_TRUE(setOptionData(m_library, 9, options, kPattern, full));
    EXPECT_FALSE(setOptionData(m_library, 9, options, kPattern, full + "x"));

    const auto calls = sim().callsTo("ftkSetData");
    ASSERT_EQ(calls.size(), 3u);
    const std::string sent[] = {"", pattern, full};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].optionId, ftksim::kOptionImageSchedulerPattern);
        EXPECT_EQ(calls[i].dataSize, sent[i].size());
        EXPECT_EQ(calls[i].data, sent[i]);
        EXPECT_TRUE(calls[i].dataTailZero);
    }
}

TEST_F(AtracsysHelpers, IntegrationTimeIdsAreEnumeratedOncePerProcess) {
    auto first = ftksim::makeDevice(1, FTK_DEVICE_SPRYTRACK_300);
    first.int32Values[ftksim::kOptionImageIntegrationTime] = 35;
    auto second = ftksim::makeDevice(2, FTK_DEVICE_SPRYTRACK_180);
    second.options = {{7000, "Image Integration Time"}};
    sim().setDevices({first, second});

    // A failed enumeration leaves nothing cached and is not reported here; the next call tries again.
    sim().setEnumerateOptionsStatus(FTK_ERR_INTERNAL);
    int value = -1;
    EXPECT_EQ(imageIntegrationTimeOptionId(m_library, 1), nullptr);
    EXPECT_FALSE(readImageIntegrationTime(m_library, 1, value));
    EXPECT_FALSE(writeImageIntegrationTime(m_library, 1, 20));
    EXPECT_EQ(value, -1);
    EXPECT_EQ(sim().countCalls("ftkGetInt32") + sim().countCalls("ftkSetInt32"), 0u);
    sim().setEnumerateOptionsStatus(FTK_OK);
    sim().clearCalls();

    EXPECT_TRUE(readImageIntegrationTime(m_library, 1, value));
    EXPECT_EQ(value, 35);
    EXPECT_TRUE(writeImageIntegrationTime(m_library, 1, 20));
    // The second device's own id is never learnt: the first device's ids are reused.
    readImageIntegrationTime(m_library, 2, value);
    writeImageIntegrationTime(m_library, 2, 30);

    EXPECT_EQ(sim().countCalls("ftkEnumerateOptions"), 1u);
    const auto reads = sim().callsTo("ftkGetInt32");
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].optionId, ftksim::kOptionImageIntegrationTime);
    EXPECT_EQ(reads[0].intValue, FTK_VALUE_CURRENT);
    EXPECT_EQ(reads[1].optionId, ftksim::kOptionImageIntegrationTime);
    const auto writes = sim().callsTo("ftkSetInt32");
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].intValue, 20);
    EXPECT_EQ(writes[1].serialNumber, 2u);
    EXPECT_EQ(writes[1].optionId, ftksim::kOptionImageIntegrationTime);
    EXPECT_TRUE(m_log.records().empty());
}

TEST_F(AtracsysHelpers, DeviceWithoutIntegrationTimeUsesOptionIdZero) {
    auto device = ftksim::makeDevice(3, FTK_DEVICE_SPRYTRACK_300);
    device.options = {{2003, kTolerance}};
    sim().setDevices({device});

    const auto id = imageIntegrationTimeOptionId(m_library, 3);
    ASSERT_NE(id, nullptr);
    EXPECT_EQ(*id, 0u);
    int value = -1;
    EXPECT_FALSE(readImageIntegrationTime(m_library, 3, value));
    EXPECT_EQ(value, -1);
    EXPECT_FALSE(writeImageIntegrationTime(m_library, 3, 10));
    EXPECT_EQ(sim().callsTo("ftkGetInt32").at(0).optionId, 0u);
    EXPECT_EQ(sim().callsTo("ftkSetInt32").at(0).optionId, 0u);
    EXPECT_EQ(sim().countCalls("ftkEnumerateOptions"), 1u);
}

TEST_F(AtracsysHelpers, DriverErrorText) {
    logDriverError(nullptr);
    EXPECT_EQ(m_log.count(Log::Error, "", kNoHandle), 1);

    sim().setLastErrorText("");
    logDriverError(m_library);
    EXPECT_EQ(m_log.count(Log::Error, "", "AtracsysTracking: "), 1);

    sim().setLastErrorStatus(FTK_ERR_INTERNAL);
    logDriverError(m_library);
    EXPECT_EQ(m_log.count(Log::Error, "", kNoHandle), 2);
    EXPECT_EQ(m_log.records().size(), 3u);
}

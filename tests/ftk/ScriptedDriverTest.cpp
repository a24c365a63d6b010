#include "ScriptedDriver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace FtkTest;

namespace {

struct Found {
    std::vector<std::pair<std::uint64_t, ftkDeviceType>> devices;
    std::vector<std::pair<std::uint32_t, std::string>> options;
};

void recordDevice(std::uint64_t serialNumber, void* user, ftkDeviceType type) {
    static_cast<Found*>(user)->devices.emplace_back(serialNumber, type);
}

void recordOption(std::uint64_t, void* user, ftkOptionInfo* option) {
    // The name must be terminated inside its array.
    const std::size_t length = strnlen(option->name, sizeof(option->name));
    ASSERT_LT(length, sizeof(option->name));
    static_cast<Found*>(user)->options.emplace_back(option->id, std::string(option->name, length));
}

ftkGeometry squareGeometry(std::uint32_t id) {
    ftkGeometry geometry{};
    geometry.geometryId = id;
    geometry.pointsCount = 4;
    geometry.positions[1] = {50.f, 0.f, 0.f};
    geometry.positions[2] = {50.f, 50.f, 0.f};
    geometry.positions[3] = {0.f, 50.f, 0.f};
    return geometry;
}

}  // namespace

using FtkLibrary = ScriptedDriver;
using FtkDevices = ScriptedDriver;
using FtkOptions = ScriptedDriver;
using FtkCallRecord = ScriptedDriver;
using FtkArguments = ScriptedDriver;
using FtkErrorText = ScriptedDriver;
using FtkGeometries = ScriptedDriver;

TEST_F(FtkLibrary, CloseNullsTheHandleAndANullHandleIsNothingToClose) {
    EXPECT_EQ(sim().liveLibraries(), 1);
    ftkLibrary second = ftkInit();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, m_library);
    EXPECT_EQ(sim().liveLibraries(), 2);

    EXPECT_EQ(ftkClose(&second), FTK_OK);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(sim().liveLibraries(), 1);
    EXPECT_EQ(ftkClose(&second), FTK_OK);
    EXPECT_EQ(ftkClose(nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(sim().liveLibraries(), 1);

    sim().setInitFails(true);
    EXPECT_EQ(ftkInit(), nullptr);
    EXPECT_EQ(sim().liveLibraries(), 1);
}

TEST_F(FtkLibrary, FailedCloseLeavesTheLibraryOpenAndUsable) {
    sim().setCloseStatus(FTK_ERR_INTERNAL);
    ftkLibrary handle = m_library;
    EXPECT_EQ(ftkClose(&handle), FTK_ERR_INTERNAL);
    EXPECT_EQ(handle, m_library);
    EXPECT_EQ(sim().liveLibraries(), 1);
    int32_t value = 0;
    EXPECT_EQ(ftkGetInt32(handle, kSerial, ftksim::kOptionImageIntegrationTime, &value, FTK_VALUE_CURRENT),
              FTK_OK);
}

TEST_F(FtkLibrary, ClosedHandleIsRejectedByEveryFunction) {
    ftkLibrary stale = m_library;
    ASSERT_EQ(ftkClose(&m_library), FTK_OK);
    Found found;
    int32_t value = 0;
    ftkDataBuffer buffer{};
    ftkGeometry geometry = squareGeometry(1001);
    char text[16];
    ftkFrame* frame = makeFrame(false, 1, 1, 1);

    EXPECT_EQ(ftkEnumerateDevices(stale, recordDevice, &found), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkEnumerateOptions(stale, kSerial, recordOption, &found), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkGetInt32(stale, kSerial, 2004, &value, FTK_VALUE_CURRENT), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkSetInt32(stale, kSerial, 2004, 1), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkSetFloat32(stale, kSerial, 2003, 1.f), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkSetData(stale, kSerial, 2005, &buffer), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkGetLastFrame(stale, kSerial, frame, 0), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkSetGeometry(stale, kSerial, &geometry), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkClearGeometry(stale, kSerial, 1001), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkGetLastErrorString(stale, sizeof(text), text), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkClose(&stale), FTK_ERR_NO_LIBRARY);
    EXPECT_TRUE(found.devices.empty());
    EXPECT_TRUE(found.options.empty());
}

TEST_F(FtkDevices, EnumerationCallsBackOncePerDeviceInOrderWhateverTheStatus) {
    sim().addDevice(ftksim::makeDevice(7, FTK_DEVICE_FUSIONTRACK_500));
    for (ftkStatus status : {FTK_OK, FTK_WAR_SHOCK_DETECTED, FTK_ERR_INTERNAL}) {
        sim().setEnumerateDevicesStatus(status);
        Found found;
        EXPECT_EQ(ftkEnumerateDevices(m_library, recordDevice, &found), status);
        const decltype(found.devices) expected{{kSerial, FTK_DEVICE_SPRYTRACK_300},
                                               {7, FTK_DEVICE_FUSIONTRACK_500}};
        EXPECT_EQ(found.devices, expected);
    }
}

TEST_F(FtkDevices, CallbackMayCallTheDriverAgain) {
    // The driver must not hold its lock while it calls back.
    struct Context {
        ftkLibrary library;
        std::vector<std::uint32_t> ids;
    } context{m_library, {}};
    auto callback = [](std::uint64_t serialNumber, void* user, ftkDeviceType) {
        auto* context = static_cast<Context*>(user);
        auto option = [](std::uint64_t, void* user, ftkOptionInfo* info) {
            static_cast<Context*>(user)->ids.push_back(info->id);
        };
        EXPECT_EQ(ftkEnumerateOptions(context->library, serialNumber, option, user), FTK_OK);
    };
    EXPECT_EQ(ftkEnumerateDevices(m_library, callback, &context), FTK_OK);
    EXPECT_EQ(context.ids.size(), ftksim::defaultOptions().size());
}

TEST_F(FtkOptions, EnumerationReportsTheDevicesOptionsWithTerminatedNames) {
    ftksim::DeviceSpec device = ftksim::makeDevice(kSerial, FTK_DEVICE_SPRYTRACK_180);
    device.options.push_back({4000, std::string(100, 'x')});
    sim().setDevices({device});
    sim().setEnumerateOptionsStatus(FTK_ERR_INTERNAL);

    Found found;
    EXPECT_EQ(ftkEnumerateOptions(m_library, kSerial, recordOption, &found), FTK_ERR_INTERNAL);
    ASSERT_EQ(found.options.size(), device.options.size());
    EXPECT_EQ(found.options[4], (std::pair<std::uint32_t, std::string>{2003, "Distance matching tolerance"}));
    EXPECT_EQ(found.options.back().first, 4000u);
    EXPECT_EQ(found.options.back().second, std::string(FTK_OPTION_NAME_SIZE - 1, 'x'));

    Found none;
    EXPECT_EQ(ftkEnumerateOptions(m_library, 99, recordOption, &none), FTK_ERR_NO_DEVICE);
    EXPECT_TRUE(none.options.empty());
}

TEST_F(FtkOptions, DefaultOptionsNameTheSettingsTheStreamWrites) {
    std::map<std::uint32_t, std::string> names;
    for (const ftksim::OptionSpec& option : ftksim::defaultOptions()) {
        EXPECT_TRUE(names.emplace(option.id, option.name).second) << "duplicate id " << option.id;
    }
    EXPECT_EQ(names[2003], "Distance matching tolerance");
    EXPECT_EQ(names[2004], "Image Integration Time");
    EXPECT_EQ(names[2005], "Image Scheduler Pattern");
    EXPECT_GT(names.size(), 3u);
    EXPECT_EQ(ftksim::makeDevice(5, FTK_DEVICE_SPRYTRACK_180).int32Values.at(2004), 35);
}

TEST_F(FtkOptions, ReadsCurrentValuesAndStoresSuccessfulWrites) {
    int32_t value = 0;
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 2004, &value, FTK_VALUE_CURRENT), FTK_OK);
    EXPECT_EQ(value, 35);
    EXPECT_EQ(ftkSetInt32(m_library, kSerial, 2004, 48), FTK_OK);
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 2004, &value, FTK_VALUE_CURRENT), FTK_OK);
    EXPECT_EQ(value, 48);
    EXPECT_EQ(sim().devices().at(0).int32Values.at(2004), 48);

    // Reads that fail leave the value alone.
    value = -7;
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 2004, &value, 0), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 9999, &value, FTK_VALUE_CURRENT), FTK_ERR_UNKNOWN_OPTION);
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 2003, &value, FTK_VALUE_CURRENT), FTK_ERR_UNKNOWN_OPTION);
    EXPECT_EQ(ftkGetInt32(m_library, 99, 2004, &value, FTK_VALUE_CURRENT), FTK_ERR_NO_DEVICE);
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 2004, nullptr, FTK_VALUE_CURRENT), FTK_ERR_INVALID_ARGUMENT);
    ftksim::DeviceSpec device = sim().devices().at(0);
    device.refusedReads.insert(2004);
    sim().setDevices({device});
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 2004, &value, FTK_VALUE_CURRENT), FTK_ERR_REFUSED);
    EXPECT_EQ(value, -7);
}

TEST_F(FtkOptions, RefusedAndUnknownWritesFailForEveryValueType) {
    ftksim::DeviceSpec device = ftksim::makeDevice(kSerial, FTK_DEVICE_SPRYTRACK_300);
    device.refusedWrites = {2003, 2004, 2005};
    sim().setDevices({device});
    ftkDataBuffer buffer{};
    using Write = ftkStatus (*)(ftkLibrary, std::uint32_t, ftkDataBuffer*);
    const std::vector<std::pair<const char*, Write>> writes{
        {"int32",
         [](ftkLibrary l, std::uint32_t id, ftkDataBuffer*) { return ftkSetInt32(l, kSerial, id, 1); }},
        {"float32",
         [](ftkLibrary l, std::uint32_t id, ftkDataBuffer*) { return ftkSetFloat32(l, kSerial, id, 1.f); }},
        {"data",
         [](ftkLibrary l, std::uint32_t id, ftkDataBuffer* b) { return ftkSetData(l, kSerial, id, b); }},
    };
    for (const auto& write : writes) {
        SCOPED_TRACE(write.first);
        EXPECT_EQ(write.second(m_library, 2004, &buffer), FTK_ERR_REFUSED);
        EXPECT_EQ(write.second(m_library, 4242, &buffer), FTK_ERR_UNKNOWN_OPTION);
        EXPECT_EQ(write.second(m_library, 2006, &buffer), FTK_OK);
    }
    EXPECT_EQ(sim().devices().at(0).int32Values.at(2004), 35);
}

TEST_F(FtkOptions, OnlySpryTrackModelsAcceptOnboardProcessingAndImageSending) {
    const std::vector<std::pair<ftkDeviceType, bool>> models{{FTK_DEVICE_SIMULATOR, false},
                                                             {FTK_DEVICE_FUSIONTRACK_500, false},
                                                             {FTK_DEVICE_FUSIONTRACK_250, false},
                                                             {FTK_DEVICE_SPRYTRACK_180, true},
                                                             {FTK_DEVICE_SPRYTRACK_300, true}};
    for (const auto& model : models) {
        SCOPED_TRACE(model.first);
        sim().setDevices({ftksim::makeDevice(kSerial, model.first)});
        const ftkStatus expected = model.second ? FTK_OK : FTK_ERR_UNKNOWN_OPTION;
        EXPECT_EQ(ftkSetInt32(m_library, kSerial, 6000, 1), expected);
        EXPECT_EQ(ftkSetInt32(m_library, kSerial, 6003, 0), expected);
        EXPECT_EQ(ftkSetFloat32(m_library, kSerial, 6003, 0.f), expected);
        EXPECT_EQ(ftkSetInt32(m_library, kSerial, 6001, 1), FTK_ERR_UNKNOWN_OPTION);
    }
    int32_t value = -1;
    EXPECT_EQ(ftkGetInt32(m_library, kSerial, 6003, &value, FTK_VALUE_CURRENT), FTK_OK);
    EXPECT_EQ(value, 0);
}

TEST_F(FtkOptions, DataWriteRecordsTheUsedBytesTheSizeAndWhetherTheTailIsZero) {
    ftkDataBuffer buffer{};
    std::memcpy(buffer.data, "IIII", 4);
    buffer.size = 4;
    EXPECT_EQ(ftkSetData(m_library, kSerial, 2005, &buffer), FTK_OK);
    buffer.data[FTK_DATA_BUFFER_SIZE - 1] = 'x';
    EXPECT_EQ(ftkSetData(m_library, kSerial, 2005, &buffer), FTK_OK);
    // A size beyond the buffer is refused rather than read past it.
    buffer.size = FTK_DATA_BUFFER_SIZE + 1;
    EXPECT_EQ(ftkSetData(m_library, kSerial, 2005, &buffer), FTK_ERR_INVALID_ARGUMENT);

    const auto calls = sim().callsTo("ftkSetData");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].optionId, 2005u);
    EXPECT_EQ(calls[0].data, "IIII");
    EXPECT_EQ(calls[0].dataSize, 4u);
    EXPECT_TRUE(calls[0].dataTailZero);
    EXPECT_FALSE(calls[1].dataTailZero);
    EXPECT_EQ(calls[2].dataSize, FTK_DATA_BUFFER_SIZE + 1u);
    EXPECT_EQ(calls[2].data.size(), static_cast<std::size_t>(FTK_DATA_BUFFER_SIZE));
    EXPECT_EQ(calls[2].result, FTK_ERR_INVALID_ARGUMENT);
}

TEST_F(FtkCallRecord, RecordsEachCallWithItsArgumentsAndResultInOrder) {
    sim().clearCalls();
    Found found;
    ftkEnumerateDevices(m_library, recordDevice, &found);
    ftkSetFloat32(m_library, kSerial, 2003, 2.5f);
    ftkSetInt32(m_library, kSerial, 6003, 1);
    ftkSetInt32(m_library, kSerial, 4242, 3);
    ftkFrame* frame = ftkCreateFrame();
    ftkSetFrameOptions(true, 20, 128, 128, 256, 16, frame);
    ftkGetLastFrame(m_library, kSerial, frame, 0);
    ftkDeleteFrame(frame);
    ftkLibrary closed = m_library;
    ftkClose(&m_library);

    EXPECT_EQ(callNames(), (std::vector<std::string>{"ftkEnumerateDevices", "ftkSetFloat32", "ftkSetInt32",
                                                     "ftkSetInt32", "ftkCreateFrame", "ftkSetFrameOptions",
                                                     "ftkGetLastFrame", "ftkDeleteFrame", "ftkClose"}));
    const auto calls = sim().calls();
    EXPECT_EQ(calls[0].handle, closed);
    EXPECT_EQ(calls[1].serialNumber, kSerial);
    EXPECT_EQ(calls[1].optionId, 2003u);
    EXPECT_EQ(calls[1].floatValue, 2.5);
    EXPECT_EQ(calls[2].optionId, 6003u);
    EXPECT_EQ(calls[2].intValue, 1);
    EXPECT_EQ(calls[2].result, FTK_OK);
    EXPECT_EQ(calls[3].result, FTK_ERR_UNKNOWN_OPTION);
    EXPECT_EQ(calls[4].handle, frame);
    EXPECT_EQ(calls[5].frameOptions, (std::vector<std::uint32_t>{1, 20, 128, 128, 256, 16}));
    EXPECT_EQ(calls[6].intValue, 0);
    EXPECT_EQ(calls[6].result, FTK_WAR_NO_FRAME);
    EXPECT_EQ(calls[8].handle, closed);
    EXPECT_EQ(sim().countCalls("ftkSetInt32"), 2u);
    sim().clearCalls();
    EXPECT_TRUE(sim().calls().empty());
}

TEST_F(FtkArguments, NullPointersGiveStatusesAndAreRecorded) {
    ftkFrame* frame = makeFrame(true, 4, 4, 4);
    sim().clearCalls();
    int32_t value = 0;
    char text[8];
    EXPECT_EQ(ftkEnumerateDevices(m_library, nullptr, nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkEnumerateOptions(m_library, kSerial, nullptr, nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkSetData(m_library, kSerial, 2005, nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkSetFrameOptions(true, 1, 1, 1, 1, 1, nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkDeleteFrame(nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkGetLastFrame(m_library, kSerial, nullptr, 0), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkSetGeometry(m_library, kSerial, nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkGetLastErrorString(m_library, sizeof(text), nullptr), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkGetLastErrorString(m_library, 0, text), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(sim().calls().size(), 9u);

    // A null library handle.
    EXPECT_EQ(ftkGetInt32(nullptr, kSerial, 2004, &value, FTK_VALUE_CURRENT), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkGetLastFrame(nullptr, kSerial, frame, 0), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkClearGeometry(nullptr, kSerial, 1001), FTK_ERR_NO_LIBRARY);
    EXPECT_EQ(ftkGetLastErrorString(nullptr, sizeof(text), text), FTK_ERR_NO_LIBRARY);
    for (const ftksim::Call& call : sim().calls()) {
        EXPECT_NE(call.result, FTK_OK) << call.function;
    }
}

TEST_F(FtkErrorText, IsCutToTheBufferAndTerminated) {
    sim().setLastErrorText("camera unplugged");
    char small[8];
    std::memset(small, '#', sizeof(small));
    EXPECT_EQ(ftkGetLastErrorString(m_library, 7, small), FTK_OK);
    EXPECT_STREQ(small, "camera");
    EXPECT_EQ(small[7], '#');

    char full[FTK_ERROR_TEXT_SIZE];
    EXPECT_EQ(ftkGetLastErrorString(m_library, sizeof(full), full), FTK_OK);
    EXPECT_STREQ(full, "camera unplugged");

    sim().setLastErrorText("");
    sim().setLastErrorStatus(FTK_ERR_INTERNAL);
    EXPECT_EQ(ftkGetLastErrorString(m_library, sizeof(full), full), FTK_ERR_INTERNAL);
    EXPECT_STREQ(full, "");
    EXPECT_EQ(sim().callsTo("ftkGetLastErrorString").at(0).intValue, 7);
}

TEST_F(FtkErrorText, EachFailingCallLeavesItsOwnText) {
    auto lastError = [this] {
        char text[FTK_ERROR_TEXT_SIZE];
        EXPECT_EQ(ftkGetLastErrorString(m_library, sizeof(text), text), FTK_OK);
        return std::string(text);
    };
    EXPECT_EQ(ftkSetInt32(m_library, kSerial, 4242, 1), FTK_ERR_UNKNOWN_OPTION);
    EXPECT_EQ(lastError(), "Unknown option 4242");
    // Neither a success nor reading the text changes it.
    EXPECT_EQ(ftkSetInt32(m_library, kSerial, 2004, 1), FTK_OK);
    EXPECT_EQ(lastError(), "Unknown option 4242");

    // A scripted fault names its call unless the test gave it a text.
    ftkGeometry geometry = squareGeometry(1005);
    sim().setSetGeometryStatus(FTK_ERR_INTERNAL);
    EXPECT_EQ(ftkSetGeometry(m_library, kSerial, &geometry), FTK_ERR_INTERNAL);
    EXPECT_EQ(lastError(), "ftkSetGeometry failed with status 4");
    sim().setCreateFrameFails(true);
    EXPECT_EQ(ftkCreateFrame(), nullptr);
    EXPECT_EQ(lastError(), "ftkCreateFrame failed with status 4");
    EXPECT_EQ(sim().callsTo("ftkCreateFrame").at(0).result, FTK_ERR_INTERNAL);
    sim().setLastErrorText("cable pulled");
    EXPECT_EQ(lastError(), "cable pulled");
    int32_t value = 0;
    EXPECT_EQ(ftkGetInt32(m_library, 99, 2004, &value, FTK_VALUE_CURRENT), FTK_ERR_NO_DEVICE);
    EXPECT_EQ(lastError(), "No device with serial number 99");
    EXPECT_EQ(ftkSetGeometry(m_library, kSerial, &geometry), FTK_ERR_INTERNAL);
    EXPECT_EQ(lastError(), "cable pulled");
}

TEST_F(FtkGeometries, SetStoresClearRemovesAndFailuresChangeNothing) {
    ftkGeometry geometry = squareGeometry(1005);
    EXPECT_EQ(ftkSetGeometry(m_library, kSerial, &geometry), FTK_OK);
    ASSERT_EQ(sim().geometries().count(1005), 1u);
    EXPECT_EQ(sim().geometries().at(1005).positions[2].y, 50.f);
    EXPECT_EQ(sim().callsTo("ftkSetGeometry").at(0).geometry->pointsCount, 4u);

    ftkGeometry refused = squareGeometry(1006);
    sim().refuseGeometry(1006);
    EXPECT_EQ(ftkSetGeometry(m_library, kSerial, &refused), FTK_ERR_REFUSED);
    sim().refuseGeometry(1006, false);
    sim().setSetGeometryStatus(FTK_ERR_INTERNAL);
    EXPECT_EQ(ftkSetGeometry(m_library, kSerial, &refused), FTK_ERR_INTERNAL);
    sim().setSetGeometryStatus(FTK_OK);
    refused.pointsCount = FTK_MAX_GEOMETRY_FIDUCIALS + 1;
    EXPECT_EQ(ftkSetGeometry(m_library, kSerial, &refused), FTK_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(ftkSetGeometry(m_library, 99, &geometry), FTK_ERR_NO_DEVICE);
    EXPECT_EQ(sim().geometries().size(), 1u);

    sim().setClearGeometryStatus(FTK_ERR_REFUSED);
    EXPECT_EQ(ftkClearGeometry(m_library, kSerial, 1005), FTK_ERR_REFUSED);
    EXPECT_EQ(sim().geometries().size(), 1u);
    sim().setClearGeometryStatus(FTK_OK);
    EXPECT_EQ(ftkClearGeometry(m_library, kSerial, 1005), FTK_OK);
    EXPECT_TRUE(sim().geometries().empty());
    EXPECT_EQ(sim().callsTo("ftkClearGeometry").at(1).geometryId, 1005u);

    // Only a geometry set on the device can be cleared.
    for (std::uint32_t id : {1005u, 1006u, 0u}) {
        EXPECT_EQ(ftkClearGeometry(m_library, kSerial, id), FTK_ERR_INVALID_ARGUMENT) << id;
        char text[FTK_ERROR_TEXT_SIZE];
        ASSERT_EQ(ftkGetLastErrorString(m_library, sizeof(text), text), FTK_OK);
        EXPECT_EQ(std::string(text), "Geometry " + std::to_string(id) + " is not set on device 6699");
    }
}

TEST_F(FtkGeometries, ClosingTheLibraryForgetsItsGeometries) {
    ftkGeometry geometry = squareGeometry(1005);
    ASSERT_EQ(ftkSetGeometry(m_library, kSerial, &geometry), FTK_OK);
    ASSERT_EQ(ftkClose(&m_library), FTK_OK);
    EXPECT_TRUE(sim().geometries().empty());
}

// The driver without a script: what the application sees, one simulated camera.
#include "ftk/ftk.h"
#include "ftk/ftkSimulator.h"

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using Devices = std::vector<std::pair<std::uint64_t, ftkDeviceType>>;

void recordDevice(std::uint64_t serialNumber, void* user, ftkDeviceType type) {
    static_cast<Devices*>(user)->emplace_back(serialNumber, type);
}

class FtkCamera : public ::testing::Test {
protected:
    void SetUp() override {
        ftksim::Simulator::instance().useCamera();
        unsetenv("FTK_SIMULATOR_SETTINGS");
    }

    void TearDown() override {
        if (m_frame != nullptr) {
            ftkDeleteFrame(m_frame);
        }
        ftkClose(&m_library);
        unsetenv("FTK_SIMULATOR_SETTINGS");
    }

    Devices openAndEnumerate() {
        m_library = ftkInit();
        Devices devices;
        EXPECT_NE(m_library, nullptr);
        EXPECT_EQ(ftkEnumerateDevices(m_library, recordDevice, &devices), FTK_OK);
        return devices;
    }

    /// Fetches until the predicate holds for a frame, for at most a few seconds of frames.
    template <class Predicate>
    bool fetchUntil(std::uint64_t serial, Predicate predicate) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            const ftkStatus status = ftkGetLastFrame(m_library, serial, m_frame, 100);
            if (status == FTK_OK && predicate(*m_frame)) {
                return true;
            }
        }
        return false;
    }

    ftkLibrary m_library = nullptr;
    ftkFrame* m_frame = nullptr;
};

ftkGeometry asymmetricMarker(std::uint32_t id) {
    ftkGeometry geometry{};
    geometry.geometryId = id;
    geometry.pointsCount = 4;
    geometry.positions[1] = {50.f, 0.f, 0.f};
    geometry.positions[2] = {0.f, 40.f, 0.f};
    geometry.positions[3] = {35.f, 55.f, 0.f};
    return geometry;
}

bool hasMarker(const ftkFrame& frame, std::uint32_t id) {
    for (std::uint32_t i = 0; i < frame.markersCount; ++i) {
        if (frame.markers[i].geometryId == id) {
            return true;
        }
    }
    return false;
}

}  // namespace

TEST_F(FtkCamera, OffersOneSpryTrack300WithTheDefaultOptions) {
    EXPECT_FALSE(ftksim::Simulator::instance().scripted());
    const Devices devices = openAndEnumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].second, FTK_DEVICE_SPRYTRACK_300);
    const std::uint64_t serial = devices[0].first;
    EXPECT_NE(serial, 0u);

    std::vector<std::uint32_t> ids;
    auto option = [](std::uint64_t, void* user, ftkOptionInfo* info) {
        static_cast<std::vector<std::uint32_t>*>(user)->push_back(info->id);
    };
    EXPECT_EQ(ftkEnumerateOptions(m_library, serial, option, &ids), FTK_OK);
    EXPECT_EQ(ids.size(), ftksim::defaultOptions().size());
    int32_t integration = 0;
    EXPECT_EQ(ftkGetInt32(m_library, serial, 2004, &integration, FTK_VALUE_CURRENT), FTK_OK);
    EXPECT_EQ(integration, 35);
    EXPECT_EQ(ftkSetInt32(m_library, serial, 6000, 1), FTK_OK);
}

TEST_F(FtkCamera, SettingsFileChoosesTheDevice) {
    QTemporaryDir dir;
    const std::string path = dir.filePath("camera.ini").toStdString();
    std::ofstream(path) << "model = sTk 180\nserial = 0x42\n";
    setenv("FTK_SIMULATOR_SETTINGS", path.c_str(), 1);
    EXPECT_EQ(openAndEnumerate(), (Devices{{0x42, FTK_DEVICE_SPRYTRACK_180}}));
}

TEST_F(FtkCamera, UnreadableSettingsFileMeansNoDeviceAndSaysWhy) {
    setenv("FTK_SIMULATOR_SETTINGS", "/nonexistent/camera.ini", 1);
    EXPECT_TRUE(openAndEnumerate().empty());
    char text[FTK_ERROR_TEXT_SIZE];
    ASSERT_EQ(ftkGetLastErrorString(m_library, sizeof(text), text), FTK_OK);
    EXPECT_NE(std::string(text).find("/nonexistent/camera.ini"), std::string::npos) << text;
}

TEST_F(FtkCamera, GeometriesSetOnTheDeviceAreTrackedUntilCleared) {
    const Devices devices = openAndEnumerate();
    ASSERT_EQ(devices.size(), 1u);
    const std::uint64_t serial = devices[0].first;
    m_frame = ftkCreateFrame();
    ASSERT_EQ(ftkSetFrameOptions(true, 20, 128, 128, 256, 16, m_frame), FTK_OK);
    ftkGeometry geometry = asymmetricMarker(1005);
    ASSERT_EQ(ftkSetGeometry(m_library, serial, &geometry), FTK_OK);

    ASSERT_TRUE(fetchUntil(serial, [](const ftkFrame& frame) { return hasMarker(frame, 1005); }));
    EXPECT_EQ(m_frame->markersStatus, FTK_PART_OK);
    EXPECT_GE(m_frame->fiducialsCount, 4u);
    EXPECT_EQ(m_frame->leftPixelsStatus, FTK_PART_OK);
    EXPECT_GT(m_frame->imageHeader->width, 0);
    EXPECT_NE(m_frame->leftPixels, nullptr);

    ASSERT_EQ(ftkClearGeometry(m_library, serial, 1005), FTK_OK);
    EXPECT_TRUE(fetchUntil(serial, [](const ftkFrame& frame) { return frame.markersCount == 0; }));
    // Cleared once, it is no longer on the device.
    EXPECT_EQ(ftkClearGeometry(m_library, serial, 1005), FTK_ERR_INVALID_ARGUMENT);
}

TEST_F(FtkCamera, SwitchingImageSendingOffStopsThePixels) {
    const Devices devices = openAndEnumerate();
    ASSERT_EQ(devices.size(), 1u);
    const std::uint64_t serial = devices[0].first;
    m_frame = ftkCreateFrame();
    ASSERT_EQ(ftkSetFrameOptions(true, 20, 128, 128, 256, 16, m_frame), FTK_OK);
    ASSERT_EQ(ftkSetInt32(m_library, serial, 6003, 0), FTK_OK);
    ASSERT_TRUE(fetchUntil(serial, [](const ftkFrame&) { return true; }));
    EXPECT_EQ(m_frame->leftPixelsStatus, FTK_PART_SKIPPED);
    EXPECT_EQ(m_frame->imageHeader->width, 0);
}

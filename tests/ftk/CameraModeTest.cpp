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

    // A long run keeps only the newest few calls, for a test to look at, not every call it ever made.
    for (std::int32_t i = 0; i < 500; ++i) {
        EXPECT_EQ(ftkSetInt32(m_library, serial, 2004, i), FTK_OK);
    }
    const std::vector<ftksim::Call> calls = ftksim::Simulator::instance().calls();
    ASSERT_GE(calls.size(), 1u);
    EXPECT_LE(calls.size(), 100u);
    EXPECT_EQ(calls.back().function, "ftkSetInt32");
    EXPECT_EQ(calls.back().intValue, 499);
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

TEST_F(FtkCamera, CountersAreTheCamerasFrameNumbersAndStampsItsExposures) {
    // 100 Hz; a quarter of the frames dropped; frames 50 to 69 (counters 51 to 70) inside a freeze.
    QTemporaryDir dir;
    const std::string path = dir.filePath("camera.ini").toStdString();
    std::ofstream(path) << "rate = 100\nseed = 7\ndrop_rate = 0.25\nfreeze_at = 0.5\nfreeze_for = 0.2\n";
    setenv("FTK_SIMULATOR_SETTINGS", path.c_str(), 1);
    const auto nowUs = [] {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::system_clock::now().time_since_epoch())
                                              .count());
    };
    const std::uint64_t before = nowUs();
    const Devices devices = openAndEnumerate();
    ASSERT_EQ(devices.size(), 1u);
    m_frame = ftkCreateFrame();
    ASSERT_EQ(ftkSetFrameOptions(false, 0, 16, 16, 16, 4, m_frame), FTK_OK);

    std::vector<std::pair<std::uint32_t, std::uint64_t>> seen;  // counter, stamp
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((seen.empty() || seen.back().first <= 100) && std::chrono::steady_clock::now() < deadline) {
        const ftkStatus status = ftkGetLastFrame(m_library, devices[0].first, m_frame, 1000);
        if (status == FTK_OK) {
            ASSERT_EQ(m_frame->imageHeaderStatus, FTK_PART_OK);
            seen.emplace_back(m_frame->imageHeader->counter, m_frame->imageHeader->timestampUs);
        } else {
            ASSERT_EQ(status, FTK_WAR_NO_FRAME);
        }
    }
    ASSERT_GT(seen.size(), 1u);
    ASSERT_GT(seen.back().first, 100u);
    EXPECT_GE(seen.front().second, before - 1000);
    EXPECT_LE(seen.back().second, nowUs() + 1000);

    int gapsOutsideTheFreeze = 0;
    bool spansTheFreeze = false;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        const auto [previous, previousStamp] = seen[i - 1];
        const auto [counter, stamp] = seen[i];
        ASSERT_GT(counter, previous) << i;
        EXPECT_FALSE(counter >= 51 && counter <= 70) << counter;
        const double expectedUs = (counter - previous) * 10000.0;
        EXPECT_NEAR(static_cast<double>(stamp - previousStamp), expectedUs, 2.0) << counter;
        if (previous <= 50 && counter >= 71) {
            spansTheFreeze = true;
        } else if (counter - previous > 1) {
            ++gapsOutsideTheFreeze;
        }
    }
    EXPECT_TRUE(spansTheFreeze);
    // Dropped frames leave gaps too: with a quarter of them dropped, some among the 80 outside the freeze.
    EXPECT_GT(gapsOutsideTheFreeze, 0);
}

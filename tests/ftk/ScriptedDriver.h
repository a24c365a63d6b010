#pragma once
// Fixture for tests of the scripted driver: a reset simulator with one spryTrack 300 and an open
// library; whatever the test leaves open is closed afterwards.

#include "ftk/ftk.h"
#include "ftk/ftkSimulator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace FtkTest {

constexpr std::uint64_t kSerial = 0x1A2B;

class ScriptedDriver : public ::testing::Test {
protected:
    void SetUp() override {
        sim().reset();
        sim().setDevices({ftksim::makeDevice(kSerial, FTK_DEVICE_SPRYTRACK_300)});
        m_library = ftkInit();
        ASSERT_NE(m_library, nullptr);
    }

    void TearDown() override {
        for (ftkFrame* frame : m_frames) {
            ftkDeleteFrame(frame);
        }
        if (m_library != nullptr) {
            sim().setCloseStatus(FTK_OK);
            ftkClose(&m_library);
        }
    }

    static ftksim::Simulator& sim() { return ftksim::Simulator::instance(); }

    /// A frame with the given capacities, deleted after the test.
    ftkFrame* makeFrame(bool pixels, std::uint32_t raw, std::uint32_t fiducials, std::uint32_t markers) {
        ftkFrame* frame = ftkCreateFrame();
        EXPECT_NE(frame, nullptr);
        if (frame != nullptr) {
            m_frames.push_back(frame);
            EXPECT_EQ(ftkSetFrameOptions(pixels, 20, raw, raw, fiducials, markers, frame), FTK_OK);
        }
        return frame;
    }

    /// The names of the recorded calls, in order.
    static std::vector<std::string> callNames() {
        std::vector<std::string> names;
        for (const ftksim::Call& call : sim().calls()) {
            names.push_back(call.function);
        }
        return names;
    }

    ftkLibrary m_library = nullptr;
    std::vector<ftkFrame*> m_frames;
};

}  // namespace FtkTest

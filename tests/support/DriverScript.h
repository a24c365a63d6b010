#pragma once
// Scenario helpers over the scripted driver, shared by the stream tests.

#include "support/TempFiles.h"

#include "ftk/ftkSimulator.h"

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

constexpr std::uint64_t kSerial = 0x1A2B;

/// Resets the driver to scripted mode with one device of the type (no device for a negative type).
inline ftksim::Simulator& scriptDevice(int type = FTK_DEVICE_SPRYTRACK_300, std::uint64_t serial = kSerial) {
    ftksim::Simulator& sim = ftksim::Simulator::instance();
    sim.reset();
    if (type >= 0) {
        sim.setDevices({ftksim::makeDevice(serial, type)});
    }
    return sim;
}

}  // namespace TestSupport

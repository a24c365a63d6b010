#pragma once
// The simulated driver's replay control as the application reaches it: looked up in the driver library the
// plug-in loaded, for only the simulated driver has it. Through it a replay is asked for before the camera
// opens, and the replay's device, its progress and why it stopped are read back from the driver.

#include "text/Expected.h"

#include "ftk/ftkReplay.h"

#include <cstdint>
#include <string>

namespace Halvoren::App {

/// Thread-safe: the driver guards its replay state.
class DriverReplay {
public:
    /// The replay control of the driver library `library`, once loaded (by the plug-in); an error saying
    /// what is missing when it is not loaded or has no replay control (a camera maker's driver).
    static Expected<DriverReplay> find(const char* library = FTK_REPLAY_LIBRARY);

    /// Every camera opened from now on plays the recording at that factor of its pace (0: as fast as
    /// asked), as a device with that serial number. The error says why the driver refused it.
    Expected<void> request(const std::string& recording, double speed, std::uint64_t serialNumber) const;
    /// Cameras opened from now on show the simulated scene again.
    void withdraw() const;
    /// The newest replay's state: its device once opened, the frames delivered, its end or stop.
    ftkReplayState state() const;

private:
    DriverReplay(ftkReplaySetFunction set, ftkReplayGetStateFunction getState)
        : m_set(set), m_getState(getState) {}

    ftkReplaySetFunction m_set;
    ftkReplayGetStateFunction m_getState;
};

}  // namespace Halvoren::App

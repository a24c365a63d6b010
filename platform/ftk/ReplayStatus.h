#pragma once
// How the newest replay goes, as the replay control tells it: kept by the driver past its camera's close,
// so that the application can still read why a replay ended once the plug-in closed its stream. Internal
// to the driver library.

#include "ftkReplay.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace ftksim {

/// Thread-safe. Its lock is a leaf: taken under the camera's, never the other way round.
class ReplayStatus {
public:
    /// A replay opened as that device, of that many frames.
    ReplayStatus(std::uint64_t serialNumber, ftkDeviceType deviceType, std::uint64_t frameCount);
    /// A replay that could not be opened, and why.
    explicit ReplayStatus(std::string failure);

    /// This many frames were handed over so far.
    void delivered(std::uint64_t frames);
    /// The end was asked for after the last frame.
    void ended();
    /// The recording could not be read on.
    void stopped(std::string reason);

    ftkReplayState read() const;

private:
    mutable std::mutex m_mutex;
    ftkReplayState m_state{};  // its reason is filled on reading
    std::string m_reason;
};

}  // namespace ftksim

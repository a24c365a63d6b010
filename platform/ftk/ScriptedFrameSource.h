#pragma once
// The frames a test queued on the scripted driver, as one fetch sees them. Internal to the driver library.

#include "DriverState.h"
#include "FrameSource.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace ftksim {

/// Made for each fetch of a scripted session: the queue and the repeat frame live in the driver's state,
/// and the wait is on the state lock, which the fetch holds while it delivers.
class ScriptedFrameSource : public FrameSource {
public:
    /// `stateLock` is the fetch's lock on the state's mutex, owned or not: the wait takes it and returns
    /// holding it, so that a frame taken off the queue is delivered before any other driver call runs.
    ScriptedFrameSource(DriverState& state, std::unique_lock<std::mutex>& stateLock, ftkLibrary library,
                        const ftkFrame* frame);

    /// Waits for a queued frame and takes it off the queue (or takes the repeat frame), noting the scripted
    /// fault of an error status. True also, with nothing taken, when the session or the frame went away
    /// meanwhile: the fetch finds them gone as after any wait. Images follow the scripted frame whatever
    /// `images` says.
    bool waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                      std::string& ended) override;
    /// The repeat frame when the wait took it, otherwise the frame it filled.
    const ScriptedFrame& toDeliver(const ScriptedFrame& filled) const override;
    /// A scripted session's geometries stay on its devices: there is no scene to show them in.
    void setGeometries(const std::map<std::uint32_t, ftkGeometry>& /*geometries*/) override {}

private:
    DriverState& m_state;
    std::unique_lock<std::mutex>& m_lock;
    const ftkLibrary m_library;
    const ftkFrame* const m_frame;
    bool m_repeat = false;  // the wait took the repeat frame
};

}  // namespace ftksim

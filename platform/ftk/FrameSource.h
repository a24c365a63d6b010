#pragma once
// Where a session's frames come from: the simulated camera's scene, a recording played back, or the frames
// a test queued on the scripted driver. The driver fetches every frame through this one interface.
// Internal to the driver library; exported only because the simulated camera, which its tests reach, is one.

#include "ftk.h"
#include "ftkSimulator.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace ftksim {

class FTKSIM_API FrameSource {
public:
    virtual ~FrameSource() = default;

    /// Waits for the next frame, at most the time-out, and fills it; false when none came. Called without
    /// the driver's state lock. With images false no pixels are delivered. `ended` is set to the text the
    /// driver's last error takes when the source stops delivering (whether or not a frame came); it is left
    /// alone otherwise.
    virtual bool waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                              std::string& ended) = 0;
    /// The geometries set on the session's devices.
    virtual void setGeometries(const std::map<std::uint32_t, ftkGeometry>& geometries) = 0;
    /// The frame to hand over for the one a wait filled: that one, or one the source keeps and hands over
    /// without a copy (valid until the driver's state lock is released).
    virtual const ScriptedFrame& toDeliver(const ScriptedFrame& filled) const { return filled; }
    /// The text the driver's last error takes once this frame is delivered: a fault the source injected
    /// into it. Empty for none.
    virtual std::string faultOf(const ScriptedFrame& /*frame*/) const { return std::string(); }
};

}  // namespace ftksim

#pragma once
// The simulated camera playing a tracking recording instead of its scene: each recorded frame comes out of
// the driver as the camera would have delivered it, so that everything above the driver runs on the
// recording as it did live. Internal to the driver library.

#include "CameraSettings.h"
#include "FrameSource.h"
#include "ReplayStatus.h"
#include "ftk.h"
#include "ftkSimulator.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace ftksim {

/// Thread-safe: every public function may be called from any thread.
///
/// Pace: frame i is due (Timestamp of i - Timestamp of the first) / speed after the first frame was asked
/// for. Every frame is delivered once, in order: none is skipped when the caller asks late (a replay that
/// fell more than a moment behind takes up the recorded pace from there); at kReplayAtOnce every call
/// gets the next frame at once. Each frame is stamped with the host's system clock when it is delivered
/// (its replayed exposure), and numbered with its recorded FrameNumber.
///
/// Contents: the recorded markers whose geometry is set on the device and that the camera reported, with
/// the registration error it reported (recordings made before it was recorded: the markers whose quality
/// is above 0, with 0 mm); the recorded fiducials; raw detections that the recording lacks, made by projecting each
/// fiducial into the simulated camera's two pinhole cameras; and the left and right images when the
/// recording holds them.
class ReplayCamera : public FrameSource {
public:
    /// Opens the recording settings.replay, played as the device settings.model with settings.serialNumber.
    /// Null with the reason (naming the file) when it cannot be played.
    static std::unique_ptr<ReplayCamera> open(const CameraSettings& settings, std::string& error);
    ~ReplayCamera();
    ReplayCamera(const ReplayCamera&) = delete;
    ReplayCamera& operator=(const ReplayCamera&) = delete;

    /// How the replay goes: the frames handed over, its end or why it stopped. It outlives the camera.
    std::shared_ptr<const ReplayStatus> status() const;

    /// The geometries set on the device: only their markers are reported.
    void setGeometries(const std::map<std::uint32_t, ftkGeometry>& geometries) override;

    /// Waits until the next frame is due, but at most the time-out; then fills the frame and returns
    /// true. False when none came within the time-out, and from the end of the recording on (after the
    /// time-out, as a camera that sends nothing). When the next frame cannot be read (the data ends early
    /// or is corrupt) the call returns at once with a frame whose markers are FTK_PART_INVALID, which
    /// makes the plug-in close its stream; from then on nothing comes. The first call that finds the end,
    /// or that cannot read on, sets `ended` to the text saying so (with the reader's reason); it is left
    /// alone otherwise. With images false no pixels are delivered.
    bool waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                      std::string& ended) override;

private:
    struct Impl;
    explicit ReplayCamera(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace ftksim

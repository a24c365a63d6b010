#pragma once
// The simulated camera behind the driver when no test scripts it: a scene that moves every geometry set
// on the device through the working volume, seen by two calibrated pinhole cameras. Internal to the
// driver library; exported only so that its own tests can reach it.

#include "CameraSettings.h"
#include "FrameSource.h"
#include "ftk.h"
#include "ftkSimulator.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ftksim {

/// The scene and its two cameras. Thread-safe: every public function may be called from any thread.
///
/// Geometry: the left camera sits at the origin looking along +z (x right, y down, mm); the right one at
/// +baseline along x, rectified, with the same intrinsics. Each geometry follows its own smooth path,
/// a function of its id and of the time since the camera started, 500 to 1500 mm away, inside both
/// fields of view and facing the cameras within about 31 degrees. A marker is reported only when all its
/// fiducials are detected in both images.
///
/// Time: the simulated camera stamps each frame with the host's system clock at its exposure (its start
/// on the system clock plus index / frame rate); a real camera's clock is its own.
///
/// Test hooks: setHiddenGeometry() puts an occluder in front of a geometry (none of its fiducials is
/// seen), pinPose() holds a geometry at a chosen pose instead of its path, and frameAt() builds the frame
/// of a given time without waiting for it.
class FTKSIM_API SimulatedCamera : public FrameSource {
public:
    explicit SimulatedCamera(CameraSettings settings);
    ~SimulatedCamera() override;
    SimulatedCamera(const SimulatedCamera&) = delete;
    SimulatedCamera& operator=(const SimulatedCamera&) = delete;

    /// The settings in use: those given, with a frame rate that is not above 0 replaced by 60 Hz, image
    /// sizes below 64 pixels raised to 64, a negative noise or stray count taken as 0 and a drift that is
    /// not finite as none.
    const CameraSettings& settings() const;
    /// The geometries the scene shows (the ones set on the device).
    void setGeometries(const std::map<std::uint32_t, ftkGeometry>& geometries) override;

    /// Which frame a call delivered.
    struct FrameInfo {
        std::uint64_t index = 0;       // frames counted from 0 at start, at the frame rate
        double timeSeconds = 0.0;      // when the frame was taken, since the camera started
        std::uint64_t exposureUs = 0;  // the same on the host's system clock, microseconds since the epoch
    };
    /// Waits until the next frame is due (at the frame rate), but at most the time-out; then fills the
    /// frame and returns true. False when no new frame came within the time-out (or it was dropped).
    /// Frames that came while nobody asked are gone: the latest one due is delivered. With images false
    /// no pixels are rendered (and width and height are 0).
    bool waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                      FrameInfo* info = nullptr);
    /// As a session's frame source: the frame numbered with the camera's own count (every frame it made
    /// counts, so gaps are the frames not delivered) and stamped with its exposure. The scene never ends.
    bool waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                      std::string& ended) override;
    /// What this camera injected into a frame, in the words the driver's last error gives; empty for a sound
    /// frame.
    std::string faultOf(const ScriptedFrame& frame) const override;
    /// Fills the frame seen at this time (seconds since start) at once, injecting faults as
    /// waitForFrame does. False when the frame is dropped.
    bool frameAt(double timeSeconds, bool images, ScriptedFrame& frame);

    // What the tests of the scene check against.
    struct Calibration {
        double focalPx;
        double cx, cy;
        double baselineMm;  // the right camera sits at +baseline along x of the left one
    };
    Calibration calibration() const;
    /// The true pose (rotation, translation in mm, camera = left camera frame) of a geometry at a time
    /// in seconds since the camera started, as the camera sees it: the settings' drift included, held at
    /// its pose of t = 0 in a still scene (but for the pivoting marker); a pinned pose exactly as pinned.
    void truePose(std::uint32_t geometryId, double timeSeconds, double rotation[3][3],
                  double translation[3]) const;

    /// Test hook: an occluder hides every fiducial of this geometry from both cameras while hidden.
    void setHiddenGeometry(std::uint32_t geometryId, bool hidden);
    /// Test hook: holds the geometry at this pose (as truePose gives it) until unpinned.
    void pinPose(std::uint32_t geometryId, const double rotation[3][3], const double translation[3]);
    void unpinPose(std::uint32_t geometryId);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace ftksim

#pragma once
// What the simulated camera may be told by its settings file: model, serial number, frame rate, noise,
// image size, stray reflections and injected faults, or a tracking recording to play instead of the scene.
// Frames are numbered from the camera's start at the rate, and the simulated camera stamps each frame with
// the host's system clock at its exposure; a real camera's clock is its own.

#include "ftk.h"
#include "ftkSimulator.h"
#include "text/Expected.h"

#include <array>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace ftksim {

/// What the settings file may choose. Defaults: one spryTrack 300.
struct CameraSettings {
    ftkDeviceType model = FTK_DEVICE_SPRYTRACK_300;
    std::uint64_t serialNumber = 0x5354300000001ULL;
    double frameRateHz = 60.0;
    double pixelNoise = 0.1;  // standard deviation of detected centres, pixels
    std::uint16_t imageWidth = 1280;
    std::uint16_t imageHeight = 1024;
    int strayReflections = 3;
    std::uint32_t seed = 1;
    // Injected faults, each a probability per frame in [0, 1].
    double shockWarningRate = 0.0;
    double droppedFrameRate = 0.0;
    double errorStatusRate = 0.0;
    ftkStatus errorStatus = 7;
    double markerOverflowRate = 0.0;
    double internalErrorRate = 0.0;  // frames with the driver's internal-error status
    // A freeze: no frames from this time of the run (seconds since the camera was opened) for this long.
    double freezeAtSeconds = 0.0;
    double freezeForSeconds = 0.0;  // 0: no freeze
    // Scene. A marker that pivots about a fixed point with its tip resting in it, instead of moving on
    // its path: the geometry id as set on the camera (0: none), the point (camera coordinates, mm), the
    // tip in the marker's frame (mm) and the largest tilt (degrees).
    std::uint32_t pivotMarker = 0;
    std::array<double, 3> pivotPoint{{120.0, 0.0, 1000.0}};
    std::array<double, 3> pivotTip{{0.0, 0.0, -150.0}};
    double pivotAngleDegrees = 30.0;
    // A touching scene: the marker touchMarker, a pointer whose tip is touchTip in its own frame (mm),
    // rests its tip on each point of the reference marker's frame (touchReference) in turn, tilted
    // differently at each, for its seconds, and moves to the next in kTouchMoveSeconds; after the last it
    // rests there. Both ids as set on the camera; 0 or no points: no touching.
    struct TouchPoint {
        std::array<double, 3> point{};
        double seconds = 0.0;
    };
    static constexpr double kTouchMoveSeconds = 0.5;
    std::uint32_t touchMarker = 0;
    std::array<double, 3> touchTip{{0.0, 0.0, -150.0}};
    std::uint32_t touchReference = 0;
    std::vector<TouchPoint> touchPoints;
    // A still scene: everything that moves on its path (markers, the unregistered body, the strays) holds
    // its pose of t = 0, so that only the pixel noise moves the readings; the pivoting marker still pivots.
    bool still = false;
    // A camera warming up: all it sees moves along its x axis by this many mm per minute since its start.
    double driftMmPerMinute = 0.0;
    // Occlusions: while a period lasts (seconds since the camera was opened), no fiducial of the geometry
    // (its id as set on the camera) is seen, as if something stood in front of it.
    struct HidePeriod {
        std::uint32_t geometryId = 0;
        double fromSeconds = 0.0;
        double forSeconds = 0.0;
    };
    std::vector<HidePeriod> hidePeriods;
    // A rigid body of 3 to 6 fiducials (mm, its own frame) that moves on a path of its own but is not
    // registered with the camera: it is seen as fiducials only.
    std::vector<std::array<double, 3>> body;
    // Replay: the header of a tracking recording (.mhd or .mha) played instead of the scene (empty: none),
    // at this factor of the recorded pace, or every frame as soon as it is asked for.
    std::string replay;
    static constexpr double kReplayAtOnce = 0.0;
    double replaySpeed = 1.0;  // above 0, or kReplayAtOnce
};

/// Reads a settings file: "key = value" lines; '#' starts a comment, blank lines are skipped. A value may
/// be quoted ("..."): it is then taken as written, '#' and blanks at either end included, with "\\",
/// "\"", "\n", "\r" and "\t" standing for a backslash, a quote and the control characters. Keys: model
/// ("sTk 180", "sTk 300", "fTk 250", "fTk 500", "simulator"), serial (decimal or 0x hex, not 0), rate (Hz,
/// above 0, at most 1000), noise (pixels, 0 to 10), width and height (pixels, 64 to 4096), strays (0 to
/// 100), seed, shock_rate, drop_rate, error_rate, overflow_rate, internal_rate (probabilities per frame),
/// error_status (a non-zero status), freeze_at and freeze_for (seconds, 0 to 86400); the scene: pivot_marker
/// (a geometry id), pivot_point and pivot_tip ("x y z"), pivot_angle (degrees, 1 to 60), still (0 or 1),
/// drift (mm per minute, -1000 to 1000), touch_marker and touch_reference (geometry ids, as for
/// pivot_marker), touch_tip ("x y z"), touch ("X Y Z SECONDS": a point of the reference's frame, each
/// coordinate within +-1000 mm, and the rest on it, 0 to 86400 s; on up to 1000 lines, in order), body (3 to
/// 6 points "x y z; x y z; ...") and hide ("GEOMETRY_ID FROM_SECOND FOR_SECONDS", on up to 1000 lines, each
/// one period: the geometry id from 1 as for pivot_marker, one below 1000 raised by 1000 as a marker file's
/// is; the seconds 0 to 86400); replay (a recording's header, ending in .mhd or .mha; a relative path is
/// taken from the settings file's folder) and replay_speed (a factor of the recorded pace above 0, at most
/// 1000, or "max": every frame as soon as it is asked for). With replay the recording is played instead of
/// the scene: rate, noise, the faults and the scene keys do not apply, and width and height only to a
/// recording without images (its fiducials are projected into images of that size). Keys left out keep their
/// defaults; a key given twice is an error, but for hide and touch. An error (bad input) otherwise:
/// "<path>:<line>: <what is wrong>", or "<path>: ..." when the file cannot be read or holds more than 1 MB
/// (reading stops there, whatever the file is).
FTKSIM_API Halvoren::Expected<CameraSettings> readCameraSettings(const std::string& path);
/// The same from a text already open; `path` names it in the error text.
FTKSIM_API Halvoren::Expected<CameraSettings> parseCameraSettings(std::istream& input,
                                                                  const std::string& path);

}  // namespace ftksim

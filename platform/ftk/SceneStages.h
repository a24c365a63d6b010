#pragma once
// The stages that turn the simulated camera's scene into a frame, each over plain inputs: the injected
// faults, the true poses and 3-D points of the scene at a time, where each point appears in the two
// cameras, the blobs a detector lists, the triangulated fiducials and the markers fitted to them. The
// random generators are the caller's and are passed in, drawn from in a fixed order, so that the same seed
// gives the same frames. Internal to the driver library.

#include "CameraSettings.h"
#include "SimulatedCamera.h"
#include "ftk.h"
#include "ftkSimulator.h"

#include <Eigen/Core>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <vector>

namespace ftksim::scene {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;
using Calibration = SimulatedCamera::Calibration;

struct Pose {
    Mat3 rotation = Mat3::Identity();
    Vec3 translation = Vec3::Zero();
};

/// What the driver and the test hooks set on the scene.
struct SceneContents {
    std::map<std::uint32_t, ftkGeometry> geometries;
    std::set<std::uint32_t> hidden;        // no fiducial of these is seen
    std::map<std::uint32_t, Pose> pinned;  // held at these poses instead of their paths
};

/// A stray reflection: wanders a little around its base.
struct Stray {
    Vec3 base;
    double phase[3];
};

/// The scene's random generators: pixel noise and injected faults draw from separate ones, so that a fault
/// rate never shifts the noise.
struct SceneRandom {
    explicit SceneRandom(std::uint32_t seed);
    std::mt19937 noise;
    std::mt19937 fault;
    std::normal_distribution<double> standardNormal{0.0, 1.0};
    std::uniform_real_distribution<double> unit{0.0, 1.0};
};

/// One 3-D point of the scene: a fiducial of a geometry or a loose point (a stray reflection or a fiducial
/// of the unregistered body).
struct ScenePoint {
    Vec3 position;
    std::uint32_t geometryId = 0;
    int fiducial = -1;  // index in the geometry; -1 for a loose point
};

/// Where a scene point appears in one camera.
struct Sighting {
    bool visible = false;
    double trueU = 0.0, trueV = 0.0;          // projection
    double detectedU = 0.0, detectedV = 0.0;  // with pixel noise
    double blobPx = 0.0;
};

/// A blob as the detector lists it, with the scene point it shows.
struct Detection {
    ftkRawDetection raw;
    std::size_t point;
};

/// The pixel noise of one point's detected centre.
struct PixelNoise {
    double u = 0.0, v = 0.0;
};

/// The faults drawn for one frame.
struct FrameFaults {
    bool dropped = false, failed = false, shock = false, overflow = false, internal = false;
    bool frozen = false;  // inside the settings' freeze
};

/// What the faults leave of a frame.
enum class FaultOutcome {
    NoFrame,     // dropped or frozen: nothing is delivered
    StatusOnly,  // an error status and nothing else
    Scene,       // the scene, with any warning status and marker overflow set
};

/// The fiducials of a frame, with the raw detections they come from.
struct FiducialRecords {
    std::vector<ftkRawDetection> leftRaw;
    std::vector<ftkRawDetection> rightRaw;
    std::vector<ftkFiducial3D> fiducials;
    std::vector<std::uint32_t> fiducialOfPoint;  // per scene point: its fiducial's index, or kNoFiducial
};
constexpr std::uint32_t kNoFiducial = 0xFFFFFFFFu;

/// The settings in use (see SimulatedCamera::settings()).
CameraSettings sanitised(CameraSettings settings);
/// The two cameras' intrinsics and baseline for the image size.
Calibration calibrationFor(const CameraSettings& settings);
/// The stray reflections of the seed, at fixed places inside both fields of view.
std::vector<Stray> placeStrays(const CameraSettings& settings, const Calibration& calibration);
/// A step of the SplitMix64 generator: the scene's fixed, seed-derived values come from it.
std::uint64_t splitMix(std::uint64_t& state);

/// Draws every fault of a frame, whatever strikes, so that one rate never moves the others.
FrameFaults drawFaults(const CameraSettings& settings, double t, SceneRandom& random);
/// Empties the frame (counter and time stamp are left alone) and sets what the faults give.
FaultOutcome applyFaults(const FrameFaults& faults, ftkStatus errorStatus, ScriptedFrame& frame);

/// The true pose of a geometry at t (seconds since start) as the camera sees it: pinned (exactly as
/// pinned), touching points of its reference, or pivoting or on its path (held at t = 0 in a still scene), shifted by the warm-up drift.
Pose truePose(std::uint32_t geometryId, double t, const SceneContents& contents,
              const CameraSettings& settings, const Calibration& calibration);
/// Whether no fiducial of the geometry is seen at t (seconds since start): hidden by the test hook, or
/// inside one of the settings' hide periods.
bool hiddenAt(std::uint32_t geometryId, double t, const SceneContents& contents,
              const CameraSettings& settings);
/// The points of the scene at t: each fiducial of each geometry not hidden, in id order, then the
/// unregistered body's and the stray reflections.
std::vector<ScenePoint> scenePoints(double t, const SceneContents& contents, const std::vector<Stray>& strays,
                                    const CameraSettings& settings, const Calibration& calibration);

/// The noise of `count` points' centres in one camera: u then v of each point, in order.
std::vector<PixelNoise> drawPixelNoise(std::size_t count, double sigma, SceneRandom& random);
/// Where each point appears in the camera at cameraX (mm along x), with its noise.
std::vector<Sighting> sightPoints(const std::vector<ScenePoint>& points, double cameraX,
                                  const std::vector<PixelNoise>& noise, const CameraSettings& settings,
                                  const Calibration& calibration);
/// The visible points' blobs, listed as a detector scans: row by row.
std::vector<Detection> detectBlobs(const std::vector<Sighting>& sightings);

/// The fiducial triangulated from a point's detected centres in the two images, without its detection
/// indices; none when the disparity is not positive.
std::optional<ftkFiducial3D> triangulate(const Sighting& left, const Sighting& right,
                                         const Calibration& calibration);
/// The raw detections of both images and a fiducial for each point detected in both.
FiducialRecords fiducialRecords(std::size_t pointCount, const std::vector<Detection>& left,
                                const std::vector<Detection>& right,
                                const std::vector<Sighting>& leftSightings,
                                const std::vector<Sighting>& rightSightings, const Calibration& calibration);

/// The rigid fit of a geometry to its triangulated fiducials (indices into `fiducials`, one per geometry
/// fiducial), with the registration error.
ftkMarkerPose fitMarker(std::uint32_t geometryId, const ftkGeometry& geometry,
                        const std::uint32_t* fiducialIndices, const std::vector<ftkFiducial3D>& fiducials);
/// The markers of the frame: each geometry of at least 3 fiducials all of which were triangulated.
std::vector<ftkMarkerPose> fitMarkers(const std::map<std::uint32_t, ftkGeometry>& geometries,
                                      const std::vector<ScenePoint>& points,
                                      const std::vector<std::uint32_t>& fiducialOfPoint,
                                      const std::vector<ftkFiducial3D>& fiducials);

}  // namespace ftksim::scene

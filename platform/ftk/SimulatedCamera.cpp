#include "SimulatedCamera.h"

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace ftksim {
namespace {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;

constexpr double kPi = 3.14159265358979323846;
constexpr double kBaselineMm = 240.0;
// The path of the unregistered body: a number no geometry is likely to have.
constexpr std::uint32_t kUnregisteredBodyPath = 0xB0D1E5u;
// 1400 px for a 1280 px wide image; other widths keep the same field of view.
constexpr double kFocalPerWidthPx = 1400.0 / 1280.0;
constexpr double kNearMm = 500.0;
constexpr double kFarMm = 1500.0;
// Paths keep every fiducial this far inside both images.
constexpr double kMarginPx = 20.0;
// Used for the path of a geometry that is not set on the device.
constexpr double kDefaultMarkerRadiusMm = 60.0;
// Blob diameters: 9 px at the near end of the working volume, 5 px at the far end.
constexpr double kNearBlobPx = 9.0;
constexpr double kFarBlobPx = 5.0;
constexpr double kBlobPeak = 245.0;
constexpr std::uint8_t kBackground = 8;
constexpr std::uint32_t kNoPoint = 0xFFFFFFFFu;

struct Pose {
    Mat3 rotation = Mat3::Identity();
    Vec3 translation = Vec3::Zero();
};

std::uint64_t splitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double unitFrom(std::uint64_t& state) {
    return static_cast<double>(splitMix(state) >> 11) * 0x1.0p-53;
}

// Phases and frequency factors of a path: from the geometry id alone, so that each geometry moves its own
// way and the same id moves the same way on every run.
struct PathShape {
    static constexpr int kComponents = 6;  // x, y, z, tilt about x, tilt about y, spin about the view axis
    double phase[kComponents][2];
    double factor[kComponents][2];

    explicit PathShape(std::uint64_t seed) {
        std::uint64_t state = seed * 0x2545F4914F6CDD1DULL + 0x1234567ULL;
        for (int c = 0; c < kComponents; ++c) {
            for (int k = 0; k < 2; ++k) {
                phase[c][k] = 2.0 * kPi * unitFrom(state);
                factor[c][k] = 0.7 + 0.6 * unitFrom(state);
            }
        }
    }

    // A smooth value in [-1, 1]: a slow sine plus a faster, smaller one.
    double wave(int component, double baseHz, double t) const {
        const double slow = std::sin(2.0 * kPi * baseHz * factor[component][0] * t + phase[component][0]);
        const double fast =
            std::sin(2.0 * kPi * baseHz * 2.3 * factor[component][1] * t + phase[component][1]);
        return 0.7 * slow + 0.3 * fast;
    }
};

// One 3-D point of the scene: a fiducial of a geometry or a stray reflection.
struct ScenePoint {
    Vec3 position;
    std::uint32_t geometryId = 0;
    int fiducial = -1;  // index in the geometry; -1 for a stray reflection
};

// Where a scene point appears in one camera.
struct Sighting {
    bool visible = false;
    double trueU = 0.0, trueV = 0.0;          // projection
    double detectedU = 0.0, detectedV = 0.0;  // with pixel noise
    double blobPx = 0.0;
};

struct Detection {
    ftkRawDetection raw;
    std::size_t point;
};

struct Rect {
    int x0, y0, x1, y1;  // inclusive
};

// One camera's image, kept between frames: only the neighbourhoods of the last frame's blobs are
// restored to the background before the next frame's blobs are drawn.
struct CameraImage {
    std::vector<std::uint8_t> background;
    std::vector<std::uint8_t> pixels;
    std::vector<Rect> drawn;
};

double radiusOf(const ftkGeometry& geometry) {
    double radius = 0.0;
    const std::uint32_t count = std::min<std::uint32_t>(geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto& p = geometry.positions[i];
        radius = std::max(radius, Vec3(p.x, p.y, p.z).norm());
    }
    return radius;
}

CameraSettings sanitised(CameraSettings settings) {
    if (!(settings.frameRateHz > 0.0) || !std::isfinite(settings.frameRateHz)) {
        settings.frameRateHz = 60.0;
    }
    settings.imageWidth = std::max<std::uint16_t>(settings.imageWidth, 64);
    settings.imageHeight = std::max<std::uint16_t>(settings.imageHeight, 64);
    if (!(settings.pixelNoise >= 0.0) || !std::isfinite(settings.pixelNoise)) {
        settings.pixelNoise = 0.0;
    }
    settings.strayReflections = std::max(settings.strayReflections, 0);
    return settings;
}

// Closest distance between the two viewing rays of a point, in mm.
double rayGap(const Vec3& leftDirection, const Vec3& rightOrigin, const Vec3& rightDirection) {
    const Vec3 w0 = -rightOrigin;
    const double a = leftDirection.dot(leftDirection);
    const double b = leftDirection.dot(rightDirection);
    const double c = rightDirection.dot(rightDirection);
    const double d = leftDirection.dot(w0);
    const double e = rightDirection.dot(w0);
    const double denominator = a * c - b * b;
    if (denominator <= 1e-12) {
        return 0.0;
    }
    const double sLeft = (b * e - c * d) / denominator;
    const double sRight = (a * e - b * d) / denominator;
    return (w0 + sLeft * leftDirection - sRight * rightDirection).norm();
}

}  // namespace

struct SimulatedCamera::Impl {
    explicit Impl(const CameraSettings& given);

    // The caller holds the mutex.
    Pose poseAt(std::uint32_t geometryId, double t) const;
    bool buildFrame(double t, bool images, ScriptedFrame& frame);
    Sighting sight(const Vec3& point, double cameraX);
    void render(int camera, const std::vector<Detection>& detections, const std::vector<Sighting>& sightings,
                std::vector<std::uint8_t>& out);

    // Fixed after construction.
    const CameraSettings settings;
    const Calibration calibration;
    const std::chrono::steady_clock::time_point start;
    // The same moment on the system clock, in microseconds since the epoch: frames are stamped with it.
    const std::uint64_t systemStartUs;
    struct Stray {
        Vec3 base;
        double phase[3];
    };
    std::vector<Stray> strays;

    // Guards everything below. No other lock is taken while it is held, and nobody sleeps holding it.
    mutable std::mutex mutex;
    std::map<std::uint32_t, ftkGeometry> geometries;
    std::set<std::uint32_t> hidden;
    std::map<std::uint32_t, Pose> pinned;
    std::mt19937 noiseRandom;
    std::mt19937 faultRandom;
    std::normal_distribution<double> standardNormal{0.0, 1.0};
    std::uniform_real_distribution<double> unit{0.0, 1.0};
    std::uint64_t nextIndex = 0;  // first frame not yet delivered by waitForFrame
    CameraImage cameraImages[2];
};

SimulatedCamera::Impl::Impl(const CameraSettings& given)
    : settings(sanitised(given)),
      calibration{kFocalPerWidthPx * settings.imageWidth, settings.imageWidth / 2.0,
                  settings.imageHeight / 2.0, kBaselineMm},
      start(std::chrono::steady_clock::now()),
      systemStartUs(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                   std::chrono::system_clock::now().time_since_epoch())
                                                   .count())),
      noiseRandom(settings.seed),
      faultRandom(settings.seed ^ 0x5A17F00Du) {
    // Stray reflections wander a little around fixed places inside both fields of view.
    std::uint64_t state = settings.seed * 0x9E3779B97F4A7C15ULL + 77;
    const double tanX = (std::min(calibration.cx, settings.imageWidth - 1 - calibration.cx) - kMarginPx) /
                        calibration.focalPx;
    const double tanY = (std::min(calibration.cy, settings.imageHeight - 1 - calibration.cy) - kMarginPx) /
                        calibration.focalPx;
    for (int i = 0; i < settings.strayReflections; ++i) {
        Stray stray{};
        const double z = 650.0 + 700.0 * unitFrom(state);
        const double halfX = std::max(0.0, tanX * z - kBaselineMm / 2.0);
        stray.base = Vec3(kBaselineMm / 2.0 + 0.8 * halfX * (2.0 * unitFrom(state) - 1.0),
                          0.8 * tanY * z * (2.0 * unitFrom(state) - 1.0), z);
        for (double& phase : stray.phase) {
            phase = 2.0 * kPi * unitFrom(state);
        }
        strays.push_back(stray);
    }
}

Pose SimulatedCamera::Impl::poseAt(std::uint32_t geometryId, double t) const {
    const auto pin = pinned.find(geometryId);
    if (pin != pinned.end()) {
        return pin->second;
    }
    if (settings.pivotMarker != 0 && geometryId == settings.pivotMarker) {
        // Tilted about its tip, which rests in the pivot point; the marker's +z faces the cameras.
        const PathShape shape(geometryId);
        const double amplitude = settings.pivotAngleDegrees * kPi / 180.0;
        Pose pose;
        pose.rotation = (Eigen::AngleAxisd(amplitude * shape.wave(3, 0.15, t), Vec3::UnitX()) *
                         Eigen::AngleAxisd(amplitude * shape.wave(4, 0.17, t), Vec3::UnitY()) *
                         Eigen::AngleAxisd(kPi, Vec3::UnitX()))
                            .toRotationMatrix();
        const Vec3 point(settings.pivotPoint[0], settings.pivotPoint[1], settings.pivotPoint[2]);
        const Vec3 tip(settings.pivotTip[0], settings.pivotTip[1], settings.pivotTip[2]);
        pose.translation = point - pose.rotation * tip;
        return pose;
    }
    const auto geometry = geometries.find(geometryId);
    const double radius = geometry != geometries.end() ? radiusOf(geometry->second) : kDefaultMarkerRadiusMm;
    const PathShape shape(geometryId);

    // Depth first: the sideways room depends on it.
    const double nearest = kNearMm + radius;
    const double z =
        std::clamp(1000.0 + 350.0 * shape.wave(2, 0.05, t), nearest, std::max(nearest, kFarMm - radius));
    // A fiducial up to `radius` from the centre, and that much nearer, must stay inside both images.
    const double tanX = (std::min(calibration.cx, settings.imageWidth - 1 - calibration.cx) - kMarginPx) /
                        calibration.focalPx;
    const double tanY = (std::min(calibration.cy, settings.imageHeight - 1 - calibration.cy) - kMarginPx) /
                        calibration.focalPx;
    const double halfX = std::max(0.0, tanX * z - kBaselineMm / 2.0 - radius * (1.0 + tanX));
    const double halfY = std::max(0.0, tanY * z - radius * (1.0 + tanY));
    const double x = kBaselineMm / 2.0 + 0.8 * halfX * shape.wave(0, 0.07, t);
    const double y = 0.8 * halfY * shape.wave(1, 0.06, t);

    // The marker's +z faces the cameras, tilted by at most 22 degrees about x and y (31 together) and
    // spun about the view axis.
    const double degree = kPi / 180.0;
    const double tiltX = 22.0 * degree * shape.wave(3, 0.09, t);
    const double tiltY = 22.0 * degree * shape.wave(4, 0.11, t);
    const double spin = 50.0 * degree * shape.wave(5, 0.04, t);
    Pose pose;
    pose.rotation = (Eigen::AngleAxisd(tiltX, Vec3::UnitX()) * Eigen::AngleAxisd(tiltY, Vec3::UnitY()) *
                     Eigen::AngleAxisd(spin, Vec3::UnitZ()) * Eigen::AngleAxisd(kPi, Vec3::UnitX()))
                        .toRotationMatrix();
    pose.translation = Vec3(x, y, z);
    return pose;
}

Sighting SimulatedCamera::Impl::sight(const Vec3& point, double cameraX) {
    Sighting sighting;
    // Noise is drawn for every point, seen or not, so that one point's visibility does not shift the
    // noise of the others.
    const double noiseU = settings.pixelNoise * standardNormal(noiseRandom);
    const double noiseV = settings.pixelNoise * standardNormal(noiseRandom);
    if (point.z() < 1.0) {
        return sighting;  // behind the camera
    }
    const double f = calibration.focalPx;
    sighting.trueU = f * (point.x() - cameraX) / point.z() + calibration.cx;
    sighting.trueV = f * point.y() / point.z() + calibration.cy;
    sighting.visible = sighting.trueU >= 0.0 && sighting.trueU <= settings.imageWidth - 1.0 &&
                       sighting.trueV >= 0.0 && sighting.trueV <= settings.imageHeight - 1.0;
    sighting.detectedU = std::clamp(sighting.trueU + noiseU, 0.0, settings.imageWidth - 1.0);
    sighting.detectedV = std::clamp(sighting.trueV + noiseV, 0.0, settings.imageHeight - 1.0);
    const double nearness = std::clamp((kFarMm - point.z()) / (kFarMm - kNearMm), 0.0, 1.0);
    sighting.blobPx = kFarBlobPx + (kNearBlobPx - kFarBlobPx) * nearness;
    return sighting;
}

bool SimulatedCamera::Impl::buildFrame(double t, bool images, ScriptedFrame& frame) {
    frame.status = FTK_OK;
    frame.markersStatus = FTK_PART_OK;
    frame.markers.clear();
    frame.fiducials.clear();
    frame.leftRaw.clear();
    frame.rightRaw.clear();
    frame.width = 0;
    frame.height = 0;
    frame.leftPixels.clear();
    frame.rightPixels.clear();
    frame.imageHeaderStatus = FTK_PART_OK;
    frame.leftPixelsStatus = FTK_PART_OK;
    frame.rightPixelsStatus = FTK_PART_OK;

    // Every fault is drawn on every frame, so that one rate does not change when the others strike.
    const bool dropped = unit(faultRandom) < settings.droppedFrameRate;
    const bool failed = unit(faultRandom) < settings.errorStatusRate;
    const bool shock = unit(faultRandom) < settings.shockWarningRate;
    const bool overflow = unit(faultRandom) < settings.markerOverflowRate;
    // Drawn only when asked for, so that the other faults of a seed stay where they were.
    const bool internal = settings.internalErrorRate > 0.0 && unit(faultRandom) < settings.internalErrorRate;
    const bool frozen =
        t >= settings.freezeAtSeconds && t < settings.freezeAtSeconds + settings.freezeForSeconds;
    if (dropped || frozen) {
        return false;
    }
    if (failed || internal) {
        frame.status = internal ? FTK_ERR_INTERNAL : settings.errorStatus;
        return true;
    }
    if (shock) {
        frame.status = FTK_WAR_SHOCK_DETECTED;
    }
    if (overflow) {
        frame.markersStatus = FTK_PART_OVERFLOW;
    }

    // The scene: every fiducial of every visible geometry, then the stray reflections.
    std::vector<ScenePoint> points;
    for (const auto& [id, geometry] : geometries) {
        if (hidden.count(id) != 0) {
            continue;
        }
        const Pose pose = poseAt(id, t);
        const std::uint32_t count = std::min<std::uint32_t>(geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto& p = geometry.positions[i];
            points.push_back(
                {pose.rotation * Vec3(p.x, p.y, p.z) + pose.translation, id, static_cast<int>(i)});
        }
    }
    // The body that is not registered: seen as loose fiducials, like the strays, but rigid.
    if (!settings.body.empty()) {
        const Pose pose = poseAt(kUnregisteredBodyPath, t);
        for (const auto& p : settings.body) {
            points.push_back({pose.rotation * Vec3(p[0], p[1], p[2]) + pose.translation, 0, -1});
        }
    }
    for (const Stray& stray : strays) {
        const Vec3 drift(std::sin(2.0 * kPi * 0.10 * t + stray.phase[0]),
                         std::sin(2.0 * kPi * 0.13 * t + stray.phase[1]),
                         std::sin(2.0 * kPi * 0.07 * t + stray.phase[2]));
        points.push_back({stray.base + 10.0 * drift, 0, -1});
    }

    // Blobs in each image, listed as a detector scans: row by row.
    std::vector<Sighting> sightings[2];
    std::vector<Detection> detections[2];
    for (int camera = 0; camera < 2; ++camera) {
        const double cameraX = camera == 0 ? 0.0 : calibration.baselineMm;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const Sighting s = sight(points[i].position, cameraX);
            sightings[camera].push_back(s);
            if (!s.visible) {
                continue;
            }
            ftkRawDetection raw{};
            raw.centerX = static_cast<float>(s.detectedU);
            raw.centerY = static_cast<float>(s.detectedV);
            raw.width = static_cast<std::uint16_t>(std::lround(s.blobPx));
            raw.height = raw.width;
            raw.pixelCount = static_cast<std::uint32_t>(std::lround(kPi * s.blobPx * s.blobPx / 4.0));
            detections[camera].push_back({raw, i});
        }
        std::sort(detections[camera].begin(), detections[camera].end(),
                  [](const Detection& a, const Detection& b) {
                      return a.raw.centerY != b.raw.centerY ? a.raw.centerY < b.raw.centerY
                                                            : a.raw.centerX < b.raw.centerX;
                  });
    }
    std::vector<std::uint32_t> rightIndexOf(points.size(), kNoPoint);
    for (std::size_t r = 0; r < detections[1].size(); ++r) {
        rightIndexOf[detections[1][r].point] = static_cast<std::uint32_t>(r);
        frame.rightRaw.push_back(detections[1][r].raw);
    }

    // Triangulation from the detected (noisy) centres of each pair: disparity gives depth.
    const double f = calibration.focalPx;
    const double b = calibration.baselineMm;
    std::vector<std::uint32_t> fiducialOf(points.size(), kNoPoint);
    for (std::size_t l = 0; l < detections[0].size(); ++l) {
        const Detection& left = detections[0][l];
        frame.leftRaw.push_back(left.raw);
        const std::uint32_t r = rightIndexOf[left.point];
        if (r == kNoPoint) {
            continue;
        }
        const Sighting& sl = sightings[0][left.point];
        const Sighting& sr = sightings[1][left.point];
        const double disparity = sl.detectedU - sr.detectedU;
        if (disparity <= 0.0) {
            continue;
        }
        const double z = f * b / disparity;
        const double v = (sl.detectedV + sr.detectedV) / 2.0;
        const Vec3 position((sl.detectedU - calibration.cx) * z / f, (v - calibration.cy) * z / f, z);
        const Vec3 leftRay((sl.detectedU - calibration.cx) / f, (sl.detectedV - calibration.cy) / f, 1.0);
        const Vec3 rightRay((sr.detectedU - calibration.cx) / f, (sr.detectedV - calibration.cy) / f, 1.0);

        ftkFiducial3D fiducial{};
        fiducial.leftIndex = static_cast<std::uint32_t>(l);
        fiducial.rightIndex = r;
        fiducial.position = {static_cast<float>(position.x()), static_cast<float>(position.y()),
                             static_cast<float>(position.z())};
        fiducial.epipolarError = static_cast<float>(std::abs(sl.detectedV - sr.detectedV));
        fiducial.triangulationError = static_cast<float>(rayGap(leftRay, Vec3(b, 0.0, 0.0), rightRay));
        // Pairs are matched by construction, never by guessing.
        fiducial.probability = 1.0f;
        fiducialOf[left.point] = static_cast<std::uint32_t>(frame.fiducials.size());
        frame.fiducials.push_back(fiducial);
    }

    // A marker is reported only when every fiducial of it was triangulated; its pose is the rigid fit of
    // the model to those points.
    std::size_t first = 0;
    for (const auto& [id, geometry] : geometries) {
        const std::uint32_t count = std::min<std::uint32_t>(geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
        std::size_t end = first;
        while (end < points.size() && points[end].fiducial >= 0 && points[end].geometryId == id) {
            ++end;
        }
        const std::size_t begin = first;
        first = end;
        if (end - begin != count || count < 3) {
            continue;  // hidden, or too few points for a rotation
        }
        const bool complete = std::all_of(fiducialOf.begin() + static_cast<std::ptrdiff_t>(begin),
                                          fiducialOf.begin() + static_cast<std::ptrdiff_t>(end),
                                          [](std::uint32_t index) { return index != kNoPoint; });
        if (!complete) {
            continue;
        }
        Eigen::Matrix3Xd model(3, count);
        Eigen::Matrix3Xd measured(3, count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto& p = geometry.positions[i];
            model.col(i) = Vec3(p.x, p.y, p.z);
            const auto& q = frame.fiducials[fiducialOf[begin + i]].position;
            measured.col(i) = Vec3(q.x, q.y, q.z);
        }
        // Umeyama without scaling: the least-squares rotation, corrected to a proper one (det +1).
        const Eigen::Matrix4d fit = Eigen::umeyama(model, measured, false);
        const Mat3 rotation = fit.topLeftCorner<3, 3>();
        const Vec3 translation = fit.topRightCorner<3, 1>();
        const Eigen::Matrix3Xd residual = (rotation * model).colwise() + translation - measured;

        ftkMarkerPose marker{};
        marker.geometryId = id;
        for (std::uint32_t i = 0; i < FTK_MAX_GEOMETRY_FIDUCIALS; ++i) {
            marker.correspondences[i] = i < count ? fiducialOf[begin + i] : FTK_NO_CORRESPONDENCE;
        }
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                marker.rotation[row][column] = static_cast<float>(rotation(row, column));
            }
            marker.translation[row] = static_cast<float>(translation(row));
        }
        marker.registrationError = static_cast<float>(std::sqrt(residual.colwise().squaredNorm().mean()));
        frame.markers.push_back(marker);
    }

    if (images) {
        frame.width = settings.imageWidth;
        frame.height = settings.imageHeight;
        render(0, detections[0], sightings[0], frame.leftPixels);
        render(1, detections[1], sightings[1], frame.rightPixels);
    }
    return true;
}

void SimulatedCamera::Impl::render(int camera, const std::vector<Detection>& detections,
                                   const std::vector<Sighting>& sightings, std::vector<std::uint8_t>& out) {
    CameraImage& image = cameraImages[camera];
    const int width = settings.imageWidth;
    const int height = settings.imageHeight;
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (image.background.size() != size) {
        // A dark background with a little fixed-pattern noise; a cheap hash is enough for that.
        image.background.resize(size);
        std::uint64_t state = settings.seed + 1000003ULL * static_cast<std::uint64_t>(camera + 1);
        for (std::size_t i = 0; i < size; i += 8) {
            const std::uint64_t bits = splitMix(state);
            for (std::size_t k = 0; k < 8 && i + k < size; ++k) {
                image.background[i + k] = static_cast<std::uint8_t>(kBackground + ((bits >> (8 * k)) & 7));
            }
        }
        image.pixels = image.background;
        image.drawn.clear();
    }
    for (const Rect& rect : image.drawn) {
        for (int y = rect.y0; y <= rect.y1; ++y) {
            const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
            std::copy(image.background.begin() + static_cast<std::ptrdiff_t>(row + rect.x0),
                      image.background.begin() + static_cast<std::ptrdiff_t>(row + rect.x1 + 1),
                      image.pixels.begin() + static_cast<std::ptrdiff_t>(row + rect.x0));
        }
    }
    image.drawn.clear();

    // A Gaussian spot at the true projection: about the blob's diameter where it is an eighth of its peak.
    for (const Detection& detection : detections) {
        const Sighting& s = sightings[detection.point];
        const double sigma = s.blobPx / 4.0;
        const int reach = static_cast<int>(std::ceil(3.0 * sigma));
        const int cx = static_cast<int>(std::lround(s.trueU));
        const int cy = static_cast<int>(std::lround(s.trueV));
        const Rect rect{std::max(cx - reach, 0), std::max(cy - reach, 0), std::min(cx + reach, width - 1),
                        std::min(cy + reach, height - 1)};
        for (int y = rect.y0; y <= rect.y1; ++y) {
            for (int x = rect.x0; x <= rect.x1; ++x) {
                const double dx = x - s.trueU;
                const double dy = y - s.trueV;
                const double value = kBlobPeak * std::exp(-(dx * dx + dy * dy) / (2.0 * sigma * sigma));
                std::uint8_t& pixel =
                    image.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                 static_cast<std::size_t>(x)];
                pixel = static_cast<std::uint8_t>(std::min(255.0, pixel + value));
            }
        }
        image.drawn.push_back(rect);
    }
    out.assign(image.pixels.begin(), image.pixels.end());
}

SimulatedCamera::SimulatedCamera(CameraSettings settings) : m_impl(std::make_unique<Impl>(settings)) {}

SimulatedCamera::~SimulatedCamera() = default;

// Any thread.
const CameraSettings& SimulatedCamera::settings() const {
    return m_impl->settings;
}

// Any thread.
void SimulatedCamera::setGeometries(const std::map<std::uint32_t, ftkGeometry>& geometries) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->geometries = geometries;
}

// Any thread.
bool SimulatedCamera::waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                                   FrameInfo* info) {
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    const auto deadline = now + std::max(timeout, std::chrono::milliseconds(0));
    const double rate = m_impl->settings.frameRateHz;
    const auto frameTime = [&](std::uint64_t index) {
        return m_impl->start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(static_cast<double>(index) / rate));
    };

    std::unique_lock<std::mutex> lock(m_impl->mutex);
    const double elapsed = std::chrono::duration<double>(now - m_impl->start).count();
    const auto latest = static_cast<std::uint64_t>(std::floor(elapsed * rate));
    const std::uint64_t index = std::max(m_impl->nextIndex, latest);
    const auto due = frameTime(index);
    if (due > deadline) {
        lock.unlock();
        std::this_thread::sleep_until(deadline);
        return false;
    }
    // Claimed before sleeping, so that two callers never deliver the same frame.
    m_impl->nextIndex = index + 1;
    lock.unlock();
    std::this_thread::sleep_until(due);

    lock.lock();
    const double t = static_cast<double>(index) / rate;
    if (info != nullptr) {
        info->index = index;
        info->timeSeconds = t;
        info->exposureUs = m_impl->systemStartUs +
                           static_cast<std::uint64_t>(std::llround(static_cast<double>(index) * 1e6 / rate));
    }
    return m_impl->buildFrame(t, images, frame);
}

// Any thread.
bool SimulatedCamera::frameAt(double timeSeconds, bool images, ScriptedFrame& frame) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->buildFrame(timeSeconds, images, frame);
}

// Any thread.
SimulatedCamera::Calibration SimulatedCamera::calibration() const {
    return m_impl->calibration;
}

// Any thread.
void SimulatedCamera::truePose(std::uint32_t geometryId, double timeSeconds, double rotation[3][3],
                               double translation[3]) const {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    const Pose pose = m_impl->poseAt(geometryId, timeSeconds);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            rotation[row][column] = pose.rotation(row, column);
        }
        translation[row] = pose.translation(row);
    }
}

// Any thread.
void SimulatedCamera::setHiddenGeometry(std::uint32_t geometryId, bool hidden) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    if (hidden) {
        m_impl->hidden.insert(geometryId);
    } else {
        m_impl->hidden.erase(geometryId);
    }
}

// Any thread.
void SimulatedCamera::pinPose(std::uint32_t geometryId, const double rotation[3][3],
                              const double translation[3]) {
    Pose pose;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            pose.rotation(row, column) = rotation[row][column];
        }
        pose.translation(row) = translation[row];
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->pinned[geometryId] = pose;
}

// Any thread.
void SimulatedCamera::unpinPose(std::uint32_t geometryId) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->pinned.erase(geometryId);
}

}  // namespace ftksim

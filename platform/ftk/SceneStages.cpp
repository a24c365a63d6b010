#include "SceneStages.h"

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>

namespace ftksim::scene {
namespace {

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

// The tangents of the half fields of view that keep a point kMarginPx inside both images.
struct FieldTangents {
    double x, y;
};

FieldTangents fieldTangents(const CameraSettings& settings, const Calibration& calibration) {
    return {(std::min(calibration.cx, settings.imageWidth - 1 - calibration.cx) - kMarginPx) /
                calibration.focalPx,
            (std::min(calibration.cy, settings.imageHeight - 1 - calibration.cy) - kMarginPx) /
                calibration.focalPx};
}

double radiusOf(const ftkGeometry& geometry) {
    double radius = 0.0;
    const std::uint32_t count = std::min<std::uint32_t>(geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto& p = geometry.positions[i];
        radius = std::max(radius, Vec3(p.x, p.y, p.z).norm());
    }
    return radius;
}

// Tilted about its tip, which rests in the pivot point; the marker's +z faces the cameras.
Pose pivotPose(std::uint32_t geometryId, double t, const CameraSettings& settings) {
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

// Whether the geometry is the touching scene's pointer, touching a reference other than itself.
bool touching(std::uint32_t geometryId, const CameraSettings& settings) {
    return settings.touchMarker != 0 && geometryId == settings.touchMarker && settings.touchReference != 0 &&
           settings.touchReference != settings.touchMarker && !settings.touchPoints.empty();
}

// The pointer's tilt at the touching scene's point `index`: its own at each point (up to 20 degrees about
// x and y), the marker's +z facing the cameras.
Eigen::Quaterniond touchTilt(std::size_t index) {
    const double degree = kPi / 180.0;
    const double k = static_cast<double>(index);
    return Eigen::Quaterniond(Eigen::AngleAxisd(20.0 * degree * std::sin(1.3 * k + 0.5), Vec3::UnitX()) *
                              Eigen::AngleAxisd(20.0 * degree * std::cos(1.7 * k + 0.2), Vec3::UnitY()) *
                              Eigen::AngleAxisd(kPi, Vec3::UnitX()));
}

// Where the touching pointer's tip is at t (the reference's frame) and how it is tilted: resting on a
// point, on its way to the next, or resting on the last.
void touchPlace(double t, const CameraSettings& settings, Vec3& point, Eigen::Quaterniond& tilt) {
    const auto& points = settings.touchPoints;
    const auto at = [&](std::size_t i) {
        return Vec3(points[i].point[0], points[i].point[1], points[i].point[2]);
    };
    double start = 0.0;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double restEnd = start + points[i].seconds;
        if (t < restEnd || i + 1 == points.size()) {
            point = at(i);
            tilt = touchTilt(i);
            return;
        }
        const double u = (t - restEnd) / CameraSettings::kTouchMoveSeconds;
        if (u < 1.0) {
            point = at(i) + u * (at(i + 1) - at(i));
            tilt = touchTilt(i).slerp(u, touchTilt(i + 1));
            return;
        }
        start = restEnd + CameraSettings::kTouchMoveSeconds;
    }
}

// The smooth path of a body whose fiducials lie up to `radius` from its centre.
Pose pathPose(std::uint32_t pathId, double radius, double t, const CameraSettings& settings,
              const Calibration& calibration) {
    const PathShape shape(pathId);
    // Depth first: the sideways room depends on it.
    const double nearest = kNearMm + radius;
    const double z =
        std::clamp(1000.0 + 350.0 * shape.wave(2, 0.05, t), nearest, std::max(nearest, kFarMm - radius));
    // A fiducial up to `radius` from the centre, and that much nearer, must stay inside both images.
    const FieldTangents tangent = fieldTangents(settings, calibration);
    const double halfX = std::max(0.0, tangent.x * z - kBaselineMm / 2.0 - radius * (1.0 + tangent.x));
    const double halfY = std::max(0.0, tangent.y * z - radius * (1.0 + tangent.y));
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

// The time of the paths: a still scene holds their poses of t = 0.
double pathTime(double t, const CameraSettings& settings) {
    return settings.still ? 0.0 : t;
}

// How far all the camera sees has moved as it warmed up, t seconds after its start.
Vec3 warmUpShift(double t, const CameraSettings& settings) {
    return Vec3(settings.driftMmPerMinute * t / 60.0, 0.0, 0.0);
}

// Where one point appears in the camera at cameraX.
Sighting sight(const Vec3& point, double cameraX, PixelNoise noise, const CameraSettings& settings,
               const Calibration& calibration) {
    Sighting sighting;
    if (point.z() < 1.0) {
        return sighting;  // behind the camera
    }
    const double f = calibration.focalPx;
    sighting.trueU = f * (point.x() - cameraX) / point.z() + calibration.cx;
    sighting.trueV = f * point.y() / point.z() + calibration.cy;
    sighting.visible = sighting.trueU >= 0.0 && sighting.trueU <= settings.imageWidth - 1.0 &&
                       sighting.trueV >= 0.0 && sighting.trueV <= settings.imageHeight - 1.0;
    sighting.detectedU = std::clamp(sighting.trueU + noise.u, 0.0, settings.imageWidth - 1.0);
    sighting.detectedV = std::clamp(sighting.trueV + noise.v, 0.0, settings.imageHeight - 1.0);
    const double nearness = std::clamp((kFarMm - point.z()) / (kFarMm - kNearMm), 0.0, 1.0);
    sighting.blobPx = kFarBlobPx + (kNearBlobPx - kFarBlobPx) * nearness;
    return sighting;
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

SceneRandom::SceneRandom(std::uint32_t seed) : noise(seed), fault(seed ^ 0x5A17F00Du) {}

std::uint64_t splitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
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
    if (!std::isfinite(settings.driftMmPerMinute)) {
        settings.driftMmPerMinute = 0.0;
    }
    return settings;
}

Calibration calibrationFor(const CameraSettings& settings) {
    return {kFocalPerWidthPx * settings.imageWidth, settings.imageWidth / 2.0, settings.imageHeight / 2.0,
            kBaselineMm};
}

std::vector<Stray> placeStrays(const CameraSettings& settings, const Calibration& calibration) {
    std::vector<Stray> strays;
    std::uint64_t state = settings.seed * 0x9E3779B97F4A7C15ULL + 77;
    const FieldTangents tangent = fieldTangents(settings, calibration);
    for (int i = 0; i < settings.strayReflections; ++i) {
        Stray stray{};
        const double z = 650.0 + 700.0 * unitFrom(state);
        const double halfX = std::max(0.0, tangent.x * z - kBaselineMm / 2.0);
        stray.base = Vec3(kBaselineMm / 2.0 + 0.8 * halfX * (2.0 * unitFrom(state) - 1.0),
                          0.8 * tangent.y * z * (2.0 * unitFrom(state) - 1.0), z);
        for (double& phase : stray.phase) {
            phase = 2.0 * kPi * unitFrom(state);
        }
        strays.push_back(stray);
    }
    return strays;
}

FrameFaults drawFaults(const CameraSettings& settings, double t, SceneRandom& random) {
    FrameFaults faults;
    faults.dropped = random.unit(random.fault) < settings.droppedFrameRate;
    faults.failed = random.unit(random.fault) < settings.errorStatusRate;
    faults.shock = random.unit(random.fault) < settings.shockWarningRate;
    faults.overflow = random.unit(random.fault) < settings.markerOverflowRate;
    // Drawn only when asked for, so that the other faults of a seed stay where they were.
    faults.internal =
        settings.internalErrorRate > 0.0 && random.unit(random.fault) < settings.internalErrorRate;
    faults.frozen = t >= settings.freezeAtSeconds && t < settings.freezeAtSeconds + settings.freezeForSeconds;
    return faults;
}

FaultOutcome applyFaults(const FrameFaults& faults, ftkStatus errorStatus, ScriptedFrame& frame) {
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
    if (faults.dropped || faults.frozen) {
        return FaultOutcome::NoFrame;
    }
    if (faults.failed || faults.internal) {
        frame.status = faults.internal ? FTK_ERR_INTERNAL : errorStatus;
        return FaultOutcome::StatusOnly;
    }
    if (faults.shock) {
        frame.status = FTK_WAR_SHOCK_DETECTED;
    }
    if (faults.overflow) {
        frame.markersStatus = FTK_PART_OVERFLOW;
    }
    return FaultOutcome::Scene;
}

Pose truePose(std::uint32_t geometryId, double t, const SceneContents& contents,
              const CameraSettings& settings, const Calibration& calibration) {
    const auto pin = contents.pinned.find(geometryId);
    if (pin != contents.pinned.end()) {
        return pin->second;
    }
    if (touching(geometryId, settings)) {
        // The reference's pose carries the drift already.
        const Pose reference = truePose(settings.touchReference, t, contents, settings, calibration);
        Vec3 point = Vec3::Zero();
        Eigen::Quaterniond tilt = Eigen::Quaterniond::Identity();
        touchPlace(t, settings, point, tilt);
        const Vec3 tip(settings.touchTip[0], settings.touchTip[1], settings.touchTip[2]);
        Pose pose;
        pose.rotation = tilt.toRotationMatrix();
        pose.translation = reference.rotation * point + reference.translation - pose.rotation * tip;
        return pose;
    }
    Pose pose;
    if (settings.pivotMarker != 0 && geometryId == settings.pivotMarker) {
        pose = pivotPose(geometryId, t, settings);
    } else {
        const auto geometry = contents.geometries.find(geometryId);
        const double radius =
            geometry != contents.geometries.end() ? radiusOf(geometry->second) : kDefaultMarkerRadiusMm;
        pose = pathPose(geometryId, radius, pathTime(t, settings), settings, calibration);
    }
    pose.translation += warmUpShift(t, settings);
    return pose;
}

bool hiddenAt(std::uint32_t geometryId, double t, const SceneContents& contents,
              const CameraSettings& settings) {
    if (contents.hidden.count(geometryId) != 0) {
        return true;
    }
    // As the freeze: from its start, up to but not including its end.
    return std::any_of(settings.hidePeriods.begin(), settings.hidePeriods.end(), [&](const auto& period) {
        return period.geometryId == geometryId && t >= period.fromSeconds &&
               t < period.fromSeconds + period.forSeconds;
    });
}

std::vector<ScenePoint> scenePoints(double t, const SceneContents& contents, const std::vector<Stray>& strays,
                                    const CameraSettings& settings, const Calibration& calibration) {
    std::vector<ScenePoint> points;
    for (const auto& [id, geometry] : contents.geometries) {
        if (hiddenAt(id, t, contents, settings)) {
            continue;
        }
        const Pose pose = truePose(id, t, contents, settings, calibration);
        const std::uint32_t count = std::min<std::uint32_t>(geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto& p = geometry.positions[i];
            points.push_back(
                {pose.rotation * Vec3(p.x, p.y, p.z) + pose.translation, id, static_cast<int>(i)});
        }
    }
    // The body that is not registered: seen as loose fiducials, like the strays, but rigid.
    if (!settings.body.empty()) {
        const Pose pose = truePose(kUnregisteredBodyPath, t, contents, settings, calibration);
        for (const auto& p : settings.body) {
            points.push_back({pose.rotation * Vec3(p[0], p[1], p[2]) + pose.translation, 0, -1});
        }
    }
    const double strayTime = pathTime(t, settings);
    for (const Stray& stray : strays) {
        const Vec3 wander(std::sin(2.0 * kPi * 0.10 * strayTime + stray.phase[0]),
                          std::sin(2.0 * kPi * 0.13 * strayTime + stray.phase[1]),
                          std::sin(2.0 * kPi * 0.07 * strayTime + stray.phase[2]));
        points.push_back({stray.base + 10.0 * wander + warmUpShift(t, settings), 0, -1});
    }
    return points;
}

std::vector<PixelNoise> drawPixelNoise(std::size_t count, double sigma, SceneRandom& random) {
    // Drawn for every point, seen or not, so that one point's visibility does not shift the noise of the
    // others.
    std::vector<PixelNoise> noise(count);
    for (PixelNoise& point : noise) {
        point.u = sigma * random.standardNormal(random.noise);
        point.v = sigma * random.standardNormal(random.noise);
    }
    return noise;
}

std::vector<Sighting> sightPoints(const std::vector<ScenePoint>& points, double cameraX,
                                  const std::vector<PixelNoise>& noise, const CameraSettings& settings,
                                  const Calibration& calibration) {
    std::vector<Sighting> sightings;
    sightings.reserve(points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        sightings.push_back(sight(points[i].position, cameraX, noise[i], settings, calibration));
    }
    return sightings;
}

std::vector<Detection> detectBlobs(const std::vector<Sighting>& sightings) {
    std::vector<Detection> detections;
    for (std::size_t i = 0; i < sightings.size(); ++i) {
        const Sighting& s = sightings[i];
        if (!s.visible) {
            continue;
        }
        ftkRawDetection raw{};
        raw.centerX = static_cast<float>(s.detectedU);
        raw.centerY = static_cast<float>(s.detectedV);
        raw.width = static_cast<std::uint16_t>(std::lround(s.blobPx));
        raw.height = raw.width;
        raw.pixelCount = static_cast<std::uint32_t>(std::lround(kPi * s.blobPx * s.blobPx / 4.0));
        detections.push_back({raw, i});
    }
    std::sort(detections.begin(), detections.end(), [](const Detection& a, const Detection& b) {
        return a.raw.centerY != b.raw.centerY ? a.raw.centerY < b.raw.centerY : a.raw.centerX < b.raw.centerX;
    });
    return detections;
}

std::optional<ftkFiducial3D> triangulate(const Sighting& left, const Sighting& right,
                                         const Calibration& calibration) {
    // Disparity gives depth.
    const double f = calibration.focalPx;
    const double b = calibration.baselineMm;
    const double disparity = left.detectedU - right.detectedU;
    if (disparity <= 0.0) {
        return std::nullopt;
    }
    const double z = f * b / disparity;
    const double v = (left.detectedV + right.detectedV) / 2.0;
    const Vec3 position((left.detectedU - calibration.cx) * z / f, (v - calibration.cy) * z / f, z);
    const Vec3 leftRay((left.detectedU - calibration.cx) / f, (left.detectedV - calibration.cy) / f, 1.0);
    const Vec3 rightRay((right.detectedU - calibration.cx) / f, (right.detectedV - calibration.cy) / f, 1.0);

    ftkFiducial3D fiducial{};
    fiducial.position = {static_cast<float>(position.x()), static_cast<float>(position.y()),
                         static_cast<float>(position.z())};
    fiducial.epipolarError = static_cast<float>(std::abs(left.detectedV - right.detectedV));
    fiducial.triangulationError = static_cast<float>(rayGap(leftRay, Vec3(b, 0.0, 0.0), rightRay));
    // Pairs are matched by construction, never by guessing.
    fiducial.probability = 1.0f;
    return fiducial;
}

FiducialRecords fiducialRecords(std::size_t pointCount, const std::vector<Detection>& left,
                                const std::vector<Detection>& right,
                                const std::vector<Sighting>& leftSightings,
                                const std::vector<Sighting>& rightSightings, const Calibration& calibration) {
    FiducialRecords records;
    std::vector<std::uint32_t> rightIndexOf(pointCount, kNoFiducial);
    for (std::size_t r = 0; r < right.size(); ++r) {
        rightIndexOf[right[r].point] = static_cast<std::uint32_t>(r);
        records.rightRaw.push_back(right[r].raw);
    }
    // Triangulated from the detected (noisy) centres of each pair.
    records.fiducialOfPoint.assign(pointCount, kNoFiducial);
    for (std::size_t l = 0; l < left.size(); ++l) {
        const Detection& detection = left[l];
        records.leftRaw.push_back(detection.raw);
        const std::uint32_t r = rightIndexOf[detection.point];
        if (r == kNoFiducial) {
            continue;
        }
        std::optional<ftkFiducial3D> fiducial =
            triangulate(leftSightings[detection.point], rightSightings[detection.point], calibration);
        if (!fiducial) {
            continue;
        }
        fiducial->leftIndex = static_cast<std::uint32_t>(l);
        fiducial->rightIndex = r;
        records.fiducialOfPoint[detection.point] = static_cast<std::uint32_t>(records.fiducials.size());
        records.fiducials.push_back(*fiducial);
    }
    return records;
}

ftkMarkerPose fitMarker(std::uint32_t geometryId, const ftkGeometry& geometry,
                        const std::uint32_t* fiducialIndices, const std::vector<ftkFiducial3D>& fiducials) {
    const std::uint32_t count = std::min<std::uint32_t>(geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
    Eigen::Matrix3Xd model(3, count);
    Eigen::Matrix3Xd measured(3, count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto& p = geometry.positions[i];
        model.col(i) = Vec3(p.x, p.y, p.z);
        const auto& q = fiducials[fiducialIndices[i]].position;
        measured.col(i) = Vec3(q.x, q.y, q.z);
    }
    // Umeyama without scaling: the least-squares rotation, corrected to a proper one (det +1).
    const Eigen::Matrix4d fit = Eigen::umeyama(model, measured, false);
    const Mat3 rotation = fit.topLeftCorner<3, 3>();
    const Vec3 translation = fit.topRightCorner<3, 1>();
    const Eigen::Matrix3Xd residual = (rotation * model).colwise() + translation - measured;

    ftkMarkerPose marker{};
    marker.geometryId = geometryId;
    for (std::uint32_t i = 0; i < FTK_MAX_GEOMETRY_FIDUCIALS; ++i) {
        marker.correspondences[i] = i < count ? fiducialIndices[i] : FTK_NO_CORRESPONDENCE;
    }
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            marker.rotation[row][column] = static_cast<float>(rotation(row, column));
        }
        marker.translation[row] = static_cast<float>(translation(row));
    }
    marker.registrationError = static_cast<float>(std::sqrt(residual.colwise().squaredNorm().mean()));
    return marker;
}

std::vector<ftkMarkerPose> fitMarkers(const std::map<std::uint32_t, ftkGeometry>& geometries,
                                      const std::vector<ScenePoint>& points,
                                      const std::vector<std::uint32_t>& fiducialOfPoint,
                                      const std::vector<ftkFiducial3D>& fiducials) {
    // A marker is reported only when every fiducial of it was triangulated. Each geometry's points follow
    // one another in the scene's order; a hidden geometry has none.
    std::vector<ftkMarkerPose> markers;
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
        const std::uint32_t* indices = fiducialOfPoint.data() + begin;
        if (std::any_of(indices, indices + count, [](std::uint32_t index) { return index == kNoFiducial; })) {
            continue;
        }
        markers.push_back(fitMarker(id, geometry, indices, fiducials));
    }
    return markers;
}

}  // namespace ftksim::scene

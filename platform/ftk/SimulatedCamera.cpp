#include "SimulatedCamera.h"

#include "SceneImage.h"
#include "SceneStages.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ftksim {

struct SimulatedCamera::Impl {
    explicit Impl(const CameraSettings& given);

    // The caller holds the mutex.
    bool buildFrame(double t, bool images, ScriptedFrame& frame);

    // Fixed after construction.
    const CameraSettings settings;
    const Calibration calibration;
    const std::chrono::steady_clock::time_point start;
    // The same moment on the system clock, in microseconds since the epoch: frames are stamped with it.
    const std::uint64_t systemStartUs;
    const std::vector<scene::Stray> strays;

    // Guards everything below. No other lock is taken while it is held, and nobody sleeps holding it.
    mutable std::mutex mutex;
    scene::SceneContents contents;
    scene::SceneRandom random;
    std::uint64_t nextIndex = 0;  // first frame not yet delivered by waitForFrame
    scene::CameraImage cameraImages[2];
};

SimulatedCamera::Impl::Impl(const CameraSettings& given)
    : settings(scene::sanitised(given)),
      calibration(scene::calibrationFor(settings)),
      start(std::chrono::steady_clock::now()),
      systemStartUs(static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                   std::chrono::system_clock::now().time_since_epoch())
                                                   .count())),
      strays(scene::placeStrays(settings, calibration)),
      random(settings.seed) {}

bool SimulatedCamera::Impl::buildFrame(double t, bool images, ScriptedFrame& frame) {
    const scene::FaultOutcome outcome =
        scene::applyFaults(scene::drawFaults(settings, t, random), settings.errorStatus, frame);
    if (outcome != scene::FaultOutcome::Scene) {
        return outcome == scene::FaultOutcome::StatusOnly;
    }
    const std::vector<scene::ScenePoint> points =
        scene::scenePoints(t, contents, strays, settings, calibration);
    // The noise of the left camera's sightings is drawn before the right one's.
    std::vector<scene::Sighting> sightings[2];
    std::vector<scene::Detection> detections[2];
    for (int camera = 0; camera < 2; ++camera) {
        const double cameraX = camera == 0 ? 0.0 : calibration.baselineMm;
        const auto noise = scene::drawPixelNoise(points.size(), settings.pixelNoise, random);
        sightings[camera] = scene::sightPoints(points, cameraX, noise, settings, calibration);
        detections[camera] = scene::detectBlobs(sightings[camera]);
    }
    scene::FiducialRecords records = scene::fiducialRecords(points.size(), detections[0], detections[1],
                                                            sightings[0], sightings[1], calibration);
    frame.markers =
        scene::fitMarkers(contents.geometries, points, records.fiducialOfPoint, records.fiducials);
    frame.fiducials = std::move(records.fiducials);
    frame.leftRaw = std::move(records.leftRaw);
    frame.rightRaw = std::move(records.rightRaw);
    if (images) {
        frame.width = settings.imageWidth;
        frame.height = settings.imageHeight;
        for (int camera = 0; camera < 2; ++camera) {
            scene::renderImage(detections[camera], sightings[camera], settings.imageWidth,
                               settings.imageHeight, settings.seed, camera, cameraImages[camera],
                               camera == 0 ? frame.leftPixels : frame.rightPixels);
        }
    }
    return true;
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
    m_impl->contents.geometries = geometries;
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
bool SimulatedCamera::waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                                   std::string& /*ended*/) {
    FrameInfo info;
    if (!waitForFrame(timeout, images, frame, &info)) {
        return false;
    }
    frame.counter = static_cast<std::uint32_t>(info.index + 1);
    frame.timestampUs = info.exposureUs;
    return true;
}

// Any thread.
std::string SimulatedCamera::faultOf(const ScriptedFrame& frame) const {
    if (frame.status == FTK_ERR_INTERNAL) {
        return "Simulated camera fault: internal error in the camera (status " +
               std::to_string(frame.status) + ")";
    }
    if (frame.status > FTK_OK) {
        return "Simulated camera fault: the frame failed with status " + std::to_string(frame.status);
    }
    if (frame.markersStatus == FTK_PART_OVERFLOW) {
        return "Simulated camera fault: more markers were detected than the frame can hold";
    }
    if (frame.status == FTK_WAR_SHOCK_DETECTED) {
        return "Simulated camera fault: shock detected";
    }
    return std::string();
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
    const scene::Pose pose =
        scene::truePose(geometryId, timeSeconds, m_impl->contents, m_impl->settings, m_impl->calibration);
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
        m_impl->contents.hidden.insert(geometryId);
    } else {
        m_impl->contents.hidden.erase(geometryId);
    }
}

// Any thread.
void SimulatedCamera::pinPose(std::uint32_t geometryId, const double rotation[3][3],
                              const double translation[3]) {
    scene::Pose pose;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            pose.rotation(row, column) = rotation[row][column];
        }
        pose.translation(row) = translation[row];
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->contents.pinned[geometryId] = pose;
}

// Any thread.
void SimulatedCamera::unpinPose(std::uint32_t geometryId) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->contents.pinned.erase(geometryId);
}

}  // namespace ftksim

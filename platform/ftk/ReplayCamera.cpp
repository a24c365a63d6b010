#include "ReplayCamera.h"

#include "SimulatedCamera.h"
#include "sequence/SequenceFile.h"
#include "sequence/TrackingCodec.h"
#include "sequence/TrackingFields.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace ftksim {
namespace {

namespace Fields = Halvoren::Sequence::TrackingFields;
using Halvoren::Sequence::RecordedFiducial;
using Halvoren::Sequence::RecordedFrame;
using Halvoren::Sequence::RecordedPose;
using Halvoren::Sequence::SequenceReader;

constexpr double kPi = 3.14159265358979323846;
constexpr const char* kEndText = "Replay: the recording has no more frames";
constexpr const char* kStopText = "Replay stopped: ";
// How far behind its pace the replay may fall before it takes up the pace from where it is.
constexpr auto kMaxLag = std::chrono::milliseconds(100);

// What stops the stream when the recording cannot be read on: a frame the plug-in cannot use, whose
// markers are invalid (it then closes the stream and logs the driver's last error, the reason).
ScriptedFrame stoppingFrame() {
    ScriptedFrame frame;
    frame.markersStatus = FTK_PART_INVALID;
    frame.imageHeaderStatus = FTK_PART_INVALID;
    frame.leftPixelsStatus = FTK_PART_INVALID;
    frame.rightPixelsStatus = FTK_PART_INVALID;
    return frame;
}

// When each frame is due after the first, in recorded seconds (the frames' stamps are checked: finite and
// bounded). A frame stamped before its predecessor is due with it.
std::vector<double> dueOffsetsOf(const SequenceReader& reader) {
    const std::size_t count = reader.frameCount();
    std::vector<double> offsets;
    offsets.reserve(count);
    double first = 0.0;
    double latest = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        double stamp = 0.0;
        std::string why;
        const bool readable = Fields::timestampOf(reader.frameFields(i), stamp, why);
        if (readable && i == 0) {
            first = stamp;
        }
        if (readable) {
            latest = std::max(latest, stamp - first);
        }
        offsets.push_back(latest);
    }
    return offsets;
}

// A recorded number as the driver's float: a finite value beyond float's range would be undefined
// behaviour to convert, so it is held at the range's edge.
float toFloat(double value) {
    return static_cast<float>(std::clamp(value, -static_cast<double>(std::numeric_limits<float>::max()),
                                         static_cast<double>(std::numeric_limits<float>::max())));
}

ftkFiducial3D fiducialOf(const RecordedFiducial& recorded, std::size_t f) {
    ftkFiducial3D fiducial{};
    fiducial.leftIndex = static_cast<std::uint32_t>(f);
    fiducial.rightIndex = static_cast<std::uint32_t>(f);
    fiducial.position = {toFloat(recorded.x), toFloat(recorded.y), toFloat(recorded.z)};
    fiducial.probability = toFloat(recorded.probability);
    fiducial.epipolarError = toFloat(recorded.epipolarError);
    fiducial.triangulationError = toFloat(recorded.triangulationError);
    return fiducial;
}

// Where camera 0 (left) or 1 (right) sees a fiducial; recordings lack the raw detections.
ftkRawDetection rawDetectionOf(const RecordedFiducial& recorded, int camera,
                               const SimulatedCamera::Calibration& calibration) {
    const double x = recorded.x - (camera == 0 ? 0.0 : calibration.baselineMm);
    const double z = recorded.z;
    ftkRawDetection raw{};
    if (z >= 1.0) {
        raw.centerX = toFloat(calibration.focalPx * x / z + calibration.cx);
        raw.centerY = toFloat(calibration.focalPx * recorded.y / z + calibration.cy);
    }
    const double pixelCount = camera == 0 ? recorded.leftPixelCount : recorded.rightPixelCount;
    raw.pixelCount = static_cast<std::uint32_t>(pixelCount);
    // The bounding box of a round blob of that many pixels.
    raw.width = static_cast<std::uint16_t>(std::min(65535.0, std::ceil(std::sqrt(4.0 * pixelCount / kPi))));
    raw.height = raw.width;
    return raw;
}

// Whether the camera reported the marker. A frame that recorded its registration error says so. One that
// did not (recordings made before registration errors were recorded, or of a stream that does not report
// them) is taken as the recorded quality says: seen when above 0.
bool wasSeen(const RecordedPose& pose) {
    return pose.rigid && (pose.registrationErrorMm || (pose.quality > 0.0 && pose.quality <= 1.0));
}

// A seen marker's pose as the camera reported it, its fiducials those recorded as marker k's.
ftkMarkerPose markerPoseOf(const RecordedPose& pose, std::uint32_t geometryId, std::size_t k,
                           const std::vector<RecordedFiducial>& fiducials) {
    ftkMarkerPose marker{};
    marker.geometryId = geometryId;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            marker.rotation[row][column] = static_cast<float>(pose.transform[4 * row + column]);
        }
        marker.translation[row] = static_cast<float>(pose.transform[4 * row + 3]);
    }
    // Without a recorded registration error the error the recorded quality stands for cannot be known:
    // turning a quality into an error is the plug-in's business, and its formula may change. 0 mm, a
    // perfect fit, is handed over instead: the pose still counts as seen, for the replay of an old
    // recording is for its poses, and any other number would be a measurement nobody made.
    marker.registrationError = pose.registrationErrorMm.value_or(0.0f);
    std::uint32_t used = 0;
    for (std::size_t f = 0; f < fiducials.size() && used < FTK_MAX_GEOMETRY_FIDUCIALS; ++f) {
        if (fiducials[f].markerIndex == static_cast<std::int32_t>(k)) {
            marker.correspondences[used++] = static_cast<std::uint32_t>(f);
        }
    }
    std::fill(marker.correspondences + used, marker.correspondences + FTK_MAX_GEOMETRY_FIDUCIALS,
              FTK_NO_CORRESPONDENCE);
    return marker;
}

}  // namespace

struct ReplayCamera::Impl {
    using Clock = std::chrono::steady_clock;
    enum class Claim { Nothing, Frame, Stop };

    // Fixed after open().
    std::unique_ptr<SequenceReader> reader;
    double speed = 1.0;  // or CameraSettings::kReplayAtOnce
    std::string path;
    Halvoren::Sequence::RecordingHeader header;  // images are played when it has them
    SimulatedCamera::Calibration calibration{};
    // When each frame is due after the first, in recorded seconds; never decreasing.
    std::vector<double> offsets;
    std::shared_ptr<ReplayStatus> status;

    // Guards everything below; nobody sleeps holding it. The reader is read under it too, so that the
    // frames' pixels are read in order whichever thread claims them.
    std::mutex mutex;
    std::set<std::uint32_t> geometryIds;
    bool started = false;
    std::chrono::steady_clock::time_point start;
    std::size_t next = 0;   // the first frame not yet delivered
    bool finished = false;  // the end was found: nothing comes any more
    std::vector<std::uint8_t> pixels;

    std::chrono::steady_clock::time_point dueOf(std::size_t index) const {
        // Offsets are at most twice the longest time stamp; a slow speed still must not pass the clock's
        // range (about 292 years), where the conversion would be undefined.
        const double seconds = std::min(offsets[index] / speed, 100.0 * 365 * 24 * 3600);
        return start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(seconds));
    }
    // The caller holds the mutex. The next frame when it is due by the deadline, with its due time; or the
    // frame that stops the stream, due at once, when it cannot be read.
    Claim claimNext(Clock::time_point now, Clock::time_point deadline, bool withImages, ScriptedFrame& frame,
                    std::string& ended, Clock::time_point& due);
    // The caller holds the mutex; `pixels` holds the frame's. False with the reason (naming the file and
    // the frame) when its fields are malformed.
    bool buildFrame(std::size_t index, bool withImages, ScriptedFrame& frame, std::string& why) const;

    // Parts of open() and buildFrame().
    bool checkImageSize(std::string& why) const;
    void addFiducials(const std::vector<RecordedFiducial>& fiducials, ScriptedFrame& frame) const;
    void addMarkers(const RecordedFrame& recorded, ScriptedFrame& frame) const;
    void copyImages(ScriptedFrame& frame) const;
};

std::unique_ptr<ReplayCamera> ReplayCamera::open(const CameraSettings& settings, std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->speed = settings.replaySpeed;
    impl->path = settings.replay;
    auto reader = SequenceReader::open(settings.replay);
    if (!reader) {
        error = reader.error().message;
        return nullptr;
    }
    impl->reader = std::move(*reader);
    auto header = Halvoren::Sequence::recordingOf(impl->reader->fields());
    std::string why = header ? std::string() : header.error().message;
    if (header) {
        impl->header = std::move(*header);
    }
    if (!header || !impl->checkImageSize(why) || !Fields::checkFrames(*impl->reader, why)) {
        error = settings.replay + ": " + why;
        return nullptr;
    }

    // The simulated camera's calibration, for the size of the recorded images.
    CameraSettings cameraSettings = settings;
    if (impl->header.images()) {
        cameraSettings.imageWidth = static_cast<std::uint16_t>(impl->header.imageWidth);
        cameraSettings.imageHeight = static_cast<std::uint16_t>(impl->header.imageHeight);
    }
    impl->calibration = SimulatedCamera(cameraSettings).calibration();
    impl->offsets = dueOffsetsOf(*impl->reader);
    impl->status =
        std::make_shared<ReplayStatus>(settings.serialNumber, settings.model, impl->offsets.size());
    return std::unique_ptr<ReplayCamera>(new ReplayCamera(std::move(impl)));
}

// With images, each frame holds the left and right ones side by side.
bool ReplayCamera::Impl::checkImageSize(std::string& why) const {
    if (header.images() &&
        (reader->width() != 2 * header.imageWidth || reader->height() != header.imageHeight)) {
        why = "the frames are " + std::to_string(reader->width()) + " x " + std::to_string(reader->height()) +
              " pixels, not the left and right images side by side";
        return false;
    }
    return true;
}

ReplayCamera::ReplayCamera(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

ReplayCamera::~ReplayCamera() = default;

std::shared_ptr<const ReplayStatus> ReplayCamera::status() const {
    return m_impl->status;
}

// Any thread.
void ReplayCamera::setGeometries(const std::map<std::uint32_t, ftkGeometry>& geometries) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->geometryIds.clear();
    for (const auto& entry : geometries) {
        m_impl->geometryIds.insert(entry.first);
    }
}

bool ReplayCamera::Impl::buildFrame(std::size_t index, bool withImages, ScriptedFrame& frame,
                                    std::string& why) const {
    RecordedFrame recorded;
    if (!Halvoren::Sequence::frameOf(reader->frameFields(index), header.markers, recorded, why)) {
        why = path + ": frame " + std::to_string(index) + ": " + why;
        return false;
    }
    frame = ScriptedFrame();
    frame.counter = recorded.frameNumber;
    addFiducials(recorded.fiducials, frame);
    addMarkers(recorded, frame);
    if (withImages && header.images()) {
        copyImages(frame);
    }
    return true;
}

// Each fiducial detected once in each image, where the two cameras see its position.
void ReplayCamera::Impl::addFiducials(const std::vector<RecordedFiducial>& fiducials,
                                      ScriptedFrame& frame) const {
    for (std::size_t f = 0; f < fiducials.size(); ++f) {
        frame.fiducials.push_back(fiducialOf(fiducials[f], f));
        frame.leftRaw.push_back(rawDetectionOf(fiducials[f], 0, calibration));
        frame.rightRaw.push_back(rawDetectionOf(fiducials[f], 1, calibration));
    }
}

// The markers whose geometry is set and that the camera reported.
void ReplayCamera::Impl::addMarkers(const RecordedFrame& recorded, ScriptedFrame& frame) const {
    for (std::size_t k = 0; k < header.markers.size(); ++k) {
        const std::uint32_t geometryId = header.markers[k].geometryId;
        const RecordedPose& pose = recorded.poses[k];
        if (geometryIds.count(geometryId) != 0 && wasSeen(pose)) {
            frame.markers.push_back(markerPoseOf(pose, geometryId, k, recorded.fiducials));
        }
    }
}

// Each recorded row holds the left image's row, then the right one's.
void ReplayCamera::Impl::copyImages(ScriptedFrame& frame) const {
    const auto width = static_cast<std::size_t>(header.imageWidth);
    const auto height = static_cast<std::size_t>(header.imageHeight);
    frame.width = static_cast<std::uint16_t>(header.imageWidth);
    frame.height = static_cast<std::uint16_t>(header.imageHeight);
    frame.leftPixels.resize(width * height);
    frame.rightPixels.resize(width * height);
    for (std::size_t y = 0; y < height; ++y) {
        const auto row = pixels.begin() + static_cast<std::ptrdiff_t>(2 * width * y);
        std::copy(row, row + static_cast<std::ptrdiff_t>(width),
                  frame.leftPixels.begin() + static_cast<std::ptrdiff_t>(width * y));
        std::copy(row + static_cast<std::ptrdiff_t>(width), row + static_cast<std::ptrdiff_t>(2 * width),
                  frame.rightPixels.begin() + static_cast<std::ptrdiff_t>(width * y));
    }
}

// The caller holds the mutex.
ReplayCamera::Impl::Claim ReplayCamera::Impl::claimNext(Clock::time_point now, Clock::time_point deadline,
                                                        bool withImages, ScriptedFrame& frame,
                                                        std::string& ended, Clock::time_point& due) {
    if (!started) {
        started = true;
        start = now;
    }
    if (finished) {
        return Claim::Nothing;
    }
    if (next >= offsets.size()) {
        finished = true;
        ended = kEndText;
        status->ended();
        return Claim::Nothing;
    }
    due = speed == CameraSettings::kReplayAtOnce ? now : dueOf(next);
    if (due > deadline) {
        return Claim::Nothing;
    }
    // Behind by more than a moment (nobody asked for a while): the rest keeps its recorded pace from now,
    // rather than coming all at once.
    if (now - due > kMaxLag) {
        start += now - due;
        due = now;
    }
    std::string error;
    if (!reader->readNextPixels(pixels, error) || !buildFrame(next, withImages, frame, error)) {
        finished = true;
        ended = kStopText + error;
        status->stopped(error);
        frame = stoppingFrame();
        return Claim::Stop;
    }
    ++next;
    status->delivered(next);
    return Claim::Frame;
}

// Any thread.
bool ReplayCamera::waitForFrame(std::chrono::milliseconds timeout, bool images, ScriptedFrame& frame,
                                std::string& ended) {
    using Clock = Impl::Clock;
    const auto now = Clock::now();
    const auto deadline = now + std::max(timeout, std::chrono::milliseconds(0));
    Impl& d = *m_impl;
    std::unique_lock<std::mutex> lock(d.mutex);
    Clock::time_point due = now;
    // Claimed and read before sleeping, so that two callers never deliver the same frame.
    const Impl::Claim claim = d.claimNext(now, deadline, images, frame, ended, due);
    lock.unlock();
    if (claim == Impl::Claim::Nothing) {
        std::this_thread::sleep_until(deadline);
        return false;
    }
    if (claim == Impl::Claim::Frame) {
        std::this_thread::sleep_until(due);
    }
    // The replayed exposure happens now: latency stays measurable downstream.
    frame.timestampUs = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                       std::chrono::system_clock::now().time_since_epoch())
                                                       .count());
    return true;
}

}  // namespace ftksim

#include "ReplayCamera.h"

#include "SimulatedCamera.h"
#include "sequence/SequenceFile.h"
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
using Halvoren::Sequence::findField;
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

// The numbers of a field; empty when the field is missing or holds anything else.
std::vector<double> numbersOf(const Halvoren::Sequence::Fields& fields, const std::string& name) {
    std::vector<double> values;
    const std::string* text = findField(fields, name);
    if (text == nullptr || !Fields::parseNumbers(*text, values)) {
        values.clear();
    }
    return values;
}

// A whole number from 0 to maximum held by a field alone.
bool wholeNumberOf(const Halvoren::Sequence::Fields& fields, const std::string& name, double maximum,
                   std::uint64_t& value) {
    const std::vector<double> values = numbersOf(fields, name);
    if (values.size() != 1 || !(values[0] >= 0.0) || values[0] > maximum ||
        std::floor(values[0]) != values[0]) {
        return false;
    }
    value = static_cast<std::uint64_t>(values[0]);
    return true;
}

struct RecordedMarker {
    std::string field;  // what the marker's name stands for in the frame fields
    std::uint32_t geometryId = 0;
};

// Only the recording version this replay knows.
bool isReadableVersion(const Halvoren::Sequence::Fields& fields, std::string& why) {
    std::uint64_t version = 0;
    if (!wholeNumberOf(fields, Fields::kVersion, 1e9, version) || version != Fields::kRecordingVersion) {
        why = std::string("not a tracking recording of version ") +
              std::to_string(Fields::kRecordingVersion) + " (" + Fields::kVersion + ")";
        return false;
    }
    return true;
}

// The recorded markers: the field each one's name stands for, and its geometry.
bool markersOf(const Halvoren::Sequence::Fields& fields, std::vector<RecordedMarker>& markers,
               std::string& why) {
    std::uint64_t markerCount = 0;
    if (findField(fields, Fields::kMarkerCount) != nullptr &&
        !wholeNumberOf(fields, Fields::kMarkerCount, 1e6, markerCount)) {
        why = std::string("bad ") + Fields::kMarkerCount;
        return false;
    }
    for (std::size_t k = 0; k < markerCount; ++k) {
        RecordedMarker marker;
        const std::string* field = findField(fields, Fields::markerField(k, "Field"));
        std::uint64_t geometryId = 0;
        if (field == nullptr || field->empty() ||
            !wholeNumberOf(fields, Fields::markerField(k, "GeometryId"), 4294967295.0, geometryId)) {
            why = "marker " + std::to_string(k) + " has no field name or geometry id";
            return false;
        }
        marker.field = *field;
        marker.geometryId = static_cast<std::uint32_t>(geometryId);
        markers.push_back(marker);
    }
    return true;
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

// How many fiducials a frame's recorded values hold: 0 unless the count leads exactly that many.
std::size_t fiducialCountOf(const std::vector<double>& recorded) {
    if (!recorded.empty() && recorded[0] >= 0.0 && recorded[0] <= static_cast<double>(recorded.size()) &&
        std::floor(recorded[0]) == recorded[0] &&
        recorded.size() == 1 + static_cast<std::size_t>(recorded[0]) * Fields::kFiducialValues) {
        return static_cast<std::size_t>(recorded[0]);
    }
    return 0;
}

// A recorded number as the driver's float: a finite value beyond float's range would be undefined
// behaviour to convert, so it is held at the range's edge.
float toFloat(double value) {
    return static_cast<float>(std::clamp(value, -static_cast<double>(std::numeric_limits<float>::max()),
                                         static_cast<double>(std::numeric_limits<float>::max())));
}

// Fiducial f's recorded values: x y z, probability, epipolar and triangulation error, left and right
// pixel count, marker index.
const double* fiducialValues(const std::vector<double>& recorded, std::size_t f) {
    return recorded.data() + 1 + f * Fields::kFiducialValues;
}

ftkFiducial3D fiducialOf(const double* values, std::size_t f) {
    ftkFiducial3D fiducial{};
    fiducial.leftIndex = static_cast<std::uint32_t>(f);
    fiducial.rightIndex = static_cast<std::uint32_t>(f);
    fiducial.position = {toFloat(values[0]), toFloat(values[1]), toFloat(values[2])};
    fiducial.probability = toFloat(values[3]);
    fiducial.epipolarError = toFloat(values[4]);
    fiducial.triangulationError = toFloat(values[5]);
    return fiducial;
}

// Where camera 0 (left) or 1 (right) sees a fiducial; recordings lack the raw detections.
ftkRawDetection rawDetectionOf(const double* values, int camera,
                               const SimulatedCamera::Calibration& calibration) {
    const double x = values[0] - (camera == 0 ? 0.0 : calibration.baselineMm);
    const double z = values[2];
    ftkRawDetection raw{};
    if (z >= 1.0) {
        raw.centerX = toFloat(calibration.focalPx * x / z + calibration.cx);
        raw.centerY = toFloat(calibration.focalPx * values[1] / z + calibration.cy);
    }
    const double pixelCount = values[6 + camera] >= 0.0 ? std::min(values[6 + camera], 1e9) : 0.0;
    raw.pixelCount = static_cast<std::uint32_t>(pixelCount);
    // The bounding box of a round blob of that many pixels.
    raw.width = static_cast<std::uint16_t>(std::min(65535.0, std::ceil(std::sqrt(4.0 * pixelCount / kPi))));
    raw.height = raw.width;
    return raw;
}

// A seen marker's pose from its recorded transform and quality, its fiducials those recorded as marker k's.
ftkMarkerPose markerPoseOf(const std::vector<double>& transform, double quality, std::uint32_t geometryId,
                           std::size_t k, const std::vector<double>& recorded, std::size_t fiducialCount) {
    ftkMarkerPose marker{};
    marker.geometryId = geometryId;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            marker.rotation[row][column] = static_cast<float>(transform[4 * row + column]);
        }
        marker.translation[row] = static_cast<float>(transform[4 * row + 3]);
    }
    // The driver's scale of quality: the plug-in reports 1 - registrationError / 10.
    marker.registrationError = toFloat((1.0 - quality) * 10.0);
    std::uint32_t used = 0;
    for (std::size_t f = 0; f < fiducialCount && used < FTK_MAX_GEOMETRY_FIDUCIALS; ++f) {
        if (fiducialValues(recorded, f)[8] == static_cast<double>(k)) {
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
    bool images = false;
    int imageWidth = 0;  // of one camera's image
    int imageHeight = 0;
    std::vector<RecordedMarker> markers;
    SimulatedCamera::Calibration calibration{};
    // When each frame is due after the first, in recorded seconds; never decreasing.
    std::vector<double> offsets;

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
    // The caller holds the mutex; `pixels` holds the frame's.
    void buildFrame(std::size_t index, bool withImages, ScriptedFrame& frame) const;

    // Parts of open() and buildFrame().
    bool readImageSize(std::string& why);
    void addFiducials(const std::vector<double>& recorded, std::size_t fiducialCount,
                      ScriptedFrame& frame) const;
    void addMarkers(const Halvoren::Sequence::Fields& fields, const std::vector<double>& recorded,
                    std::size_t fiducialCount, ScriptedFrame& frame) const;
    void copyImages(ScriptedFrame& frame) const;
};

std::unique_ptr<ReplayCamera> ReplayCamera::open(const CameraSettings& settings, std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->speed = settings.replaySpeed;
    impl->reader = SequenceReader::open(settings.replay, error);
    if (!impl->reader) {
        return nullptr;
    }
    const auto& fields = impl->reader->fields();
    std::string why;
    if (!isReadableVersion(fields, why) || !impl->readImageSize(why) ||
        !markersOf(fields, impl->markers, why) || !Fields::checkFrames(*impl->reader, why)) {
        error = settings.replay + ": " + why;
        return nullptr;
    }

    // The simulated camera's calibration, for the size of the recorded images.
    CameraSettings cameraSettings = settings;
    if (impl->images) {
        cameraSettings.imageWidth = static_cast<std::uint16_t>(impl->imageWidth);
        cameraSettings.imageHeight = static_cast<std::uint16_t>(impl->imageHeight);
    }
    impl->calibration = SimulatedCamera(cameraSettings).calibration();
    impl->offsets = dueOffsetsOf(*impl->reader);
    return std::unique_ptr<ReplayCamera>(new ReplayCamera(std::move(impl)));
}

// With images, each frame holds the left and right ones side by side.
bool ReplayCamera::Impl::readImageSize(std::string& why) {
    const auto& fields = reader->fields();
    const std::string* recorded = findField(fields, Fields::kImages);
    images = recorded != nullptr && *recorded == "True";
    if (!images) {
        return true;
    }
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    if (!wholeNumberOf(fields, Fields::kImageWidth, 65535, width) ||
        !wholeNumberOf(fields, Fields::kImageHeight, 65535, height) || width == 0 || height == 0 ||
        static_cast<std::uint64_t>(reader->width()) != 2 * width ||
        static_cast<std::uint64_t>(reader->height()) != height) {
        why = "the frames are " + std::to_string(reader->width()) + " x " + std::to_string(reader->height()) +
              " pixels, not the left and right images side by side";
        return false;
    }
    imageWidth = static_cast<int>(width);
    imageHeight = static_cast<int>(height);
    return true;
}

ReplayCamera::ReplayCamera(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

ReplayCamera::~ReplayCamera() = default;

// Any thread.
void ReplayCamera::setGeometries(const std::map<std::uint32_t, ftkGeometry>& geometries) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    m_impl->geometryIds.clear();
    for (const auto& entry : geometries) {
        m_impl->geometryIds.insert(entry.first);
    }
}

void ReplayCamera::Impl::buildFrame(std::size_t index, bool withImages, ScriptedFrame& frame) const {
    frame = ScriptedFrame();
    const auto& fields = reader->frameFields(index);
    std::uint64_t counter = 0;
    if (wholeNumberOf(fields, Fields::kFrameNumber, 4294967295.0, counter)) {
        frame.counter = static_cast<std::uint32_t>(counter);
    }
    const std::vector<double> recorded = numbersOf(fields, Fields::kFiducials);
    const std::size_t fiducialCount = fiducialCountOf(recorded);
    addFiducials(recorded, fiducialCount, frame);
    addMarkers(fields, recorded, fiducialCount, frame);
    if (withImages && images) {
        copyImages(frame);
    }
}

// Each fiducial detected once in each image, where the two cameras see its position.
void ReplayCamera::Impl::addFiducials(const std::vector<double>& recorded, std::size_t fiducialCount,
                                      ScriptedFrame& frame) const {
    for (std::size_t f = 0; f < fiducialCount; ++f) {
        const double* values = fiducialValues(recorded, f);
        frame.fiducials.push_back(fiducialOf(values, f));
        frame.leftRaw.push_back(rawDetectionOf(values, 0, calibration));
        frame.rightRaw.push_back(rawDetectionOf(values, 1, calibration));
    }
}

// The markers whose geometry is set and that were seen.
void ReplayCamera::Impl::addMarkers(const Halvoren::Sequence::Fields& fields,
                                    const std::vector<double>& recorded, std::size_t fiducialCount,
                                    ScriptedFrame& frame) const {
    for (std::size_t k = 0; k < markers.size(); ++k) {
        const RecordedMarker& recordedMarker = markers[k];
        if (geometryIds.count(recordedMarker.geometryId) == 0) {
            continue;
        }
        const std::vector<double> quality = numbersOf(fields, Fields::qualityField(recordedMarker.field));
        const std::vector<double> transform = numbersOf(fields, Fields::transformField(recordedMarker.field));
        // Unseen, or no pose: a transform that is not a rigid motion is not delivered.
        if (quality.size() != 1 || !(quality[0] > 0.0 && quality[0] <= 1.0) ||
            !Fields::isRigidMotion(transform)) {
            continue;
        }
        frame.markers.push_back(
            markerPoseOf(transform, quality[0], recordedMarker.geometryId, k, recorded, fiducialCount));
    }
}

// Each recorded row holds the left image's row, then the right one's.
void ReplayCamera::Impl::copyImages(ScriptedFrame& frame) const {
    const auto width = static_cast<std::size_t>(imageWidth);
    const auto height = static_cast<std::size_t>(imageHeight);
    frame.width = static_cast<std::uint16_t>(imageWidth);
    frame.height = static_cast<std::uint16_t>(imageHeight);
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
    if (!reader->readNextPixels(pixels, error)) {
        finished = true;
        ended = kStopText + error;
        frame = stoppingFrame();
        return Claim::Stop;
    }
    buildFrame(next, withImages, frame);
    ++next;
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

// The acquisition pass: fetch a frame, classify the driver's status, and turn a usable frame into
// instrument poses, fiducials, the camera-image update record and the frame's stream data.

#include "stream/AtracsysTrackingStream.h"
#include "stream/FrameResults.h"

#include "host/Image.h"
#include "host/Log.h"
#include "host/Utilities.h"

#include <atomic>
#include <exception>
#include <set>
#include <sstream>

namespace Halvoren::SpryTrack {

namespace {

using Clock = std::chrono::system_clock;

constexpr std::uint32_t kFetchTimeoutMs = 100;
constexpr auto kPassPeriod = std::chrono::milliseconds(10);
constexpr auto kPersistentFailurePeriod = std::chrono::milliseconds(500);
// More consecutive failed fetches than this reset the instruments and slow the loop down.
constexpr std::int32_t kMaxSilentFailures = 50;
constexpr std::uint32_t kGreyPixelType = PixelUInt8;
const std::string kFrameType = "IR";

// Fetches that returned a shock warning, for the whole process; never reset, not by a good frame nor by
// reopening. The warning's wording ("... times in a row!") and this count are what readers and filters of
// the plug-in's log have always seen, so both stay as they are: the count says how often the camera was
// shaken since the plug-in was loaded, not a run of consecutive frames.
std::atomic<std::int32_t> shockWarningCount{0};

// A recurring shock warning is logged for the first 19, then every 10th up to 200, then every 100th.
bool shockWarningIsLogged(std::int32_t n) {
    return n < 20 || (n < 200 && n % 10 == 0) || n % 100 == 0;
}

// Every status of the failed fetches in a row, ascending, each followed by a blank.
void logPersistentFailure(const std::set<std::int32_t>& errorCodes, std::int32_t consecutiveErrors) {
    if (!Log::isAccepted(Log::Error, "")) {
        return;
    }
    std::ostringstream codes;
    for (const std::int32_t code : errorCodes) {
        codes << code << ' ';
    }
    Log::log(Log::Error, "",
             "AtracsysTrackingStream: ftkGetLastFrame returned not FTK_OK but [" + codes.str() + "] for " +
                 std::to_string(consecutiveErrors) + " times in a row!");
}

Stream::WorkContinuation continueAt(Clock::time_point next) {
    return Stream::WorkContinuation{next, true};
}

// An owning copy of a driver pixel buffer: the driver reuses its buffers for later frames. The previous
// frame's image memory is reused when nobody else holds it any more, so a running stream does not allocate
// and fault in two fresh image buffers per frame.
std::shared_ptr<SharedImage> copyImage(const ImageDescriptor& descriptor, const std::uint8_t* pixels,
                                       std::shared_ptr<SharedImage> previous) {
    if (previous && previous.use_count() == 1) {
        std::shared_ptr<MemImage> memory = previous->sharedMem();
        previous.reset();
        if (memory && memory.use_count() == 1 && memory->copyFrom(descriptor, pixels)) {
            return std::make_shared<SharedImage>(std::move(memory));
        }
    }
    const auto wrapper = MemImage::create(descriptor, pixels, MemImage::NotOwned);
    return std::make_shared<SharedImage>(std::shared_ptr<MemImage>(wrapper->clone()));
}

// Which camera frame this is and when it was exposed: lets a consumer count missed frames and measure
// latency. None when the frame's image header is not valid.
std::unique_ptr<TrackingFrameInfoData> frameInfoOf(const ftkFrame& frame) {
    if (frame.imageHeaderStatus != FTK_PART_OK || frame.imageHeader == nullptr) {
        return nullptr;
    }
    return std::make_unique<TrackingFrameInfoData>(frame.imageHeader->counter,
                                                   frame.imageHeader->timestampUs);
}

// Adds the components a frame has, in order; absent ones are skipped.
template <typename... Components>
void addComponents(TrackingStreamData& data, std::unique_ptr<Components>... components) {
    ((components ? data.components().add(std::move(components)) : void()), ...);
}

}  // namespace

struct AtracsysTrackingStream::FramePass {
    FrameResults::FrameView view;
    FrameResults::FiducialSelection selection;
    std::vector<FrameResults::MarkerIdentity> markers;
};

// Worker thread.
std::optional<Stream::WorkContinuation> AtracsysTrackingStream::doWork() {
    // Fixed before the fetch, so that waiting for a frame counts against the period.
    const Clock::time_point start = Clock::now();
    const Clock::time_point next = start + kPassPeriod;
    try {
        const ftkFrame* frame = nullptr;
        if (auto ended = fetchFrame(next, frame)) {
            return ended;
        }
        if (!acceptMarkerStatus(frame->markersStatus)) {
            return continueAt(next);
        }

        FramePass pass;
        pass.view = FrameResults::FrameView::of(*frame);
        pass.markers = FrameResults::markerIdentities(pass.view);
        const FiducialQueryMode mode = fiducialQueryMode();
        FrameResults::selectFiducials(pass.view, mode, maxFiducialMarkerDistance(), pass.selection);

        processFrameCalibration();

        std::shared_ptr<ImageStreamData> leftImage;
        std::shared_ptr<ImageStreamData> rightImage;
        std::unique_ptr<TrackingCameraImagesData> cameraImages;
        if (queryImages()) {
            processCameraImages(*frame, pass, leftImage, rightImage, cameraImages);
        }

        std::unique_ptr<TrackingInstrumentFiducialsData> fiducials;
        if (mode != None) {
            // One registry look-up per marker, not per fiducial.
            for (auto& marker : pass.markers) {
                marker.instrumentIndex = m_instrumentRegistry->indexOf(marker.instrumentId);
            }
            fiducials = FrameResults::buildFiducialsData(pass.view, pass.selection, pass.markers);
        }

        const std::uint64_t timestamp = DateTime::currentMillisecondsSinceEpochUtc();
        auto registration = updateInstruments(pass, timestamp);

        auto tracking = createTrackingStreamData();
        addComponents(*tracking, std::move(fiducials), std::move(cameraImages), frameInfoOf(*frame),
                      std::move(registration));
        postProcessFrame(kFrameType);
        emitFrameData(std::move(tracking), std::move(leftImage), std::move(rightImage), timestamp);
        return continueAt(next);
    } catch (const std::exception& e) {
        (void)closeAsync();
        HALVOREN_LOG(Log::Error, "AtracsysTrackingStream",
                     "An unexpected exception occured while running the background thread: " << e.what());
        return continueAt(next);
    }
}

// Worker thread.
std::optional<Stream::WorkContinuation> AtracsysTrackingStream::fetchFrame(Clock::time_point next,
                                                                           const ftkFrame*& frame) {
    DriverConnection& d = *m_driver;
    ftkStatus status = FTK_OK;
    bool frameLost = false;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.frame == nullptr) {
            if (d.library == nullptr) {
                return continueAt(next);  // the device is not open
            }
            // An internal error released the frame: a fresh one lets streaming go on.
            frameLost = !createFrame();
        }
        if (!frameLost) {
            status = ftkGetLastFrame(d.library, d.serialNumber, d.frame, kFetchTimeoutMs);
            frame = d.frame;
        }
    }
    if (frameLost) {
        // Without a frame the stream cannot deliver anything: closing tells the application it failed.
        close();
        return continueAt(next);
    }

    switch (status) {
        case FTK_ERR_INTERNAL:
            reportFrameError("Internal system error, report to Atracsys.");
            return continueAt(next);
        case FTK_WAR_NO_FRAME:
            return continueAt(next);
        case FTK_WAR_SHOCK_DETECTED:
        case FTK_WAR_SHOCK_SENSOR_FAULT: {
            const std::int32_t n = ++shockWarningCount;
            if (shockWarningIsLogged(n)) {
                HALVOREN_LOG(Log::Warning, "",
                             "AtracsysTrackingStream: ftkGetLastFrame returned FTK_WAR_SHOCK_DETECTED ["
                                 << status << "] for " << n << " times in a row!");
            }
            d.consecutiveErrors = 0;
            d.errorCodes.clear();
            return std::nullopt;
        }
        case FTK_OK:
            d.consecutiveErrors = 0;
            d.errorCodes.clear();
            return std::nullopt;
        default:
            break;
    }

    ++d.consecutiveErrors;
    d.errorCodes.insert(status);
    if (d.consecutiveErrors <= kMaxSilentFailures) {
        return continueAt(next);
    }
    logPersistentFailure(d.errorCodes, d.consecutiveErrors);
    emitSignals(m_instrumentRegistry->resetAll(DateTime::currentMillisecondsSinceEpochUtc()));
    return continueAt(Clock::now() + kPersistentFailurePeriod);
}

// Worker thread.
bool AtracsysTrackingStream::acceptMarkerStatus(std::int8_t status) {
    switch (status) {
        case FTK_PART_OK:
            return true;
        case FTK_PART_SKIPPED:
            HALVOREN_LOG(Log::Trace, "", "QS WAR SKIPPED");
            return true;
        case FTK_PART_INVALID_RESERVED_SIZE:
            reportFrameError("Invalid reserved marker size.");
            break;
        case FTK_PART_OVERFLOW:
            reportFrameError("Marker overflow. Please increase cstMarkersCount.");
            break;
        default:
            reportFrameError("Invalid frame status.");
            break;
    }
    // The frame has been released: nothing of it may be read any more.
    close();
    return false;
}

// Worker thread. Takes the driver lock.
void AtracsysTrackingStream::reportFrameError(const std::string& message) {
    std::lock_guard<std::mutex> lock(m_driver->mutex);
    reportOpenError(message);
}

// Worker thread.
bool AtracsysTrackingStream::processFrameImage(const std::string& type, AtracsysUpdate& update,
                                               std::shared_ptr<ImageStreamData>& left,
                                               std::shared_ptr<ImageStreamData>& right) {
    (void)type;
    (void)update;
    (void)left;
    (void)right;
    return false;
}

// Worker thread.
void AtracsysTrackingStream::processCameraImages(const ftkFrame& frame, const FramePass& pass,
                                                 std::shared_ptr<ImageStreamData>& left,
                                                 std::shared_ptr<ImageStreamData>& right,
                                                 std::unique_ptr<TrackingCameraImagesData>& images) {
    const bool valid = frame.imageHeaderStatus == FTK_PART_OK && frame.leftPixelsStatus == FTK_PART_OK &&
                       frame.rightPixelsStatus == FTK_PART_OK && frame.imageHeader != nullptr &&
                       frame.leftPixels != nullptr && frame.rightPixels != nullptr;
    if (!valid) {
        HALVOREN_LOG(Log::Warning, "", "AtracsysTrackingStream: Raw images not available.");
        return;
    }

    auto update = std::make_unique<AtracsysUpdate>();
    if (!processFrameImage(kFrameType, *update, left, right)) {
        const ImageDescriptor descriptor(kGreyPixelType, frame.imageHeader->width, frame.imageHeader->height,
                                         1, 1);
        // Recycle only when this record will replace the previous one.
        const bool replacesLast = m_lastUpdate && !left && !right;
        update->left.image = copyImage(descriptor, frame.leftPixels,
                                       replacesLast ? std::move(m_lastUpdate->left.image) : nullptr);
        update->right.image = copyImage(descriptor, frame.rightPixels,
                                        replacesLast ? std::move(m_lastUpdate->right.image) : nullptr);
    }
    if (left || right) {
        return;  // the hook feeds the image substreams; the record is not published
    }
    FrameResults::appendFiducialDetections(pass.view, pass.selection.indices, *update);
    m_lastUpdate = std::move(update);
    // Shared while the tracking data lives: the next frame then copies into fresh memory, not into these.
    images = std::make_unique<TrackingCameraImagesData>(m_lastUpdate->left.image, m_lastUpdate->right.image);
    signalAtracsysUpdate.emitSignal(*m_lastUpdate);
}

// Worker thread.
std::unique_ptr<TrackingRegistrationData> AtracsysTrackingStream::updateInstruments(const FramePass& pass,
                                                                                    std::uint64_t timestamp) {
    m_instrumentRegistry->resetAll(timestamp);
    auto registration = std::make_unique<TrackingRegistrationData>();
    for (std::uint32_t m = 0; m < pass.view.markerCount; ++m) {
        const ftkMarkerPose* marker = &pass.view.markers[m];
        bool written = false;
        // Runs under the registry's lock: touches only the instrument, the frame and the flag.
        m_instrumentRegistry->modify(
            pass.markers[m].instrumentId,
            [marker, &written](const std::string&, TrackingInstrument& instrument, AtracsysGeometry&) {
                written = instrument.active;
                FrameResults::writeMarkerPose(*marker, instrument);
            });
        // Decided under the lock: an instrument activated meanwhile has no pose of this frame.
        if (written) {
            registration->errorsMm[pass.markers[m].instrumentId] = marker->registrationError;
        }
    }
    return registration;
}

// Worker thread.
void AtracsysTrackingStream::emitFrameData(std::shared_ptr<TrackingStreamData> tracking,
                                           std::shared_ptr<ImageStreamData> left,
                                           std::shared_ptr<ImageStreamData> right, std::uint64_t timestamp) {
    std::vector<std::shared_ptr<const StreamData>> substreamData;
    if (left && right) {
        const std::uint64_t trackingTime =
            m_instrumentRegistry->size() > 0 ? tracking->timestampDevice() : timestamp;
        for (auto* image : {&left, &right}) {
            (*image)->setTimestampArrival(timestamp);
            (*image)->setTimestampDevice(trackingTime);
            substreamData.push_back(std::move(*image));
        }
    }
    // The tracking data stays the main data also when image data comes with it: dropping it would lose
    // the frame's poses and fiducials for every consumer of the main stream.
    auto compound = std::make_shared<const CompoundStreamData>(std::move(tracking), std::move(substreamData));
    emitMainAndSubSignals(std::move(compound), true);
}

}  // namespace Halvoren::SpryTrack

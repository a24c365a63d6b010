#include "record/Recorder.h"

#include "HalvorenVersion.h"
#include "host/Image.h"
#include "host/Log.h"
#include "host/TrackingStream.h"
#include "sequence/TrackingFields.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>

namespace Halvoren::Record {

namespace {

constexpr std::size_t kQueueWithoutImages = 256;
constexpr std::size_t kQueueWithImages = 32;
// Frames recorded with images before any image came: their fields are kept until an image gives the
// size, up to this many; then the recording is made without images.
constexpr std::size_t kMaxFramesBeforeImages = 300;

/// The recording's own fields, with the version of the program that wrote it: a reader can tell which
/// program's habits a file has.
Sequence::Fields headerFields(int width, int height, const std::vector<Sequence::RecordedMarker>& markers) {
    Sequence::Fields fields = Sequence::recordingFields({width, height, markers});
    fields.emplace_back(Sequence::TrackingFields::kWriterVersion, HALVOREN_VERSION);
    return fields;
}

// The pixels of an 8-bit grey image, or null. The memory stays alive while `keep` holds it.
const MemImage* greyImageOf(const std::shared_ptr<SharedImage>& shared, std::shared_ptr<MemImage>& keep) {
    if (!shared) {
        return nullptr;
    }
    keep = shared->sharedMem();
    const MemImage* image = keep.get();
    if (image == nullptr || image->data() == nullptr) {
        return nullptr;
    }
    const ImageDescriptor& d = image->descriptor();
    const bool grey =
        d.pixelType == PixelUInt8 && d.channels == 1 && d.slices == 1 && d.width > 0 && d.height > 0;
    return grey ? image : nullptr;
}

// A camera's image, as the tracking data shares it (looked up here, on the recorder's thread, so that the
// stream's thread hands over the frame only).
const MemImage* cameraImageOf(const StreamData& tracking, bool left, std::shared_ptr<MemImage>& keep) {
    const auto* images = tracking.components().get<TrackingCameraImagesData>();
    return images != nullptr ? greyImageOf(left ? images->left : images->right, keep) : nullptr;
}

}  // namespace

struct Recorder::Impl {
    Options options;

    std::atomic<std::uint64_t> recorded{0};
    std::atomic<std::uint64_t> givenUp{0};
    NavigationFields navigation;  // set before the run

    // The recorder's thread, then finish() once the run's outputs finished.
    bool staleNext = false;  // the next frame is the first after a stale period
    std::unique_ptr<Sequence::SequenceWriter> writer;
    bool writerFinal = false;  // false: with images, the size is not known yet (the writer holds the place)
    bool withImages = false;
    int imageWidth = 0;
    int imageHeight = 0;
    // The recording's clock, chosen at its first frame and kept: the camera's exposure stamps when that
    // frame has one, else the host's time. A camera on its own clock counts from its own start, so a
    // time stamp of one clock measured from the other's first frame is off by years.
    enum class TimeSource { NotYet, Camera, Host } timeSource = TimeSource::NotYet;
    std::uint64_t firstTimeUs = 0;
    std::uint64_t lastExposureUs = 0;  // on the camera's clock: the last stamp, and the host's time then
    std::uint64_t lastExposureHostUs = 0;
    std::vector<Sequence::Fields> framesBeforeImages;
    Sequence::Frame frame;
    std::string failure;  // the first one; nothing is recorded after it

    // Any thread that calls finish().
    bool finished = false;
    bool finishResult = false;
    std::string finishError;

    // Said when it happens (a full disk), not only in the run's summary; nothing is recorded after it.
    void fail(const std::string& reason) {
        if (failure.empty()) {
            failure = reason;
            HALVOREN_LOG(Log::Error, "Recorder", "the recording stops: " << reason);
        }
    }

    void append() {
        std::string error;
        if (writer->append(frame, error)) {
            recorded.fetch_add(1, std::memory_order_relaxed);
        } else {
            fail(error);
        }
    }

    // Replaces the writer that held the place by one of the final size (without images when width is 0),
    // and records the frames that came before with black pixels.
    void openFinalWriter(int width, int height) {
        writerFinal = true;
        withImages = width > 0;
        imageWidth = width;
        imageHeight = height;
        std::string error;
        if (writer && !writer->finish(error)) {
            fail(error);
            return;
        }
        writer.reset();
        Sequence::SequenceWriter::Options o;
        o.path = options.path;
        o.width = withImages ? 2 * width : 1;
        o.height = withImages ? height : 1;
        o.compressed = options.images;  // the data file keeps the name the place holder gave it
        o.fields = headerFields(width, height, options.markers);
        writer = Sequence::SequenceWriter::create(o, error);
        if (!writer) {
            fail(error);
            return;
        }
        frame.pixels.assign(static_cast<std::size_t>(o.width) * static_cast<std::size_t>(o.height), 0);
        for (Sequence::Fields& fields : framesBeforeImages) {
            frame.fields = std::move(fields);
            append();
        }
        framesBeforeImages.clear();
    }

    // One image into its half of each row; black when it is missing or of another size.
    void copyImage(const MemImage* image, std::size_t offset) {
        const auto width = static_cast<std::size_t>(imageWidth);
        const auto rowBytes = 2 * width;
        const bool fits = image != nullptr && image->descriptor().width == imageWidth &&
                          image->descriptor().height == imageHeight;
        for (std::size_t y = 0; y < static_cast<std::size_t>(imageHeight); ++y) {
            std::uint8_t* row = frame.pixels.data() + y * rowBytes + offset;
            if (fits) {
                std::memcpy(row, image->data() + y * width, width);
            } else {
                std::memset(row, 0, width);
            }
        }
    }

    // The frame's time on the recording's clock (us). On the camera's, a frame without a stamp is put
    // the host's time since the last stamp after that stamp (or at it, when the host's time is missing or
    // went back).
    std::uint64_t recordingTimeUs(const RecordedFrame& recorded) {
        const std::uint64_t hostUs = recorded.timestampMs * 1000;
        if (timeSource == TimeSource::NotYet) {
            timeSource = recorded.exposureUs != 0 ? TimeSource::Camera : TimeSource::Host;
            firstTimeUs = recorded.exposureUs != 0 ? recorded.exposureUs : hostUs;
        }
        if (timeSource == TimeSource::Host) {
            return hostUs;
        }
        if (recorded.exposureUs != 0) {
            lastExposureUs = recorded.exposureUs;
            lastExposureHostUs = hostUs;
            return recorded.exposureUs;
        }
        const bool hostKnown = hostUs != 0 && lastExposureHostUs != 0 && hostUs >= lastExposureHostUs;
        return lastExposureUs + (hostKnown ? hostUs - lastExposureHostUs : 0);
    }

    void record(const TrackingStreamData& tracking) {
        RecordedFrame recordedFrame = recordedFrameOf(tracking, options.markers, options.minQuality);
        recordedFrame.stale = staleNext;
        staleNext = false;
        const std::uint64_t timeUs = recordingTimeUs(recordedFrame);
        recordedFrame.timestampSeconds =
            static_cast<double>(static_cast<std::int64_t>(timeUs - firstTimeUs)) / 1e6;
        Sequence::Fields fields = Sequence::frameFields(recordedFrame, options.markers);
        navigation.add(recordedFrame, fields);

        std::shared_ptr<MemImage> keepLeft;
        std::shared_ptr<MemImage> keepRight;
        const MemImage* left = options.images ? cameraImageOf(tracking, true, keepLeft) : nullptr;
        const MemImage* right = options.images ? cameraImageOf(tracking, false, keepRight) : nullptr;
        if (!writerFinal) {
            const MemImage* sized = left != nullptr ? left : right;
            if (sized != nullptr) {
                openFinalWriter(sized->descriptor().width, sized->descriptor().height);
            } else {
                framesBeforeImages.push_back(std::move(fields));
                if (framesBeforeImages.size() >= kMaxFramesBeforeImages) {
                    openFinalWriter(0, 0);
                }
                return;
            }
            if (!failure.empty()) {
                return;
            }
        }
        frame.fields = std::move(fields);
        if (withImages) {
            copyImage(left, 0);
            copyImage(right, static_cast<std::size_t>(imageWidth));
        }
        append();
    }

    void take(const TrackingStreamData& tracking) {
        if (!failure.empty()) {
            return;  // nothing is recorded after a failure; the frames are let go
        }
        if (options.giveUp && options.giveUp()) {
            givenUp.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        try {
            record(tracking);
        } catch (const std::exception& e) {
            fail(options.path + ": recording failed: " + e.what());
        } catch (...) {
            fail(options.path + ": recording failed");
        }
    }
};

Recorder::Recorder(std::unique_ptr<Impl> impl, std::size_t capacity)
    : FrameOutput("recording", {Output::DropPolicy::EveryFrame, capacity}), m_impl(std::move(impl)) {}

Recorder::~Recorder() {
    std::string ignored;
    finish({}, ignored);
}

std::unique_ptr<Recorder> Recorder::create(const Options& options, std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    Sequence::assignMarkerFields(impl->options.markers);
    impl->navigation = NavigationFields(options.navigation, impl->options.markers);
    const std::size_t capacity = options.queueFrames != 0
                                     ? options.queueFrames
                                     : (options.images ? kQueueWithImages : kQueueWithoutImages);
    // The writer is created now, so that every reason not to record is known before the run: with images,
    // one without them holds the place (the same files) until the first image gives the size.
    Sequence::SequenceWriter::Options o;
    o.path = options.path;
    o.compressed = options.images;
    o.fields = headerFields(0, 0, impl->options.markers);
    impl->writer = Sequence::SequenceWriter::create(o, error);
    if (!impl->writer) {
        return nullptr;
    }
    impl->writerFinal = !options.images;
    impl->frame.pixels.assign(1, 0);
    return std::unique_ptr<Recorder>(new Recorder(std::move(impl), capacity));
}

// Recorder's thread.
void Recorder::take(const Output::FrameItem& item) {
    if (item.kind == Output::FrameItem::Kind::Frame) {
        m_impl->take(*item.tracking);
    } else if (item.kind == Output::FrameItem::Kind::Stale) {
        m_impl->staleNext = true;
    }
}

bool Recorder::finish(const Sequence::Fields& runFields, std::string& error) {
    Impl& d = *m_impl;
    if (d.finished) {
        error = d.finishError;
        return d.finishResult;
    }
    d.finished = true;
    try {
        if (d.failure.empty() && !d.writerFinal) {
            d.openFinalWriter(0, 0);  // no image came: a recording without images
        }
        std::string reason;
        if (d.failure.empty() && d.writer && !d.writer->addFields(runFields, reason)) {
            d.fail(reason);
        }
        // After a failure too: the header gets every frame completed before it.
        if (d.writer && !d.writer->finish(reason)) {
            d.fail(reason);
        }
        // What the recording holds, which a failure may have left behind the frames appended.
        d.recorded.store(d.writer ? d.writer->framesInFile() : 0);
    } catch (const std::exception& e) {
        d.fail(d.options.path + ": recording failed: " + e.what());
    }
    d.finishResult = d.failure.empty();
    d.finishError = d.failure;
    if (!d.finishResult) {
        error = d.finishError;
    }
    return d.finishResult;
}

std::uint64_t Recorder::framesRecorded() const {
    return m_impl->recorded.load(std::memory_order_relaxed);
}

std::uint64_t Recorder::framesDropped() const {
    return queue().counts().dropped;
}

std::uint64_t Recorder::framesGivenUp() const {
    return m_impl->givenUp.load(std::memory_order_relaxed);
}

}  // namespace Halvoren::Record

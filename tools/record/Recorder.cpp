#include "record/Recorder.h"

#include "host/Image.h"
#include "host/Log.h"
#include "host/TrackingStream.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace Halvoren::Record {

namespace {

constexpr std::size_t kQueueWithoutImages = 256;
constexpr std::size_t kQueueWithImages = 32;
// The stream's thread never signals the recorder (a wake-up costs a system call per frame); the recorder
// looks at the queue this often, which a queue of a few dozen frames outlasts at any camera rate.
constexpr auto kPollPeriod = std::chrono::milliseconds(5);
// Frames recorded with images before any image came: their fields are kept until an image gives the
// size, up to this many; then the recording is made without images.
constexpr std::size_t kMaxFramesBeforeImages = 300;

struct QueuedFrame {
    std::shared_ptr<const StreamData> tracking;
    std::shared_ptr<const StreamData> left;
    std::shared_ptr<const StreamData> right;
    bool stale = false;
};

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

// A camera's image: the image data handed over with the frame, else the one the tracking data shares
// (looked up here, on the recorder's thread, so that the stream's thread hands over pointers only).
const MemImage* cameraImageOf(const std::shared_ptr<const StreamData>& data, const StreamData& tracking,
                              bool left, std::shared_ptr<MemImage>& keep) {
    if (const auto* imageData = dynamic_cast<const ImageStreamData*>(data.get())) {
        return greyImageOf(imageData->image(), keep);
    }
    const auto* images = tracking.components().get<TrackingCameraImagesData>();
    return images != nullptr ? greyImageOf(left ? images->left : images->right, keep) : nullptr;
}

}  // namespace

struct Recorder::Impl {
    Options options;
    std::size_t capacity = 0;

    std::mutex mutex;
    std::condition_variable wake;  // finish() only
    std::deque<QueuedFrame> queue;
    bool stopping = false;
    std::atomic<bool> staleNext{false};
    std::atomic<std::uint64_t> recorded{0};
    std::atomic<std::uint64_t> dropped{0};
    std::thread thread;

    // The recorder's thread, then finish() once it has ended.
    std::unique_ptr<Sequence::SequenceWriter> writer;
    bool writerFinal = false;  // false: with images, the size is not known yet (the writer holds the place)
    bool withImages = false;
    int imageWidth = 0;
    int imageHeight = 0;
    bool haveFirstTime = false;
    std::uint64_t firstTimeUs = 0;
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
        o.fields = Sequence::recordingFields({width, height, options.markers});
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

    void record(const QueuedFrame& queued) {
        RecordedFrame recordedFrame;
        if (const auto* tracking = dynamic_cast<const TrackingStreamData*>(queued.tracking.get())) {
            recordedFrame = recordedFrameOf(*tracking, options.markers, options.minQuality);
        }
        recordedFrame.stale = queued.stale;
        // The camera's exposure stamp when it gave one, else the instruments' time stamp.
        const std::uint64_t timeUs =
            recordedFrame.exposureUs != 0 ? recordedFrame.exposureUs : recordedFrame.timestampMs * 1000;
        if (!haveFirstTime) {
            haveFirstTime = true;
            firstTimeUs = timeUs;
        }
        recordedFrame.timestampSeconds =
            static_cast<double>(static_cast<std::int64_t>(timeUs - firstTimeUs)) / 1e6;
        Sequence::Fields fields = Sequence::frameFields(recordedFrame, options.markers);

        std::shared_ptr<MemImage> keepLeft;
        std::shared_ptr<MemImage> keepRight;
        const MemImage* left =
            options.images ? cameraImageOf(queued.left, *queued.tracking, true, keepLeft) : nullptr;
        const MemImage* right =
            options.images ? cameraImageOf(queued.right, *queued.tracking, false, keepRight) : nullptr;
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

    void run() {
        for (;;) {
            QueuedFrame queued;
            {
                std::unique_lock<std::mutex> lock(mutex);
                while (queue.empty() && !stopping) {
                    wake.wait_for(lock, kPollPeriod);
                }
                if (queue.empty()) {
                    return;
                }
                queued = std::move(queue.front());
                queue.pop_front();
            }
            if (!failure.empty()) {
                continue;  // drained, so that the stream's frames are released
            }
            try {
                record(queued);
            } catch (const std::exception& e) {
                fail(options.path + ": recording failed: " + e.what());
            } catch (...) {
                fail(options.path + ": recording failed");
            }
        }
    }
};

Recorder::Recorder(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Recorder::~Recorder() {
    std::string ignored;
    finish({}, ignored);
}

std::unique_ptr<Recorder> Recorder::create(const Options& options, std::string& error) {
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    Sequence::assignMarkerFields(impl->options.markers);
    impl->capacity = options.queueFrames != 0 ? options.queueFrames
                                              : (options.images ? kQueueWithImages : kQueueWithoutImages);
    // The writer is created now, so that every reason not to record is known before the run: with images,
    // one without them holds the place (the same files) until the first image gives the size.
    Sequence::SequenceWriter::Options o;
    o.path = options.path;
    o.compressed = options.images;
    o.fields = Sequence::recordingFields({0, 0, impl->options.markers});
    impl->writer = Sequence::SequenceWriter::create(o, error);
    if (!impl->writer) {
        return nullptr;
    }
    impl->writerFinal = !options.images;
    impl->frame.pixels.assign(1, 0);
    Impl* d = impl.get();
    d->thread = std::thread([d] { d->run(); });
    return std::unique_ptr<Recorder>(new Recorder(std::move(impl)));
}

void Recorder::addFrame(std::shared_ptr<const StreamData> tracking, std::shared_ptr<const StreamData> left,
                        std::shared_ptr<const StreamData> right) {
    if (!tracking) {
        return;
    }
    Impl& d = *m_impl;
    const bool stale = d.staleNext.load(std::memory_order_relaxed) && d.staleNext.exchange(false);
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.stopping) {
            return;
        }
        if (d.queue.size() < d.capacity) {
            try {
                d.queue.push_back({std::move(tracking), std::move(left), std::move(right), stale});
                return;
            } catch (const std::bad_alloc&) {
                // counted as dropped
            }
        }
    }
    d.dropped.fetch_add(1, std::memory_order_relaxed);
    if (stale) {
        d.staleNext.store(true);  // the next frame recorded is still the first after the stale period
    }
}

void Recorder::markStale() {
    m_impl->staleNext.store(true);
}

bool Recorder::finish(const Sequence::Fields& runFields, std::string& error) {
    Impl& d = *m_impl;
    if (d.finished) {
        error = d.finishError;
        return d.finishResult;
    }
    d.finished = true;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        d.stopping = true;
    }
    d.wake.notify_one();
    if (d.thread.joinable()) {
        d.thread.join();
    }
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
    return m_impl->dropped.load(std::memory_order_relaxed);
}

}  // namespace Halvoren::Record

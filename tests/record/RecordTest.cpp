#include "host/Image.h"
#include "host/TrackingStream.h"
#include "output/FrameOutputs.h"
#include "record/Recorder.h"
#include "sequence/TrackingFields.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <Eigen/Geometry>

#include <chrono>
#include <optional>
#include <thread>

using namespace Halvoren;
using namespace Halvoren::Record;
namespace Names = Halvoren::Sequence::TrackingFields;
using Halvoren::Sequence::findField;
using Halvoren::Sequence::SequenceReader;

namespace {

using Clock = std::chrono::steady_clock;

RecordedMarker marker(const std::string& name, const std::string& id, std::uint32_t geometryId) {
    RecordedMarker m;
    m.name = name;
    m.id = id;
    m.geometryId = geometryId;
    m.fiducials = {{0.0, 0.0, 0.0}, {50.1, 0.0, -0.3}, {1.0 / 3.0, 50.0, 0.0}};
    return m;
}

void expectSameMarkers(const std::vector<RecordedMarker>& a, const std::vector<RecordedMarker>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(a[k].name, b[k].name);
        EXPECT_EQ(a[k].id, b[k].id);
        EXPECT_EQ(a[k].field, b[k].field);
        EXPECT_EQ(a[k].geometryId, b[k].geometryId);
        EXPECT_EQ(a[k].fiducials, b[k].fiducials);
    }
}

void expectSameFrames(const RecordedFrame& a, const RecordedFrame& b) {
    EXPECT_EQ(a.frameNumber, b.frameNumber);
    EXPECT_EQ(a.exposureUs, b.exposureUs);
    EXPECT_EQ(a.timestampSeconds, b.timestampSeconds);
    EXPECT_EQ(a.timestampMs, b.timestampMs);
    EXPECT_EQ(a.stale, b.stale);
    EXPECT_EQ(a.instruments, b.instruments);
    ASSERT_EQ(a.fiducials.size(), b.fiducials.size());
    for (std::size_t i = 0; i < a.fiducials.size(); ++i) {
        const RecordedFiducial& x = a.fiducials[i];
        const RecordedFiducial& y = b.fiducials[i];
        EXPECT_TRUE(x.x == y.x && x.y == y.y && x.z == y.z && x.probability == y.probability &&
                    x.epipolarError == y.epipolarError && x.triangulationError == y.triangulationError &&
                    x.leftPixelCount == y.leftPixelCount && x.rightPixelCount == y.rightPixelCount &&
                    x.instrumentIndex == y.instrumentIndex)
            << "fiducial " << i;
    }
}

TrackingInstrument instrument(const RecordedMarker& m, double quality, std::uint64_t timestampMs,
                              double seed) {
    TrackingInstrument i;
    i.id = TrackerID(m.id, "", m.name);
    // A rigid motion whose numbers need every digit: a rotation about an odd axis, an odd translation.
    i.pose.topLeftCorner<3, 3>() =
        Eigen::AngleAxisd(seed, Eigen::Vector3d(1.0, 2.0, 3.0).normalized()).matrix();
    i.pose.topRightCorner<3, 1>() = Eigen::Vector3d(seed / 3.0, -seed / 7.0, 1000.0 + seed / 11.0);
    i.quality = quality;
    i.timestamp = timestampMs;
    return i;
}

std::shared_ptr<TrackingStreamData> trackingData(std::uint32_t counter, std::uint64_t exposureUs,
                                                 std::vector<TrackingInstrument> instruments,
                                                 const std::vector<RecordedFiducial>& fiducials) {
    auto data = std::make_shared<TrackingStreamData>(nullptr, std::move(instruments));
    data->components().add(std::make_unique<TrackingFrameInfoData>(counter, exposureUs));
    auto component = std::make_unique<TrackingInstrumentFiducialsData>();
    component->resize(fiducials.size());
    for (std::size_t i = 0; i < fiducials.size(); ++i) {
        const RecordedFiducial& f = fiducials[i];
        component->positions[i] = Eigen::Vector3d(f.x, f.y, f.z);
        component->probabilities[i] = f.probability;
        component->epipolarErrors[i] = f.epipolarError;
        component->triangulationErrors[i] = f.triangulationError;
        component->leftPixelCounts[i] = f.leftPixelCount;
        component->rightPixelCounts[i] = f.rightPixelCount;
        component->instrumentIndices[i] = f.instrumentIndex;
    }
    data->components().add(std::move(component));
    return data;
}

std::shared_ptr<ImageStreamData> imageData(int width, int height, const std::vector<std::uint8_t>& pixels) {
    std::shared_ptr<MemImage> mem =
        MemImage::create(ImageDescriptor(PixelUInt8, width, height), pixels.data(), MemImage::Owned);
    return std::make_shared<ImageStreamData>(nullptr, std::make_shared<SharedImage>(mem));
}

/// A recorder fed as a run feeds it: through the run's outputs, the camera images shared by the frame.
struct Feed {
    explicit Feed(std::unique_ptr<Recorder> created) : recorder(std::move(created)) { outputs.add(recorder); }
    void frame(std::shared_ptr<TrackingStreamData> tracking,
               const std::shared_ptr<ImageStreamData>& left = {},
               const std::shared_ptr<ImageStreamData>& right = {}) {
        if (left || right) {
            tracking->components().add(std::make_unique<TrackingCameraImagesData>(
                left ? left->image() : nullptr, right ? right->image() : nullptr));
        }
        outputs.handOver(tracking);
    }
    void stale() { outputs.notify(Output::FrameItem::Kind::Stale, 100.0); }
    bool finish(const Sequence::Fields& runFields, std::string& error) {
        outputs.finish();
        return recorder->finish(runFields, error);
    }

    Output::FrameOutputs outputs;
    std::shared_ptr<Recorder> recorder;
};

// Pixels that differ between frames, sides and places.
std::vector<std::uint8_t> pattern(std::size_t bytes, std::uint32_t frame, int side) {
    std::vector<std::uint8_t> pixels(bytes);
    for (std::size_t p = 0; p < bytes; ++p) {
        pixels[p] = static_cast<std::uint8_t>(frame * (7 + 6 * side) + p * (1 + 2 * side) + 1);
    }
    return pixels;
}

// The side by side layout of a recording: each row the left image's row, then the right one's.
std::vector<std::uint8_t> sideBySide(const std::vector<std::uint8_t>& left,
                                     const std::vector<std::uint8_t>& right, std::size_t width,
                                     std::size_t height) {
    std::vector<std::uint8_t> pixels;
    for (std::size_t y = 0; y < height; ++y) {
        pixels.insert(pixels.end(), left.begin() + y * width, left.begin() + (y + 1) * width);
        pixels.insert(pixels.end(), right.begin() + y * width, right.begin() + (y + 1) * width);
    }
    return pixels;
}

template <typename Condition>
bool waitFor(Condition condition, std::chrono::seconds timeout = std::chrono::seconds(60)) {
    const auto deadline = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(RecordedFrames, FieldsRoundTripExactly) {
    // Two names give the same field name; the third holds characters a field name cannot.
    std::vector<RecordedMarker> markers{marker("Pointer tool", "P-1", 11), marker("Pointer-tool", "P-2", 12),
                                        marker("ref (äußere)", "R", 4294967295u)};
    assignMarkerFields(markers);
    EXPECT_EQ(markers[0].field, "Pointer_tool");
    EXPECT_EQ(markers[1].field, "Pointer_tool2");
    EXPECT_EQ(markers[2].field, Names::fieldNameOf("ref (äußere)"));
    std::vector<RecordedMarker> again = markers;
    assignMarkerFields(again);
    expectSameMarkers(again, markers);

    const Sequence::Fields recording = recordingFields(markers, 640, 480);
    EXPECT_EQ(*findField(recording, Names::kImages), "True");
    EXPECT_EQ(*findField(recording, Names::kImageWidth), "640");
    std::vector<RecordedMarker> read;
    std::string error;
    ASSERT_TRUE(markersOf(recording, read, error)) << error;
    expectSameMarkers(read, markers);

    RecordedFrame frame;
    frame.frameNumber = 4000000000u;
    frame.exposureUs = 1'700'000'000'123'457u;  // past 2^53 as a double would not hold it
    frame.timestampMs = 1'700'000'000'123u;
    frame.timestampSeconds = 0.1 + 0.2;
    frame.stale = true;
    // Seen and passing the gate; seen below it; not seen; and one of no marker, left out.
    frame.instruments = {instrument(markers[0], 0.93, frame.timestampMs, 0.1),
                         instrument(markers[1], 0.4, frame.timestampMs, -7.3),
                         instrument(markers[2], 0.0, frame.timestampMs, 1e-300),
                         instrument(marker("other", "X", 1), 1.0, frame.timestampMs, 2.0)};
    frame.fiducials = {{1.0 / 3.0, -2.5, 1234.56789, 0.9, 0.01, 0.02, 37, 41, 1},
                       {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, -1},
                       {5.0, 6.0, 7.0, 1.0, 0.5, 0.25, 4000000000u, 1, 3}};
    const Sequence::Fields fields = frameFields(frame, markers, 0.5);
    EXPECT_EQ(*findField(fields, Names::statusField("Pointer_tool")), "OK");
    EXPECT_EQ(*findField(fields, Names::statusField("Pointer_tool2")), "INVALID");
    EXPECT_EQ(*findField(fields, Names::statusField(markers[2].field)), "INVALID");
    EXPECT_EQ(findField(fields, Names::transformField("other")), nullptr);
    EXPECT_EQ(*findField(fields, Names::kStale), "1");

    RecordedFrame back;
    ASSERT_TRUE(frameOf(fields, markers, back, error)) << error;
    RecordedFrame expected = frame;
    expected.instruments.pop_back();
    expected.fiducials[2].instrumentIndex = -1;  // its instrument had no marker
    expectSameFrames(back, expected);

    // A marker's transform that is not 16 numbers is malformed, not read as garbage.
    Sequence::Fields broken = fields;
    for (auto& [name, value] : broken) {
        if (name == Names::transformField("Pointer_tool")) {
            value = "1 2 3";
        }
    }
    EXPECT_FALSE(frameOf(broken, markers, back, error));
    EXPECT_NE(error.find("Pointer_tool"), std::string::npos) << error;
}

TEST(Recorder, RecordsFramesFieldsAndImagesSideBySide) {
    TestSupport::TempFiles files;
    constexpr int kWidth = 8;
    constexpr int kHeight = 4;
    constexpr std::size_t kBytes = kWidth * kHeight;
    constexpr std::uint32_t kFrames = 20;
    Recorder::Options options;
    options.path = files.path("run.seq.mhd");
    options.images = true;
    options.markers = {marker("A", "a", 1), marker("B", "b", 2), marker("C", "c", 3)};
    options.minQuality = 0.5;
    std::string error;
    auto created = Recorder::create(options, error);
    ASSERT_TRUE(created) << error;
    Feed feed(std::move(created));
    Recorder* recorder = feed.recorder.get();
    std::vector<RecordedMarker> markers = options.markers;
    assignMarkerFields(markers);

    constexpr std::uint64_t kStart = 1'700'000'000'000'000u;
    std::vector<std::shared_ptr<TrackingStreamData>> sent;
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        const std::uint64_t ms = (kStart + i * 16667u) / 1000;
        std::vector<TrackingInstrument> instruments;
        for (std::size_t k = 0; k < markers.size(); ++k) {
            instruments.push_back(instrument(markers[k], 0.1 * (i % 10), ms, 1.0 + i + k));
        }
        sent.push_back(
            trackingData(100 + i, kStart + i * 16667u, instruments,
                         {{1.0 * i, 2.0, 3.0, 0.5, 0.1, 0.2, 9, 10, static_cast<std::int32_t>(i % 3)}}));
        if (i == 7) {
            feed.stale();
        }
        // Frame 0 has no image (its size is learnt from the next one); frame 5 lacks the right one.
        std::shared_ptr<ImageStreamData> left =
            i == 0 ? nullptr : imageData(kWidth, kHeight, pattern(kBytes, i, 0));
        std::shared_ptr<ImageStreamData> right =
            i == 0 || i == 5 ? nullptr : imageData(kWidth, kHeight, pattern(kBytes, i, 1));
        feed.frame(sent.back(), left, right);
    }
    const Sequence::Fields runFields{{Names::healthField("RateHz"), "59.9"}};
    ASSERT_TRUE(feed.finish(runFields, error)) << error;
    EXPECT_EQ(recorder->framesRecorded(), kFrames);
    EXPECT_EQ(recorder->framesDropped(), 0u);

    auto reader = SequenceReader::open(options.path, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_EQ(reader->frameCount(), kFrames);
    EXPECT_EQ(reader->width(), 2 * kWidth);
    EXPECT_EQ(reader->height(), kHeight);
    EXPECT_EQ(*findField(reader->fields(), Names::kImageWidth), std::to_string(kWidth));
    EXPECT_EQ(*findField(reader->fields(), Names::healthField("RateHz")), "59.9");
    std::vector<RecordedMarker> read;
    ASSERT_TRUE(markersOf(reader->fields(), read, error)) << error;
    expectSameMarkers(read, markers);

    std::vector<std::uint8_t> pixels;
    const std::vector<std::uint8_t> black(kBytes, 0);
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        RecordedFrame frame;
        ASSERT_TRUE(frameOf(reader->frameFields(i), read, frame, error)) << error;
        RecordedFrame expected = recordedFrameOf(*sent[i]);
        expected.timestampSeconds = static_cast<double>(i * 16667u) / 1e6;
        expected.stale = i == 7;
        expectSameFrames(frame, expected);
        EXPECT_EQ(*findField(reader->frameFields(i), Names::statusField("A")),
                  i % 10 >= 5 ? "OK" : "INVALID");
        ASSERT_TRUE(reader->readNextPixels(pixels, error)) << error;
        const auto left = i == 0 ? black : pattern(kBytes, i, 0);
        const auto right = i == 0 || i == 5 ? black : pattern(kBytes, i, 1);
        EXPECT_EQ(pixels, sideBySide(left, right, kWidth, kHeight));
    }
}

TEST(Recorder, RefusesPathsItCannotWriteBeforeTheRun) {
    TestSupport::TempFiles files;
    std::string error;
    Recorder::Options options;
    options.path = files.path("run.txt");
    EXPECT_FALSE(Recorder::create(options, error));
    options.path = files.path("missing/run.mhd");
    EXPECT_FALSE(Recorder::create(options, error));
    ASSERT_EQ(::mkdir(files.path("folder.mhd").c_str(), 0700), 0);
    options.path = files.path("folder.mhd");
    EXPECT_FALSE(Recorder::create(options, error));
    // With images the recording's size is known at the first frame only: the data file is checked now.
    ASSERT_EQ(::mkfifo(files.path("run.zraw").c_str(), 0600), 0);
    options.path = files.path("run.mhd");
    options.images = true;
    error.clear();
    EXPECT_FALSE(Recorder::create(options, error));
    EXPECT_NE(error.find("FIFO"), std::string::npos) << error;
}

// A recording killed while it runs opens with the frames its last header named, each one intact.
TEST(Recorder, KilledRecordingKeepsItsFramesIntact) {
    TestSupport::TempFiles files;
    const std::string path = files.path("killed.mhd");
    constexpr int kWidth = 16;
    constexpr int kHeight = 8;
    constexpr std::size_t kBytes = kWidth * kHeight;
    constexpr auto kPeriod = std::chrono::milliseconds(5);
    constexpr std::uint64_t kAtLeast = 300;  // the first 1.5 s

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Recorder::Options options;
        options.path = path;
        options.images = true;
        options.markers = {marker("A", "a", 1)};
        options.queueFrames = 100000;
        std::string error;
        auto created = Recorder::create(options, error);
        if (!created) {
            ::_exit(2);
        }
        Feed feed(std::move(created));
        Recorder* recorder = feed.recorder.get();
        // Frames every 5 ms for 2.5 s at least, and until a header has surely been written after the
        // recorder had the first 1.5 s of frames: it is replaced at the first frame a second after the last.
        const auto start = Clock::now();
        std::optional<Clock::time_point> reached;
        std::optional<std::uint64_t> countAfterSecond;
        for (std::uint32_t n = 1;; ++n) {
            std::this_thread::sleep_until(start + n * kPeriod);
            feed.frame(trackingData(n, n * 5000u, {instrument(options.markers[0], 0.9, n, n)}, {}),
                       imageData(kWidth, kHeight, pattern(kBytes, n, 0)),
                       imageData(kWidth, kHeight, pattern(kBytes, n, 1)));
            const auto now = Clock::now();
            const std::uint64_t recorded = recorder->framesRecorded();
            if (!reached && recorded >= kAtLeast) {
                reached = now;
            }
            if (reached && !countAfterSecond && now > *reached + std::chrono::seconds(1)) {
                countAfterSecond = recorded;
            }
            if (countAfterSecond && recorded > *countAfterSecond &&
                now > start + std::chrono::milliseconds(2500)) {
                ::kill(::getpid(), SIGKILL);
            }
            if (now > start + std::chrono::seconds(120)) {
                ::_exit(3);
            }
        }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;

    std::string error;
    auto reader = SequenceReader::open(path, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_GE(reader->frameCount(), kAtLeast);
    std::vector<RecordedMarker> markers;
    ASSERT_TRUE(markersOf(reader->fields(), markers, error)) << error;
    std::vector<std::uint8_t> pixels;
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < reader->frameCount(); ++i) {
        RecordedFrame frame;
        ASSERT_TRUE(frameOf(reader->frameFields(i), markers, frame, error)) << error;
        ASSERT_GT(frame.frameNumber, last);
        last = frame.frameNumber;
        ASSERT_TRUE(reader->readNextPixels(pixels, error)) << "frame " << i << ": " << error;
        ASSERT_EQ(pixels, sideBySide(pattern(kBytes, last, 0), pattern(kBytes, last, 1), kWidth, kHeight))
            << "frame " << i;
    }
}

TEST(Recorder, FullQueueDropsAndCountsFrames) {
    TestSupport::TempFiles files;
    Recorder::Options options;
    options.path = files.path("burst.mhd");
    options.markers = {marker("A", "a", 1)};
    options.queueFrames = 1;
    std::string error;
    auto created = Recorder::create(options, error);
    ASSERT_TRUE(created) << error;
    Feed feed(std::move(created));
    Recorder* recorder = feed.recorder.get();
    const auto data = trackingData(1, 1000, {instrument(options.markers[0], 0.9, 1, 1.0)}, {});
    std::uint64_t handed = 0;
    while (recorder->framesDropped() == 0 && handed < 10'000'000) {
        feed.frame(data);
        ++handed;
    }
    ASSERT_TRUE(feed.finish({}, error)) << error;
    EXPECT_GT(recorder->framesDropped(), 0u);
    EXPECT_EQ(recorder->framesDropped() + recorder->framesRecorded(), handed);
    auto reader = SequenceReader::open(options.path, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->frameCount(), recorder->framesRecorded());
    EXPECT_EQ(*findField(reader->fields(), Names::kImages), "False");
}

TEST(RecordedFrames, TheLongestRecordingReadmeStatesFitsTheReadersLimits) {
    // Twelve hours at 60 frames/s of the three example markers, every number at full precision.
    std::vector<RecordedMarker> markers{marker("pointer", "P", 1200), marker("reference", "R", 1300),
                                        marker("tool", "T", 1400)};
    assignMarkerFields(markers);
    const std::size_t frames = 12u * 3600u * 60u;
    RecordedFrame frame;
    frame.frameNumber = 4000000000u;
    frame.exposureUs = 1'796'736'471'133'608u;
    frame.timestampMs = 1'796'736'471'138u;
    frame.timestampSeconds = 43199.983333333337;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        frame.instruments.push_back(instrument(markers[k], 0.97456533312797546, frame.timestampMs, 0.1 + k));
    }
    std::size_t bytes = 0;  // of the frame's header lines: "Seq_Frame2591999_Name = value\n"
    for (const auto& [name, value] : frameFields(frame, markers, 0.0)) {
        bytes += std::string("Seq_Frame2591999_").size() + name.size() + 3 + value.size() + 1;
    }
    EXPECT_GT(bytes, 1200u);  // what README says a frame takes: about 1.4 KB
    const SequenceReader::Limits limits;
    EXPECT_LE(frames * bytes, limits.maxHeaderBytes);
    EXPECT_LE(frames, limits.maxFrames);
}

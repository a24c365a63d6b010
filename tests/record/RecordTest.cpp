#include "HalvorenVersion.h"
#include "host/Image.h"
#include "host/TrackingStream.h"
#include "output/OutputHub.h"
#include "record/NavigationFields.h"
#include "record/Recorder.h"
#include "sequence/TrackingFields.h"
#include "support/Readers.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <Eigen/Geometry>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
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
                                                 const std::vector<RecordedFiducial>& fiducials,
                                                 std::map<std::string, float> registrationErrors = {}) {
    auto data = std::make_shared<TrackingStreamData>(nullptr, std::move(instruments));
    data->components().add(std::make_unique<TrackingFrameInfoData>(counter, exposureUs));
    auto registration = std::make_unique<TrackingRegistrationData>();
    registration->errorsMm = std::move(registrationErrors);
    data->components().add(std::move(registration));
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
        component->instrumentIndices[i] = f.markerIndex;  // the markers' order is the instruments'
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

    Output::OutputHub outputs;
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

// Frame i of three markers' instruments, with a fiducial. The camera reports A's registration error; B's
// in every other frame only.
std::shared_ptr<TrackingStreamData> frameData(std::uint32_t i, std::uint64_t exposureUs,
                                              const std::vector<RecordedMarker>& markers) {
    std::vector<TrackingInstrument> instruments;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        instruments.push_back(instrument(markers[k], 0.1 * (i % 10), exposureUs / 1000, 1.0 + i + k));
    }
    std::map<std::string, float> errors{{"a", 0.1f * static_cast<float>(i)}};
    if (i % 2 == 0) {
        errors["b"] = 10.0f + static_cast<float>(i);
    }
    return trackingData(100 + i, exposureUs, instruments,
                        {{1.0 * i, 2.0, 3.0, 0.5, 0.1, 0.2, 9, 10, static_cast<std::int32_t>(i % 3)}},
                        errors);
}

// Frame i of frameData() as recorded: the values its data gave, its instruments back, A's status by the
// quality gate and the registration errors the camera reported.
void expectRecorded(const Sequence::Fields& fields, const std::vector<RecordedMarker>& markers,
                    const TrackingStreamData& sent, std::uint32_t i, double minQuality) {
    RecordedFrame frame;
    std::string error;
    ASSERT_TRUE(Sequence::frameOf(fields, markers, frame, error)) << error;
    RecordedFrame expected = recordedFrameOf(sent, markers, minQuality);
    expected.timestampSeconds = static_cast<double>(i * 16667u) / 1e6;
    expected.stale = i == 7;
    EXPECT_EQ(frame, expected);
    EXPECT_EQ(instrumentsOf(frame, markers), sent.instruments());
    EXPECT_EQ(*findField(fields, Names::statusField("A")), i % 10 >= 5 ? "OK" : "INVALID");
    EXPECT_EQ(frame.poses[0].registrationErrorMm, 0.1f * static_cast<float>(i));
    EXPECT_EQ(frame.poses[1].registrationErrorMm,
              i % 2 == 0 ? std::optional<float>(10.0f + static_cast<float>(i)) : std::nullopt);
    EXPECT_EQ(frame.poses[2].registrationErrorMm, std::nullopt);
}

// Records frames every 5 ms for 2.5 s at least, and until a header has surely been written after the
// recorder had `atLeast` frames: it is replaced at the first frame a second after the last. Then the
// process kills itself.
[[noreturn]] void recordUntilKilled(const std::string& path, int width, int height, std::uint64_t atLeast) {
    constexpr auto kPeriod = std::chrono::milliseconds(5);
    const auto bytes = static_cast<std::size_t>(width * height);
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
    const auto start = Clock::now();
    std::optional<Clock::time_point> reached;
    std::optional<std::uint64_t> countAfterSecond;
    for (std::uint32_t n = 1;; ++n) {
        std::this_thread::sleep_until(start + n * kPeriod);
        feed.frame(trackingData(n, n * 5000u, {instrument(options.markers[0], 0.9, n, n)}, {}),
                   imageData(width, height, pattern(bytes, n, 0)),
                   imageData(width, height, pattern(bytes, n, 1)));
        const auto now = Clock::now();
        const std::uint64_t recorded = recorder->framesRecorded();
        if (!reached && recorded >= atLeast) {
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
    Sequence::assignMarkerFields(markers);

    constexpr std::uint64_t kStart = 1'700'000'000'000'000u;
    std::vector<std::shared_ptr<TrackingStreamData>> sent;
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        sent.push_back(frameData(i, kStart + i * 16667u, markers));
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

    auto reader = TestSupport::openReader(options.path, error);
    ASSERT_TRUE(reader) << error;
    ASSERT_EQ(reader->frameCount(), kFrames);
    EXPECT_EQ(reader->width(), 2 * kWidth);
    EXPECT_EQ(reader->height(), kHeight);
    EXPECT_EQ(*findField(reader->fields(), Names::kImageWidth), std::to_string(kWidth));
    EXPECT_EQ(*findField(reader->fields(), Names::healthField("RateHz")), "59.9");
    ASSERT_NE(findField(reader->fields(), "Halvoren_Version"), nullptr);
    EXPECT_EQ(*findField(reader->fields(), "Halvoren_Version"), HALVOREN_VERSION);
    Sequence::RecordingHeader header;
    ASSERT_TRUE(TestSupport::readHeader(reader->fields(), header, error)) << error;
    EXPECT_EQ(header.markers, markers);

    std::vector<std::uint8_t> pixels;
    const std::vector<std::uint8_t> black(kBytes, 0);
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        expectRecorded(reader->frameFields(i), header.markers, *sent[i], i, options.minQuality);
        ASSERT_TRUE(reader->readNextPixels(pixels, error)) << error;
        const auto left = i == 0 ? black : pattern(kBytes, i, 0);
        const auto right = i == 0 || i == 5 ? black : pattern(kBytes, i, 1);
        EXPECT_EQ(pixels, sideBySide(left, right, kWidth, kHeight));
    }
}

namespace {

// Frame i's instrument of each marker, of these qualities.
std::vector<TrackingInstrument> instrumentsAt(const std::vector<RecordedMarker>& markers,
                                              const std::array<double, 3>& qualities, std::uint32_t i) {
    std::vector<TrackingInstrument> instruments;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        instruments.push_back(instrument(markers[k], qualities[k], 1000 + i, 0.3 + i + 2.0 * k));
    }
    return instruments;
}

// The frames recorded at minimum quality 0.5 with this navigation, read back.
std::unique_ptr<SequenceReader> recordFrames(const std::string& path,
                                             const std::vector<RecordedMarker>& markers,
                                             const Navigation::NavigationFrame& navigation,
                                             const std::vector<std::shared_ptr<TrackingStreamData>>& sent) {
    Recorder::Options options;
    options.path = path;
    options.markers = markers;
    options.minQuality = 0.5;
    options.navigation = navigation;
    std::string error;
    Feed feed(Recorder::create(options, error));
    for (const auto& data : sent) {
        feed.frame(data);
    }
    EXPECT_TRUE(feed.finish({}, error)) << error;
    return TestSupport::openReader(options.path, error);
}

Eigen::Matrix4d matrixOf(const Sequence::Fields& fields, const std::string& name) {
    std::vector<double> values;
    EXPECT_TRUE(Names::parseNumbers(*findField(fields, name), values));
    EXPECT_EQ(values.size(), 16u);
    values.resize(16);
    return Eigen::Matrix<double, 4, 4, Eigen::RowMajor>(values.data());
}

}  // namespace

// With a reference and a tip each frame also holds the derived transforms, named uniquely after the
// markers' fields, INVALID and the identity when a marker they need is not recorded OK; the frame's own
// fields stay as a run without navigation records them.
TEST(Recorder, RecordsTheTransformsTheRunNavigatesWithAfterTheFramesOwnFields) {
    TestSupport::TempFiles files;
    const std::vector<RecordedMarker> markers{marker("pointer", "p", 1), marker("PointerTip", "t", 2),
                                              marker("ref", "r", 3)};
    Navigation::NavigationFrame navigation;
    navigation.chain.setReference("r");
    navigation.frame = "Ref";
    const Eigen::Vector3d tip(1.5, -2.0, -120.25);
    navigation.chain.setTip("p", tip);
    // Every instrument seen; the reference not seen; the pointer below the quality gate.
    const std::vector<std::array<double, 3>> qualities{{0.9, 0.9, 0.9}, {0.9, 0.9, 0.0}, {0.3, 0.9, 0.9}};
    std::vector<std::shared_ptr<TrackingStreamData>> sent;
    for (std::uint32_t i = 0; i < qualities.size(); ++i) {
        sent.push_back(trackingData(i + 1, 1000u * (i + 1), instrumentsAt(markers, qualities[i], i), {}));
    }
    const auto plain = recordFrames(files.path("plain.seq.mhd"), markers, {}, sent);
    const auto navigated = recordFrames(files.path("navigated.seq.mhd"), markers, navigation, sent);
    ASSERT_TRUE(plain && navigated);
    ASSERT_EQ(navigated->frameCount(), qualities.size());

    const std::vector<std::string> names{"PointerToRef", "PointerTipToRef", "PointerTipToRef_2", "RefToRef"};
    const Eigen::Matrix4d identity = Eigen::Matrix4d::Identity();
    for (std::size_t i = 0; i < qualities.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const Sequence::Fields& own = plain->frameFields(i);
        const Sequence::Fields& fields = navigated->frameFields(i);
        ASSERT_EQ(fields.size(), own.size() + 2 * names.size());
        EXPECT_TRUE(std::equal(own.begin(), own.end(), fields.begin()));
        for (std::size_t n = 0; n < names.size(); ++n) {
            EXPECT_EQ(fields[own.size() + 2 * n].first, names[n] + "Transform");
            EXPECT_EQ(fields[own.size() + 2 * n + 1].first, names[n] + "TransformStatus");
        }
        const auto status = [&](const std::string& name) {
            return *findField(fields, name + "TransformStatus");
        };
        const std::vector<TrackingInstrument>& in = sent[i]->instruments();
        const Eigen::Matrix4d relative = in[2].pose.inverse() * in[0].pose;
        if (i == 0) {
            EXPECT_TRUE(matrixOf(fields, "PointerToRefTransform").isApprox(relative, 1e-12));
            Eigen::Matrix4d atTip = relative;
            atTip.topRightCorner<3, 1>() = (relative * tip.homogeneous()).head<3>();
            EXPECT_TRUE(matrixOf(fields, "PointerTipToRefTransform").isApprox(atTip, 1e-12));
            EXPECT_TRUE(matrixOf(fields, "PointerTipToRef_2Transform")
                            .isApprox(in[2].pose.inverse() * in[1].pose, 1e-12));
            EXPECT_EQ(matrixOf(fields, "RefToRefTransform"), identity);
        }
        const bool referenceSeen = i != 1;
        EXPECT_EQ(status("PointerToRef"), referenceSeen && i != 2 ? "OK" : "INVALID");
        EXPECT_EQ(status("PointerTipToRef"), status("PointerToRef"));
        EXPECT_EQ(status("PointerTipToRef_2"), referenceSeen ? "OK" : "INVALID");
        EXPECT_EQ(status("RefToRef"), referenceSeen ? "OK" : "INVALID");
        if (i != 0) {
            EXPECT_EQ(matrixOf(fields, "PointerToRefTransform"), identity);
            EXPECT_EQ(matrixOf(fields, "PointerTipToRefTransform"), identity);
        }
    }
}

// Tips alone: in the camera's frame, under a name the camera's pose of "PointerTip" does not have; nothing
// without a reference and tips.
TEST(NavigationFields, NamesTheTipsInTheCamerasFrameApartFromTheCamerasPoses) {
    std::vector<RecordedMarker> markers{marker("pointer", "p", 1), marker("PointerTip", "t", 2)};
    Sequence::assignMarkerFields(markers);
    Navigation::NavigationFrame tips;
    tips.chain.setTip("p", Eigen::Vector3d(0.0, 0.0, -100.0));
    EXPECT_EQ(NavigationFields(tips, markers).names(),
              std::vector<std::string>{"PointerTipToTracker_2Transform"});
    EXPECT_TRUE(NavigationFields({}, markers).empty());
}

// The recording keeps the clock of its first frame: a camera on its own clock with frames that lack its
// stamp (placed by the host's time since the last stamp), and a first frame without a stamp before stamped
// ones. Either way the frames read back 16 ms apart, as the host saw them come.
TEST(Recorder, KeepsTheClockOfItsFirstFrame) {
    constexpr std::uint64_t kHostMs = 1'796'736'471'133;
    const std::vector<std::vector<std::uint64_t>> cases = {
        {5'000'000, 0, 5'032'000, 0},  // the camera's stamps count from its start
        {0, 5'016'000, 5'032'000, 0},
    };
    for (const auto& exposuresUs : cases) {
        SCOPED_TRACE(exposuresUs[0] != 0 ? "camera's clock" : "host's clock");
        TestSupport::TempFiles files;
        Recorder::Options options;
        options.path = files.path("clock.seq.mhd");
        options.markers = {marker("A", "a", 1)};
        std::string error;
        Feed feed(Recorder::create(options, error));
        for (std::uint32_t i = 0; i < exposuresUs.size(); ++i) {
            feed.frame(trackingData(i + 1, exposuresUs[i],
                                    {instrument(options.markers[0], 0.9, kHostMs + 16 * i, i)}, {}));
        }
        ASSERT_TRUE(feed.finish({}, error)) << error;
        const auto reader = TestSupport::openReader(options.path, error);
        ASSERT_TRUE(reader) << error;
        ASSERT_EQ(reader->frameCount(), exposuresUs.size());
        Sequence::RecordingHeader header;
        ASSERT_TRUE(TestSupport::readHeader(reader->fields(), header, error)) << error;
        for (std::size_t i = 0; i < exposuresUs.size(); ++i) {
            RecordedFrame frame;
            ASSERT_TRUE(Sequence::frameOf(reader->frameFields(i), header.markers, frame, error)) << error;
            EXPECT_NEAR(frame.timestampSeconds, 0.016 * static_cast<double>(i), 1e-9) << "frame " << i;
            EXPECT_EQ(frame.exposureUs, exposuresUs[i]);
        }
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
    constexpr std::uint64_t kAtLeast = 300;  // the first 1.5 s

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        recordUntilKilled(path, kWidth, kHeight, kAtLeast);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;

    std::string error;
    auto reader = TestSupport::openReader(path, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_GE(reader->frameCount(), kAtLeast);
    Sequence::RecordingHeader header;
    ASSERT_TRUE(TestSupport::readHeader(reader->fields(), header, error)) << error;
    std::vector<std::uint8_t> pixels;
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < reader->frameCount(); ++i) {
        RecordedFrame frame;
        ASSERT_TRUE(Sequence::frameOf(reader->frameFields(i), header.markers, frame, error)) << error;
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
    auto reader = TestSupport::openReader(options.path, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->frameCount(), recorder->framesRecorded());
    EXPECT_EQ(*findField(reader->fields(), Names::kImages), "False");
}

TEST(RecordedFrames, TheLongestRecordingReadmeStatesFitsTheReadersLimits) {
    // Twelve hours at 60 frames/s of the three example markers, every number at full precision; seven
    // with the transforms a reference adds.
    std::vector<RecordedMarker> markers{marker("pointer", "P", 1200), marker("reference", "R", 1300),
                                        marker("tool", "T", 1400)};
    Sequence::assignMarkerFields(markers);
    const std::size_t frames = 12u * 3600u * 60u;
    RecordedFrame frame;
    frame.frameNumber = 4000000000u;
    frame.exposureUs = 1'796'736'471'133'608u;
    frame.timestampMs = 1'796'736'471'138u;
    frame.timestampSeconds = 43199.983333333337;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        const TrackingInstrument seen =
            instrument(markers[k], 0.97456533312797546, frame.timestampMs, 0.1 + k);
        RecordedPose pose;
        for (int row = 0; row < 4; ++row) {
            for (int column = 0; column < 4; ++column) {
                pose.transform[static_cast<std::size_t>(4 * row + column)] = seen.pose(row, column);
            }
        }
        pose.quality = seen.quality;
        pose.statusOk = true;
        pose.registrationErrorMm = 0.25434667f;
        frame.poses.push_back(pose);
    }
    // Of the frame's header lines: "Seq_Frame2591999_Name = value\n".
    const auto bytesOf = [](const Sequence::Fields& fields) {
        std::size_t bytes = 0;
        for (const auto& [name, value] : fields) {
            bytes += std::string("Seq_Frame2591999_").size() + name.size() + 3 + value.size() + 1;
        }
        return bytes;
    };
    Sequence::Fields fields = Sequence::frameFields(frame, markers);
    const std::size_t bytes = bytesOf(fields);
    EXPECT_GT(bytes, 1500u);  // what README says a frame takes: about 1.6 KB
    const SequenceReader::Limits limits;
    EXPECT_LE(frames * bytes, limits.maxHeaderBytes);
    EXPECT_LE(frames, limits.maxFrames);

    // Relative to a reference, with the pointer's tip: about 2.8 KB a frame, seven hours.
    Navigation::NavigationFrame navigation;
    navigation.chain.setReference("R");
    navigation.chain.setTip("P", Eigen::Vector3d(0.1, -20.3, -160.7));
    NavigationFields(navigation, markers).add(frame, fields);
    EXPECT_GT(bytesOf(fields), 2700u);
    EXPECT_LE(7u * 3600u * 60u * bytesOf(fields), limits.maxHeaderBytes);
}

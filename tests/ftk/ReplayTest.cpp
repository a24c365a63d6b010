// The simulated camera playing a tracking recording through the ftk functions, as the plug-in sees it.
#include "ftk/SimulatedCamera.h"
#include "ftk/ftk.h"
#include "ftk/ftkReplay.h"
#include "ftk/ftkSimulator.h"
#include "sequence/SequenceFile.h"
#include "sequence/TrackingCodec.h"
#include "sequence/TrackingFields.h"

#include <gtest/gtest.h>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace Fields = Halvoren::Sequence::TrackingFields;
using Halvoren::Sequence::Frame;
using Halvoren::Sequence::SequenceWriter;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 64;  // of one camera's image
constexpr int kHeight = 64;
constexpr std::uint32_t kProbe = 1005;
constexpr std::uint32_t kReference = 2006;
constexpr std::uint32_t kNotOnTheDevice = 3007;
// How long a frame that is due may take to come, on a busy machine too.
constexpr std::uint32_t kDueMs = 30000;

std::uint64_t nowUs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// What the test wrote for one frame, to compare with what the driver delivers.
struct RecordedFrame {
    std::uint32_t frameNumber = 0;
    std::vector<double> transform[3];  // per marker, empty when not seen
    double quality[3] = {0, 0, 0};
    float registrationError[3] = {0, 0, 0};
    std::vector<double> fiducials;  // kFiducialValues per fiducial
    std::vector<std::uint8_t> pixels;
};

const char* const kNames[] = {"Probe tip", "Reference", "Spare"};

// Frame i's fields, the probe seen in every frame, the reference in every other one; `r` says what they
// hold. The reference's registration errors are left out, as in recordings made before they were
// recorded.
Halvoren::Sequence::Fields fieldsOf(std::size_t i, double period, RecordedFrame& r) {
    r.frameNumber = static_cast<std::uint32_t>(1000 + 2 * i);
    Halvoren::Sequence::Fields fields = {
        {Fields::kFrameNumber, std::to_string(r.frameNumber)},
        {Fields::kTimestamp, Fields::formatNumbers({period * static_cast<double>(i)})}};
    for (std::size_t k = 0; k < 3; ++k) {
        const bool seen = k == 0 || (k == 1 && i % 2 == 0) || k == 2;
        const double angle = 0.1 * static_cast<double>(i + k);
        if (seen) {
            r.transform[k] = {std::cos(angle),
                              -std::sin(angle),
                              0,
                              10.5 + static_cast<double>(i),
                              std::sin(angle),
                              std::cos(angle),
                              0,
                              -20.25 * static_cast<double>(k),
                              0,
                              0,
                              1,
                              900.123456789 + static_cast<double>(k),
                              0,
                              0,
                              0,
                              1};
            r.registrationError[k] = 0.25f + 0.1f * static_cast<float>(i + k);
            r.quality[k] = 1.0 - static_cast<double>(r.registrationError[k]) / 10.0;
            for (int f = 0; f < 3; ++f) {
                const double x = -60.0 + 40.0 * static_cast<double>(k) + 7.25 * f;
                r.fiducials.insert(r.fiducials.end(), {x, 5.5 * f, 950.0 + f, 0.875, 0.125 * f, 0.0625,
                                                       20.0 + f, 21.0 + f, static_cast<double>(k)});
            }
        }
        const std::string field = Fields::fieldNameOf(kNames[k]);
        fields.emplace_back(Fields::transformField(field),
                            Fields::formatNumbers(seen ? r.transform[k] : std::vector<double>(16, 0.0)));
        fields.emplace_back(Fields::statusField(field), seen ? "OK" : "INVALID");
        fields.emplace_back(Fields::qualityField(field), Fields::formatNumbers({r.quality[k]}));
        if (seen && k != 1) {
            fields.emplace_back(Fields::registrationErrorField(field),
                                Fields::formatNumbers({r.registrationError[k]}));
        }
    }
    // A stray reflection, of no marker.
    r.fiducials.insert(r.fiducials.end(), {300.0, -100.0, 1200.0, 0.5, 0.25, 0.75, 12, 13, -1});
    std::vector<double> values{static_cast<double>(r.fiducials.size() / Fields::kFiducialValues)};
    values.insert(values.end(), r.fiducials.begin(), r.fiducials.end());
    fields.emplace_back(Fields::kFiducials, Fields::formatNumbers(values));
    return fields;
}

// A recording of three markers (the third one's geometry is never set on the device).
std::vector<RecordedFrame> writeRecording(const std::string& path, std::size_t frames, double period,
                                          bool images) {
    SequenceWriter::Options options;
    options.path = path;
    options.width = images ? 2 * kWidth : 1;
    options.height = images ? kHeight : 1;
    const std::uint32_t ids[] = {kProbe, kReference, kNotOnTheDevice};
    Halvoren::Sequence::RecordingHeader header{images ? kWidth : 0, images ? kHeight : 0, {}};
    for (std::size_t k = 0; k < 3; ++k) {
        header.markers.push_back({kNames[k], kNames[k], Fields::fieldNameOf(kNames[k]), ids[k], {}, {}});
    }
    options.fields = Halvoren::Sequence::recordingFields(header);
    std::string error;
    auto writer = SequenceWriter::create(options, error);
    EXPECT_TRUE(writer) << error;
    std::vector<RecordedFrame> recorded;
    for (std::size_t i = 0; writer && i < frames; ++i) {
        RecordedFrame r;
        Frame frame;
        frame.fields = fieldsOf(i, period, r);
        frame.pixels.resize(static_cast<std::size_t>(options.width) *
                            static_cast<std::size_t>(options.height));
        for (std::size_t p = 0; p < frame.pixels.size(); ++p) {
            frame.pixels[p] = static_cast<std::uint8_t>(p * 7 + i * 13 + p / 128);
        }
        r.pixels = frame.pixels;
        EXPECT_TRUE(writer->append(frame, error)) << error;
        recorded.push_back(r);
    }
    if (writer) {
        EXPECT_TRUE(writer->finish(error)) << error;
    }
    return recorded;
}

// Only the markers seen whose geometry is on the device, with the recorded pose and registration error.
void expectMarkers(const ftkFrame& frame, const RecordedFrame& r) {
    std::size_t expectedMarkers = 0;
    std::uint32_t firstFiducial = 0;  // of the marker: those of the markers seen before it come first
    for (std::size_t k = 0; k < 2; ++k) {
        if (r.transform[k].empty()) {
            continue;
        }
        SCOPED_TRACE(k);
        ASSERT_LT(expectedMarkers, frame.markersCount);
        const ftkMarkerPose& marker = frame.markers[expectedMarkers];
        EXPECT_EQ(marker.geometryId, k == 0 ? kProbe : kReference);
        for (int row = 0; row < 3; ++row) {
            for (int column = 0; column < 3; ++column) {
                EXPECT_EQ(marker.rotation[row][column], static_cast<float>(r.transform[k][4 * row + column]));
            }
            EXPECT_EQ(marker.translation[row], static_cast<float>(r.transform[k][4 * row + 3]));
        }
        // The recorded error; none recorded (the reference's), 0 mm.
        EXPECT_EQ(marker.registrationError, k == 1 ? 0.0f : r.registrationError[k]);
        for (std::uint32_t c = 0; c < FTK_MAX_GEOMETRY_FIDUCIALS; ++c) {
            EXPECT_EQ(marker.correspondences[c], c < 3 ? firstFiducial + c : FTK_NO_CORRESPONDENCE);
        }
        ++expectedMarkers;
        firstFiducial += 3;
    }
    EXPECT_EQ(frame.markersCount, expectedMarkers);
}

// Every fiducial (those of the marker not on the device too), detected once in each image where the
// simulated cameras see it.
void expectFiducials(const ftkFrame& frame, const RecordedFrame& r,
                     const ftksim::SimulatedCamera::Calibration& calibration) {
    const std::size_t fiducials = r.fiducials.size() / Fields::kFiducialValues;
    ASSERT_EQ(frame.fiducialsCount, fiducials);
    ASSERT_EQ(frame.leftRawCount, fiducials);
    ASSERT_EQ(frame.rightRawCount, fiducials);
    for (std::size_t f = 0; f < fiducials; ++f) {
        const double* v = r.fiducials.data() + f * Fields::kFiducialValues;
        const ftkFiducial3D& fiducial = frame.fiducials[f];
        EXPECT_EQ(fiducial.position.x, static_cast<float>(v[0]));
        EXPECT_EQ(fiducial.position.y, static_cast<float>(v[1]));
        EXPECT_EQ(fiducial.position.z, static_cast<float>(v[2]));
        EXPECT_EQ(fiducial.probability, static_cast<float>(v[3]));
        EXPECT_EQ(fiducial.epipolarError, static_cast<float>(v[4]));
        EXPECT_EQ(fiducial.triangulationError, static_cast<float>(v[5]));
        ASSERT_LT(fiducial.leftIndex, frame.leftRawCount);
        ASSERT_LT(fiducial.rightIndex, frame.rightRawCount);
        const ftkRawDetection& left = frame.leftRaw[fiducial.leftIndex];
        const ftkRawDetection& right = frame.rightRaw[fiducial.rightIndex];
        const double focal = calibration.focalPx;
        EXPECT_NEAR(left.centerX, focal * v[0] / v[2] + calibration.cx, 1e-3);
        EXPECT_NEAR(left.centerY, focal * v[1] / v[2] + calibration.cy, 1e-3);
        EXPECT_NEAR(right.centerX, focal * (v[0] - calibration.baselineMm) / v[2] + calibration.cx, 1e-3);
        EXPECT_NEAR(right.centerY, left.centerY, 1e-3);
        EXPECT_EQ(left.pixelCount, static_cast<std::uint32_t>(v[6]));
        EXPECT_EQ(right.pixelCount, static_cast<std::uint32_t>(v[7]));
    }
}

ftkGeometry geometry(std::uint32_t id) {
    ftkGeometry g{};
    g.geometryId = id;
    g.pointsCount = 3;
    g.positions[1] = {50.f, 0.f, 0.f};
    g.positions[2] = {0.f, 40.f, 0.f};
    return g;
}

class FtkReplay : public ::testing::Test {
protected:
    void SetUp() override {
        ftksim::Simulator::instance().useCamera();
        ASSERT_TRUE(m_dir.isValid());
    }

    void TearDown() override {
        if (m_frame != nullptr) {
            ftkDeleteFrame(m_frame);
        }
        ftkClose(&m_library);
        unsetenv("FTK_SIMULATOR_SETTINGS");
    }

    std::string path(const char* name) const { return m_dir.filePath(name).toStdString(); }

    // Opens the driver on these settings; the serial number of its device, or 0 when it has none.
    std::uint64_t open(const std::string& settings) {
        std::ofstream(path("camera.ini")) << settings;
        setenv("FTK_SIMULATOR_SETTINGS", path("camera.ini").c_str(), 1);
        m_library = ftkInit();
        EXPECT_NE(m_library, nullptr);
        std::uint64_t serial = 0;
        ftkEnumerateDevices(
            m_library,
            [](std::uint64_t number, void* user, ftkDeviceType) {
                *static_cast<std::uint64_t*>(user) = number;
            },
            &serial);
        if (serial != 0) {
            m_frame = ftkCreateFrame();
            EXPECT_EQ(ftkSetFrameOptions(true, 0, 32, 32, 32, 8, m_frame), FTK_OK);
        }
        return serial;
    }

    std::string lastError() const {
        char text[FTK_ERROR_TEXT_SIZE];
        EXPECT_EQ(ftkGetLastErrorString(m_library, sizeof(text), text), FTK_OK);
        return text;
    }

    QTemporaryDir m_dir;
    ftkLibrary m_library = nullptr;
    ftkFrame* m_frame = nullptr;
};

}  // namespace

TEST_F(FtkReplay, PlaysEveryFrameOnceAsTheCameraDeliveredIt) {
    const auto recorded = writeRecording(path("run.seq.mhd"), 3, 0.02, true);
    const std::uint64_t serial = open("replay = run.seq.mhd\nreplay_speed = max\n");
    ASSERT_NE(serial, 0u) << lastError();
    for (const std::uint32_t id : {kProbe, kReference}) {
        ftkGeometry g = geometry(id);
        ASSERT_EQ(ftkSetGeometry(m_library, serial, &g), FTK_OK);
    }
    // The simulated camera's pinhole pair, for images of the recorded size.
    ftksim::CameraSettings cameraSettings;
    cameraSettings.imageWidth = kWidth;
    cameraSettings.imageHeight = kHeight;
    const auto calibration = ftksim::SimulatedCamera(cameraSettings).calibration();

    for (const RecordedFrame& r : recorded) {
        SCOPED_TRACE(r.frameNumber);
        const std::uint64_t before = nowUs();
        ASSERT_EQ(ftkGetLastFrame(m_library, serial, m_frame, kDueMs), FTK_OK);
        EXPECT_EQ(m_frame->imageHeader->counter, r.frameNumber);
        EXPECT_GE(m_frame->imageHeader->timestampUs, before);
        EXPECT_LE(m_frame->imageHeader->timestampUs, nowUs());

        expectMarkers(*m_frame, r);
        expectFiducials(*m_frame, r, calibration);

        // The left and right halves of each recorded row.
        ASSERT_EQ(m_frame->imageHeader->width, kWidth);
        ASSERT_EQ(m_frame->imageHeader->height, kHeight);
        ASSERT_EQ(m_frame->leftPixelsStatus, FTK_PART_OK);
        for (int y = 0; y < kHeight; ++y) {
            const std::uint8_t* row = r.pixels.data() + 2 * kWidth * y;
            ASSERT_TRUE(std::equal(row, row + kWidth, m_frame->leftPixels + kWidth * y)) << y;
            ASSERT_TRUE(std::equal(row + kWidth, row + 2 * kWidth, m_frame->rightPixels + kWidth * y)) << y;
        }
    }

    // Then no more frames, said once: a later error's text stays.
    EXPECT_EQ(ftkGetLastFrame(m_library, serial, m_frame, 10), FTK_WAR_NO_FRAME);
    EXPECT_EQ(lastError(), "Replay: the recording has no more frames");
    EXPECT_EQ(ftkClearGeometry(m_library, serial, kNotOnTheDevice), FTK_ERR_INVALID_ARGUMENT);
    const std::string later = lastError();
    EXPECT_EQ(ftkGetLastFrame(m_library, serial, m_frame, 10), FTK_WAR_NO_FRAME);
    EXPECT_EQ(lastError(), later);
}

TEST_F(FtkReplay, RecordingThatCannotBeReadSaysWhy) {
    // No recording: no device, as with a bad settings file, and the reader's reason.
    EXPECT_EQ(open("replay = missing.seq.mhd\n"), 0u);
    EXPECT_NE(lastError().find(path("missing.seq.mhd")), std::string::npos) << lastError();
    ftkClose(&m_library);

    // Data cut short after the camera opened it: the first frame plays, then at once a frame whose
    // invalid markers make the plug-in close its stream and log the reason, the last error; then nothing.
    writeRecording(path("cut.seq.mhd"), 3, 0.02, true);
    const std::uint64_t serial = open("replay = cut.seq.mhd\nreplay_speed = max\n");
    ASSERT_NE(serial, 0u) << lastError();
    std::filesystem::resize_file(path("cut.seq.raw"), 2 * kWidth * kHeight + 100);
    ASSERT_EQ(ftkGetLastFrame(m_library, serial, m_frame, kDueMs), FTK_OK);
    EXPECT_EQ(m_frame->imageHeader->counter, 1000u);
    EXPECT_EQ(m_frame->markersStatus, FTK_PART_OK);
    ASSERT_EQ(ftkGetLastFrame(m_library, serial, m_frame, 60000), FTK_OK);
    EXPECT_EQ(m_frame->markersStatus, FTK_PART_INVALID);
    EXPECT_EQ(m_frame->markersCount, 0u);
    EXPECT_EQ(m_frame->fiducialsCount, 0u);
    const std::string stopped = "Replay stopped: " + path("cut.seq.raw");
    EXPECT_EQ(lastError().rfind(stopped, 0), 0u) << lastError();
    EXPECT_GT(lastError().size(), stopped.size());
    const std::string reason = lastError();
    EXPECT_EQ(ftkGetLastFrame(m_library, serial, m_frame, 10), FTK_WAR_NO_FRAME);
    EXPECT_EQ(lastError(), reason);
    ftkDeleteFrame(m_frame);
    m_frame = nullptr;
    ftkClose(&m_library);

    // A frame whose fields are malformed stops the replay the same way, naming the frame and the field.
    writeRecording(path("bad.seq.mhd"), 3, 0.02, false);
    std::stringstream header;
    header << std::ifstream(path("bad.seq.mhd")).rdbuf();
    std::string text = header.str();
    const std::string quality = "Seq_Frame0001_" + Fields::qualityField("Probe_tip") + " = ";
    const std::size_t value = text.find(quality) + quality.size();
    text.replace(value, text.find('\n', value) - value, "soon");
    std::ofstream(path("bad.seq.mhd"), std::ios::trunc) << text;
    const std::uint64_t badSerial = open("replay = bad.seq.mhd\nreplay_speed = max\n");
    ASSERT_NE(badSerial, 0u) << lastError();
    ASSERT_EQ(ftkGetLastFrame(m_library, badSerial, m_frame, kDueMs), FTK_OK);
    EXPECT_EQ(m_frame->markersStatus, FTK_PART_OK);
    ASSERT_EQ(ftkGetLastFrame(m_library, badSerial, m_frame, kDueMs), FTK_OK);
    EXPECT_EQ(m_frame->markersStatus, FTK_PART_INVALID);
    EXPECT_EQ(lastError(), "Replay stopped: " + path("bad.seq.mhd") +
                               ": frame 1: " + Fields::qualityField("Probe_tip") + " is not numbers: 'soon'");
}

// The replay control: the request wins over the settings file, the state tells the device, the frames
// delivered, the end or why the recording stopped, and outlives the closed library.
TEST_F(FtkReplay, TheReplayControlPlaysARecordingAndTellsHowItGoes) {
    ftkReplayState state{};
    EXPECT_EQ(ftkReplayGetState(nullptr), FTK_ERR_INVALID_ARGUMENT);
    ASSERT_EQ(ftkReplayGetState(&state), FTK_OK);
    EXPECT_EQ(state.phase, FTK_REPLAY_NONE);
    writeRecording(path("run.seq.mhd"), 2, 0.02, false);
    ftkReplayRequest request{"", 0.0, 0x1234};
    EXPECT_EQ(ftkReplaySet(&request), FTK_ERR_INVALID_ARGUMENT);
    const std::string run = path("run.seq.mhd");
    request = {run.c_str(), 1001.0, 0x1234};
    EXPECT_EQ(ftkReplaySet(&request), FTK_ERR_INVALID_ARGUMENT);
    request.speed = 0.0;
    ASSERT_EQ(ftkReplaySet(&request), FTK_OK);

    const std::uint64_t serial = open("serial = 0x99\n");
    ASSERT_EQ(serial, 0x1234u) << lastError();
    ASSERT_EQ(ftkReplayGetState(&state), FTK_OK);
    EXPECT_EQ(state.phase, FTK_REPLAY_PLAYING);
    EXPECT_EQ(state.serialNumber, 0x1234u);
    EXPECT_EQ(state.deviceType, FTK_DEVICE_SPRYTRACK_300);
    EXPECT_EQ(state.frameCount, 2u);
    EXPECT_EQ(state.framesDelivered, 0u);
    ASSERT_EQ(ftkGetLastFrame(m_library, serial, m_frame, kDueMs), FTK_OK);
    ASSERT_EQ(ftkGetLastFrame(m_library, serial, m_frame, kDueMs), FTK_OK);
    EXPECT_EQ(ftkGetLastFrame(m_library, serial, m_frame, 10), FTK_WAR_NO_FRAME);
    ftkClose(&m_library);
    ASSERT_EQ(ftkReplayGetState(&state), FTK_OK);
    EXPECT_EQ(state.phase, FTK_REPLAY_ENDED);
    EXPECT_EQ(state.framesDelivered, 2u);
    EXPECT_STREQ(state.reason, "");

    // Data cut short: the first frame plays, then the replay stops with the reader's reason.
    writeRecording(path("cut.seq.mhd"), 3, 0.02, true);
    const std::string cut = path("cut.seq.mhd");
    request.recording = cut.c_str();
    ASSERT_EQ(ftkReplaySet(&request), FTK_OK);
    const std::uint64_t cutSerial = open("serial = 0x99\n");
    ASSERT_EQ(cutSerial, 0x1234u) << lastError();
    std::filesystem::resize_file(path("cut.seq.raw"), 2 * kWidth * kHeight + 100);
    ASSERT_EQ(ftkGetLastFrame(m_library, cutSerial, m_frame, kDueMs), FTK_OK);
    ASSERT_EQ(ftkGetLastFrame(m_library, cutSerial, m_frame, kDueMs), FTK_OK);
    ASSERT_EQ(ftkReplayGetState(&state), FTK_OK);
    EXPECT_EQ(state.phase, FTK_REPLAY_STOPPED);
    EXPECT_EQ(state.framesDelivered, 1u);
    EXPECT_EQ(lastError(), std::string("Replay stopped: ") + state.reason);
    EXPECT_EQ(std::string(state.reason).rfind(path("cut.seq.raw"), 0), 0u) << state.reason;
    ftkDeleteFrame(m_frame);
    m_frame = nullptr;
    ftkClose(&m_library);

    // Withdrawn: the settings file's scene again.
    ASSERT_EQ(ftkReplaySet(nullptr), FTK_OK);
    ASSERT_EQ(ftkReplayGetState(&state), FTK_OK);
    EXPECT_EQ(state.phase, FTK_REPLAY_NONE);
    EXPECT_EQ(open("serial = 0x99\n"), 0x99u);
}

TEST_F(FtkReplay, EveryFrameComesOnceInOrderAtTheRecordedPaceTimesTheSpeedEvenWhenAskedLate) {
    // Every 100 ms as recorded, so every 50 ms at twice the speed.
    constexpr std::uint32_t kFrames = 20;
    writeRecording(path("pace.seq.mhd"), kFrames, 0.1, false);
    const std::uint64_t serial = open("replay = pace.seq.mhd\nreplay_speed = 2\n");
    ASSERT_NE(serial, 0u) << lastError();
    const auto indexOf = [&] { return (m_frame->imageHeader->counter - 1000u) / 2u; };
    ASSERT_EQ(ftkGetLastFrame(m_library, serial, m_frame, kDueMs), FTK_OK);
    const auto first = Clock::now();
    EXPECT_EQ(indexOf(), 0u);

    // Asked late, as a stream that paused: the frames due meanwhile are not skipped, and do not come all
    // at once either: the rest keeps the recorded pace from the moment it was asked for again.
    const auto period = std::chrono::milliseconds(50);
    std::this_thread::sleep_until(first + 6 * period);
    const auto askedAgain = Clock::now();
    for (std::uint32_t expected = 1; expected < kFrames; ++expected) {
        ASSERT_EQ(ftkGetLastFrame(m_library, serial, m_frame, kDueMs), FTK_OK) << expected;
        ASSERT_EQ(indexOf(), expected);
        // Never before it is due.
        EXPECT_LE(expected * period, Clock::now() - first);
    }
    EXPECT_GE(Clock::now() - askedAgain, (kFrames - 2) * period);
    EXPECT_EQ(ftkGetLastFrame(m_library, serial, m_frame, 10), FTK_WAR_NO_FRAME);
}

// What recording a tracking run costs: the stream's worker's extra time per frame (the hand-over to the
// recorder), and with images at 60 frames/s the share of frames the recorder keeps and the size of the
// recording per minute, alone and beside another program that keeps a core busy.
#include "output/OutputHub.h"
#include "record/Recorder.h"

#include "host/Image.h"
#include "host/TrackingStream.h"

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace Halvoren;
using Clock = std::chrono::steady_clock;

// A folder of its own for the recordings, removed with the object.
struct Scratch {
    std::string folder;
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "record-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        folder = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

std::vector<Record::RecordedMarker> threeMarkers() {
    std::vector<Record::RecordedMarker> markers(3);
    for (std::size_t k = 0; k < markers.size(); ++k) {
        markers[k].name = "marker" + std::to_string(k);
        markers[k].id = "atracsys-" + std::to_string(1200 + 100 * k);
        markers[k].geometryId = static_cast<std::uint32_t>(1200 + 100 * k);
        markers[k].fiducials = {{0, 0, 0}, {50, 0, 0}, {50, 50, 0}, {0, 50, 0}};
    }
    return markers;
}

std::shared_ptr<TrackingStreamData> trackingFrame(const std::vector<Record::RecordedMarker>& markers,
                                                  std::uint32_t counter, std::uint64_t exposureUs) {
    std::vector<TrackingInstrument> instruments(markers.size());
    for (std::size_t k = 0; k < markers.size(); ++k) {
        instruments[k].id = TrackerID(markers[k].id, "", markers[k].name);
        instruments[k].pose(0, 3) = 10.0 * static_cast<double>(k) + 0.001 * counter;
        instruments[k].pose(2, 3) = -1200.0 + 0.37 * static_cast<double>(k);
        instruments[k].quality = 0.97;
        instruments[k].timestamp = exposureUs / 1000;
    }
    auto data = std::make_shared<TrackingStreamData>(nullptr, std::move(instruments));
    data->components().add(std::make_unique<TrackingFrameInfoData>(counter, exposureUs));
    auto fiducials = std::make_unique<TrackingInstrumentFiducialsData>();
    fiducials->resize(12);
    for (std::size_t i = 0; i < 12; ++i) {
        fiducials->positions[i] = Eigen::Vector3d(1.5 * i, 2.5 * i, -1200.0 + i);
        fiducials->instrumentIndices[i] = static_cast<std::int32_t>(i / 4);
        fiducials->probabilities[i] = 1.0;
        fiducials->leftPixelCounts[i] = 40;
        fiducials->rightPixelCounts[i] = 38;
    }
    data->components().add(std::move(fiducials));
    return data;
}

// One camera's image as the simulated camera draws it: a dark background (black, or its level with a
// little fixed-pattern noise, each camera's own) and Gaussian spots of a few pixels for the fiducials.
std::shared_ptr<ImageStreamData> cameraImage(int width, int height, bool noisyBackground, int camera,
                                             int shift) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
    if (noisyBackground) {
        std::uint32_t bits = 2463534242u ^ (0x9e3779b9u * static_cast<std::uint32_t>(camera + 1));
        for (std::uint8_t& pixel : pixels) {
            bits ^= bits << 13;
            bits ^= bits >> 17;
            bits ^= bits << 5;
            pixel = static_cast<std::uint8_t>(8 + (bits & 7));
        }
    }
    for (int blob = 0; blob < 12; ++blob) {
        const double cx = 300.0 + 60.0 * (blob % 4) + shift;
        const double cy = 400.0 + 60.0 * (blob / 4);
        const double sigma = 7.0 / 4.0;
        for (int y = static_cast<int>(cy) - 6; y <= static_cast<int>(cy) + 6; ++y) {
            for (int x = static_cast<int>(cx) - 6; x <= static_cast<int>(cx) + 6; ++x) {
                const double value =
                    245.0 * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2.0 * sigma * sigma));
                std::uint8_t& pixel = pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                             static_cast<std::size_t>(x)];
                pixel = static_cast<std::uint8_t>(std::min(255.0, pixel + value));
            }
        }
    }
    std::shared_ptr<MemImage> mem =
        MemImage::create(ImageDescriptor(PixelUInt8, width, height), pixels.data(), MemImage::Owned);
    return std::make_shared<ImageStreamData>(nullptr, std::make_shared<SharedImage>(mem));
}

// Another program using the CPU: a child process that spins until the object ends it.
struct BusyProcess {
    pid_t pid = -1;
    explicit BusyProcess(bool start) {
        if (start) {
            pid = ::fork();
            if (pid == 0) {
                for (volatile std::uint64_t spin = 0;; spin = spin + 1) {
                }
            }
        }
    }
    ~BusyProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

void waitUntil(const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!condition() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// The hand-over as the worker pays it, without images: bursts of frames the recorder then catches up
// with, so that none is dropped (a dropped frame would cost less).
void handOverWithoutImages(benchmark::State& state) {
    constexpr int kBurst = 64;
    Scratch scratch;
    Record::Recorder::Options options;
    options.path = scratch.folder + "/run.seq.mhd";
    options.markers = threeMarkers();
    std::string error;
    std::shared_ptr<Record::Recorder> recorder = Record::Recorder::create(options, error);
    if (!recorder) {
        state.SkipWithError(error.c_str());
        return;
    }
    Output::OutputHub outputs;
    outputs.add(recorder);
    std::vector<std::shared_ptr<const StreamData>> frames;
    for (int i = 0; i < 2 * kBurst; ++i) {
        frames.push_back(
            trackingFrame(options.markers, static_cast<std::uint32_t>(i), 1'000'000u + 3333u * i));
    }
    std::uint64_t handed = 0;
    double seconds = 0.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < kBurst; ++i) {
            outputs.handOver(frames[static_cast<std::size_t>(i + (handed & 1) * kBurst)]);
        }
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        state.SetIterationTime(elapsed.count());
        seconds += elapsed.count();
        handed += kBurst;
        waitUntil([&] { return recorder->framesRecorded() + recorder->framesDropped() == handed; });
    }
    outputs.finish();
    recorder->finish({}, error);
    state.counters["ns_per_frame"] = 1e9 * seconds / static_cast<double>(handed);
    state.counters["dropped"] = static_cast<double>(recorder->framesDropped());
}
BENCHMARK(handOverWithoutImages)->UseManualTime()->Iterations(200)->Unit(benchmark::kMicrosecond);

// About 5 s of a 60 frames/s camera with two 1280 x 1024 images per frame: first argument 0 black images,
// 1 the simulated camera's background with its fixed-pattern noise; second argument 1 with a process
// that keeps a core busy meanwhile.
void imagesAt60Hz(benchmark::State& state) {
    constexpr int kWidth = 1280;
    constexpr int kHeight = 1024;
    constexpr int kFrames = 300;
    constexpr double kRateHz = 60.0;
    const bool noisy = state.range(0) != 0;
    const BusyProcess busy(state.range(1) != 0);
    const std::shared_ptr<ImageStreamData> left[2] = {cameraImage(kWidth, kHeight, noisy, 0, 0),
                                                      cameraImage(kWidth, kHeight, noisy, 0, 3)};
    const std::shared_ptr<ImageStreamData> right[2] = {cameraImage(kWidth, kHeight, noisy, 1, -40),
                                                       cameraImage(kWidth, kHeight, noisy, 1, -37)};
    const auto markers = threeMarkers();
    for (auto _ : state) {
        Scratch scratch;
        Record::Recorder::Options options;
        options.path = scratch.folder + "/run.seq.mhd";
        options.images = true;
        options.markers = markers;
        std::string error;
        std::shared_ptr<Record::Recorder> recorder = Record::Recorder::create(options, error);
        if (!recorder) {
            state.SkipWithError(error.c_str());
            return;
        }
        Output::OutputHub outputs;
        outputs.add(recorder);
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / kRateHz));
        const auto start = Clock::now();
        double handOverSeconds = 0.0;
        for (int i = 0; i < kFrames; ++i) {
            std::this_thread::sleep_until(start + i * period);
            auto tracking = trackingFrame(markers, static_cast<std::uint32_t>(i), 1'000'000u + 16'667u * i);
            tracking->components().add(
                std::make_unique<TrackingCameraImagesData>(left[i % 2]->image(), right[i % 2]->image()));
            const auto before = Clock::now();
            outputs.handOver(std::move(tracking));
            handOverSeconds += std::chrono::duration<double>(Clock::now() - before).count();
        }
        outputs.finish();
        if (!recorder->finish({}, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        struct stat data {};
        ::stat((scratch.folder + "/run.seq.zraw").c_str(), &data);
        // Per minute of the run: the frames dropped are not in it.
        const double runMinutes = kFrames / kRateHz / 60.0;
        state.counters["kept_share"] = static_cast<double>(recorder->framesRecorded()) / kFrames;
        state.counters["dropped"] = static_cast<double>(recorder->framesDropped());
        state.counters["MB_per_min"] = static_cast<double>(data.st_size) / 1e6 / runMinutes;
        state.counters["handover_ns"] = 1e9 * handOverSeconds / kFrames;
    }
}
BENCHMARK(imagesAt60Hz)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();

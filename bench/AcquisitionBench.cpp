// Cost of one acquisition pass on a full frame, with and without camera images, and the reference cost of
// copying the images the pass has to copy.
#include "stream/AtracsysTrackingStream.h"

#include "ftk/ftkSimulator.h"
#include "host/Log.h"

#include <benchmark/benchmark.h>
#include <QCoreApplication>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;

namespace {

constexpr int kMarkers = 16;
constexpr int kFiducials = 256;
constexpr std::uint16_t kWidth = 1280;
constexpr std::uint16_t kHeight = 1024;

class BenchStream : public AtracsysTrackingStream {
public:
    using AtracsysTrackingStream::addGeometryImpl;
    using AtracsysTrackingStream::doWork;
};

ftksim::ScriptedFrame fullFrame(bool images) {
    ftksim::ScriptedFrame frame;
    std::mt19937 random(7);
    std::uniform_real_distribution<float> coordinate(-300.0f, 300.0f);
    for (int i = 0; i < kFiducials; ++i) {
        ftkFiducial3D f{};
        f.leftIndex = static_cast<std::uint32_t>(i % 128);
        f.rightIndex = static_cast<std::uint32_t>(i % 128);
        f.position = {coordinate(random), coordinate(random), 1000.0f + coordinate(random)};
        f.epipolarError = 0.1f;
        f.triangulationError = 0.05f;
        f.probability = 1.0f;
        frame.fiducials.push_back(f);
    }
    for (int i = 0; i < 128; ++i) {
        ftkRawDetection r{};
        r.centerX = static_cast<float>(10 * i % kWidth);
        r.centerY = static_cast<float>(7 * i % kHeight);
        r.width = 6;
        r.height = 6;
        r.pixelCount = 28;
        frame.leftRaw.push_back(r);
        frame.rightRaw.push_back(r);
    }
    for (int m = 0; m < kMarkers; ++m) {
        ftkMarkerPose marker{};
        marker.geometryId = 1000 + static_cast<std::uint32_t>(m);
        for (int k = 0; k < FTK_MAX_GEOMETRY_FIDUCIALS; ++k) {
            marker.correspondences[k] = k < 4 ? static_cast<std::uint32_t>(4 * m + k) : FTK_NO_CORRESPONDENCE;
        }
        marker.rotation[0][0] = marker.rotation[1][1] = marker.rotation[2][2] = 1.0f;
        marker.translation[0] = static_cast<float>(m) * 10.0f;
        marker.translation[2] = 1000.0f;
        marker.registrationError = 0.2f;
        frame.markers.push_back(marker);
    }
    if (images) {
        frame.width = kWidth;
        frame.height = kHeight;
        frame.leftPixels.assign(std::size_t(kWidth) * kHeight, 17);
        frame.rightPixels.assign(std::size_t(kWidth) * kHeight, 23);
    }
    return frame;
}

void runPass(benchmark::State& state, bool images) {
    Log::setGlobalLevel(Log::Error);
    ftksim::Simulator& sim = ftksim::Simulator::instance();
    sim.reset();
    sim.setDevices({ftksim::makeDevice(0x1A2B, FTK_DEVICE_SPRYTRACK_300)});
    sim.setRepeatFrame(fullFrame(images));
    {
        BenchStream stream;
        stream.setFiducialQueryMode(AtracsysTrackingStreamBase::All);
        stream.setQueryImages(images);
        for (int m = 0; m < kMarkers; ++m) {
            ftkGeometry g{};
            g.geometryId = 1000 + static_cast<std::uint32_t>(m);
            g.pointsCount = 4;
            stream.addGeometryImpl(g, "marker " + std::to_string(m), "");
        }
        if (!stream.open()) {
            state.SkipWithError("the stream did not open");
            return;
        }
        std::size_t frames = 0;
        auto connection =
            stream.signalStreamData.connect([&](const std::shared_ptr<const StreamData>&) { ++frames; });
        for (auto _ : state) {
            benchmark::DoNotOptimize(stream.doWork());
        }
        if (frames != static_cast<std::size_t>(state.iterations())) {
            state.SkipWithError("a pass delivered no frame");
        }
        stream.close();
    }
    sim.reset();
}

void BM_PassWithoutImages(benchmark::State& state) {
    runPass(state, false);
}

void BM_PassWithImages(benchmark::State& state) {
    runPass(state, true);
}

/// What the pass with images cannot avoid: the driver fills its two buffers, the stream makes two
/// owning copies.
void BM_ReferenceFourImageCopies(benchmark::State& state) {
    const std::size_t size = std::size_t(kWidth) * kHeight;
    std::vector<std::uint8_t> source(size, 17);
    std::vector<std::uint8_t> driver[2] = {std::vector<std::uint8_t>(size), std::vector<std::uint8_t>(size)};
    for (auto _ : state) {
        for (auto& buffer : driver) {
            std::memcpy(buffer.data(), source.data(), size);
        }
        for (auto& buffer : driver) {
            std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
            std::memcpy(copy.get(), buffer.data(), size);
            benchmark::DoNotOptimize(copy.get());
        }
    }
}

}  // namespace

BENCHMARK(BM_PassWithoutImages)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PassWithImages)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ReferenceFourImageCopies)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

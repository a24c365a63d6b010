// What the navigation frames cost per frame: 16 instruments, one of them the reference, every other one
// with a calibrated tip, as an output would pay it with its poses kept from frame to frame.
#include "navigation/TransformChain.h"

#include <benchmark/benchmark.h>
#include <Eigen/Geometry>

#include <string>
#include <vector>

namespace {

using namespace Halvoren;

constexpr int kInstruments = 16;

std::vector<TrackingInstrument> instruments() {
    std::vector<TrackingInstrument> frame(kInstruments);
    for (int i = 0; i < kInstruments; ++i) {
        TrackingInstrument& instrument = frame[static_cast<std::size_t>(i)];
        instrument.id = TrackerID("atracsys-" + std::to_string(1000 + i), "", "marker" + std::to_string(i));
        instrument.pose.topLeftCorner<3, 3>() =
            Eigen::AngleAxisd(0.1 * i, Eigen::Vector3d(1, 2, 3).normalized()).toRotationMatrix();
        instrument.pose.topRightCorner<3, 1>() = Eigen::Vector3d(10.0 * i, -5.0 * i, 1000.0 + i);
        instrument.quality = 0.9;
    }
    return frame;
}

void chainPerFrame(benchmark::State& state) {
    const auto frame = instruments();
    Navigation::TransformChain chain;
    chain.setReference(std::string("marker7"));
    for (int i = 0; i < kInstruments; i += 2) {
        chain.setTip(frame[static_cast<std::size_t>(i)].id.ID, Eigen::Vector3d(0, 1, -120));
    }
    std::vector<Navigation::FramePose> poses;
    for (auto _ : state) {
        chain.compute(frame, 0.5, poses);
        benchmark::DoNotOptimize(poses.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(chainPerFrame)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();

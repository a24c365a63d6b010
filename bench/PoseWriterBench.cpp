// What the pose writer's lines cost per frame: 16 instruments, every other one a tool with a calibrated
// tip, formatted as JSON lines and as CSV, as the writer's thread pays it.
#include "halvoren/outputs/PoseWriter.h"
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
        instrument.pose.topRightCorner<3, 1>() = Eigen::Vector3d(10.3 * i, -5.7 * i, 1000.1 + i);
        instrument.quality = 0.93;
        instrument.timestamp = 1700000000123ULL + static_cast<std::uint64_t>(i);
    }
    return frame;
}

void linesPerFrame(benchmark::State& state, App::PoseFormat format) {
    const auto frame = instruments();
    Navigation::TransformChain chain;
    for (int i = 0; i < kInstruments; i += 2) {
        chain.setTip(frame[static_cast<std::size_t>(i)].id.ID, Eigen::Vector3d(0.5, 1.25, -120.75));
    }
    std::vector<Navigation::FramePose> poses;
    chain.compute(frame, 0.5, poses);
    const App::PoseWriter::LineContext context{false, false, 12345};
    std::string text;
    for (auto _ : state) {
        text.clear();
        for (std::size_t i = 0; i < frame.size(); ++i) {
            text += App::PoseWriter::formatLine(frame[i], poses[i], format, context);
            text += '\n';
        }
        benchmark::DoNotOptimize(text.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void jsonLinesPerFrame(benchmark::State& state) {
    linesPerFrame(state, App::PoseFormat::JsonLines);
}
BENCHMARK(jsonLinesPerFrame)->Unit(benchmark::kMicrosecond);

void csvLinesPerFrame(benchmark::State& state) {
    linesPerFrame(state, App::PoseFormat::Csv);
}
BENCHMARK(csvLinesPerFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// What the tracking health costs the stream's worker per frame: the accounting of one frame of three
// instruments, alone and behind the watchdog's lock as the application runs it.
#include "health/TrackingHealth.h"

#include "host/TrackingStream.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <vector>

namespace {

using namespace Halvoren;

std::vector<TrackingInstrument> threeInstruments() {
    std::vector<TrackingInstrument> instruments(3);
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        instruments[i].id = TrackerID("atracsys-" + std::to_string(1200 + 100 * i), "", "marker");
        instruments[i].quality = 0.9 + 0.03 * static_cast<double>(i);
    }
    return instruments;
}

std::uint64_t systemMicroseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

void accountingPerFrame(benchmark::State& state) {
    Health::FrameAccounting accounting(0.95);
    const auto instruments = threeInstruments();
    const std::uint64_t now = systemMicroseconds();
    std::uint32_t counter = 0;
    std::int64_t arrival = 0;
    for (auto _ : state) {
        ++counter;
        arrival += 16'667;
        // Every tenth frame missed, as a camera that drops some.
        accounting.addFrame(counter + counter / 10, now - 800, instruments, arrival, now);
    }
    benchmark::DoNotOptimize(accounting.figures().missed);
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(accountingPerFrame)->Unit(benchmark::kNanosecond);

// As the worker pays it: the data's type and frame component looked up, the clocks read, the lock taken
// and the watchdog told.
void healthPerFrame(benchmark::State& state) {
    Health::TrackingHealth::Options options;
    options.minQuality = 0.95;
    options.staleAfter = std::chrono::milliseconds(60'000);
    Health::TrackingHealth health(options);
    auto data = std::make_shared<TrackingStreamData>(nullptr, threeInstruments());
    auto info = std::make_unique<TrackingFrameInfoData>(0, systemMicroseconds());
    TrackingFrameInfoData* frame = info.get();
    data->components().add(std::move(info));
    for (auto _ : state) {
        ++frame->counter;
        health.addData(*data);
    }
    health.pause();
    state.counters["ns_per_frame"] = benchmark::Counter(
        static_cast<double>(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(healthPerFrame)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();

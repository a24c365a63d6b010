// Latency of the OpenIGTLink server: from handing a frame over (where the stream emits it) to a loopback
// client having read the frame's last message, with 1 and with 8 clients, at a camera's frame rate; and
// end to end, from the simulated camera's exposure through the tracking stream and the server to 8
// loopback clients.
#include "health/FrameAccounting.h"
#include "host/Log.h"
#include "host/TrackingStream.h"
#include "igtl/IgtlServer.h"
#include "igtl/IgtlStreamOutput.h"
#include "stream/AtracsysTrackingStream.h"

#include "ftk/ftkSimulator.h"

#include <benchmark/benchmark.h>
#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>
#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Halvoren::Igtl::IgtlServer;

constexpr int kFrames = 300;
constexpr double kFrameRateHz = 60.0;

Halvoren::Igtl::TrackingFrame frame(std::uint64_t sequence) {
    Halvoren::Igtl::TrackingFrame f;
    for (const char* name : {"pointer", "reference", "tool"}) {
        Halvoren::Igtl::ToolPose tool;
        tool.name = name;
        tool.seen = true;
        tool.timestampMs = sequence;  // the frame's number, to match receipt with publication
        tool.matrix = {1, 0, 0, 10, 0, 1, 0, 20, 0, 0, 1, 1000, 0, 0, 0, 1};
        f.tools.push_back(tool);
    }
    return f;
}

/// A server on a free loopback port, started; null (and the benchmark skipped) when it cannot listen.
std::unique_ptr<IgtlServer> loopbackServer(benchmark::State& state) {
    IgtlServer::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    auto server = std::make_unique<IgtlServer>(options);
    std::string error;
    if (!server->start(error)) {
        state.SkipWithError(error.c_str());
        return nullptr;
    }
    return server;
}

void latency(benchmark::State& state) {
    Halvoren::Log::setGlobalLevel(Halvoren::Log::Warning);
    const int clientCount = static_cast<int>(state.range(0));
    std::vector<double> samples;  // microseconds
    for (auto _ : state) {
        const auto started = loopbackServer(state);
        if (!started) {
            return;
        }
        IgtlServer& server = *started;
        std::vector<Clock::time_point> published(kFrames + 1);
        std::vector<std::atomic<bool>> publishedSet(kFrames + 1);
        std::mutex samplesMutex;
        std::atomic<int> ready{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < clientCount; ++c) {
            clients.emplace_back([&] {
                igtl::ClientSocket::Pointer socket = igtl::ClientSocket::New();
                if (socket->ConnectToServer("127.0.0.1", server.port()) != 0) {
                    return;
                }
                socket->SetReceiveTimeout(2000);
                ++ready;
                igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
                std::vector<double> mine;
                while (true) {
                    header->InitPack();
                    if (socket->Receive(header->GetPackPointer(), header->GetPackSize()) !=
                        header->GetPackSize()) {
                        break;
                    }
                    header->Unpack();
                    socket->Skip(static_cast<int>(header->GetBodySizeToRead()), 1);
                    if (std::string(header->GetDeviceType()) != "TDATA") {
                        continue;
                    }
                    const auto now = Clock::now();
                    igtl::TimeStamp::Pointer stamp = igtl::TimeStamp::New();
                    header->GetTimeStamp(stamp);
                    igtlUint32 s = 0;
                    igtlUint32 ns = 0;
                    stamp->GetTimeStamp(&s, &ns);
                    const auto sequence = static_cast<std::size_t>(s) * 1000 + (ns + 500000) / 1000000;
                    if (sequence >= 1 && sequence <= kFrames && publishedSet[sequence].load()) {
                        mine.push_back(
                            std::chrono::duration<double, std::micro>(now - published[sequence]).count());
                    }
                    if (sequence == kFrames) {
                        break;
                    }
                }
                std::lock_guard<std::mutex> lock(samplesMutex);
                samples.insert(samples.end(), mine.begin(), mine.end());
            });
        }
        while (ready.load() < clientCount ||
               server.connectedClients() < static_cast<std::size_t>(clientCount)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        auto next = Clock::now();
        for (std::uint64_t sequence = 1; sequence <= kFrames; ++sequence) {
            std::this_thread::sleep_until(next);
            next += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / kFrameRateHz));
            published[sequence] = Clock::now();
            publishedSet[sequence] = true;
            server.publish(frame(sequence));
        }
        for (auto& client : clients) {
            client.join();
        }
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples.empty()
                   ? 0.0
                   : samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    state.counters["frames_received"] = static_cast<double>(samples.size());
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = samples.empty() ? 0.0 : samples.back();
}

std::uint64_t systemNowUs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

std::string markerDirectory() {
    const char* dir = std::getenv("HALVOREN_DATA_DIR");
    return std::string(dir != nullptr ? dir : HALVOREN_SOURCE_DATA_DIR) + "/markers";
}

/// A client reading on loopback: the latency of every TDATA message it reads, from the exposure of the
/// frame it carries (looked up by its time stamp).
void readFrames(int port, std::atomic<int>& ready,
                const std::function<std::optional<std::uint64_t>(std::uint64_t)>& exposureOf,
                std::vector<double>& latencies) {
    igtl::ClientSocket::Pointer socket = igtl::ClientSocket::New();
    if (socket->ConnectToServer("127.0.0.1", port) != 0) {
        return;
    }
    socket->SetReceiveTimeout(5000);
    ++ready;
    igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
    igtl::TimeStamp::Pointer stamp = igtl::TimeStamp::New();
    while (true) {
        header->InitPack();
        if (socket->Receive(header->GetPackPointer(), header->GetPackSize()) != header->GetPackSize()) {
            return;  // the server stopped
        }
        header->Unpack();
        socket->Skip(static_cast<int>(header->GetBodySizeToRead()), 1);
        if (std::string(header->GetDeviceType()) != "TDATA") {
            continue;
        }
        const std::uint64_t nowUs = systemNowUs();
        header->GetTimeStamp(stamp);
        igtlUint32 s = 0;
        igtlUint32 ns = 0;
        stamp->GetTimeStamp(&s, &ns);
        const std::uint64_t ms = static_cast<std::uint64_t>(s) * 1000 + (ns + 500000) / 1000000;
        if (const auto exposureUs = exposureOf(ms)) {
            latencies.push_back(static_cast<double>(nowUs) - static_cast<double>(*exposureUs));
        }
    }
}

/// The plug-in's stream on the simulated camera (60 frames/s, the three example markers) feeding the
/// server through its stream output, 8 clients reading. Latency from the camera's exposure stamp when the
/// stream attaches one on the host's clock, else from the stream's emission (exposure_stamped says which).
void exposureToClients(benchmark::State& state) {
    constexpr int kClients = 8;
    constexpr auto kRun = std::chrono::seconds(10);
    // The first frame is the latest the camera made before the stream asked, up to a period old, and the
    // threads are still settling: the first half second is left out of the figures.
    constexpr std::uint64_t kWarmUpFrames = 30;
    Halvoren::Log::setGlobalLevel(Halvoren::Log::Warning);
    ::unsetenv("FTK_SIMULATOR_SETTINGS");  // the default camera: 60 frames/s
    ftksim::Simulator::instance().useCamera();
    std::vector<double> samples;  // microseconds
    std::uint64_t frames = 0;
    std::uint64_t stamped = 0;
    Halvoren::Health::LatencyStats socketLatency;
    for (auto _ : state) {
        const auto started = loopbackServer(state);
        if (!started) {
            return;
        }
        IgtlServer& server = *started;
        Halvoren::SpryTrack::AtracsysTrackingStream stream;
        if (!stream.open()) {
            state.SkipWithError("the simulated camera did not open");
            return;
        }
        for (const char* marker : {"pointer", "reference", "tool"}) {
            if (stream.addTrackingMarker(marker, markerDirectory() + "/" + marker + ".ini").empty()) {
                state.SkipWithError("a marker file did not load");
                return;
            }
        }
        // Connected before the output, so that a frame's exposure is known before the clients get it.
        std::mutex exposuresMutex;
        std::map<std::uint64_t, std::uint64_t> exposures;  // by the frame's newest instrument time stamp (ms)
        auto recorder =
            stream.signalStreamData.connect([&](const std::shared_ptr<const Halvoren::StreamData>& data) {
                const auto* tracking = dynamic_cast<const Halvoren::TrackingStreamData*>(data.get());
                if (tracking == nullptr) {
                    return;
                }
                std::uint64_t newest = 0;
                for (const Halvoren::TrackingInstrument& instrument : tracking->instruments()) {
                    if (instrument.quality > 0.0) {
                        newest = std::max(newest, instrument.timestamp);
                    }
                }
                const std::uint64_t nowUs = systemNowUs();
                const auto* info = tracking->components().get<Halvoren::TrackingFrameInfoData>();
                const bool onHost = info != nullptr && Halvoren::Health::onHostClock(info->exposureUs, nowUs);
                std::lock_guard<std::mutex> lock(exposuresMutex);
                ++frames;
                stamped += onHost ? 1 : 0;
                if (frames > kWarmUpFrames) {
                    exposures[newest] = onHost ? info->exposureUs : nowUs;
                }
            });
        Halvoren::Igtl::IgtlStreamOutput output(server, stream, {});
        const auto exposureOf = [&](std::uint64_t ms) -> std::optional<std::uint64_t> {
            std::lock_guard<std::mutex> lock(exposuresMutex);
            const auto found = exposures.find(ms);
            return found == exposures.end() ? std::nullopt : std::optional<std::uint64_t>(found->second);
        };
        std::atomic<int> ready{0};
        std::vector<std::vector<double>> latencies(kClients);
        std::vector<std::thread> clients;
        for (int c = 0; c < kClients; ++c) {
            clients.emplace_back([&, c] {
                readFrames(server.port(), ready, exposureOf, latencies[static_cast<std::size_t>(c)]);
            });
        }
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while ((ready.load() < kClients || server.connectedClients() < kClients) && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!stream.start()) {
            state.SkipWithError("the stream did not start");
        }
        const auto end = Clock::now() + kRun;
        while (Clock::now() < end) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        stream.stop();
        server.stop();  // the clients read to the end of their connections
        for (auto& client : clients) {
            client.join();
        }
        recorder->disconnect();
        stream.close();
        for (const auto& mine : latencies) {
            samples.insert(samples.end(), mine.begin(), mine.end());
        }
        socketLatency.merge(server.clientLatency());
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples.empty()
                   ? 0.0
                   : samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["exposure_stamped"] = static_cast<double>(stamped);
    state.counters["received"] = static_cast<double>(samples.size());
    state.counters["p50_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = samples.empty() ? 0.0 : samples.back();
    // The server's own view: until the frame's messages were handed to each client's socket.
    state.counters["socket_p99_us"] = socketLatency.percentileUs(0.99);
}

}  // namespace

BENCHMARK(latency)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(exposureToClients)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // the stream hands some work to the main thread
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

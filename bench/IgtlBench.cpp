// Latency of the OpenIGTLink server: from handing a frame over (where the stream emits it, to the server's
// stream output) to a loopback client having read the frame's last message, with 1 and with 8 clients, at
// a camera's frame rate; and end to end, from the simulated camera's exposure through the tracking stream
// and the server to 8 loopback clients.
#include "MessageReader.h"
#include "health/FrameAccounting.h"
#include "host/Log.h"
#include "host/TrackingStream.h"
#include "igtl/IgtlServer.h"
#include "igtl/IgtlStreamOutput.h"
#include "output/OutputHub.h"
#include "stream/AtracsysTrackingStream.h"

#include "ftk/ftkSimulator.h"

#include <benchmark/benchmark.h>
#include <igtlMessageHeader.h>
#include <sys/resource.h>
#include <unistd.h>
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

/// A frame of tracking data as a stream emits it, three instruments in view.
std::shared_ptr<const Halvoren::TrackingStreamData> frame(std::uint64_t sequence) {
    std::vector<Halvoren::TrackingInstrument> instruments;
    for (const char* name : {"pointer", "reference", "tool"}) {
        Halvoren::TrackingInstrument instrument;
        instrument.id = Halvoren::TrackerID(std::string("atracsys-") + name, "", name);
        instrument.quality = 1.0;
        instrument.timestamp = sequence;  // the frame's number, to match receipt with the hand-over
        instrument.pose(0, 3) = 10.0;
        instrument.pose(1, 3) = 20.0;
        instrument.pose(2, 3) = 1000.0;
        instruments.push_back(instrument);
    }
    return std::make_shared<const Halvoren::TrackingStreamData>(nullptr, std::move(instruments));
}

/// A server on a free loopback port, started; null (and the benchmark skipped) when it cannot listen.
std::unique_ptr<IgtlServer> loopbackServer(benchmark::State& state, double imageRateHz = 0.0,
                                           bool poses = true) {
    IgtlServer::Options options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.imageRateHz = imageRateHz;
    options.poses = poses;
    auto server = std::make_unique<IgtlServer>(options);
    if (const auto started = server->start(); !started) {
        state.SkipWithError(started.error().message.c_str());
        return nullptr;
    }
    return server;
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

/// The latency of a TDATA message read just now, from the time stamp (ms) it carries; none when unknown.
using LatencyOf = std::function<std::optional<double>(std::uint64_t)>;

/// IMAGE messages the clients of a run read.
std::atomic<std::uint64_t> imagesRead{0};

/// A client reading on loopback until the server closes the connection (or sends nothing for 5 s): the
/// latency of every TDATA message it reads.
void readFrames(int port, std::atomic<int>& ready, const LatencyOf& latencyOf,
                std::vector<double>& latencies) {
    std::string error;
    Halvoren::Igtl::MessageReader reader(Halvoren::Igtl::MessageReader::connectTo("127.0.0.1", port, error));
    if (!reader.connected()) {
        return;
    }
    ++ready;
    igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
    igtl::TimeStamp::Pointer stamp = igtl::TimeStamp::New();
    std::string body;
    while (reader.receive(*header, body, std::chrono::seconds(5)) ==
           Halvoren::Igtl::MessageReader::Outcome::Message) {
        const std::string type = header->GetDeviceType();
        if (type == "IMAGE") {
            ++imagesRead;
        }
        if (type != "TDATA") {
            continue;
        }
        header->GetTimeStamp(stamp);
        igtlUint32 s = 0;
        igtlUint32 ns = 0;
        stamp->GetTimeStamp(&s, &ns);
        if (const auto latency = latencyOf(static_cast<std::uint64_t>(s) * 1000 + (ns + 500000) / 1000000)) {
            latencies.push_back(*latency);
        }
    }
}

/// `count` clients reading from the server, connected once this returns (or after ten seconds); their
/// threads run `niceness` lower than the others.
std::vector<std::thread> startClients(IgtlServer& server, int count, const LatencyOf& latencyOf,
                                      std::vector<std::vector<double>>& latencies, int niceness = 0) {
    static std::atomic<int> ready;  // static: the client threads outlive this call
    ready = 0;
    latencies.assign(static_cast<std::size_t>(count), {});
    std::vector<std::thread> clients;
    for (int c = 0; c < count; ++c) {
        clients.emplace_back(
            [&mine = latencies[static_cast<std::size_t>(c)], latencyOf, port = server.port(), niceness] {
                ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), niceness);
                readFrames(port, ready, latencyOf, mine);
            });
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((ready.load() < count || server.connectedClients() < static_cast<std::size_t>(count)) &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return clients;
}

/// Stops the server (the clients read to the end of their connections) and gathers what they measured.
void stopClients(IgtlServer& server, std::vector<std::thread>& clients,
                 const std::vector<std::vector<double>>& latencies, std::vector<double>& samples) {
    server.stop();
    for (auto& client : clients) {
        client.join();
    }
    for (const auto& mine : latencies) {
        samples.insert(samples.end(), mine.begin(), mine.end());
    }
}

/// The median, the 99th percentile and the maximum of the samples (microseconds), as counters.
void countPercentiles(benchmark::State& state, std::vector<double>& samples, const char* median,
                      const char* p99) {
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples.empty()
                   ? 0.0
                   : samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
    };
    state.counters[median] = at(0.5);
    state.counters[p99] = at(0.99);
    state.counters["max_us"] = samples.empty() ? 0.0 : samples.back();
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
        const LatencyOf latencyOf = [&](std::uint64_t sequence) -> std::optional<double> {
            const auto now = Clock::now();
            if (sequence < 1 || sequence > kFrames || !publishedSet[sequence].load()) {
                return std::nullopt;
            }
            return std::chrono::duration<double, std::micro>(now - published[sequence]).count();
        };
        // The run's one hand-over, as a stream's frames take it: the server's thread drains the output.
        Halvoren::Output::OutputHub outputs;
        outputs.add(std::make_shared<Halvoren::Igtl::IgtlStreamOutput>(server));
        std::vector<std::vector<double>> latencies;
        auto clients = startClients(server, clientCount, latencyOf, latencies);
        auto next = Clock::now();
        for (std::uint64_t sequence = 1; sequence <= kFrames; ++sequence) {
            std::this_thread::sleep_until(next);
            next += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / kFrameRateHz));
            published[sequence] = Clock::now();
            publishedSet[sequence] = true;
            outputs.handOver(frame(sequence));
        }
        outputs.finish();  // the last frames reach the clients
        stopClients(server, clients, latencies, samples);
    }
    state.counters["frames_received"] = static_cast<double>(samples.size());
    countPercentiles(state, samples, "median_us", "p99_us");
}

/// The exposure of every frame the stream emits, by its newest instrument time stamp (ms): the camera's
/// stamp when it is on the host's clock, else the emission. Connected before the output, so that a frame's
/// exposure is known before the clients get it.
struct Exposures {
    // The first frame is the latest the camera made before the stream asked, up to a period old, and the
    // threads are still settling: the first half second is left out of the figures.
    static constexpr std::uint64_t kWarmUpFrames = 30;

    void add(const Halvoren::TrackingStreamData& tracking) {
        std::uint64_t newest = 0;
        for (const Halvoren::TrackingInstrument& instrument : tracking.instruments()) {
            if (instrument.quality > 0.0) {
                newest = std::max(newest, instrument.timestamp);
            }
        }
        const std::uint64_t nowUs = systemNowUs();
        const auto* info = tracking.components().get<Halvoren::TrackingFrameInfoData>();
        const bool onHost = info != nullptr && Halvoren::Health::onHostClock(info->exposureUs, nowUs);
        std::lock_guard<std::mutex> lock(mutex);
        ++frames;
        stamped += onHost ? 1 : 0;
        if (frames > kWarmUpFrames) {
            byStamp[newest] = {onHost ? info->exposureUs : nowUs, nowUs};
            if (onHost) {
                emitted.add(static_cast<std::int64_t>(nowUs) - static_cast<std::int64_t>(info->exposureUs));
            }
        }
    }
    std::optional<double> latencyOf(std::uint64_t ms) {
        const std::uint64_t nowUs = systemNowUs();
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = byStamp.find(ms);
        if (found == byStamp.end()) {
            return std::nullopt;
        }
        handedOn.add(static_cast<std::int64_t>(nowUs) - static_cast<std::int64_t>(found->second.second));
        return static_cast<double>(nowUs) - static_cast<double>(found->second.first);
    }

    std::mutex mutex;                                                          // guards the five below
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>> byStamp;  // exposure, emission (us)
    // Exposure to the stream's emission: the camera's and the worker's share.
    Halvoren::Health::LatencyStats emitted;
    // Emission to a client's read: the output's, the server's and the socket's share.
    Halvoren::Health::LatencyStats handedOn;
    std::uint64_t frames = 0;
    std::uint64_t stamped = 0;
};

/// The plug-in's stream on the simulated camera, opened with the three example markers; false (and the
/// benchmark skipped) otherwise.
bool openStream(Halvoren::SpryTrack::AtracsysTrackingStream& stream, benchmark::State& state) {
    if (!stream.open()) {
        state.SkipWithError("the simulated camera did not open");
        return false;
    }
    for (const char* marker : {"pointer", "reference", "tool"}) {
        if (stream.addTrackingMarker(marker, markerDirectory() + "/" + marker + ".ini").empty()) {
            state.SkipWithError("a marker file did not load");
            return false;
        }
    }
    return true;
}

/// The figures of an end-to-end run: latencies in microseconds, from the clients' reads and the server's
/// own view, and the shares of the camera and of the output.
void countExposures(benchmark::State& state, Exposures& exposures,
                    const Halvoren::Health::LatencyStats& socketLatency, std::vector<double>& samples) {
    state.counters["frames"] = static_cast<double>(exposures.frames);
    state.counters["exposure_stamped"] = static_cast<double>(exposures.stamped);
    state.counters["received"] = static_cast<double>(samples.size());
    countPercentiles(state, samples, "p50_us", "p99_us");
    // The server's own view: until the frame's messages were handed to each client's socket.
    state.counters["socket_p99_us"] = socketLatency.percentileUs(0.99);
    // The camera's and the worker's share: until the stream emitted the frame.
    state.counters["emitted_p99_us"] = exposures.emitted.percentileUs(0.99);
    // The output's share: from the emission to a client's read.
    state.counters["handed_on_p50_us"] = exposures.handedOn.percentileUs(0.5);
    state.counters["handed_on_p99_us"] = exposures.handedOn.percentileUs(0.99);
}

/// Runs the stream for the benchmark's time, the clients reading, and stops everything in order.
void runStream(Halvoren::SpryTrack::AtracsysTrackingStream& stream, Halvoren::Output::OutputHub& outputs,
               benchmark::State& state) {
    constexpr auto kRun = std::chrono::seconds(10);
    if (!stream.start()) {
        state.SkipWithError("the stream did not start");
    }
    const auto end = Clock::now() + kRun;
    while (Clock::now() < end) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stream.stop();
    outputs.finish();
}

/// The plug-in's stream on the simulated camera (60 frames/s, the three example markers) feeding the
/// server through its stream output (the run's one hand-over, drained by the server's thread), 8 clients
/// reading. Latency from the camera's exposure stamp when the stream attaches one on the host's clock,
/// else from the stream's emission (exposure_stamped says which). With argument 1 the stream also queries
/// its two 1280 x 1024 camera images, served at 5 a second each by a second server (a port of its own, as
/// with --igtl-image-port) to 8 more clients, one beside each client of the poses: the poses must not wait
/// for them. With argument 2 the images go on the poses' connections, as without --igtl-image-port.
void exposureToClients(benchmark::State& state) {
    constexpr int kClients = 8;
    Halvoren::Log::setGlobalLevel(Halvoren::Log::Warning);
    ::unsetenv("FTK_SIMULATOR_SETTINGS");  // the default camera: 60 frames/s
    ftksim::Simulator::instance().useCamera();
    std::vector<double> samples;  // microseconds
    Exposures exposures;
    Halvoren::Health::LatencyStats socketLatency;
    const auto mode = state.range(0);
    imagesRead = 0;
    for (auto _ : state) {
        const auto started = loopbackServer(state, mode == 2 ? 5.0 : 0.0);
        const auto imageServer = mode == 1 ? loopbackServer(state, 5.0, false) : nullptr;
        Halvoren::SpryTrack::AtracsysTrackingStream stream;
        stream.setQueryImages(mode != 0);
        if (!started || (mode == 1 && !imageServer) || !openStream(stream, state)) {
            return;
        }
        IgtlServer& server = *started;
        auto recorder =
            stream.signalStreamData.connect([&](const std::shared_ptr<const Halvoren::StreamData>& data) {
                if (const auto* tracking = dynamic_cast<const Halvoren::TrackingStreamData*>(data.get())) {
                    exposures.add(*tracking);
                }
            });
        Halvoren::Output::OutputHub outputs;
        Halvoren::Igtl::IgtlStreamOutput::Options options;
        options.imageServer = imageServer.get();
        outputs.add(std::make_shared<Halvoren::Igtl::IgtlStreamOutput>(server, options));
        outputs.listen(stream);
        std::vector<std::vector<double>> latencies;
        auto clients = startClients(
            server, kClients, [&](std::uint64_t ms) { return exposures.latencyOf(ms); }, latencies);
        std::vector<std::vector<double>> imageLatencies;
        std::vector<std::thread> imageClients;
        if (imageServer) {
            // The viewers of the images, on another computer in use, share the two cores here: they yield
            // to the camera as the image server does.
            imageClients = startClients(
                *imageServer, kClients, [](std::uint64_t) { return std::optional<double>(); }, imageLatencies,
                10);
        }
        runStream(stream, outputs, state);
        stopClients(server, clients, latencies, samples);
        if (imageServer) {
            std::vector<double> none;
            stopClients(*imageServer, imageClients, imageLatencies, none);
        }
        recorder->disconnect();
        stream.close();
        socketLatency.merge(server.clientLatency());
    }
    countExposures(state, exposures, socketLatency, samples);
    // Camera images a client read a second, of both devices (5 a second each is the rate set).
    state.counters["images_per_client_s"] = static_cast<double>(imagesRead.load()) / kClients / 10.0;
}
}  // namespace

BENCHMARK(latency)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(exposureToClients)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);  // the stream hands some work to the main thread
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

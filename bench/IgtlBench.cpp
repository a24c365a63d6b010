// Latency of the OpenIGTLink server: from handing a frame over (where the stream emits it) to a loopback
// client having read the frame's last message, with 1 and with 8 clients, at a camera's frame rate.
#include "host/Log.h"
#include "igtl/IgtlServer.h"

#include <benchmark/benchmark.h>
#include <igtlClientSocket.h>
#include <igtlMessageHeader.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
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

void latency(benchmark::State& state) {
    Halvoren::Log::setGlobalLevel(Halvoren::Log::Warning);
    const int clientCount = static_cast<int>(state.range(0));
    std::vector<double> samples;  // microseconds
    for (auto _ : state) {
        IgtlServer::Options options;
        options.host = "127.0.0.1";
        options.port = 0;
        IgtlServer server(options);
        std::string error;
        if (!server.start(error)) {
            state.SkipWithError(error.c_str());
            return;
        }
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

}  // namespace

BENCHMARK(latency)->Arg(1)->Arg(8)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();

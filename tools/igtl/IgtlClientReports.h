#pragma once
// What the server tells about its clients for the run's summary: one report per connected client and per
// client that left lately; those that left before are summed up, so that memory stays flat however many
// come and go. Written on the server's thread, read from any.

#include "health/LatencyStats.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace Halvoren::Igtl {

/// What happened to one client, for the summary.
struct ClientReport {
    std::string peer;                 // address:port
    std::uint64_t framesSent = 0;     // acknowledged by the client's side of the connection
    std::uint64_t framesDropped = 0;  // replaced by a newer frame before they were sent
    std::uint64_t imagesSent = 0;
    // Exposure to the frame's messages handed whole to the socket, for the frames whose exposure time was
    // known.
    Health::LatencyStats latency;
    bool connected = false;
    std::string closeReason;  // "refused: ..." for one over the most clients
};

/// The departed clients no longer listed one by one, summed up.
struct EarlierClients {
    std::uint64_t count = 0;
    std::uint64_t framesSent = 0;
    std::uint64_t framesDropped = 0;
    std::uint64_t imagesSent = 0;
    std::map<std::string, std::uint64_t> reasons;  // clients by close reason (a few; the rest "other")
};

class ClientReports {
public:
    /// Departed clients beyond the last `departedListed` are only summed up.
    explicit ClientReports(std::size_t departedListed) : m_departedListed(departedListed) {}

    // Server thread.
    void connected(std::uint64_t id, const std::string& peer);
    /// A client that was told why it cannot be served and closed at once.
    void refused(std::uint64_t id, const std::string& peer, const std::string& reason);
    void closed(std::uint64_t id, const std::string& reason);
    void sent(std::uint64_t id, std::uint64_t frames, std::uint64_t images);
    void dropped(std::uint64_t id);
    void latency(std::uint64_t id, std::int64_t microseconds);

    // Any thread.
    std::vector<ClientReport> list() const;
    EarlierClients earlier() const;
    std::size_t connectedCount() const;
    /// The entries of every per-client record held, counting one connection state per connected client.
    std::size_t recordsHeld() const;
    /// Of every client of the run.
    Health::LatencyStats runLatency() const;

private:
    // The caller holds m_mutex.
    void depart(std::uint64_t id);

    const std::size_t m_departedListed;
    mutable std::mutex m_mutex;                       // guards the five below; never held during I/O
    std::map<std::uint64_t, ClientReport> m_reports;  // connected and last departed clients, by id
    std::deque<std::uint64_t> m_departed;             // the departed ones of them, oldest first
    EarlierClients m_earlier;
    std::size_t m_connected = 0;
    Health::LatencyStats m_latency;
};

}  // namespace Halvoren::Igtl

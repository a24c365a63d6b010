#include "igtl/IgtlClientReports.h"

namespace Halvoren::Igtl {

namespace {

// Distinct close reasons summed up for the departed clients; further ones count as "other".
constexpr std::size_t kMaxReasons = 8;

}  // namespace

void ClientReports::connected(std::uint64_t id, const std::string& peer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClientReport& entry = m_reports[id];
    entry.peer = peer;
    entry.connected = true;
    ++m_connected;
}

void ClientReports::refused(std::uint64_t id, const std::string& peer, const std::string& reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClientReport& entry = m_reports[id];
    entry.peer = peer;
    entry.closeReason = reason;
    depart(id);
}

void ClientReports::closed(std::uint64_t id, const std::string& reason) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClientReport& entry = m_reports[id];
    entry.connected = false;
    entry.closeReason = reason;
    --m_connected;
    depart(id);
}

void ClientReports::sent(std::uint64_t id, std::uint64_t frames, std::uint64_t images) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ClientReport& entry = m_reports[id];
    entry.framesSent += frames;
    entry.imagesSent += images;
}

void ClientReports::dropped(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_reports[id].framesDropped;
}

void ClientReports::latency(std::uint64_t id, std::int64_t microseconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports[id].latency.add(microseconds);
    m_latency.add(microseconds);
}

void ClientReports::depart(std::uint64_t id) {
    m_departed.push_back(id);
    while (m_departed.size() > m_departedListed) {
        const auto old = m_reports.find(m_departed.front());
        m_departed.pop_front();
        if (old == m_reports.end()) {
            continue;
        }
        const ClientReport& r = old->second;
        ++m_earlier.count;
        m_earlier.framesSent += r.framesSent;
        m_earlier.framesDropped += r.framesDropped;
        m_earlier.imagesSent += r.imagesSent;
        const bool known = m_earlier.reasons.count(r.closeReason) != 0;
        ++m_earlier.reasons[known || m_earlier.reasons.size() < kMaxReasons ? r.closeReason : "other"];
        m_reports.erase(old);
    }
}

std::vector<ClientReport> ClientReports::list() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<ClientReport> listed;
    listed.reserve(m_reports.size());
    for (const auto& [id, report] : m_reports) {
        listed.push_back(report);
    }
    return listed;
}

EarlierClients ClientReports::earlier() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_earlier;
}

std::size_t ClientReports::connectedCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

std::size_t ClientReports::recordsHeld() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // One connection state per connected client, counted alike.
    return m_connected + m_reports.size() + m_departed.size() + m_earlier.reasons.size();
}

Health::LatencyStats ClientReports::runLatency() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_latency;
}

}  // namespace Halvoren::Igtl

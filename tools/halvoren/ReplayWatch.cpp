#include "halvoren/ReplayWatch.h"

#include "host/Log.h"

#include <ostream>

namespace Halvoren::App {

ReplayWatch::ReplayWatch(std::size_t frameCount, std::function<std::uint64_t()> arrived)
    : m_frameCount(frameCount), m_arrived(std::move(arrived)) {
    // Called on the logging thread (the stream's worker) under the log's lock: only keeps the text.
    m_sink = Log::addSink([this](const Log::Record& record) {
        const std::string prefix = kStopPrefix;
        if (record.level < Log::Error || record.text.compare(0, prefix.size(), prefix) != 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_reason.empty()) {
            m_reason = record.text.substr(prefix.size());
        }
    });
}

ReplayWatch::~ReplayWatch() {
    Log::removeSink(m_sink);
}

std::string ReplayWatch::stopReason() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reason;
}

void ReplayWatch::writeStop(std::ostream& err) const {
    const std::string reason = stopReason();
    if (!reason.empty()) {
        err << "halvoren: the replay stopped: " << reason << ", after " << m_arrived() << " of "
            << m_frameCount << " frames\n";
    }
}

}  // namespace Halvoren::App

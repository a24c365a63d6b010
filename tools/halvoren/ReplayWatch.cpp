#include "halvoren/ReplayWatch.h"

#include "host/Log.h"
#include "text/Text.h"

#include <ostream>

namespace Halvoren::App {

ReplayWatch::ReplayWatch(std::size_t frameCount, std::function<std::uint64_t()> arrived)
    : m_frameCount(frameCount), m_arrived(std::move(arrived)) {
    // Called on the logging thread (the stream's worker) under the log's lock: only keeps the text.
    m_sink = Log::addSink(
        [this](const Log::Record& record) {
            const std::string detected = kDetectedPrefix;
            if (record.text.compare(0, detected.size(), detected) == 0) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_detected = record.text.substr(detected.size());
                return;
            }
            const std::string prefix = kStopPrefix;
            if (record.level < Log::Error || record.text.compare(0, prefix.size(), prefix) != 0) {
                return;
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_reason.empty()) {
                m_reason = record.text.substr(prefix.size());
            }
        },
        Log::Info);  // the driver's "Detected ..." is information: --quiet must not hide it from the watch
}

ReplayWatch::~ReplayWatch() {
    Log::removeSink(m_sink);
}

bool ReplayWatch::replaysOn(std::uint64_t serialNumber, std::string& found) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    found = m_detected;
    const std::size_t at = m_detected.rfind(", SN 0x");
    std::uint64_t detected = 0;
    return at != std::string::npos && Text::parseHexadecimal(m_detected.substr(at + 7), detected) &&
           detected == serialNumber;
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

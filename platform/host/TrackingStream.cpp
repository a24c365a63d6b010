#include "TrackingStream.h"

#include "Utilities.h"

#include <algorithm>
#include <stdexcept>

namespace Halvoren {

TrackingStream::TrackingStream(std::string name) : Stream(std::move(name)) {}

TrackingStream::~TrackingStream() = default;

// Control thread.
void TrackingStream::setInstrumentsRegistry(std::unique_ptr<ThreadSafeInstrumentsBase> registry) {
    m_registry = std::move(registry);
}

ThreadSafeInstrumentsBase& TrackingStream::instrumentsRegistry() const {
    if (!m_registry) {
        throw std::logic_error("TrackingStream '" + name() + "' has no instrument registry");
    }
    return *m_registry;
}

std::vector<TrackingInstrument> TrackingStream::instruments() const {
    return m_registry ? m_registry->instruments() : std::vector<TrackingInstrument>();
}

std::shared_ptr<TrackingStreamData> TrackingStream::createTrackingStreamData() const {
    std::vector<TrackingInstrument> copies = instruments();
    const std::uint64_t now = DateTime::currentMillisecondsSinceEpochUtc();
    std::uint64_t device = now;
    if (!copies.empty()) {
        device = std::max_element(copies.begin(), copies.end(), [](const auto& a, const auto& b) {
                     return a.timestamp < b.timestamp;
                 })->timestamp;
    }
    auto data = std::make_shared<TrackingStreamData>(this, std::move(copies));
    data->setTimestampDevice(device);
    data->setTimestampArrival(now);
    return data;
}

void TrackingStream::emitSignals(InstrumentModifications flags) {
    if (!flags.isEmpty()) {
        signalInstrumentsChanged.emitSignal(flags);
    }
}

}  // namespace Halvoren

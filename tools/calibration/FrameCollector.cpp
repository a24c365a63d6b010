#include "calibration/FrameCollector.h"

#include "host/Signal.h"
#include "host/TrackingStream.h"

namespace Halvoren::Calibration {

FrameCollector::FrameCollector(Stream& stream, std::string instrumentId) {
    m_connection = stream.signalStreamData.connect(
        [this, id = std::move(instrumentId)](const std::shared_ptr<const StreamData>& data) {
            // Worker thread.
            const auto* tracking = dynamic_cast<const TrackingStreamData*>(data.get());
            if (tracking == nullptr) {
                return;
            }
            Frame frame;
            for (const TrackingInstrument& instrument : tracking->instruments()) {
                if (!id.empty() && instrument.id.ID == id) {
                    frame.quality = instrument.quality;
                    if (instrument.quality > 0.0) {
                        frame.pose = instrument.pose;
                    }
                }
            }
            if (const auto* fiducials = tracking->components().get<TrackingInstrumentFiducialsData>()) {
                for (std::size_t i = 0; i < fiducials->size(); ++i) {
                    frame.fiducials.push_back(fiducials->positions[i]);
                    if (fiducials->instrumentIndices[i] < 0) {
                        frame.looseFiducials.push_back(fiducials->positions[i]);
                    }
                }
            }
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_frames.push_back(std::move(frame));
            }
            m_arrived.notify_all();
        });
}

FrameCollector::~FrameCollector() {
    m_connection->disconnect();
}

bool FrameCollector::waitFor(std::size_t count, std::chrono::milliseconds timeout,
                             const std::function<void(std::size_t)>& progress,
                             const std::function<bool()>& keepWaiting) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_frames.size() < count) {
        if (std::chrono::steady_clock::now() >= end || (keepWaiting && !keepWaiting())) {
            return false;
        }
        m_arrived.wait_for(lock, std::chrono::milliseconds(250));
        if (progress) {
            const std::size_t so = m_frames.size();
            lock.unlock();
            progress(so);
            lock.lock();
        }
    }
    return true;
}

std::vector<FrameCollector::Frame> FrameCollector::take() {
    std::vector<Frame> frames;
    std::lock_guard<std::mutex> lock(m_mutex);
    frames.swap(m_frames);
    return frames;
}

}  // namespace Halvoren::Calibration

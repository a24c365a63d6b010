#include "calibration/FrameCollector.h"

#include "host/TrackingStream.h"

namespace Halvoren::Calibration {

namespace {
// Frames wait at most a quarter of a second before the waiting thread takes them.
constexpr std::size_t kQueueFrames = 1024;
}  // namespace

FrameCollector::FrameCollector(std::string instrumentId)
    : FrameOutput("calibration", {Output::DropPolicy::EveryFrame, kQueueFrames}, Consumer::Owner),
      m_instrumentId(std::move(instrumentId)) {}

void FrameCollector::take(const Output::FrameItem& item) {
    if (item.kind != Output::FrameItem::Kind::Frame) {
        return;
    }
    const TrackingStreamData& tracking = *item.tracking;
    Frame frame;
    for (const TrackingInstrument& instrument : tracking.instruments()) {
        if (!m_instrumentId.empty() && instrument.id.ID == m_instrumentId) {
            frame.quality = instrument.quality;
            if (instrument.quality > 0.0) {
                frame.pose = instrument.pose;
            }
        }
    }
    if (const auto* fiducials = tracking.components().get<TrackingInstrumentFiducialsData>()) {
        for (std::size_t i = 0; i < fiducials->size(); ++i) {
            frame.fiducials.push_back(fiducials->positions[i]);
            if (fiducials->instrumentIndices[i] < 0) {
                frame.looseFiducials.push_back(fiducials->positions[i]);
            }
        }
    }
    m_frames.push_back(std::move(frame));
}

bool FrameCollector::waitFor(std::size_t count, std::chrono::milliseconds timeout,
                             const std::function<void(std::size_t)>& progress,
                             const std::function<bool()>& keepWaiting) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    auto nextProgress = std::chrono::steady_clock::now();
    while (m_frames.size() < count) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end || (keepWaiting && !keepWaiting())) {
            drain();  // what came before the stream stopped
            return m_frames.size() >= count;
        }
        Output::FrameItem item;
        if (queue().popFor(item, std::chrono::milliseconds(250))) {
            take(item);
            drain();
        }
        if (progress && std::chrono::steady_clock::now() >= nextProgress) {
            nextProgress = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
            progress(m_frames.size());
        }
    }
    return true;
}

std::vector<FrameCollector::Frame> FrameCollector::takeFrames() {
    drain();
    std::vector<Frame> frames;
    frames.swap(m_frames);
    return frames;
}

}  // namespace Halvoren::Calibration

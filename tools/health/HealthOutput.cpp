#include "health/HealthOutput.h"

#include "host/TrackingStream.h"

namespace Halvoren::Health {

namespace {
// A counter costs little per frame: a deep queue rides out a descheduled thread without losing a frame.
constexpr std::size_t kQueueFrames = 1024;
}  // namespace

HealthOutput::HealthOutput(TrackingHealth& health)
    : FrameOutput("health", {Output::DropPolicy::EveryFrame, kQueueFrames}), m_health(health) {}

void HealthOutput::take(const Output::FrameItem& item) {
    if (item.kind != Output::FrameItem::Kind::Frame) {
        return;
    }
    const auto arrivedUs = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(item.handedOverSystem.time_since_epoch())
            .count());
    m_health.addData(*item.tracking, item.handedOver, arrivedUs);
}

void HealthOutput::end() {
    m_health.finish();
}

}  // namespace Halvoren::Health

#include "halvoren/outputs/TipSampler.h"

#include "host/TrackingStream.h"

namespace Halvoren::App {

namespace {
// Frames wait at most a few seconds before the waiting thread takes them.
constexpr std::size_t kQueueFrames = 1024;
}  // namespace

TipSampler::TipSampler(Navigation::NavigationFrame navigation, std::string pointerId, double minQuality,
                       std::function<void()> wake)
    : FrameOutput("touch", {Output::DropPolicy::EveryFrame, kQueueFrames}, Consumer::Owner),
      m_navigation(std::move(navigation)),
      m_pointerId(std::move(pointerId)),
      m_minQuality(minQuality),
      m_waker(kQueueFrames, std::move(wake)) {}

void TipSampler::take(const Output::FrameItem& item) {
    m_waker.drained();
    if (item.kind != Output::FrameItem::Kind::Frame) {
        return;
    }
    const std::vector<TrackingInstrument>& instruments = item.tracking->instruments();
    m_navigation.chain.compute(instruments, m_minQuality, m_poses);
    Sample sample;
    sample.seconds = std::chrono::duration<double>(item.handedOver.time_since_epoch()).count();
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        if (instruments[i].id.ID == m_pointerId && m_poses[i].valid() && m_poses[i].hasTip) {
            sample.tip = m_poses[i].tipPosition();
        }
    }
    m_taken = sample;
}

std::optional<TipSampler::Sample> TipSampler::next(std::chrono::milliseconds timeout) {
    Output::FrameItem item;
    m_taken.reset();
    while (!m_taken && queue().popFor(item, timeout)) {
        take(item);
    }
    return m_taken;
}

}  // namespace Halvoren::App

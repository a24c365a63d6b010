#include "halvoren/outputs/QueueWaker.h"

#include <algorithm>

namespace Halvoren::App {

namespace {

// An item this long after the one before starts something new (a frame after a pause, a note of
// staleness): its owner should hear of it at once. The shortest stale bound.
constexpr std::chrono::milliseconds kPause{50};
// Otherwise the drainer is woken this often at most, as often as it shows progress.
constexpr std::chrono::milliseconds kEvery{250};

}  // namespace

QueueWaker::QueueWaker(std::size_t capacity, std::function<void()> wake)
    : m_halfCapacity(std::max<std::size_t>(1, capacity / 2)), m_wake(std::move(wake)) {}

void QueueWaker::queued() {
    const auto now = std::chrono::steady_clock::now();
    const bool afterPause = now - m_lastQueued >= kPause;
    m_lastQueued = now;
    const std::size_t pending = m_pending.fetch_add(1, std::memory_order_relaxed) + 1;
    if (m_wake && (afterPause || pending >= m_halfCapacity || now - m_lastWake >= kEvery)) {
        m_lastWake = now;
        m_wake();
    }
}

}  // namespace Halvoren::App

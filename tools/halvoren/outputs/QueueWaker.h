#pragma once
// Wakes the thread that drains an output without costing the worker a wake-up per frame.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>

namespace Halvoren::App {

/// For an output its owner drains on the controller's thread, called from the output's queued() (the
/// worker's, under the hand-over's lock): wakes the controller for the first item after a pause (a note
/// that the poses went stale), and otherwise at most four times a second or before the queue could fill,
/// so that the worker pays for a wake-up every few frames only.
class QueueWaker {
public:
    QueueWaker(std::size_t capacity, std::function<void()> wake);
    /// The worker: one item was queued.
    void queued();
    /// The draining thread: the queue was emptied.
    void drained() { m_pending.store(0, std::memory_order_relaxed); }

private:
    const std::size_t m_halfCapacity;
    const std::function<void()> m_wake;
    std::atomic<std::size_t> m_pending{0};
    std::chrono::steady_clock::time_point m_lastQueued{};  // the worker's
    std::chrono::steady_clock::time_point m_lastWake{};    // the worker's
};

}  // namespace Halvoren::App

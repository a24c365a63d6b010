#pragma once
// The one hand-over between a stream's worker and whatever takes its frames (the application's outputs,
// the panel): a bounded queue whose policy its consumer declares. Pushing never waits for the consumer; what
// does not fit is dropped and counted, so that a consumer that stalls loses only its own frames and never
// holds up the camera.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace Halvoren::Output {

enum class DropPolicy {
    EveryFrame,  // keep every item in order; one that finds the queue full is dropped and counted
    LatestOnly,  // only the newest items matter; the oldest waiting one makes room, and is counted
};

struct QueuePolicy {
    DropPolicy drop = DropPolicy::EveryFrame;
    std::size_t capacity = 256;  // at least 1
};

template <class T>
class OutputQueue {
public:
    struct Counts {
        std::uint64_t queued = 0;   // items taken into the queue
        std::uint64_t dropped = 0;  // items that never reached the consumer
    };

    explicit OutputQueue(QueuePolicy policy) : m_policy(policy) {
        if (m_policy.capacity == 0) {
            m_policy.capacity = 1;
        }
    }

    /// Any thread; never waits for the consumer. False when an item was dropped to make the push fit
    /// (the new one under EveryFrame, the oldest under LatestOnly) or the queue is closed. Wakes the
    /// consumer only when it sleeps in pop() or popFor(): a consumer busy with the previous item finds the
    /// new one without a notification (a system call saved per item).
    bool push(T item) {
        bool wake = false;
        bool fits = true;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) {
                ++m_counts.dropped;
                return false;
            }
            if (m_items.size() >= m_policy.capacity) {
                ++m_counts.dropped;
                fits = false;
                if (m_policy.drop == DropPolicy::EveryFrame) {
                    return false;
                }
                m_items.pop_front();
            }
            m_items.push_back(std::move(item));
            ++m_counts.queued;
            wake = m_sleepers > 0;
        }
        if (wake) {
            m_available.notify_one();
        }
        return fits;
    }

    /// The consumer: waits for the next item (true), or until the queue is closed and empty (false).
    bool pop(T& item) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_items.empty() && !m_closed) {
            sleep(lock, nullptr);
        }
        return takeFront(item);
    }
    /// The consumer: waits for items (true) and takes all that wait, in order, in one go: a consumer that
    /// keeps up takes the lock the worker pushes under once per batch rather than once per item. False once
    /// the queue is closed and empty. `items` must be empty; its memory serves the queue from then on.
    bool popAll(std::deque<T>& items) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_items.empty() && !m_closed) {
            sleep(lock, nullptr);
        }
        if (m_items.empty()) {
            return false;
        }
        items.swap(m_items);
        return true;
    }
    /// The consumer: as pop(), but false also when nothing came within `timeout`.
    bool popFor(T& item, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_items.empty() && !m_closed) {
            if (!sleep(lock, &deadline)) {
                break;
            }
        }
        return takeFront(item);
    }
    /// The consumer: the next item if one waits, without waiting.
    bool tryPop(T& item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return takeFront(item);
    }

    /// Any thread: no item is taken any more; the consumer gets what waits, then pop() says false.
    void close() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_available.notify_all();
    }

    /// Any thread: drops what waits, counted (its consumer ended without taking it); how many.
    std::size_t discard() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t count = m_items.size();
        m_counts.dropped += count;
        m_items.clear();
        return count;
    }

    Counts counts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_counts;
    }
    const QueuePolicy& policy() const { return m_policy; }

private:
    // The sleeper count changes under the lock that push() reads it under, so a push either sees the
    // consumer about to sleep (and wakes it) or comes before the consumer looked at the items (and is seen).
    // False once the deadline passed.
    bool sleep(std::unique_lock<std::mutex>& lock, const std::chrono::steady_clock::time_point* deadline) {
        ++m_sleepers;
        bool inTime = true;
        if (deadline == nullptr) {
            m_available.wait(lock);
        } else {
            inTime = m_available.wait_until(lock, *deadline) == std::cv_status::no_timeout;
        }
        --m_sleepers;
        return inTime;
    }

    bool takeFront(T& item) {
        if (m_items.empty()) {
            return false;
        }
        item = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

    QueuePolicy m_policy;
    mutable std::mutex m_mutex;  // guards the items, the counts and the closing; never held during I/O
    std::condition_variable m_available;
    std::deque<T> m_items;
    Counts m_counts;
    std::size_t m_sleepers = 0;  // consumers waiting on m_available
    bool m_closed = false;
};

}  // namespace Halvoren::Output

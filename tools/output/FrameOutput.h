#pragma once
// What every consumer of a tracking stream's frames is to the session that runs the stream: the pose
// writer, the OpenIGTLink server, the recorder, the calibration collectors, the stream command's progress
// and the panel. Each declares how its queue drops and who drains it; the session's OutputHub hands
// every frame to each output's queue and nothing else.

#include "host/OutputQueue.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace Halvoren {
class TrackingStreamData;
}

namespace Halvoren::Output {

/// One item of an output's queue: a frame (the stream's shared data itself, never a copy), or word that
/// the poses went stale or are fresh again.
struct FrameItem {
    enum class Kind { Frame, Stale, Fresh };
    Kind kind = Kind::Frame;
    std::shared_ptr<const TrackingStreamData> tracking;      // Frame only
    std::uint64_t number = 0;                                // Frame only: 1 for the run's first frame
    std::chrono::steady_clock::time_point handedOver;        // when the worker handed the item over
    std::chrono::system_clock::time_point handedOverSystem;  // the same, on the clock of exposure stamps
    double millisecondsWithoutFrame = 0.0;                   // Stale and Fresh
};

class FrameOutput {
public:
    enum class Consumer {
        OwnThread,  // the session gives the output a thread that takes the items one by one
        Owner,      // the output's owner drains it on a thread of its own (a server's loop, a timer)
    };

    FrameOutput(std::string name, QueuePolicy policy, Consumer consumer = Consumer::OwnThread);
    virtual ~FrameOutput();
    FrameOutput(const FrameOutput&) = delete;
    FrameOutput& operator=(const FrameOutput&) = delete;

    const std::string& name() const { return m_name; }
    Consumer consumer() const { return m_consumer; }
    OutputQueue<FrameItem>& queue() { return m_queue; }
    const OutputQueue<FrameItem>& queue() const { return m_queue; }

    /// The consuming thread: one item, in the order they were handed over.
    virtual void take(const FrameItem& item) = 0;
    /// The consuming thread (the closing one for an Owner output), once, after the last item. An Owner
    /// output's queue is closed by then and may still hold items: end() takes them or hands them to its
    /// owner, and what it leaves is counted as dropped. This one takes them on the calling thread.
    virtual void end() { drain(); }
    /// The worker (or whoever handed the item over), right after an item was queued, under the hand-over's
    /// lock: an Owner output wakes its owner here (an eventfd, a condition). Must not wait or lock.
    virtual void queued() {}
    /// Whether the output's own summary says what its queue dropped (the poses, the recording, the
    /// clients); otherwise the run's summary names its losses for it.
    virtual bool reportsOwnLosses() const { return false; }

    /// The owner's thread: takes every item waiting; how many.
    std::size_t drain();

private:
    const std::string m_name;
    const Consumer m_consumer;
    OutputQueue<FrameItem> m_queue;
};

}  // namespace Halvoren::Output

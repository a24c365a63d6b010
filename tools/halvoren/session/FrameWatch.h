#pragma once
// Notices a camera that delivers no frames, which would otherwise look like a run that hangs.

#include <atomic>
#include <chrono>
#include <iosfwd>

namespace Halvoren::App {

/// Warns after 2 s without a frame, then every 10 s while the wait lasts; says when frames come again.
/// The run's summary names a wait it ended in.
class FrameWatch {
public:
    using Clock = std::chrono::steady_clock;

    /// The first frame is awaited from `start` on.
    explicit FrameWatch(Clock::time_point start = Clock::now());

    /// The thread of check(), while no frame can arrive (the stream is not running): the first frame is
    /// awaited from `now` on.
    void restart(Clock::time_point now = Clock::now());
    /// Any thread: a frame arrived.
    void frameArrived(Clock::time_point now = Clock::now());
    /// One thread (the one that runs the command): logs the warning that is due, if any.
    void check(Clock::time_point now = Clock::now());
    /// Seconds since the last frame (or the start).
    double secondsWithoutFrame(Clock::time_point now = Clock::now()) const;
    /// When check() has the next warning to give, unless a frame arrives before.
    Clock::time_point nextWarning() const;
    /// "no frame from the camera for the last 12.3 s" when the run ends waiting that long for a frame;
    /// nothing otherwise.
    void writeSummary(std::ostream& out, Clock::time_point now = Clock::now()) const;

private:
    std::atomic<Clock::rep> m_lastFrame;  // time since the clock's epoch
    Clock::rep m_waitFrom;                // the last frame the warnings below are about
    Clock::duration m_nextWarning;        // wait at which the next warning is due
    bool m_warned = false;
};

}  // namespace Halvoren::App

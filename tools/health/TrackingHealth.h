#pragma once
// A run's tracking health as every output shows it: the frame accounting of the tracking data a stream
// emits, and a watchdog that says when no new frame came for longer than a bound (the poses are then
// stale) and again when frames come back.

#include "health/FrameAccounting.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

namespace Halvoren {
class StreamData;
}

namespace Halvoren::Health {

class TrackingHealth {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        double minQuality = 0.0;  // below it an instrument counts as not seen; 0: no gate
        /// No frame for longer than this: stale. 0: three frame periods, at least kMinStaleBound.
        std::chrono::milliseconds staleAfter{0};
    };
    static constexpr std::chrono::milliseconds kMinStaleBound{50};

    /// Told `true` (on the watchdog's thread) when the poses went stale, `false` (on the thread that
    /// delivered the frame) when frames came back, with the time without a frame. Calls never overlap
    /// and come in that order.
    using StaleListener = std::function<void(bool stale, double millisecondsWithoutFrame)>;

    explicit TrackingHealth(Options options, StaleListener listener = {});
    /// Ends the watchdog's thread, waiting for a listener call in progress.
    ~TrackingHealth();
    TrackingHealth(const TrackingHealth&) = delete;
    TrackingHealth& operator=(const TrackingHealth&) = delete;

    /// The thread that emits the stream's data: one datum. Tracking data is counted; the watchdog
    /// watches from the first frame on.
    void addData(const StreamData& data);
    /// As addData(), for a datum that arrived at `arrived` (`arrivedUs`: us since the epoch on the system
    /// clock), counted later on another thread.
    void addData(const StreamData& data, Clock::time_point arrived, std::uint64_t arrivedUs);
    /// Any thread but the listener's: no staleness until the next frame (the stream is stopped on
    /// purpose). Waits for a listener call in progress, so none comes after it until a frame does.
    void pause();

    /// Before the stream starts: asked (on the watchdog's thread, without the health's lock) before the
    /// poses are said to be stale; true when the stream has ended on purpose (a replay's last frame
    /// came), and the watch then pauses instead: the end of a recording is no staleness. Any thread but
    /// the listener's; waits for a check in progress, so that an empty one ends the check's use.
    void setEndCheck(std::function<bool()> ended);

    /// Any thread, also under a lock the listener takes: the run is over; later data is not counted and no
    /// staleness is reported any more (a call in progress may still end).
    void finish();

    /// Any thread: the figures so far; a stale period still going on counts.
    HealthFigures figures() const;
    bool stale() const;
    /// Any thread: when the last frame counted arrived; the clock's epoch before the first. Whoever warns of
    /// a camera that went silent reads it, so that one watch tells that frames come.
    Clock::time_point lastFrameArrival() const;
    double minQuality() const { return m_options.minQuality; }

private:
    void watch();
    Clock::duration boundLocked() const;

    const Options m_options;
    const StaleListener m_listener;

    std::mutex m_listenerMutex;  // taken before m_mutex: keeps the listener's calls in order
    mutable std::mutex m_mutex;  // guards everything below
    std::condition_variable m_wake;
    FrameAccounting m_accounting;
    bool m_armed = false;
    bool m_stale = false;
    bool m_stop = false;
    bool m_finished = false;
    std::function<bool()> m_endCheck;
    Clock::time_point m_lastFrame;
    std::uint64_t m_stalePeriods = 0;
    double m_longestStaleMs = 0.0;
    std::thread m_thread;  // last: starts once the members above exist
};

/// The health block of a run: frames, rate and jitter, latencies, stale periods and gated frames, a line
/// each, indented under "health". `clientLatency`, when given, is the latency to network clients.
void writeHealthBlock(std::ostream& out, const HealthFigures& figures,
                      const LatencyStats* clientLatency = nullptr);
/// One line for a panel or a status message: rate, missed, latency and "STALE" when stale.
std::string healthLine(const HealthFigures& figures);

}  // namespace Halvoren::Health

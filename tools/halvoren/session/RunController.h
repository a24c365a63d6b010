#pragma once
// One run of a command that streams, from the stream's start to its end: whatever may end it (a cut, a
// signal, the stream stopping by itself, the run's time, the command's own condition) wakes one condition
// variable, so that nothing polls. The controller shows the progress line on a terminal, warns of a camera
// that delivers no frames, and says how the run ended; a command adds only its own end and its line.

#include "halvoren/session/FrameWatch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Halvoren {
class SignalConnection;
class Stream;
}  // namespace Halvoren

namespace Halvoren::Health {
class TrackingHealth;
}

namespace Halvoren::Output {
class OutputHub;
}

namespace Halvoren::App {

class StreamSession;

/// Before the camera opens: a run whose results cannot be kept is not worth starting. Writes
/// "halvoren: <why>" for the first path that cannot be written (empty paths are none); false then.
bool resultsWritable(std::initializer_list<const std::string*> paths, std::ostream& err);

/// How a run ended, in the order they are looked at.
enum class RunEnd {
    Done,           // the command's own condition: its frames collected, its readings full
    Cut,            // the run was cut (the frame limit, an output that failed) or its replay ended
    Interrupted,    // a signal came
    TimeUp,         // the run's time passed
    StreamStopped,  // the stream stopped by itself
};

class RunController {
public:
    using Clock = std::chrono::steady_clock;

    /// What a command adds to its run. Every function runs on the thread that calls run().
    struct Plan {
        /// At every wake-up, first: takes what the command's own outputs hold, writes their notes.
        std::function<void()> turn;
        /// The command's own end; none when empty.
        std::function<bool()> done;
        /// The progress line without its '\r', shown on a terminal four times a second; none when empty.
        std::function<void(std::ostream&)> progress;
        /// Something the run does every `every` (the health block); nothing when `every` is 0.
        std::chrono::duration<double> every{0};
        std::function<void()> periodic;
        /// The run ends after this long; 0: when something else ends it.
        std::chrono::duration<double> limit{0};
        /// Warns of a camera that delivers no frames for 2 s, then every 10 s while the wait lasts.
        bool watchFrames = false;
    };

    /// Control thread, once the session is created: watches its stream's state, its cut and the signals
    /// (the application's one policy) until it goes, which is after the run's outputs are finished.
    /// `onWake`, when given, is told (on the waking thread, outside every lock) after each wake-up: for a
    /// run that waits in an event loop rather than in run().
    RunController(StreamSession& session, std::ostream& err, std::function<void()> onWake = {});
    /// The same for a stream, its outputs and its health that are not a session's. The progress line goes
    /// to `err`.
    RunController(Stream& stream, Output::OutputHub& outputs, const Health::TrackingHealth& health,
                  std::ostream& err, std::function<void()> onWake = {});
    ~RunController();
    RunController(const RunController&) = delete;
    RunController& operator=(const RunController&) = delete;

    /// Any thread, also the camera's worker: something a plan's turn or end reads changed. Takes a lock
    /// that guards one flag and is never held while anything else runs.
    void wake();
    /// The stream started: runs until one of the ends, which it returns. A progress line shown is ended
    /// with a newline.
    RunEnd run(const Plan& plan);
    /// After run() with watchFrames: "no frame from the camera for the last 12.3 s" when the run ended
    /// waiting that long for a frame; nothing otherwise.
    void writeFrameSummary(std::ostream& out) const;

    /// For a run that waits in an event loop, on its thread. Whether an end of `plan` has come (the run's
    /// time counted from `start`), and which.
    bool ended(const Plan& plan, Clock::time_point start, RunEnd& end) const;
    /// The stream (re)started: the first frame is awaited from now on.
    void restartFrameWatch() { m_frameWatch.restart(); }
    /// Warns of a camera that delivers no frames when a warning is due. The frames are seen to arrive in
    /// the tracking health.
    void lookForFrames();

private:
    /// Sleeps until woken or `until`.
    void waitUntil(Clock::time_point until);
    /// The watcher's thread: a signal's wake-up pipe becomes a wake-up of the run.
    void watchSignals();

    Stream& m_stream;
    Output::OutputHub& m_outputs;
    const Health::TrackingHealth& m_health;
    std::ostream& m_err;
    FrameWatch m_frameWatch;
    Clock::time_point m_lastFrame;  // the health's, when last looked at
    std::mutex m_mutex;             // guards m_woken only
    std::condition_variable m_wake;
    bool m_woken = false;
    const std::function<void()> m_onWake;
    std::function<bool()> m_replayEnded;  // a session's: every frame of its replay came
    std::shared_ptr<SignalConnection> m_stateConnection;
    int m_stopFd = -1;  // an eventfd that ends the watcher
    std::thread m_watcher;
};

}  // namespace Halvoren::App

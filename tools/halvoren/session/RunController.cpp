#include "halvoren/session/RunController.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/outputs/ProgressOutput.h"
#include "halvoren/session/FileChecks.h"
#include "halvoren/session/StreamSession.h"

#include "health/TrackingHealth.h"
#include "host/Signal.h"
#include "host/Stream.h"
#include "output/OutputHub.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ostream>

namespace Halvoren::App {

namespace {

// Often enough for a person to see the count move, seldom enough not to flood a slow terminal.
constexpr std::chrono::milliseconds kProgressEvery{250};
// Only when no signal can wake the run (no pipe could be made): how often it looks for one.
constexpr std::chrono::milliseconds kSignalLookEvery{100};
// However long nothing is due, the run looks this often.
constexpr std::chrono::milliseconds kLookAtLeastEvery{1000};

template <class Duration>
RunController::Clock::duration clockDuration(Duration duration) {
    return std::chrono::duration_cast<RunController::Clock::duration>(duration);
}

}  // namespace

bool resultsWritable(std::initializer_list<const std::string*> paths, std::ostream& err) {
    for (const std::string* path : paths) {
        if (const Expected<void> writable = checkWritable(*path); !writable) {
            reportError(writable.error(), err);
            return false;
        }
    }
    return true;
}

RunController::RunController(StreamSession& session, std::ostream& err, std::function<void()> onWake)
    : RunController(session.stream(), session.outputs(), session.health(), err, std::move(onWake)) {
    m_replayEnded = [&session] { return session.replayEnded(); };
}

RunController::RunController(Stream& stream, Output::OutputHub& outputs, const Health::TrackingHealth& health,
                             std::ostream& err, std::function<void()> onWake)
    : m_stream(stream), m_outputs(outputs), m_health(health), m_err(err), m_onWake(std::move(onWake)) {
    m_stateConnection = stream.signalStateChanged.connect([this](const Stream::StateChange&) { wake(); });
    outputs.setCutListener([this] { wake(); });
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stopFd >= 0 && Interrupts::wakeFd() >= 0) {
        m_watcher = std::thread(&RunController::watchSignals, this);
    }
}

RunController::~RunController() {
    if (m_watcher.joinable()) {
        const std::uint64_t one = 1;
        const ssize_t written = ::write(m_stopFd, &one, sizeof(one));
        static_cast<void>(written);
        m_watcher.join();
    }
    if (m_stopFd >= 0) {
        ::close(m_stopFd);
    }
    m_outputs.setCutListener(nullptr);
    m_stateConnection->disconnect();
}

void RunController::watchSignals() {
    pollfd fds[2] = {{Interrupts::wakeFd(), POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    while (true) {
        if (::poll(fds, 2, -1) < 0) {
            continue;  // EINTR: a signal came to this thread; its byte is in the pipe
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents != 0) {
            Interrupts::drainWake();
            wake();
        }
    }
}

void RunController::wake() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_wake.notify_all();
    if (m_onWake) {
        m_onWake();
    }
}

void RunController::waitUntil(Clock::time_point until) {
    if (!m_watcher.joinable()) {
        until = std::min(until, Clock::now() + kSignalLookEvery);
    }
    // A safety net, not the way the run learns of anything: a signal whose handler the platform holds
    // back until the thread leaves its wait (ThreadSanitizer's runtime does) is seen within a second.
    until = std::min(until, Clock::now() + kLookAtLeastEvery);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait_until(lock, until, [this] { return m_woken; });
    m_woken = false;
}

bool RunController::ended(const Plan& plan, Clock::time_point start, RunEnd& end) const {
    if (plan.done && plan.done()) {
        end = RunEnd::Done;
    } else if (m_outputs.isCut() || (m_replayEnded && m_replayEnded())) {
        end = RunEnd::Cut;
    } else if (Interrupts::requested()) {
        end = RunEnd::Interrupted;
    } else if (plan.limit.count() > 0.0 && Clock::now() - start >= clockDuration(plan.limit)) {
        end = RunEnd::TimeUp;
    } else if (!m_stream.isStateOneOf({Stream::Running})) {
        end = RunEnd::StreamStopped;
    } else {
        return false;
    }
    return true;
}

void RunController::lookForFrames() {
    const Clock::time_point last = m_health.lastFrameArrival();
    if (last != m_lastFrame) {
        m_lastFrame = last;
        m_frameWatch.frameArrived(last);
    }
    m_frameWatch.check();
}

RunEnd RunController::run(const Plan& plan) {
    const bool terminal = plan.progress && showsProgress();
    const Clock::time_point start = Clock::now();
    const Clock::time_point never = Clock::time_point::max();
    Clock::time_point nextProgress =
        start + kProgressEvery;  // the first line once there is something to count
    Clock::time_point nextPeriodic = plan.every.count() > 0.0 ? start + clockDuration(plan.every) : never;
    if (plan.watchFrames) {
        m_lastFrame = m_health.lastFrameArrival();
        m_frameWatch.restart(start);
    }
    RunEnd end = RunEnd::Done;
    while (true) {
        if (plan.turn) {
            plan.turn();
        }
        if (plan.watchFrames) {
            lookForFrames();
        }
        if (ended(plan, start, end)) {
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= nextPeriodic) {
            nextPeriodic = now + clockDuration(plan.every);
            plan.periodic();
        }
        if (terminal && now >= nextProgress) {
            nextProgress = now + kProgressEvery;
            m_err << '\r';
            plan.progress(m_err);
        }
        m_err << std::flush;
        Clock::time_point until = std::min(terminal ? nextProgress : never, nextPeriodic);
        if (plan.limit.count() > 0.0) {
            until = std::min(until, start + clockDuration(plan.limit));
        }
        if (plan.watchFrames) {
            until = std::min(until, m_frameWatch.nextWarning());
        }
        waitUntil(until);
    }
    if (terminal) {
        m_err << '\n';
    }
    m_err << std::flush;
    return end;
}

void RunController::writeFrameSummary(std::ostream& out) const {
    m_frameWatch.writeSummary(out);
}

}  // namespace Halvoren::App

#include "halvoren/session/FrameWatch.h"

#include "host/Log.h"

#include <iomanip>
#include <ostream>

namespace Halvoren::App {

namespace {

// A camera delivers tens of frames a second: a wait this long is no hiccup.
constexpr std::chrono::seconds kFirstWarning{2};
// Reminders while the wait lasts, few enough not to bury the other messages.
constexpr std::chrono::seconds kWarningInterval{10};

}  // namespace

FrameWatch::FrameWatch(Clock::time_point start)
    : m_lastFrame(start.time_since_epoch().count()),
      m_waitFrom(start.time_since_epoch().count()),
      m_nextWarning(kFirstWarning) {}

void FrameWatch::restart(Clock::time_point now) {
    m_lastFrame.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    m_waitFrom = now.time_since_epoch().count();
    m_nextWarning = kFirstWarning;
    m_warned = false;
}

void FrameWatch::frameArrived(Clock::time_point now) {
    m_lastFrame.store(now.time_since_epoch().count(), std::memory_order_relaxed);
}

void FrameWatch::check(Clock::time_point now) {
    const Clock::rep last = m_lastFrame.load(std::memory_order_relaxed);
    if (last != m_waitFrom) {
        if (m_warned) {
            HALVOREN_LOG(Log::Info, "halvoren", "frames from the camera again");
        }
        m_waitFrom = last;
        m_nextWarning = kFirstWarning;
        m_warned = false;
    }
    const Clock::duration waited = now - Clock::time_point(Clock::duration(last));
    if (waited >= m_nextWarning) {
        HALVOREN_LOG(Log::Warning, "halvoren",
                     "no frame from the camera for "
                         << std::chrono::duration_cast<std::chrono::seconds>(waited).count() << " s");
        m_warned = true;
        // The next one is due a whole interval after this one, however late this check came.
        while (m_nextWarning <= waited) {
            m_nextWarning += kWarningInterval;
        }
    }
}

double FrameWatch::secondsWithoutFrame(Clock::time_point now) const {
    const Clock::time_point last(Clock::duration(m_lastFrame.load(std::memory_order_relaxed)));
    return std::chrono::duration<double>(now - last).count();
}

FrameWatch::Clock::time_point FrameWatch::nextWarning() const {
    const Clock::time_point last(Clock::duration(m_lastFrame.load(std::memory_order_relaxed)));
    return last + m_nextWarning;
}

void FrameWatch::writeSummary(std::ostream& out, Clock::time_point now) const {
    const double seconds = secondsWithoutFrame(now);
    if (seconds >= std::chrono::duration<double>(kFirstWarning).count()) {
        const auto flags = out.flags();
        const auto precision = out.precision();
        out << "no frame from the camera for the last " << std::fixed << std::setprecision(1) << seconds
            << " s\n";
        out.flags(flags);
        out.precision(precision);
    }
}

}  // namespace Halvoren::App

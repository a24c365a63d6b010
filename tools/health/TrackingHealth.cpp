#include "health/TrackingHealth.h"

#include "host/TrackingStream.h"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <sstream>

namespace Halvoren::Health {

namespace {

std::int64_t microsecondsOf(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

std::uint64_t systemMicroseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

double millisecondsBetween(std::chrono::steady_clock::time_point from,
                           std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

TrackingHealth::TrackingHealth(Options options, StaleListener listener)
    : m_options(options), m_listener(std::move(listener)), m_accounting(options.minQuality) {
    m_thread = std::thread([this] { watch(); });
}

TrackingHealth::~TrackingHealth() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

TrackingHealth::Clock::duration TrackingHealth::boundLocked() const {
    if (m_options.staleAfter.count() > 0) {
        return m_options.staleAfter;
    }
    const double periodMs = m_accounting.figures().framePeriodMs;
    const auto three = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(3.0 * periodMs));
    return std::max<Clock::duration>(three, kMinStaleBound);
}

void TrackingHealth::addData(const StreamData& data) {
    addData(data, Clock::now(), systemMicroseconds());
}

void TrackingHealth::addData(const StreamData& data, Clock::time_point now, std::uint64_t systemNow) {
    const auto* tracking = dynamic_cast<const TrackingStreamData*>(&data);
    if (tracking == nullptr) {
        return;
    }
    const auto* info = tracking->components().get<TrackingFrameInfoData>();
    bool wasStale = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished) {
            return;
        }
        m_accounting.addFrame(info != nullptr ? std::optional<std::uint32_t>(info->counter) : std::nullopt,
                              info != nullptr ? info->exposureUs : 0, tracking->instruments(),
                              microsecondsOf(now), systemNow);
        wasStale = m_stale;
        if (!wasStale) {
            const bool wake = !m_armed;
            m_lastFrame = now;
            m_armed = true;
            if (wake) {
                m_wake.notify_all();
            }
            return;
        }
    }
    // Back from a stale period: ended under the listener's lock, so that its calls stay in order.
    std::lock_guard<std::mutex> order(m_listenerMutex);
    double withoutFrame = 0.0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        withoutFrame = millisecondsBetween(m_lastFrame, now);
        m_longestStaleMs = std::max(m_longestStaleMs, withoutFrame);
        m_stale = false;
        m_lastFrame = now;
        m_armed = !m_finished;
    }
    m_wake.notify_all();
    if (m_listener) {
        m_listener(false, withoutFrame);
    }
}

void TrackingHealth::pause() {
    std::lock_guard<std::mutex> order(m_listenerMutex);  // a call in progress ends first
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armed = false;
}

void TrackingHealth::setEndCheck(std::function<bool()> ended) {
    std::lock_guard<std::mutex> order(m_listenerMutex);  // a check in progress ends first
    std::lock_guard<std::mutex> lock(m_mutex);
    m_endCheck = std::move(ended);
}

void TrackingHealth::finish() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_finished = true;
    m_armed = false;
}

void TrackingHealth::watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        if (m_finished || !m_armed || m_stale) {
            m_wake.wait(lock);
            continue;
        }
        const Clock::time_point due = m_lastFrame + boundLocked();
        if (Clock::now() < due) {
            m_wake.wait_until(lock, due);
            continue;
        }
        // Gone stale: decided again under the listener's lock, as a frame may have come meanwhile.
        const std::function<bool()> endCheck = m_endCheck;
        lock.unlock();
        std::lock_guard<std::mutex> order(m_listenerMutex);
        const bool ended = endCheck && endCheck();  // it may read the figures: not under m_mutex
        lock.lock();
        if (m_stop || m_finished || !m_armed || m_stale || Clock::now() < m_lastFrame + boundLocked()) {
            continue;
        }
        if (ended) {
            m_armed = false;  // as pause(): the next frame, if any, arms the watch again
            continue;
        }
        m_stale = true;
        ++m_stalePeriods;
        const double withoutFrame = millisecondsBetween(m_lastFrame, Clock::now());
        lock.unlock();
        if (m_listener) {
            m_listener(true, withoutFrame);
        }
        lock.lock();
    }
}

HealthFigures TrackingHealth::figures() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    HealthFigures figures = m_accounting.figures();
    figures.stalePeriods = m_stalePeriods;
    figures.longestStaleMs = m_longestStaleMs;
    figures.stale = m_stale;
    if (m_stale) {
        figures.longestStaleMs =
            std::max(figures.longestStaleMs, millisecondsBetween(m_lastFrame, Clock::now()));
    }
    figures.staleBoundMs = std::chrono::duration<double, std::milli>(boundLocked()).count();
    return figures;
}

bool TrackingHealth::stale() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stale;
}

TrackingHealth::Clock::time_point TrackingHealth::lastFrameArrival() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastFrame;
}

namespace {

void writeLatency(std::ostream& out, const char* what, const LatencyStats& latency) {
    out << "  latency " << what << ": median " << latency.percentileUs(0.5) / 1000.0 << " ms, p99 "
        << latency.percentileUs(0.99) / 1000.0 << " ms, max " << static_cast<double>(latency.maxUs()) / 1000.0
        << " ms\n";
}

double percentOf(std::uint64_t part, std::uint64_t whole) {
    return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

void writeHealthBlock(std::ostream& out, const HealthFigures& f, const LatencyStats* clientLatency) {
    std::ostringstream block;
    block << std::fixed << std::setprecision(2);
    block << "health\n";
    block << "  frames made " << f.made << ", delivered " << f.delivered << ", missed " << f.missed << " ("
          << percentOf(f.missed, f.made) << "%), twice " << f.twice;
    if (f.restarts != 0) {
        block << ", counter restarts " << f.restarts;
    }
    if (f.withoutCounter != 0) {
        block << ", without a frame counter " << f.withoutCounter;
    }
    block << "\n  rate " << f.rateHz << " frames/s, jitter " << f.jitterMs << " ms, largest gap "
          << f.largestGapMs << " ms\n";
    if (f.latencyMeasured) {
        writeLatency(block, "exposure to stream", f.latency);
    } else if (f.delivered != 0) {
        block << "  latency not measured: the camera's clock is its own\n";
    }
    if (clientLatency != nullptr && clientLatency->count() != 0) {
        writeLatency(block, "exposure to clients", *clientLatency);
    }
    block << "  stale periods " << f.stalePeriods;
    if (f.stalePeriods != 0) {
        block << " (longest " << f.longestStaleMs << " ms)";
    }
    block << ", bound " << f.staleBoundMs << " ms" << (f.stale ? ", stale now" : "") << '\n';
    if (f.minQuality > 0.0) {
        block << "  gated frames (quality below " << f.minQuality << "):";
        if (f.gated.empty()) {
            block << " none";
        }
        const char* separator = " ";
        for (const auto& [name, frames] : f.gated) {
            block << separator << name << ' ' << frames;
            separator = ", ";
        }
        block << '\n';
    }
    out << block.str();
}

std::string healthLine(const HealthFigures& f) {
    std::ostringstream line;
    line << std::fixed << std::setprecision(1) << "rate " << f.rateHz << " frames/s, missed " << f.missed;
    if (f.latencyMeasured) {
        line << ", latency " << std::setprecision(2) << f.latency.percentileUs(0.5) / 1000.0 << " ms";
    }
    if (f.stale) {
        line << ", STALE";
    }
    return line.str();
}

}  // namespace Halvoren::Health

#include "health/FrameAccounting.h"

#include "host/TrackingInstrument.h"

#include <algorithm>
#include <cmath>

namespace Halvoren::Health {

namespace {
// A stamp this close to the host's clock is taken to be on it (the simulated camera's); a real camera
// counts from its own start.
constexpr std::uint64_t kSameClockUs = 60ull * 1000 * 1000;
}  // namespace

bool onHostClock(std::uint64_t exposureUs, std::uint64_t systemNowUs) {
    const std::uint64_t apart =
        exposureUs > systemNowUs ? exposureUs - systemNowUs : systemNowUs - exposureUs;
    return apart < kSameClockUs;
}

bool passesGate(const TrackingInstrument& instrument, double minQuality) {
    return instrument.quality > 0.0 && instrument.quality >= minQuality;
}

FrameAccounting::FrameAccounting(double minQuality) {
    m_figures.minQuality = minQuality;
}

void FrameAccounting::addFrame(std::optional<std::uint32_t> counter, std::uint64_t exposureUs,
                               const std::vector<TrackingInstrument>& instruments, std::int64_t arrivalUs,
                               std::uint64_t systemNowUs) {
    ++m_figures.delivered;
    if (counter) {
        countFrame(*counter, exposureUs, systemNowUs);
    } else {
        ++m_figures.withoutCounter;
    }
    countInterval(arrivalUs);
    if (m_figures.minQuality > 0.0) {
        for (const TrackingInstrument& instrument : instruments) {
            if (instrument.quality > 0.0 && instrument.quality < m_figures.minQuality) {
                ++m_figures.gated[instrument.id.name];
            }
        }
    }
}

void FrameAccounting::countFrame(std::uint32_t counter, std::uint64_t exposureUs, std::uint64_t systemNowUs) {
    if (!m_hostClock) {
        m_hostClock = onHostClock(exposureUs, systemNowUs);
        m_figures.latencyMeasured = *m_hostClock;
    }
    if (*m_hostClock) {
        m_figures.latency.add(static_cast<std::int64_t>(systemNowUs - exposureUs));
    }
    if (!m_haveCounter) {
        m_haveCounter = true;
        ++m_figures.made;
    } else {
        // Modulo 2^32, so that the counter may wrap; a step back of more than half the range is the
        // camera counting anew.
        const std::uint32_t step = counter - m_lastCounter;
        if (step == 0) {
            ++m_figures.twice;
            return;
        }
        if (step < 0x80000000u) {
            m_figures.missed += step - 1;
            m_figures.made += step;
            if (exposureUs > m_lastExposureUs) {
                const double period = static_cast<double>(exposureUs - m_lastExposureUs) / 1000.0 / step;
                // Smoothed, so that one late stamp does not move the staleness bound.
                m_figures.framePeriodMs =
                    m_figures.framePeriodMs == 0.0 ? period : 0.9 * m_figures.framePeriodMs + 0.1 * period;
            }
        } else {
            ++m_figures.restarts;
            ++m_figures.made;
        }
    }
    m_lastCounter = counter;
    m_lastExposureUs = exposureUs;
    m_figures.lastCounter = counter;
}

void FrameAccounting::countInterval(std::int64_t arrivalUs) {
    if (!m_firstArrivalUs) {
        m_firstArrivalUs = arrivalUs;
        m_lastArrivalUs = arrivalUs;
        return;
    }
    const double interval = static_cast<double>(arrivalUs - m_lastArrivalUs) / 1000.0;
    m_lastArrivalUs = arrivalUs;
    ++m_intervals;
    const double delta = interval - m_intervalMean;
    m_intervalMean += delta / static_cast<double>(m_intervals);
    m_intervalM2 += delta * (interval - m_intervalMean);
    m_figures.largestGapMs = std::max(m_figures.largestGapMs, interval);
}

const HealthFigures& FrameAccounting::figures() const {
    // The derived figures, worked out when asked rather than per frame.
    if (m_intervals > 0) {
        const double span = static_cast<double>(m_lastArrivalUs - *m_firstArrivalUs) / 1e6;
        m_figures.rateHz = span > 0.0 ? static_cast<double>(m_intervals) / span : 0.0;
        m_figures.jitterMs = std::sqrt(m_intervalM2 / static_cast<double>(m_intervals));
    }
    return m_figures;
}

}  // namespace Halvoren::Health

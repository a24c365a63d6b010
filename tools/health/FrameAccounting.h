#pragma once
// What a run's frames tell about the camera and the stream: frames the camera made (from its frame
// counter), delivered, missed and delivered twice, the delivered rate and its jitter, the latency from
// exposure to emission, and the frames each instrument was held back by the quality gate. Pure: the
// caller gives the times and keeps it to one thread.

#include "health/LatencyStats.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren {
struct TrackingInstrument;
}

namespace Halvoren::Health {

/// The figures of a run so far.
struct HealthFigures {
    std::uint64_t made = 0;            // frames the camera made from the first delivered one to the last
    std::uint64_t delivered = 0;       // frames of tracking data the stream emitted
    std::uint64_t missed = 0;          // frames the counter skipped
    std::uint64_t twice = 0;           // frames whose counter came again
    std::uint64_t restarts = 0;        // times the counter went back (the camera started anew)
    std::uint64_t withoutCounter = 0;  // frames that did not say which camera frame they are
    std::uint32_t lastCounter = 0;     // the camera's counter of the last frame counted
    double rateHz = 0.0;               // delivered frames per second
    double jitterMs = 0.0;             // standard deviation of the intervals between deliveries
    double largestGapMs = 0.0;
    double framePeriodMs = 0.0;  // the camera's, from its counter and stamps; 0 until known
    /// Exposure to emission; empty when the camera's clock is not the host's.
    bool latencyMeasured = false;
    LatencyStats latency;
    // Filled in by whoever watches for staleness.
    std::uint64_t stalePeriods = 0;
    double longestStaleMs = 0.0;
    double staleBoundMs = 0.0;
    bool stale = false;  // now
    double minQuality = 0.0;
    /// Frames each instrument (by name) was seen with a quality below the gate.
    std::map<std::string, std::uint64_t> gated;
};

/// Whether an instrument counts as seen in a frame: seen by the camera (quality above 0) and not held
/// back by the gate.
bool passesGate(const TrackingInstrument& instrument, double minQuality);

/// Whether a camera's exposure stamp (us) is on the host's system clock (the simulated camera's), so that
/// latency can be measured against it; a real camera's clock counts from its own start.
bool onHostClock(std::uint64_t exposureUs, std::uint64_t systemNowUs);

class FrameAccounting {
public:
    explicit FrameAccounting(double minQuality = 0.0);

    /// A frame of tracking data: its camera frame counter and exposure stamp (us) when it says them,
    /// the instruments, when it arrived (steady clock, us) and the host's system clock then (us since the
    /// epoch, to compare with the simulated camera's stamps).
    void addFrame(std::optional<std::uint32_t> counter, std::uint64_t exposureUs,
                  const std::vector<TrackingInstrument>& instruments, std::int64_t arrivalUs,
                  std::uint64_t systemNowUs);
    const HealthFigures& figures() const;

private:
    void countFrame(std::uint32_t counter, std::uint64_t exposureUs, std::uint64_t systemNowUs);
    void countInterval(std::int64_t arrivalUs);

    mutable HealthFigures m_figures;
    bool m_haveCounter = false;
    std::uint32_t m_lastCounter = 0;
    std::uint64_t m_lastExposureUs = 0;
    std::optional<bool> m_hostClock;  // decided by the first stamp
    std::optional<std::int64_t> m_firstArrivalUs;
    std::int64_t m_lastArrivalUs = 0;
    // Welford's running mean and squared deviations of the intervals, in ms.
    std::uint64_t m_intervals = 0;
    double m_intervalMean = 0.0;
    double m_intervalM2 = 0.0;
};

}  // namespace Halvoren::Health

#pragma once
// Takes a touched point from a stream of tip positions: when the tip has rested for the dwell time, the
// point is the mean of its positions over the dwell and their spread tells how well it was localised.
// Pure; one thread.

#include <Eigen/Core>

#include <cstddef>
#include <deque>
#include <optional>

namespace Halvoren::Registration {

/// The tip rests when no position of the dwell lies farther from their mean than this many times its
/// frame-to-frame jitter over the dwell (a tip that drifts or moves spreads far more than it jitters) ...
constexpr double kStillJitterFactor = 4.0;
/// ... or than this, whichever is larger (a tip that hardly jitters at all).
constexpr double kStillFloorMm = 0.05;
/// After a point is taken the tip has to move this far from it before the next is taken.
constexpr double kLeaveMm = 5.0;
/// Fewer positions than this over the dwell are too few to tell a rest.
constexpr std::size_t kMinTouchSamples = 5;

struct Touch {
    Eigen::Vector3d point = Eigen::Vector3d::Zero();  // mean over the dwell
    double jitterMm = 0.0;                            // RMS distance of the positions from their mean
    double localisationMm = 0.0;                      // the mean's own uncertainty: jitter / sqrt(samples)
    std::size_t samples = 0;
};

class TouchDetector {
public:
    explicit TouchDetector(double dwellSeconds);

    /// One frame at `seconds` (any monotonic clock): the tip's position, or nothing when the tip or the
    /// frame it is given in was not seen (the rest starts again). The touch when this frame completes one.
    std::optional<Touch> add(double seconds, const std::optional<Eigen::Vector3d>& tip);
    /// Seconds the tip has rested so far (0 while it moves or has not yet left the last point).
    double restedSeconds() const;

private:
    struct Sample {
        double seconds;
        Eigen::Vector3d position;
    };
    std::optional<Touch> stillTouch() const;

    const double m_dwell;
    std::deque<Sample> m_window;
    std::optional<Eigen::Vector3d> m_last;  // the last point taken, until the tip leaves it
};

}  // namespace Halvoren::Registration

#pragma once
// What a tracking quality assessment found: per tracked point (a marker, or a calibrated tool's tip) its
// mean position, precision, drift and share of frames seen; per known distance its trueness. Plain values:
// the report, the JSON and the plot are drawn from them.

#include <Eigen/Core>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Assess {

/// The mean position over one time window of the run.
struct WindowMean {
    double startSeconds = 0.0;  // since the run's first frame
    double endSeconds = 0.0;
    std::size_t readings = 0;
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();  // mm, in the assessment's frame
};

/// One tracked point: an instrument's marker (its pose's origin) or a calibrated tool's tip.
struct PointResult {
    std::string label;                                     // "pointer", or "pointer tip"
    std::string id;                                        // the instrument's ID
    bool tip = false;                                      // the tool's tip rather than its marker
    std::size_t frames = 0;                                // frames of the run
    std::size_t seen = 0;                                  // frames with a valid reading
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();        // mm
    Eigen::Vector3d stdPerAxis = Eigen::Vector3d::Zero();  // mm, sample standard deviation per axis
    double rmsFromMeanMm = 0.0;                            // RMS distance of the readings from the mean
    double radius95Mm = 0.0;                        // the radius about the mean holding 95% of the readings
    std::optional<double> angularStdDegrees;        // markers only: the orientation's spread
    std::optional<double> meanRegistrationErrorMm;  // markers only, when the camera reported one
    /// Each reading less the mean (mm), in frame order; the plot's scatter.
    std::vector<Eigen::Vector3d> deviations;
    /// The mean per window (--window), in time order; the drift.
    std::vector<WindowMean> windows;
    double driftMm = 0.0;           // from the first window's mean to the last's
    double driftMmPerMinute = 0.0;  // the same over the time between the windows' centres
    bool driftFlagged = false;      // the drift exceeds the precision
    /// Why the point's readings cannot be assessed: it moved more than its jitter explains (someone
    /// touched it). Empty when they can.
    std::string motion;

    double seenRatio() const {
        return frames == 0 ? 0.0 : static_cast<double>(seen) / static_cast<double>(frames);
    }
    /// Whether a spread was measured (precision, orientation): it takes two readings at least.
    bool spreadMeasured() const { return seen >= 2; }
    /// Whether a drift was measured: it takes two full windows.
    bool driftMeasured() const { return windows.size() >= 2; }
};

/// A known distance between two points (--distance A:B=MM).
struct DistanceResult {
    std::string from;  // the points' labels
    std::string to;
    double nominalMm = 0.0;
    std::size_t readings = 0;  // frames in which both were seen
    double meanMm = 0.0;
    double errorMm = 0.0;  // mean less nominal: the trueness
    double stdMm = 0.0;
    double rmsErrorMm = 0.0;
    /// Per reading: seconds since the run's first frame, and the measured distance less the nominal.
    std::vector<std::pair<double, double>> errorOverTime;

    /// Whether the standard deviation was measured: it takes two readings at least.
    bool spreadMeasured() const { return readings >= 2; }
};

struct Assessment {
    std::string frame = "Tracker";  // the frame positions are given in ("Tracker": the camera's)
    std::string reference;          // the instrument (ID or name) the frame is of; empty: the camera's
    std::size_t frames = 0;
    double seconds = 0.0;  // from the first frame to the last
    double windowSeconds = 10.0;
    std::vector<PointResult> points;
    std::vector<DistanceResult> distances;

    /// Whether any point moved more than its jitter: the assessment is then refused.
    bool refused() const {
        for (const PointResult& point : points) {
            if (!point.motion.empty()) {
                return true;
            }
        }
        return false;
    }
};

}  // namespace Halvoren::Assess

#pragma once
// The statistics of a tracking quality assessment: the readings of every tracked point (each marker, and
// each calibrated tool's tip) in the navigation frame, frame by frame, then their mean, precision, drift
// per time window and the trueness of known distances. Pure: frames in, an Assessment out; the caller
// keeps it to one thread.

#include "assess/AssessmentResult.h"
#include "host/TrackingInstrument.h"
#include "navigation/NavigationFrame.h"

#include <Eigen/Geometry>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::Assess {

/// A known distance between two points, as --distance A:B=MM gives it.
struct KnownDistance {
    std::string from;  // a point's label: an instrument's name or ID, or that followed by ".tip"
    std::string to;
    double nominalMm = 0.0;
};

/// "A:B=MM" as a distance; empty with the reason otherwise.
std::optional<KnownDistance> parseDistance(const std::string& text, std::string& why);

/// The readings a run may keep (about 150 MB; two hours of four markers at 60 Hz): beyond them the
/// assessment stops taking frames, so that memory stays bounded.
constexpr std::size_t kMaxReadings = 2'000'000;

class Assessor {
public:
    struct Options {
        Navigation::NavigationFrame navigation;  // the frame and the tips
        double minQuality = 0.0;
        double windowSeconds = 10.0;
        std::vector<KnownDistance> distances;
    };

    /// The points are the instruments' markers and the tips the navigation knows of them.
    Assessor(const std::vector<TrackerID>& instruments, Options options);

    /// The label of the point a distance's end names ("NAME", "ID", "NAME.tip"); empty with the reason
    /// when it names none.
    std::string pointLabel(const std::string& text, std::string& why) const;
    /// Why a known distance cannot be measured: an end that names no point, or both ends naming one
    /// point (by its name and its ID alike). Empty when it can.
    std::string distanceProblem(const KnownDistance& known) const;

    /// One frame: its instruments, the registration errors the camera reported (by instrument ID), and
    /// its time in seconds (any origin; the first frame's is the run's start). False once the readings'
    /// limit is reached: the frame was not taken.
    bool addFrame(const std::vector<TrackingInstrument>& instruments,
                  const std::map<std::string, float>& registrationErrors, double seconds);
    std::size_t frames() const { return m_frames; }

    Assessment result() const;

private:
    struct Reading {
        std::size_t frame;  // the run's frame, counted from 0
        double seconds;     // since the run's first frame
        Eigen::Vector3d position;
        Eigen::Quaterniond rotation;
    };
    struct Point {
        std::string label;
        std::string id;
        bool tip = false;
        std::vector<Reading> readings;
        double registrationErrorSum = 0.0;
        std::size_t registrationErrors = 0;
    };
    std::optional<std::size_t> findPoint(const std::string& text) const;
    PointResult pointResult(const Point& point) const;
    DistanceResult distanceResult(const KnownDistance& known) const;

    Options m_options;
    std::vector<Point> m_points;
    std::map<std::string, std::size_t> m_markerOf;  // instrument ID -> its marker's point
    std::map<std::string, std::size_t> m_tipOf;     // instrument ID -> its tip's point
    std::vector<Navigation::FramePose> m_poses;     // reused frame to frame
    std::size_t m_frames = 0;
    std::size_t m_readings = 0;
    std::optional<double> m_start;
    double m_last = 0.0;
};

}  // namespace Halvoren::Assess

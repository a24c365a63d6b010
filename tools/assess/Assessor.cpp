#include "assess/Assessor.h"

#include "text/Text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iomanip>
#include <sstream>

namespace Halvoren::Assess {

namespace {

constexpr const char* kTipSuffix = ".tip";
constexpr double kDegreesPerRadian = 180.0 / 3.14159265358979323846;
// Motion: the readings are cut into blocks of this length, and a step between two blocks' means larger
// than the jitter explains (and than the floor) is a marker that was moved, not one that jitters.
constexpr double kBlockSeconds = 0.25;
constexpr double kMotionFloorMm = 0.5;
constexpr double kMotionSigmas = 10.0;

double squared(double x) {
    return x * x;
}

std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

/// Mean, per-axis sample standard deviation, RMS distance from the mean and the 95% radius.
void positionSpread(const std::vector<Eigen::Vector3d>& positions, PointResult& result) {
    const auto n = static_cast<double>(positions.size());
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d& p : positions) {
        sum += p;
    }
    result.mean = sum / n;
    Eigen::Vector3d squares = Eigen::Vector3d::Zero();
    std::vector<double> distances;
    distances.reserve(positions.size());
    for (const Eigen::Vector3d& p : positions) {
        const Eigen::Vector3d d = p - result.mean;
        squares += d.cwiseProduct(d);
        distances.push_back(d.norm());
        result.deviations.push_back(d);
    }
    result.stdPerAxis = n > 1 ? Eigen::Vector3d((squares / (n - 1)).cwiseSqrt()) : Eigen::Vector3d::Zero();
    result.rmsFromMeanMm = std::sqrt(squares.sum() / n);
    // The smallest radius that holds at least 95% of the readings.
    const auto k = static_cast<std::size_t>(std::ceil(0.95 * n)) - 1;
    std::nth_element(distances.begin(), distances.begin() + static_cast<std::ptrdiff_t>(k), distances.end());
    result.radius95Mm = distances[k];
}

/// The standard deviation of the orientations' angles from their mean orientation, in degrees.
double angularSpread(const std::vector<Eigen::Quaterniond>& rotations) {
    Eigen::Vector4d sum = Eigen::Vector4d::Zero();
    for (const Eigen::Quaterniond& q : rotations) {
        // q and -q are one rotation: add each on the side of the first.
        sum += (q.coeffs().dot(rotations.front().coeffs()) < 0 ? -1.0 : 1.0) * q.coeffs();
    }
    Eigen::Quaterniond mean;
    mean.coeffs() = sum.normalized();
    double squares = 0.0;
    for (const Eigen::Quaterniond& q : rotations) {
        squares += squared(q.angularDistance(mean));
    }
    const auto n = static_cast<double>(rotations.size());
    return n > 1 ? std::sqrt(squares / (n - 1)) * kDegreesPerRadian : 0.0;
}

/// The mean per window of `windowSeconds`, from the run's start; windows without readings are left out.
std::vector<WindowMean> windowMeans(const std::vector<double>& seconds,
                                    const std::vector<Eigen::Vector3d>& positions, double windowSeconds) {
    std::vector<WindowMean> windows;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const double start = std::floor(seconds[i] / windowSeconds) * windowSeconds;
        if (windows.empty() || windows.back().startSeconds != start) {
            windows.push_back({start, start + windowSeconds, 0, Eigen::Vector3d::Zero()});
        }
        WindowMean& window = windows.back();
        window.mean += positions[i];
        ++window.readings;
    }
    for (WindowMean& window : windows) {
        window.mean /= static_cast<double>(window.readings);
    }
    return windows;
}

/// Leaves out the windows holding less than half as many readings as the fullest (the run's last, cut
/// short): their means are too noisy to tell drift.
void dropShortWindows(std::vector<WindowMean>& windows) {
    std::size_t fullest = 0;
    for (const WindowMean& window : windows) {
        fullest = std::max(fullest, window.readings);
    }
    windows.erase(std::remove_if(windows.begin(), windows.end(),
                                 [&](const WindowMean& window) { return 2 * window.readings < fullest; }),
                  windows.end());
}

/// The drift from the first window's mean to the last's, flagged when larger than the precision.
void drift(PointResult& result) {
    if (result.windows.size() < 2) {
        return;
    }
    const WindowMean& first = result.windows.front();
    const WindowMean& last = result.windows.back();
    result.driftMm = (last.mean - first.mean).norm();
    const double minutes = (last.startSeconds - first.startSeconds) / 60.0;
    result.driftMmPerMinute = minutes > 0.0 ? result.driftMm / minutes : 0.0;
    result.driftFlagged = result.driftMm > result.rmsFromMeanMm;
}

/// Why the readings show a point that was moved: the largest step between the means of consecutive
/// blocks, when it exceeds what the jitter within the blocks explains. Empty when there is none.
std::string motionOf(const std::vector<double>& seconds, const std::vector<Eigen::Vector3d>& positions) {
    std::vector<WindowMean> blocks = windowMeans(seconds, positions, kBlockSeconds);
    double within = 0.0;  // the pooled squared distance of the readings from their block's mean
    std::size_t b = 0;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        while (seconds[i] >= blocks[b].endSeconds) {
            ++b;
        }
        within += (positions[i] - blocks[b].mean).squaredNorm();
    }
    const double jitter = std::sqrt(within / static_cast<double>(positions.size()));
    double largest = 0.0;
    double at = 0.0;
    for (std::size_t k = 1; k < blocks.size(); ++k) {
        const double step = (blocks[k].mean - blocks[k - 1].mean).norm();
        const double n = static_cast<double>(std::min(blocks[k].readings, blocks[k - 1].readings));
        const double allowed = std::max(kMotionFloorMm, kMotionSigmas * jitter * std::sqrt(2.0 / n));
        if (step > allowed && step > largest) {
            largest = step;
            at = blocks[k].startSeconds;
        }
    }
    if (largest == 0.0) {
        return std::string();
    }
    return "moved " + fixed(largest, 2) + " mm at " + fixed(at, 2) + " s, more than its jitter of " +
           fixed(jitter, 3) + " mm explains";
}

}  // namespace

std::optional<KnownDistance> parseDistance(const std::string& text, std::string& why) {
    const std::size_t colon = text.find(':');
    const std::size_t equals = text.rfind('=');
    KnownDistance known;
    if (colon == std::string::npos || equals == std::string::npos || equals < colon || colon == 0 ||
        equals == colon + 1) {
        why = "takes A:B=MM (two instruments, or NAME.tip, and the distance in mm), not '" + text + "'";
        return std::nullopt;
    }
    known.from = text.substr(0, colon);
    known.to = text.substr(colon + 1, equals - colon - 1);
    if (known.from == known.to) {
        why = "'" + known.from + "' is at both ends: a distance takes two points";
        return std::nullopt;
    }
    if (!Text::parseFinite(text.substr(equals + 1), known.nominalMm) || known.nominalMm <= 0.0 ||
        known.nominalMm > 1e5) {
        why = "takes a distance in mm above 0 up to 100000 after '=', not '" + text.substr(equals + 1) + "'";
        return std::nullopt;
    }
    return known;
}

Assessor::Assessor(const std::vector<TrackerID>& instruments, Options options)
    : m_options(std::move(options)) {
    for (const TrackerID& id : instruments) {
        const std::string name = id.name.empty() ? id.ID : id.name;
        m_markerOf[id.ID] = m_points.size();
        m_points.push_back({name, id.ID, false, {}, 0.0, 0});
        if (m_options.navigation.chain.tip(id.ID)) {
            m_tipOf[id.ID] = m_points.size();
            m_points.push_back({name + " tip", id.ID, true, {}, 0.0, 0});
        }
    }
}

std::optional<std::size_t> Assessor::findPoint(const std::string& text) const {
    const bool tip = text.size() > std::strlen(kTipSuffix) &&
                     text.compare(text.size() - std::strlen(kTipSuffix), std::string::npos, kTipSuffix) == 0;
    for (const std::string& wanted : {text, tip ? text.substr(0, text.size() - 4) : std::string()}) {
        for (std::size_t i = 0; i < m_points.size() && !wanted.empty(); ++i) {
            const Point& p = m_points[i];
            const bool named = p.id == wanted || p.label == wanted || p.label == wanted + " tip";
            if (named && p.tip == (wanted != text)) {
                return i;
            }
        }
    }
    return std::nullopt;
}

std::string Assessor::pointLabel(const std::string& text, std::string& why) const {
    const auto found = findPoint(text);
    if (!found) {
        why = "'" + text + "' names no instrument (or no calibrated tip: NAME.tip)";
        return std::string();
    }
    return m_points[*found].label;
}

std::string Assessor::distanceProblem(const KnownDistance& known) const {
    std::string why;
    for (const std::string* end : {&known.from, &known.to}) {
        if (pointLabel(*end, why).empty()) {
            return why;
        }
    }
    // Always 0 from a point to itself: no reading could tell anything of the tracking.
    if (findPoint(known.from) == findPoint(known.to)) {
        return "'" + known.from + "' and '" + known.to + "' name one point, " +
               m_points[*findPoint(known.from)].label + ": a distance takes two";
    }
    return std::string();
}

bool Assessor::addFrame(const std::vector<TrackingInstrument>& instruments,
                        const std::map<std::string, float>& registrationErrors, double seconds) {
    if (m_readings >= kMaxReadings) {
        return false;
    }
    if (!m_start) {
        m_start = seconds;
    }
    const double t = seconds - *m_start;
    m_last = t;
    m_options.navigation.chain.compute(instruments, m_options.minQuality, m_poses);
    for (std::size_t i = 0; i < instruments.size(); ++i) {
        const Navigation::FramePose& pose = m_poses[i];
        const auto marker = m_markerOf.find(instruments[i].id.ID);
        if (!pose.valid() || marker == m_markerOf.end()) {
            continue;
        }
        Point& point = m_points[marker->second];
        const Eigen::Matrix3d rotation = pose.pose.topLeftCorner<3, 3>();
        point.readings.push_back(
            {m_frames, t, pose.pose.topRightCorner<3, 1>(), Eigen::Quaterniond(rotation)});
        if (const auto error = registrationErrors.find(instruments[i].id.ID);
            error != registrationErrors.end()) {
            point.registrationErrorSum += error->second;
            ++point.registrationErrors;
        }
        if (const auto tip = m_tipOf.find(instruments[i].id.ID); tip != m_tipOf.end() && pose.hasTip) {
            m_points[tip->second].readings.push_back(
                {m_frames, t, pose.tipPosition(), Eigen::Quaterniond(rotation)});
            ++m_readings;
        }
        ++m_readings;
    }
    ++m_frames;
    return true;
}

PointResult Assessor::pointResult(const Point& point) const {
    PointResult result;
    result.label = point.label;
    result.id = point.id;
    result.tip = point.tip;
    result.frames = m_frames;
    result.seen = point.readings.size();
    if (point.readings.empty()) {
        return result;
    }
    std::vector<Eigen::Vector3d> positions;
    std::vector<double> seconds;
    std::vector<Eigen::Quaterniond> rotations;
    for (const Reading& r : point.readings) {
        positions.push_back(r.position);
        seconds.push_back(r.seconds);
        rotations.push_back(r.rotation);
    }
    positionSpread(positions, result);
    if (!point.tip) {
        result.angularStdDegrees = angularSpread(rotations);
        if (point.registrationErrors != 0) {
            result.meanRegistrationErrorMm =
                point.registrationErrorSum / static_cast<double>(point.registrationErrors);
        }
    }
    result.windows = windowMeans(seconds, positions, m_options.windowSeconds);
    dropShortWindows(result.windows);
    drift(result);
    result.motion = motionOf(seconds, positions);
    return result;
}

DistanceResult Assessor::distanceResult(const KnownDistance& known) const {
    DistanceResult result;
    result.nominalMm = known.nominalMm;
    const auto from = findPoint(known.from);
    const auto to = findPoint(known.to);
    if (!from || !to) {
        return result;
    }
    result.from = m_points[*from].label;
    result.to = m_points[*to].label;
    const std::vector<Reading>& a = m_points[*from].readings;
    const std::vector<Reading>& b = m_points[*to].readings;
    std::vector<double> distances;
    // Both are in frame order: the frames in which both were seen.
    for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (a[i].frame < b[j].frame) {
            ++i;
        } else if (b[j].frame < a[i].frame) {
            ++j;
        } else {
            const double d = (a[i].position - b[j].position).norm();
            distances.push_back(d);
            result.errorOverTime.emplace_back(a[i].seconds, d - known.nominalMm);
            ++i;
            ++j;
        }
    }
    result.readings = distances.size();
    if (distances.empty()) {
        return result;
    }
    const auto n = static_cast<double>(distances.size());
    double sum = 0.0, errorSquares = 0.0;
    for (const double d : distances) {
        sum += d;
        errorSquares += squared(d - known.nominalMm);
    }
    result.meanMm = sum / n;
    result.errorMm = result.meanMm - known.nominalMm;
    double squares = 0.0;
    for (const double d : distances) {
        squares += squared(d - result.meanMm);
    }
    result.stdMm = n > 1 ? std::sqrt(squares / (n - 1)) : 0.0;
    result.rmsErrorMm = std::sqrt(errorSquares / n);
    return result;
}

Assessment Assessor::result() const {
    Assessment assessment;
    assessment.frame = m_options.navigation.frame;
    assessment.reference = m_options.navigation.chain.reference().value_or(std::string());
    assessment.frames = m_frames;
    assessment.seconds = m_last;
    assessment.windowSeconds = m_options.windowSeconds;
    for (const Point& point : m_points) {
        assessment.points.push_back(pointResult(point));
    }
    for (const KnownDistance& known : m_options.distances) {
        assessment.distances.push_back(distanceResult(known));
    }
    return assessment;
}

}  // namespace Halvoren::Assess

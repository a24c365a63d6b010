#include "registration/TouchDetector.h"

#include <algorithm>
#include <cmath>

namespace Halvoren::Registration {

TouchDetector::TouchDetector(double dwellSeconds) : m_dwell(dwellSeconds) {}

std::optional<Touch> TouchDetector::add(double seconds, const std::optional<Eigen::Vector3d>& tip) {
    if (!tip || !tip->allFinite()) {
        m_window.clear();
        return std::nullopt;
    }
    if (m_last) {
        if ((*tip - *m_last).norm() <= kLeaveMm) {
            return std::nullopt;
        }
        m_last.reset();
    }
    if (!m_window.empty() && seconds < m_window.back().seconds) {
        m_window.clear();  // the clock went back: no rest can be measured across that
    }
    m_window.push_back({seconds, *tip});
    // Keep the oldest position that still makes the window span the dwell.
    while (m_window.size() > 1 && seconds - m_window[1].seconds >= m_dwell) {
        m_window.pop_front();
    }
    std::optional<Touch> touch = stillTouch();
    if (touch) {
        m_last = touch->point;
        m_window.clear();
    }
    return touch;
}

double TouchDetector::restedSeconds() const {
    return m_window.empty() ? 0.0 : m_window.back().seconds - m_window.front().seconds;
}

std::optional<Touch> TouchDetector::stillTouch() const {
    const std::size_t n = m_window.size();
    if (n < kMinTouchSamples || m_window.back().seconds - m_window.front().seconds < m_dwell) {
        return std::nullopt;
    }
    Eigen::Vector3d mean = Eigen::Vector3d::Zero();
    double steps = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mean += m_window[i].position;
        if (i > 0) {
            steps += (m_window[i].position - m_window[i - 1].position).squaredNorm();
        }
    }
    mean /= static_cast<double>(n);
    // Successive differences of independent jitter have twice its variance.
    const double jitter = std::sqrt(steps / (2.0 * static_cast<double>(n - 1)));
    const double bound = std::max(kStillJitterFactor * jitter, kStillFloorMm);
    double spread = 0.0;
    double squares = 0.0;
    for (const Sample& sample : m_window) {
        const double distance = (sample.position - mean).norm();
        spread = std::max(spread, distance);
        squares += distance * distance;
    }
    if (spread > bound) {
        return std::nullopt;
    }
    Touch touch;
    touch.point = mean;
    touch.samples = n;
    touch.jitterMm = std::sqrt(squares / static_cast<double>(n));
    touch.localisationMm = touch.jitterMm / std::sqrt(static_cast<double>(n));
    return touch;
}

}  // namespace Halvoren::Registration

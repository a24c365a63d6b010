#include "calibration/PivotCalibration.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace Halvoren::Calibration {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Solution {
    Eigen::Vector3d tip;
    Eigen::Vector3d pivot;
    std::vector<double> residuals;
};

Solution solve(const std::vector<const Eigen::Matrix4d*>& poses) {
    const Eigen::Index n = static_cast<Eigen::Index>(poses.size());
    Eigen::MatrixXd a(3 * n, 6);
    Eigen::VectorXd b(3 * n);
    for (Eigen::Index i = 0; i < n; ++i) {
        const Eigen::Matrix4d& pose = *poses[static_cast<std::size_t>(i)];
        a.block<3, 3>(3 * i, 0) = pose.block<3, 3>(0, 0);
        a.block<3, 3>(3 * i, 3) = -Eigen::Matrix3d::Identity();
        b.segment<3>(3 * i) = -pose.block<3, 1>(0, 3);
    }
    const Eigen::VectorXd x = a.colPivHouseholderQr().solve(b);
    Solution solution{x.head<3>(), x.tail<3>(), {}};
    for (const Eigen::Matrix4d* pose : poses) {
        const Eigen::Vector3d tipInCamera = pose->block<3, 3>(0, 0) * solution.tip + pose->block<3, 1>(0, 3);
        solution.residuals.push_back((tipInCamera - solution.pivot).norm());
    }
    return solution;
}

double rms(const std::vector<double>& values) {
    double sum = 0.0;
    for (const double v : values) {
        sum += v * v;
    }
    return values.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(values.size()));
}

}  // namespace

double angularSpreadDegrees(const std::vector<Eigen::Matrix4d>& poses) {
    // Every pair of at most 200 poses spread over the recording: enough to find the extremes.
    const std::size_t step = std::max<std::size_t>(1, poses.size() / 200);
    double largest = 0.0;
    for (std::size_t i = 0; i < poses.size(); i += step) {
        const Eigen::Matrix3d ri = poses[i].block<3, 3>(0, 0);
        for (std::size_t j = i + step; j < poses.size(); j += step) {
            const Eigen::Matrix3d relative = ri.transpose() * poses[j].block<3, 3>(0, 0);
            const double cosine = std::clamp((relative.trace() - 1.0) / 2.0, -1.0, 1.0);
            largest = std::max(largest, std::acos(cosine));
        }
    }
    return largest * 180.0 / kPi;
}

std::optional<PivotResult> pivotCalibration(const std::vector<Eigen::Matrix4d>& poses, std::string& error,
                                            const PivotOptions& options) {
    if (poses.size() < options.minimumPoses) {
        error = "too few poses: " + std::to_string(poses.size()) + ", at least " +
                std::to_string(options.minimumPoses) + " are needed";
        return std::nullopt;
    }
    PivotResult result;
    result.angularSpreadDegrees = angularSpreadDegrees(poses);
    if (result.angularSpreadDegrees < options.minimumSpreadDegrees) {
        std::ostringstream text;
        text.precision(1);
        text << std::fixed << "too little rotation: the poses span " << result.angularSpreadDegrees
             << " degrees, at least " << options.minimumSpreadDegrees
             << " are needed; pivot the tool further about its tip";
        error = text.str();
        return std::nullopt;
    }

    std::vector<const Eigen::Matrix4d*> all;
    for (const Eigen::Matrix4d& pose : poses) {
        all.push_back(&pose);
    }
    const Solution first = solve(all);
    std::vector<double> sorted = first.residuals;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2),
                     sorted.end());
    const double limit = std::max(options.outlierFloorMm, options.outlierFactor * sorted[sorted.size() / 2]);
    std::vector<const Eigen::Matrix4d*> kept;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (first.residuals[i] <= limit) {
            kept.push_back(all[i]);
        }
    }
    const Solution final = kept.size() >= options.minimumPoses ? solve(kept) : first;
    if (kept.size() < options.minimumPoses) {
        kept = all;
    }
    const double residual = rms(final.residuals);
    if (residual > options.maximumRmsMm) {
        std::ostringstream text;
        text << "the tip did not stay in one point: RMS residual " << std::fixed << std::setprecision(3)
             << residual << " mm, more than the " << std::defaultfloat << std::setprecision(6)
             << options.maximumRmsMm << " mm accepted; rest the tip in a fixed point while pivoting";
        error = text.str();
        return std::nullopt;
    }
    result.tipOffset = final.tip;
    result.pivotPoint = final.pivot;
    result.rmsResidualMm = residual;
    result.posesUsed = kept.size();
    result.posesDropped = poses.size() - kept.size();
    return result;
}

}  // namespace Halvoren::Calibration

#include "calibration/MarkerDefinition.h"

#include "geometry/MarkerFile.h"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iomanip>
#include <sstream>

namespace Halvoren::Calibration {

namespace {

using Points = std::vector<Eigen::Vector3d>;

/// Finds points of `frame` that match `body` distance for distance; the first full match, in body order.
std::optional<Points> findBody(const Points& body, const Points& frame, double tolerance) {
    const std::size_t n = body.size();
    std::vector<std::size_t> chosen;
    std::function<bool()> extend = [&]() -> bool {
        const std::size_t k = chosen.size();
        if (k == n) {
            return true;
        }
        for (std::size_t candidate = 0; candidate < frame.size(); ++candidate) {
            if (std::find(chosen.begin(), chosen.end(), candidate) != chosen.end()) {
                continue;
            }
            bool fits = true;
            for (std::size_t j = 0; j < k && fits; ++j) {
                const double expected = (body[k] - body[j]).norm();
                fits = std::abs((frame[candidate] - frame[chosen[j]]).norm() - expected) <= tolerance;
            }
            if (!fits) {
                continue;
            }
            chosen.push_back(candidate);
            if (extend()) {
                return true;
            }
            chosen.pop_back();
        }
        return false;
    };
    if (!extend()) {
        return std::nullopt;
    }
    Points found;
    for (const std::size_t index : chosen) {
        found.push_back(frame[index]);
    }
    return found;
}

Eigen::Vector3d centroid(const Points& points) {
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (const auto& p : points) {
        sum += p;
    }
    return sum / static_cast<double>(points.size());
}

Eigen::Vector3d apply(const Eigen::Matrix4d& transform, const Eigen::Vector3d& p) {
    return transform.block<3, 3>(0, 0) * p + transform.block<3, 1>(0, 3);
}

/// The body's points in a frame of its own: centroid at the origin, x along the direction of largest
/// extent, then y; signs chosen so that the result does not depend on how the points were measured.
Points inMarkerFrame(const Points& points) {
    const Eigen::Vector3d c = centroid(points);
    Eigen::Matrix3d covariance = Eigen::Matrix3d::Zero();
    for (const auto& p : points) {
        covariance += (p - c) * (p - c).transpose();
    }
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> solver(covariance);
    // Eigenvalues ascend: the last vector is the direction of largest extent.
    Eigen::Vector3d x = solver.eigenvectors().col(2);
    Eigen::Vector3d y = solver.eigenvectors().col(1);
    const auto skewSign = [&](const Eigen::Vector3d& axis) {
        double third = 0.0;
        for (const auto& p : points) {
            third += std::pow(axis.dot(p - c), 3);
        }
        return third < 0.0 ? -1.0 : 1.0;
    };
    x *= skewSign(x);
    y *= skewSign(y);
    const Eigen::Vector3d z = x.cross(y);
    Points out;
    for (const auto& p : points) {
        out.emplace_back(x.dot(p - c), y.dot(p - c), z.dot(p - c));
    }
    return out;
}

}  // namespace

Eigen::Matrix4d rigidAlignment(const Points& from, const Points& to) {
    const Eigen::Vector3d cFrom = centroid(from);
    const Eigen::Vector3d cTo = centroid(to);
    Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < from.size(); ++i) {
        h += (from[i] - cFrom) * (to[i] - cTo).transpose();
    }
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
    d(2, 2) = (svd.matrixV() * svd.matrixU().transpose()).determinant() < 0.0 ? -1.0 : 1.0;
    const Eigen::Matrix3d r = svd.matrixV() * d * svd.matrixU().transpose();
    Eigen::Matrix4d transform = Eigen::Matrix4d::Identity();
    transform.block<3, 3>(0, 0) = r;
    transform.block<3, 1>(0, 3) = cTo - r * cFrom;
    return transform;
}

namespace {

/// The frame that sees the most loose fiducials among the first ones, cut to the points a marker holds.
Points referencePoints(const std::vector<Points>& frames, const MarkerDefinitionOptions& options) {
    std::size_t referenceIndex = 0;
    for (std::size_t f = 0; f < std::min<std::size_t>(frames.size(), 20); ++f) {
        referenceIndex = frames[f].size() > frames[referenceIndex].size() ? f : referenceIndex;
    }
    Points reference = frames[referenceIndex];
    if (reference.size() > options.maximumPoints) {
        reference.resize(options.maximumPoints);
    }
    return reference;
}

/// A pair of reference points is rigid when at least `needed` frames have a pair at the same distance.
std::vector<std::vector<bool>> rigidPairs(const Points& reference, const std::vector<Points>& frames,
                                          const MarkerDefinitionOptions& options, std::size_t needed) {
    const std::size_t n = reference.size();
    std::vector<std::vector<bool>> rigid(n, std::vector<bool>(n, false));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            const double d = (reference[i] - reference[j]).norm();
            std::size_t found = 0;
            for (const Points& frame : frames) {
                bool present = false;
                for (std::size_t a = 0; a < frame.size() && !present; ++a) {
                    for (std::size_t b = a + 1; b < frame.size() && !present; ++b) {
                        present = std::abs((frame[a] - frame[b]).norm() - d) <= options.rigidToleranceMm;
                    }
                }
                found += present ? 1 : 0;
            }
            rigid[i][j] = rigid[j][i] = found >= needed;
        }
    }
    return rigid;
}

/// The largest set of up to 6 points whose every pair is rigid.
std::vector<std::size_t> largestRigidSet(const std::vector<std::vector<bool>>& rigid) {
    std::vector<std::size_t> best;
    std::vector<std::size_t> current;
    std::function<void(std::size_t)> grow = [&](std::size_t from) {
        if (current.size() > best.size()) {
            best = current;
        }
        if (current.size() == 6) {
            return;
        }
        for (std::size_t k = from; k < rigid.size(); ++k) {
            if (std::all_of(current.begin(), current.end(), [&](std::size_t j) { return rigid[k][j]; })) {
                current.push_back(k);
                grow(k + 1);
                current.pop_back();
            }
        }
    };
    grow(0);
    return best;
}

/// Every distance must differ from the others, or the fiducials cannot be told apart under rotation.
/// The reason when two are too alike; empty otherwise.
std::string alikeDistances(const Points& body, const MarkerDefinitionOptions& options) {
    std::vector<double> distances;
    for (std::size_t i = 0; i < body.size(); ++i) {
        for (std::size_t j = i + 1; j < body.size(); ++j) {
            distances.push_back((body[i] - body[j]).norm());
        }
    }
    std::sort(distances.begin(), distances.end());
    for (std::size_t k = 1; k < distances.size(); ++k) {
        if (distances[k] - distances[k - 1] < options.distinctDistancesMm) {
            std::ostringstream text;
            text << std::fixed << std::setprecision(1) << "the distances between the " << body.size()
                 << " fiducials are too alike to tell them apart under rotation: " << distances[k - 1]
                 << " mm and " << distances[k] << " mm differ by less than " << options.distinctDistancesMm
                 << " mm; move a fiducial so that every distance is distinct";
            return text.str();
        }
    }
    return {};
}

/// Averages the frames after aligning each onto the body; twice, the second time onto the average.
bool averageBody(const std::vector<Points>& frames, const MarkerDefinitionOptions& options,
                 std::size_t needed, Points& body, DefinedMarker& marker, std::string& error) {
    for (int round = 0; round < 2; ++round) {
        Points sum(body.size(), Eigen::Vector3d::Zero());
        std::size_t used = 0;
        double squared = 0.0;
        for (const Points& frame : frames) {
            const std::optional<Points> found = findBody(body, frame, 2.0 * options.rigidToleranceMm);
            if (!found) {
                continue;
            }
            const Eigen::Matrix4d onto = rigidAlignment(*found, body);
            for (std::size_t k = 0; k < body.size(); ++k) {
                const Eigen::Vector3d aligned = apply(onto, (*found)[k]);
                sum[k] += aligned;
                squared += (aligned - body[k]).squaredNorm();
            }
            ++used;
        }
        if (used < needed) {
            error = "the fiducials were found together in only " + std::to_string(used) + " of " +
                    std::to_string(frames.size()) + " frames";
            return false;
        }
        for (std::size_t k = 0; k < body.size(); ++k) {
            body[k] = sum[k] / static_cast<double>(used);
        }
        marker.framesUsed = used;
        marker.alignmentRmsMm = std::sqrt(squared / static_cast<double>(used * body.size()));
    }
    return true;
}

}  // namespace

std::optional<DefinedMarker> defineMarker(const std::vector<Points>& frames, std::string& error,
                                          const MarkerDefinitionOptions& options) {
    if (frames.size() < options.minimumFrames) {
        error = "too few frames: " + std::to_string(frames.size()) + ", at least " +
                std::to_string(options.minimumFrames) + " are needed";
        return std::nullopt;
    }
    const Points reference = referencePoints(frames, options);
    const auto needed =
        static_cast<std::size_t>(std::ceil(options.presence * static_cast<double>(frames.size())));
    const std::vector<std::size_t> best = largestRigidSet(rigidPairs(reference, frames, options, needed));
    if (best.size() < 3) {
        error =
            "no set of 3 to 6 fiducials moves rigidly through the frames; show the new marker to the camera "
            "and move it";
        return std::nullopt;
    }
    Points body;
    for (const std::size_t k : best) {
        body.push_back(reference[k]);
    }
    error = alikeDistances(body, options);
    if (!error.empty()) {
        return std::nullopt;
    }
    DefinedMarker marker;
    if (!averageBody(frames, options, needed, body, marker, error)) {
        return std::nullopt;
    }
    marker.points = inMarkerFrame(body);
    return marker;
}

std::string geometryFileText(const DefinedMarker& marker, std::uint32_t id, const std::string& comment) {
    MarkerFile::Marker file;
    file.id = id;
    for (const Eigen::Vector3d& p : marker.points) {
        // To 0.1 um, far below what the camera resolves, so that the file reads plainly.
        const auto rounded = [](double mm) { return static_cast<float>(std::round(mm * 1e4) / 1e4); };
        file.fiducials.push_back({rounded(p.x()), rounded(p.y()), rounded(p.z())});
    }
    return MarkerFile::write(file, comment);
}

}  // namespace Halvoren::Calibration

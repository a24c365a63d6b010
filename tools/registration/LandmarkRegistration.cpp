#include "registration/LandmarkRegistration.h"

#include "registration/PointRegistration.h"
#include "registration/TransformFile.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace Halvoren::Registration {

namespace {

Eigen::Vector3d apply(const Eigen::Matrix4d& t, const Eigen::Vector3d& p) {
    return t.topLeftCorner<3, 3>() * p + t.topRightCorner<3, 1>();
}

double rms(const std::vector<double>& values) {
    double squares = 0.0;
    for (double v : values) {
        squares += v * v;
    }
    return values.empty() ? 0.0 : std::sqrt(squares / static_cast<double>(values.size()));
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0.0 : (n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]));
}

std::string fixed(double value) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(3);
    text << value;
    return text.str();
}

void warn(RegistrationResult& result) {
    std::vector<double> residuals;
    for (const LandmarkResult& landmark : result.landmarks) {
        residuals.push_back(landmark.residualMm);
    }
    const double typical = median(residuals);
    for (LandmarkResult& landmark : result.landmarks) {
        landmark.standsOut =
            landmark.residualMm > kStandOutMm && landmark.residualMm > kStandOutFactor * typical;
        if (landmark.standsOut) {
            result.warnings.push_back("landmark " + landmark.label + ": its residual " +
                                      fixed(landmark.residualMm) + " mm stands out (median " +
                                      fixed(typical) +
                                      " mm): swapped with another or touched in the wrong place?");
        }
    }
    for (std::size_t i = 0; i < result.targets.size(); ++i) {
        if (result.targets[i].predictedTreMm > kTreWarningMm) {
            result.warnings.push_back("target " + std::to_string(i + 1) + ": predicted error " +
                                      fixed(result.targets[i].predictedTreMm) + " mm, above " +
                                      fixed(kTreWarningMm) + " mm: add landmarks around it");
        }
    }
    if (result.centroidTreMm > kTreWarningMm) {
        result.warnings.push_back("predicted error at the landmarks' centroid " +
                                  fixed(result.centroidTreMm) + " mm, above " + fixed(kTreWarningMm) + " mm");
    }
}

}  // namespace

RegistrationResult registerLandmarks(const std::vector<Landmark>& landmarks,
                                     const std::vector<Touch>& touches,
                                     const std::vector<Eigen::Vector3d>& targets) {
    Points image;
    Points touched;
    std::vector<double> localisation;
    for (std::size_t i = 0; i < landmarks.size() && i < touches.size(); ++i) {
        image.push_back(landmarks[i].position);
        touched.push_back(touches[i].point);
        localisation.push_back(touches[i].localisationMm);
    }
    const RigidFit fit = fitRigid(image, touched);
    RegistrationResult result;
    result.imageToReference = fit.transform;
    result.rmsFreMm = fit.rmsResidual;
    result.fleMeasuredMm = rms(localisation);
    result.fleFromResidualsMm = fleFromResiduals(fit.rmsResidual, static_cast<int>(image.size()));
    result.fleMm = std::max(result.fleMeasuredMm, result.fleFromResidualsMm);
    const Configuration configuration = configurationOf(image);
    result.centroid = configuration.centroid;
    result.centroidTreMm = predictedTre(configuration, result.fleMm, configuration.centroid);
    for (std::size_t i = 0; i < image.size(); ++i) {
        result.landmarks.push_back({landmarks[i].label, image[i], touched[i], fit.residuals[i],
                                    touches[i].jitterMm, touches[i].localisationMm,
                                    predictedTre(configuration, result.fleMm, image[i]), false});
    }
    for (const Eigen::Vector3d& target : targets) {
        result.targets.push_back({target, predictedTre(configuration, result.fleMm, target)});
    }
    warn(result);
    return result;
}

VerificationResult verifyLandmarks(const Eigen::Matrix4d& imageToReference,
                                   const std::vector<Landmark>& landmarks,
                                   const std::vector<Touch>& touches) {
    VerificationResult result;
    Points image;
    for (const Landmark& landmark : landmarks) {
        image.push_back(landmark.position);
    }
    const Configuration configuration = configurationOf(image);
    std::vector<double> localisation;
    std::vector<double> errors;
    for (std::size_t i = 0; i < touches.size() && i < landmarks.size(); ++i) {
        localisation.push_back(touches[i].localisationMm);
    }
    result.fleMm = rms(localisation);
    const Eigen::Matrix4d referenceToImage = rigidInverse(imageToReference);
    for (std::size_t i = 0; i < localisation.size(); ++i) {
        VerifiedLandmark verified;
        verified.label = landmarks[i].label;
        verified.image = landmarks[i].position;
        verified.touched = touches[i].point;
        verified.mapped = apply(referenceToImage, touches[i].point);
        verified.errorMm = (verified.mapped - verified.image).norm();
        verified.localisationMm = touches[i].localisationMm;
        verified.predictedTreMm = predictedTre(configuration, result.fleMm, verified.image);
        errors.push_back(verified.errorMm);
        result.landmarks.push_back(verified);
    }
    result.rmsErrorMm = rms(errors);
    return result;
}

}  // namespace Halvoren::Registration

#pragma once
// A registration from touched landmarks, with everything a user needs to judge it: the residual of each
// landmark, the localisation error measured and the one the residuals imply, the predicted target error
// at each landmark, at the centroid and at chosen targets, and warnings; and the verification of a
// registration by touching landmarks again. Pure.

#include "registration/LandmarkFile.h"
#include "registration/TouchDetector.h"

#include <Eigen/Core>

#include <string>
#include <vector>

namespace Halvoren::Registration {

/// A target whose predicted error is above this is warned about.
constexpr double kTreWarningMm = 2.0;
/// A landmark whose residual is above this many times the median residual, and above kStandOutMm,
/// stands out: it was likely swapped with another or touched in the wrong place.
constexpr double kStandOutFactor = 3.0;
constexpr double kStandOutMm = 1.0;

struct LandmarkResult {
    std::string label;
    Eigen::Vector3d image = Eigen::Vector3d::Zero();    // image RAS, mm
    Eigen::Vector3d touched = Eigen::Vector3d::Zero();  // reference frame, mm
    double residualMm = 0.0;                            // |ImageToReference image - touched|
    double jitterMm = 0.0;                              // the tip's spread over the dwell
    double localisationMm = 0.0;                        // the touched point's own uncertainty
    double predictedTreMm = 0.0;                        // at the landmark
    bool standsOut = false;
};

struct TargetResult {
    Eigen::Vector3d image = Eigen::Vector3d::Zero();
    double predictedTreMm = 0.0;
};

struct RegistrationResult {
    Eigen::Matrix4d imageToReference = Eigen::Matrix4d::Identity();  // image RAS mm to reference mm
    std::vector<LandmarkResult> landmarks;
    double rmsFreMm = 0.0;
    double fleMeasuredMm = 0.0;       // RMS of the landmarks' localisation errors
    double fleFromResidualsMm = 0.0;  // RMS FRE / sqrt(1 - 2/N)
    double fleMm = 0.0;               // the larger: what the predictions use
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    double centroidTreMm = 0.0;
    std::vector<TargetResult> targets;
    std::vector<std::string> warnings;
};

/// Registers the landmarks (image) to the points touched for them (reference), in order; both lists of
/// the same size, at least 3, not collinear (see refusal()).
RegistrationResult registerLandmarks(const std::vector<Landmark>& landmarks,
                                     const std::vector<Touch>& touches,
                                     const std::vector<Eigen::Vector3d>& targets);

struct VerifiedLandmark {
    std::string label;
    Eigen::Vector3d image = Eigen::Vector3d::Zero();
    Eigen::Vector3d touched = Eigen::Vector3d::Zero();  // reference frame
    Eigen::Vector3d mapped = Eigen::Vector3d::Zero();   // the touched point in the image
    double errorMm = 0.0;                               // |mapped - image|: the measured target error
    double localisationMm = 0.0;
    double predictedTreMm = 0.0;
};

struct VerificationResult {
    std::vector<VerifiedLandmark> landmarks;
    double rmsErrorMm = 0.0;
    double fleMm = 0.0;  // measured while touching again
};

/// The landmarks touched again (the first touches.size() of them) against the registration: the predicted
/// error takes the file's landmarks as the registration's configuration and the localisation error
/// measured now.
VerificationResult verifyLandmarks(const Eigen::Matrix4d& imageToReference,
                                   const std::vector<Landmark>& landmarks, const std::vector<Touch>& touches);

}  // namespace Halvoren::Registration

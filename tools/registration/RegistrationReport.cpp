#include "registration/RegistrationReport.h"

#include <nlohmann/json.hpp>

#include <iomanip>
#include <ostream>
#include <sstream>

namespace Halvoren::Registration {

namespace {

using Json = nlohmann::json;

Json vector(const Eigen::Vector3d& v) {
    return Json::array({v.x(), v.y(), v.z()});
}

std::string point(const Eigen::Vector3d& v) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << v.x() << ' ' << v.y() << ' ' << v.z();
    return text.str();
}

std::ostream& row(std::ostream& out, const std::string& label) {
    return out << "  " << std::left << std::setw(12) << label << std::right;
}

}  // namespace

void writeRegistration(const RegistrationResult& result, const std::string& frame, std::ostream& out) {
    out << std::fixed << std::setprecision(3);
    out << "registration of " << result.landmarks.size() << " landmarks: image (RAS, mm) to " << frame
        << '\n';
    out << "  landmark     residual  jitter  localisation  predicted TRE (mm)\n";
    for (const LandmarkResult& landmark : result.landmarks) {
        row(out, landmark.label) << std::setw(9) << landmark.residualMm << std::setw(8) << landmark.jitterMm
                                 << std::setw(14) << landmark.localisationMm << std::setw(15)
                                 << landmark.predictedTreMm << (landmark.standsOut ? "  stands out" : "")
                                 << '\n';
    }
    out << "RMS FRE (mm)                " << result.rmsFreMm << '\n';
    out << "localisation error (mm)     " << result.fleMeasuredMm << " measured, "
        << result.fleFromResidualsMm << " from the residuals, " << result.fleMm << " used\n";
    out << "predicted TRE (mm)          " << result.centroidTreMm << " at the centroid ("
        << point(result.centroid) << ")\n";
    for (std::size_t i = 0; i < result.targets.size(); ++i) {
        out << "                            " << result.targets[i].predictedTreMm << " at target " << i + 1
            << " (" << point(result.targets[i].image) << ")\n";
    }
    out << "ImageToReference (image RAS mm to " << frame << " mm)\n" << std::setprecision(6);
    for (int r = 0; r < 4; ++r) {
        out << ' ';
        for (int c = 0; c < 4; ++c) {
            out << std::setw(14) << result.imageToReference(r, c);
        }
        out << '\n';
    }
    out.unsetf(std::ios::floatfield);
}

std::string registrationJson(const RegistrationResult& result, const std::string& frame) {
    Json matrix = Json::array();
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) {
            matrix.push_back(result.imageToReference(r, c));
        }
    }
    Json landmarks = Json::array();
    for (const LandmarkResult& landmark : result.landmarks) {
        landmarks.push_back({{"label", landmark.label},
                             {"image", vector(landmark.image)},
                             {"touched", vector(landmark.touched)},
                             {"residual", landmark.residualMm},
                             {"jitter", landmark.jitterMm},
                             {"localisationError", landmark.localisationMm},
                             {"predictedTre", landmark.predictedTreMm},
                             {"standsOut", landmark.standsOut}});
    }
    Json targets = Json::array();
    for (const TargetResult& target : result.targets) {
        targets.push_back({{"image", vector(target.image)}, {"predictedTre", target.predictedTreMm}});
    }
    const Json root = {
        {"frame", frame},
        {"imageToReference", matrix},
        {"landmarks", landmarks},
        {"rmsFre", result.rmsFreMm},
        {"localisationError",
         {{"measured", result.fleMeasuredMm},
          {"fromResiduals", result.fleFromResidualsMm},
          {"used", result.fleMm}}},
        {"predictedTre",
         {{"centroid", {{"image", vector(result.centroid)}, {"predictedTre", result.centroidTreMm}}},
          {"targets", targets}}},
        {"warnings", result.warnings}};
    return root.dump(2) + "\n";
}

void writeVerification(const VerificationResult& result, std::ostream& out) {
    out << std::fixed << std::setprecision(3);
    out << "verification of " << result.landmarks.size() << " landmarks\n";
    out << "  landmark     error  predicted TRE  localisation (mm)\n";
    for (const VerifiedLandmark& landmark : result.landmarks) {
        row(out, landmark.label) << std::setw(6) << landmark.errorMm << std::setw(15)
                                 << landmark.predictedTreMm << std::setw(14) << landmark.localisationMm
                                 << '\n';
    }
    out << "RMS error (mm)              " << result.rmsErrorMm << '\n';
    out.unsetf(std::ios::floatfield);
}

std::string verificationJson(const VerificationResult& result) {
    Json landmarks = Json::array();
    for (const VerifiedLandmark& landmark : result.landmarks) {
        landmarks.push_back({{"label", landmark.label},
                             {"image", vector(landmark.image)},
                             {"touched", vector(landmark.touched)},
                             {"mapped", vector(landmark.mapped)},
                             {"error", landmark.errorMm},
                             {"predictedTre", landmark.predictedTreMm},
                             {"localisationError", landmark.localisationMm}});
    }
    const Json root = {
        {"landmarks", landmarks}, {"rmsError", result.rmsErrorMm}, {"localisationError", result.fleMm}};
    return root.dump(2) + "\n";
}

}  // namespace Halvoren::Registration

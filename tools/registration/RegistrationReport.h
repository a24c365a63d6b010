#pragma once
// A registration and a verification as the user reads them (a table per landmark, the errors, the
// matrix) and as JSON for scripts.

#include "registration/LandmarkRegistration.h"

#include <iosfwd>
#include <string>

namespace Halvoren::Registration {

/// `frame`: the reference's name as transforms show it ("Reference").
void writeRegistration(const RegistrationResult& result, const std::string& frame, std::ostream& out);
/// {"imageToReference": 4 x 4 row-major, "landmarks": [...], "rmsFre", "localisationError": {...},
/// "predictedTre": {"centroid", "targets": [...]}, "warnings": [...]}, all in mm.
std::string registrationJson(const RegistrationResult& result, const std::string& frame);

void writeVerification(const VerificationResult& result, std::ostream& out);
std::string verificationJson(const VerificationResult& result);

}  // namespace Halvoren::Registration

#pragma once
// "halvoren register": landmark registration with a tracked pointer. The user touches each landmark of
// the image in turn; the command registers the image to the reference marker, predicts the target error,
// and writes the transform for 3D Slicer and a JSON report. With --verify it touches landmarks again and
// measures a registration's error.

#include "halvoren/session/StreamSetup.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace Halvoren::App {

struct RegisterOptions : StreamSetup {
    std::string pointer;               // the instrument whose calibrated tip touches (its ID or name)
    std::string landmarks;             // .mrk.json or CSV
    std::string output;                // the ImageToReference .tfm
    std::string report;                // JSON; none when empty
    std::vector<std::string> targets;  // "X,Y,Z" in image RAS mm, each checked when parsed
    double dwellSeconds = 1.0;
    std::string verify;  // a registration's .tfm to verify instead of registering
};

/// Parses "X,Y,Z" (finite numbers); false when it is not that.
bool parseTarget(const std::string& text, double (&xyz)[3]);

/// Runs the command: the report goes to `out`, prompts and messages to `err`. Returns the exit code: 7
/// when the landmarks cannot give a registration (collinear), 8 when interrupted (nothing written).
int runRegister(const RegisterOptions& options, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App

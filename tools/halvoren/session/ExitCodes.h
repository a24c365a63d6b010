#pragma once
// The application's exit codes, and the one place an error becomes one.

#include "text/Expected.h"

#include <iosfwd>

namespace Halvoren::App {

/// Exit codes of the application.
enum ExitCode {
    ExitOk = 0,
    ExitFailure = 1,             // the stream failed while running
    ExitUsage = 2,               // wrong options
    ExitBadInput = 3,            // an unreadable marker or workspace file
    ExitNoCamera = 4,            // the camera could not be opened
    ExitNoPlugin = 5,            // no loaded plug-in offers the tracking stream
    ExitWriteFailed = 6,         // the poses could not be written
    ExitCalibrationRefused = 7,  // the frames cannot give a calibration (too little rotation, ...)
    ExitInterrupted = 8,         // a signal stopped a calibration (or an export) before it was done
    ExitPosesLost = 9,           // poses were lost: the reader of the pose output could not keep up
    ExitNothingSeen = 10,        // assess: frames came, but no point was seen in any of them
};

/// The exit code an error ends the application with: the one place a kind becomes a code.
ExitCode exitCodeOf(const Error& error);

/// Writes "halvoren: MESSAGE" (nothing when the message is empty: the reason was written where it arose)
/// and gives the error's exit code.
int reportError(const Error& error, std::ostream& err);

}  // namespace Halvoren::App

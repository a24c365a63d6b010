#include "halvoren/session/ExitCodes.h"

#include <ostream>

namespace Halvoren::App {

ExitCode exitCodeOf(const Error& error) {
    switch (error.kind) {
        case ErrorKind::Usage:
            return ExitUsage;
        case ErrorKind::BadInput:
            return ExitBadInput;
        case ErrorKind::NoDevice:
            return ExitNoCamera;
        case ErrorKind::NoPlugin:
            return ExitNoPlugin;
        case ErrorKind::WriteFailed:
            return ExitWriteFailed;
        case ErrorKind::Refused:
            return ExitCalibrationRefused;
        case ErrorKind::Interrupted:
            return ExitInterrupted;
        case ErrorKind::Failure:
            break;
    }
    return ExitFailure;
}

int reportError(const Error& error, std::ostream& err) {
    if (!error.message.empty()) {
        err << "halvoren: " << error.message << '\n';
    }
    return exitCodeOf(error);
}

}  // namespace Halvoren::App

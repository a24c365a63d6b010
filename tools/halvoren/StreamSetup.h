#pragma once
// What every command that runs the tracking stream shares: the options that configure the stream, and
// the exit codes with the one place an error becomes one.

#include "text/Expected.h"

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

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

struct StreamSetup {
    std::vector<std::string> markers;  // geometry files; the example markers when empty
    std::string workspace;             // configure from this workspace
    bool images = false;
    std::optional<int> fiducialMode;
    int logLevel = 2;
    std::optional<int> igtlPort;  // serve OpenIGTLink clients on this port (0: any free port)
    std::string igtlHost;         // listen on this address only; all interfaces when empty
    double igtlImageRate = 5.0;   // camera images sent to clients per second, at most
    // Serve the camera images on this port rather than with the poses (0: any free port).
    std::optional<int> igtlImagePort;
    // OpenIGTLink clients connected at once; further ones are refused.
    std::size_t igtlMaxClients = 128;
    double minQuality = 0.0;  // an instrument below this quality counts as not seen; 0: no gate
    int staleAfterMs = 0;     // no new frame this long: the poses are stale; 0: three frame periods, >= 50 ms
    std::string replay;       // play this recording as the camera instead of the simulated scene
    double replaySpeed = 1.0;  // times the recorded pace; 0: as fast as the stream takes the frames
    std::string record;        // record the run into this sequence metafile (.mhd)
    std::string reference;     // poses relative to this instrument (its ID or name); camera's when empty
    std::string frameName;     // the reference frame's name in every output; the reference's when empty
    std::vector<std::string> names;  // "ID_OR_NAME=NAME": an instrument's name in every output
    std::string registration;  // an ImageToReference .tfm: poses in the image's frame (with reference)
};

/// Folder of the example data (geometry files): HALVOREN_DATA_DIR when set, else the installed data beside
/// the application, else the source tree's data/ (a build tree).
std::string exampleDataDirectory();

/// The geometry files of the example markers, in name order.
std::vector<std::string> exampleMarkers();

}  // namespace Halvoren::App

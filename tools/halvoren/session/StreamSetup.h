#pragma once
// What every command that runs the tracking stream shares: the options that configure the stream.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

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
    std::string registration;        // an ImageToReference .tfm: poses in the image's frame (with reference)
};

/// Folder of the example data (geometry files): HALVOREN_DATA_DIR when set, else the installed data beside
/// the application, else the source tree's data/ (a build tree).
std::string exampleDataDirectory();

/// The geometry files of the example markers, in name order.
std::vector<std::string> exampleMarkers();

}  // namespace Halvoren::App

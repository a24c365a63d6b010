#pragma once
// Tool calibration from the command line: pivot calibration of a marker's tool tip, and the definition of
// a new marker from the fiducials of a rigid body no registered marker explains.

#include "halvoren/session/StreamSetup.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

namespace Halvoren::App {

struct PivotOptions : StreamSetup {
    std::uint64_t frames = 600;  // frames to collect poses from
    std::string output;          // JSON result; none when empty
    double maxRmsMm = 2.0;       // a larger RMS residual is refused
    bool save = false;           // the tip written into the marker file's [tip] section
};

struct DefineMarkerOptions : StreamSetup {
    std::uint64_t frames = 300;  // frames to learn the geometry from
    std::uint64_t checkFrames = 100;
    std::optional<std::uint32_t> id;  // the first free id from 1000 up when not given
    std::string output;               // the geometry file to write
};

/// Streams, collects the marker's poses and prints the calibration on `out`; returns the exit code.
int runPivot(const PivotOptions& options, std::ostream& out, std::ostream& err);

/// Streams all fiducials, learns the new marker, writes its geometry file, then tracks it to check it;
/// the results go to `out`. Returns the exit code.
int runDefineMarker(const DefineMarkerOptions& options, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App

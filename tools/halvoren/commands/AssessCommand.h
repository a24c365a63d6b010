#pragma once
// "halvoren assess": runs the camera while the markers are held still and reports the tracking's quality:
// per marker (and calibrated tip) its precision, orientation spread, registration error, drift and share
// of frames seen; per known distance its trueness.

#include "halvoren/session/StreamSetup.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace Halvoren::App {

struct AssessOptions : StreamSetup {
    std::uint64_t frames = 500;  // 0: no frame limit
    bool framesGiven = false;    // --duration alone runs for its time, a replay to its end
    double durationSeconds = 0.0;
    std::vector<std::string> distances;  // "A:B=MM", each checked when parsed
    double windowSeconds = 10.0;         // the drift's time window
    std::string output;                  // the assessment as JSON
    std::string plot;                    // the plot as PNG
};

/// Runs the command: the report goes to `out`, messages to `err`. Returns the exit code: 7 when a point
/// moved more than its jitter explains (the assessment is refused), 1 when no frame came, 10 when frames
/// came but no point was seen in any.
int runAssess(const AssessOptions& options, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App

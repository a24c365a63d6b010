#pragma once
// "halvoren stream": runs the tracking stream and writes the poses it delivers.

#include "halvoren/outputs/PoseWriter.h"
#include "halvoren/session/StreamSetup.h"

#include <cstdint>
#include <iosfwd>
#include <string>

namespace Halvoren::App {

struct StreamOptions : StreamSetup {
    std::string saveWorkspace;     // write the configuration that ran here
    std::uint64_t frames = 300;    // 0: no frame limit
    bool framesGiven = false;      // a replay runs to its end unless a frame limit was given
    double durationSeconds = 0.0;  // 0: no time limit
    PoseFormat format = PoseFormat::Csv;
    std::string output;               // stdout when empty
    double healthEverySeconds = 0.0;  // print the health block this often while running; 0: at the end only
};

/// Runs the command: the poses go to `out` unless the options name a file, messages to `err`. Returns the
/// exit code. Stops early when interrupted (SIGINT, SIGTERM).
int runStream(const StreamOptions& options, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App

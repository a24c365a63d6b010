#pragma once
// "halvoren stream": runs the tracking stream and writes the poses it delivers.

#include "app/PoseWriter.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

/// Exit codes of the application.
enum ExitCode {
    ExitOk = 0,
    ExitFailure = 1,   // the stream failed while running
    ExitUsage = 2,     // wrong options
    ExitBadInput = 3,  // an unreadable marker or workspace file
    ExitNoCamera = 4,  // the camera could not be opened
};

struct StreamOptions {
    std::vector<std::string> markers;  // geometry files; the example markers when empty
    std::string workspace;             // configure from this workspace
    std::string saveWorkspace;         // write the configuration that ran here
    std::uint64_t frames = 300;        // 0: no frame limit
    double durationSeconds = 0.0;      // 0: no time limit
    PoseFormat format = PoseFormat::Csv;
    std::string output;  // stdout when empty
    bool images = false;
    std::optional<int> fiducialMode;
    int logLevel = 2;
    bool help = false;
};

/// Parses the options after "stream". On failure returns nothing and sets the error text.
std::optional<StreamOptions> parseStreamOptions(const std::vector<std::string>& args, std::string& error);
std::string streamUsage();

/// Folder of the example data (geometry files).
std::string exampleDataDirectory();

/// Runs the command; returns the exit code. Stops early when interrupted (SIGINT, SIGTERM).
int runStream(const StreamOptions& options, std::ostream& err);

}  // namespace Halvoren::App

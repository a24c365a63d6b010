#pragma once
// "halvoren export FILE": a recording's poses, written as halvoren stream wrote them while recording.

#include "halvoren/outputs/PoseWriter.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace Halvoren::App {

struct ExportOptions {
    std::string recording;  // the recording's header (.mhd or .mha)
    PoseFormat format = PoseFormat::Csv;
    std::string output;       // stdout when empty
    double minQuality = 0.0;  // poses below it are INVALID too (the recorded status is kept)
    std::string reference;    // poses relative to this instrument (its ID or name); camera's when empty
    std::string frameName;    // the reference frame's name; the reference's when empty
    std::vector<std::string> names;  // "ID_OR_NAME=NAME": an instrument's name in place of its own
    std::string registration;        // an ImageToReference .tfm: poses in the image's frame (with reference)
};

/// Runs the command: the poses go to `out` unless the options name a file, messages to `err`. Returns the
/// exit code.
int runExport(const ExportOptions& options, std::ostream& out, std::ostream& err);

}  // namespace Halvoren::App

#pragma once
// Saving a calibrated tip into an existing marker file: its [tip] section replaced, every other line kept
// as it was, and the file replaced whole or not at all.

#include "geometry/MarkerFile.h"

#include <string>
#include <string_view>

namespace Halvoren::MarkerFile {

/// The text with its [tip] section (each one, should the header repeat) replaced by the tip's, at the place
/// of the first; appended at the end when there is none. Every other line is kept to the byte; the lines
/// written end as the text's do ("\r\n" or "\n").
std::string withTip(std::string_view text, const Tip& tip);

/// Writes the tip into the marker file at `path` (a symbolic link: into the file it names) through
/// PATH.tmp in the same folder, synced and renamed over it, keeping its permissions. Refuses, leaving
/// everything as it was, a path that is not a regular file, a file that is not a marker, and a text that
/// would not read back with the tip. The reason, or empty when saved.
std::string saveTip(const std::string& path, const Tip& tip);

}  // namespace Halvoren::MarkerFile

#pragma once
// Checks the application makes before a run starts, so that a user hears the real cause of a refusal (a
// missing file, a folder, a taken id) rather than what a parser makes of an empty text.

#include "geometry/MarkerFile.h"
#include "text/Expected.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Halvoren::App {

/// The marker file at `path` as MarkerFile::read gives it, read once for all the checks and the recording
/// while the file stays as it was (the same inode, size and time). Any thread.
MarkerFile::Loaded markerFileAt(const std::string& path);

/// Why the input file at `path` cannot be read ("does not exist", "is a folder", "is a FIFO, not a
/// regular file", "cannot be read"), or empty when it can; never waits. Paths beginning with ":/" name
/// resources and are not checked.
std::string unreadableFileReason(const std::string& path);

/// Why a file cannot be written at `path` without touching it, or empty when it likely can.
std::string unwritableFileReason(const std::string& path);

/// Refuses a path that cannot be written ("cannot write PATH: it <reason>"); an empty one names no file
/// and passes.
Expected<void> checkWritable(const std::string& path);

/// Refuses a path at which no recording (with images or without) can be made, without touching anything:
/// what checkWritable says, or a name one of the recording's files (header, data, temporary, lock) cannot
/// have.
Expected<void> checkRecordable(const std::string& path, bool images);

/// The geometry id a marker file declares, as the camera will know it (ids the camera reserves are
/// raised as the stream raises them); nothing when the file does not read as a geometry (the stream
/// loads no marker from it) or is a resource.
std::optional<std::uint32_t> declaredMarkerId(const std::string& path);

/// Reads the marker file as the geometry reader does and checks its fiducials: two closer than 1 mm make
/// its pose meaningless (refused, the reason as a clause: "its fiducial0 and ..."); fewer than three cannot
/// be tracked (a warning). A file larger than a marker file can be is refused, having been read no further
/// than that. Gives the warnings: why the marker will never be tracked, though it may be used. A file that
/// does not read as a geometry, or a resource, gives none: the stream refuses it with its own message.
Expected<std::vector<std::string>> checkMarkerGeometry(const std::string& path);

}  // namespace Halvoren::App

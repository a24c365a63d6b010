#include "halvoren/session/FileChecks.h"

#include "geometry/MarkerFile.h"
#include "sequence/RecordingLock.h"
#include "sequence/SequenceFile.h"
#include "text/BoundedFile.h"
#include "text/FileDescriptor.h"
#include "text/Text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <filesystem>
#include <iomanip>
#include <map>
#include <mutex>
#include <sstream>

namespace Halvoren::App {

namespace {

// Fiducials closer than this cannot be told apart by the camera.
constexpr double kMinFiducialDistanceMm = 1.0;

}  // namespace

MarkerFile::Loaded markerFileAt(const std::string& path) {
    // What identifies the file's content: a file saved anew (a tip written) is another inode or time.
    struct Seen {
        dev_t device;
        ino_t inode;
        off_t size;
        timespec modified;
        MarkerFile::Loaded loaded;
    };
    static std::mutex mutex;
    static std::map<std::string, Seen> seen;
    struct stat status {};
    const bool regular = ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    const std::lock_guard<std::mutex> lock(mutex);
    const auto it = seen.find(path);
    if (regular && it != seen.end() && it->second.device == status.st_dev &&
        it->second.inode == status.st_ino && it->second.size == status.st_size &&
        it->second.modified.tv_sec == status.st_mtim.tv_sec &&
        it->second.modified.tv_nsec == status.st_mtim.tv_nsec) {
        return it->second.loaded;
    }
    MarkerFile::Loaded loaded = MarkerFile::read(path);
    if (regular && loaded.source == MarkerFile::Source::Read) {
        seen[path] = Seen{status.st_dev, status.st_ino, status.st_size, status.st_mtim, loaded};
    }
    return loaded;
}

std::string unreadableFileReason(const std::string& path) {
    if (path.rfind(":/", 0) == 0) {
        return std::string();
    }
    // Opened as every input file is read: a FIFO, a device or a folder is refused, never waited for.
    BoundedFile::Result refused;
    if (FileDescriptor(BoundedFile::openRegular(path, refused)).get() >= 0) {
        return std::string();
    }
    switch (refused.outcome) {
        case BoundedFile::Outcome::Folder:
            return "is a folder";
        case BoundedFile::Outcome::NotRegular:
            return "is " + refused.reason + ", not a regular file";
        default:
            return refused.error == ENOENT ? "does not exist" : "cannot be read";
    }
}

std::string unwritableFileReason(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path file(path);
    if (fs::is_directory(file, error)) {
        return "is a folder";
    }
    if (fs::exists(file, error)) {
        return ::access(path.c_str(), W_OK) == 0 ? std::string() : "is not writable";
    }
    const fs::path folder = file.has_parent_path() ? file.parent_path() : fs::path(".");
    if (!fs::is_directory(folder, error)) {
        return "is in a folder that does not exist (" + folder.string() + ")";
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        return "is in a folder that is not writable (" + folder.string() + ")";
    }
    return std::string();
}

Expected<void> checkWritable(const std::string& path) {
    const std::string reason = path.empty() ? std::string() : unwritableFileReason(path);
    if (!reason.empty()) {
        return makeError(ErrorKind::BadInput, "cannot write " + path + ": it " + reason);
    }
    return {};
}

Expected<void> checkRecordable(const std::string& path, bool images) {
    if (Expected<void> writable = checkWritable(path); !writable) {
        return writable;
    }
    if (const std::string problem = Sequence::SequenceWriter::nameProblem(path, images); !problem.empty()) {
        return makeError(ErrorKind::BadInput, "cannot record to " + path + ": " + problem);
    }
    // The lock file's name is the longest of them.
    const std::filesystem::path lock(Sequence::RecordingLock::pathOf(path));
    const std::string folder = lock.has_parent_path() ? lock.parent_path().string() : std::string(".");
    const long limit = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    const std::size_t maxName = limit > 0 ? static_cast<std::size_t>(limit) : NAME_MAX;
    if (lock.filename().string().size() > maxName) {
        return makeError(ErrorKind::BadInput, "cannot record to " + path + ": the name of its lock file " +
                                                  lock.string() + " is longer than the " +
                                                  std::to_string(maxName) +
                                                  " characters a file name may have there");
    }
    return {};
}

std::optional<std::uint32_t> declaredMarkerId(const std::string& path) {
    if (path.rfind(":/", 0) == 0) {
        return std::nullopt;
    }
    // A file the stream cannot load takes no id.
    const MarkerFile::Loaded loaded = markerFileAt(path);
    return loaded.marker ? std::optional<std::uint32_t>(MarkerFile::cameraId(loaded.marker->id))
                         : std::nullopt;
}

Expected<std::vector<std::string>> checkMarkerGeometry(const std::string& path) {
    std::vector<std::string> warnings;
    if (path.rfind(":/", 0) == 0) {
        return warnings;
    }
    const MarkerFile::Loaded loaded = markerFileAt(path);
    if (loaded.source == MarkerFile::Source::Unreadable && !loaded.messages.empty()) {
        // Looked at before, but not what it was then (a FIFO in its place, say).
        return makeError(ErrorKind::BadInput, loaded.messages.front().text);
    }
    if (loaded.source == MarkerFile::Source::TooLarge) {
        return makeError(ErrorKind::BadInput, "it is larger than " + Text::sizeText(MarkerFile::kMaxBytes) +
                                                  ": not a marker geometry");
    }
    if (!loaded.marker) {
        return warnings;
    }
    // The plug-in tracks the marker without its tip; the tools would give no tip, which the user must hear.
    for (const MarkerFile::Message& message : loaded.messages) {
        const std::string prefix = "Marker file: ";
        if (message.level == MarkerFile::Message::Level::Error &&
            message.text.find("section \"tip\"") != std::string::npos) {
            warnings.push_back("has a [tip] that is not used: " + (message.text.rfind(prefix, 0) == 0
                                                                       ? message.text.substr(prefix.size())
                                                                       : message.text));
        }
    }
    const std::vector<MarkerFile::Fiducial>& points = loaded.marker->fiducials;
    const std::size_t count = points.size();
    if (count < 3) {
        warnings.push_back(
            (count == 0 ? std::string("declares no fiducials")
                        : "has only " + std::to_string(count) + " fiducial" + (count == 1 ? "" : "s")) +
            ": a marker needs at least 3 to be tracked");
    }
    for (std::size_t a = 0; a < count; ++a) {
        for (std::size_t b = a + 1; b < count; ++b) {
            // In double: the file's single precision values, compared without further rounding.
            const double distance =
                std::hypot(static_cast<double>(points[a].x) - static_cast<double>(points[b].x),
                           static_cast<double>(points[a].y) - static_cast<double>(points[b].y),
                           static_cast<double>(points[a].z) - static_cast<double>(points[b].z));
            if (distance < kMinFiducialDistanceMm) {
                std::ostringstream text;
                text << "its fiducial" << a << " and fiducial" << b << " are " << std::fixed
                     << std::setprecision(3) << distance
                     << " mm apart (less than 1 mm): the camera cannot tell them apart";
                return makeError(ErrorKind::BadInput, text.str());
            }
        }
    }
    return warnings;
}

}  // namespace Halvoren::App

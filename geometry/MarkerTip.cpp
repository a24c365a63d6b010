#include "geometry/MarkerTip.h"

#include "text/BoundedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

namespace Halvoren::MarkerFile {

namespace {

/// The section a line names, as the reader takes it: '\r' dropped, from the first '[' to the last ']'.
std::optional<std::string> sectionOf(std::string_view text) {
    std::string line(text);
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    const std::size_t open = line.find('[');
    const std::size_t close = line.rfind(']');
    if (open == std::string::npos || close == std::string::npos) {
        return std::nullopt;
    }
    return close > open ? line.substr(open + 1, close - open - 1) : line.substr(open + 1);
}

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

/// Replaces `target` by a file of the text and the mode: written to TARGET.tmp, synced, renamed over it.
/// The reason, or empty when replaced.
std::string replaceFile(const std::filesystem::path& target, const std::string& text, mode_t mode) {
    const std::string temporary = target.string() + ".tmp";
    // Without blocking and without following a link: whatever sits at the temporary path is looked at
    // before anything is written to it.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) {
        return systemError("cannot write " + temporary);
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return "cannot write " + temporary + ": it is not a regular file";
    }
    std::string problem;
    if (::ftruncate(fd, 0) != 0 || !writeAll(fd, text) || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) {
        problem = systemError("cannot write " + temporary);
    }
    if (::close(fd) != 0 && problem.empty()) {
        problem = systemError("cannot write " + temporary);
    }
    if (problem.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) {
        problem = systemError("cannot replace " + target.string());
    }
    if (!problem.empty()) {
        ::unlink(temporary.c_str());
        return problem;
    }
    // The rename itself lasts once the folder is synced; a folder that cannot be synced loses nothing.
    const int folder = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return std::string();
}

}  // namespace

std::string withTip(std::string_view text, const Tip& tip) {
    const std::string newline = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    const std::string section = tipSection(tip, newline);
    std::string out;
    bool inTip = false;
    bool written = false;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t newlineAt = text.find('\n', begin);
        const std::size_t end = newlineAt == std::string_view::npos ? text.size() : newlineAt + 1;
        const std::string_view line = text.substr(begin, end - begin);
        begin = end;
        if (const std::optional<std::string> name = sectionOf(line)) {
            inTip = *name == "tip";
            if (inTip && !written) {
                out += section;
                written = true;
            }
        }
        if (!inTip) {
            out += line;
        }
    }
    if (!written) {
        if (!out.empty() && out.back() != '\n') {
            out += newline;
        }
        out += section;
    }
    return out;
}

std::string saveTip(const std::string& path, const Tip& tip) {
    namespace fs = std::filesystem;
    const std::string refused = "cannot save the tip to " + path + ": ";
    std::error_code error;
    const fs::path target = fs::canonical(path, error);
    if (error) {
        return refused + error.message();
    }
    struct stat status {};
    if (::stat(target.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return refused + "it is not a regular file";
    }
    // Read by the rule of every input file: a FIFO swapped in since the look above is not waited for.
    const BoundedFile::Result file = BoundedFile::read(target.string(), kMaxBytes);
    if (file.outcome == BoundedFile::Outcome::NotRegular || file.outcome == BoundedFile::Outcome::Folder) {
        return refused + "it is not a regular file";
    }
    if (file.outcome != BoundedFile::Outcome::Read) {
        return refused + "it cannot be read, or it is larger than a marker geometry file";
    }
    const std::string& text = file.text;
    const Loaded before = parse(text);
    if (!before.marker) {
        return refused + "it is not a marker geometry file";
    }
    const std::string updated = withTip(text, tip);
    const Loaded after = parse(updated);
    // A NUL, say, would hide the tip from every reader.
    if (!after.marker || after.marker->id != before.marker->id ||
        after.marker->fiducials != before.marker->fiducials || !after.tip || after.tip->x != tip.x ||
        after.tip->y != tip.y || after.tip->z != tip.z) {
        return refused + "its text would not read back with the tip";
    }
    const std::string problem = replaceFile(target, updated, status.st_mode & 07777);
    return problem.empty() ? problem : refused + problem;
}

}  // namespace Halvoren::MarkerFile

#include "RecordingLock.h"
#include "SequenceFormat.h"

#include "text/Text.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

namespace Halvoren::Sequence {

using namespace Format;

namespace {

// A holder that lets go removes the file; one that opened it just before must try the new one. This many
// times at most, which only a storm of programs taking and leaving the lock could use up.
constexpr int kAttempts = 100;

// The process id the holder wrote into the lock file; empty when it wrote none (yet).
std::string holderOf(int fd) {
    char text[24] = {};
    const ssize_t got = ::pread(fd, text, sizeof(text) - 1, 0);
    if (got <= 0) {
        return std::string();
    }
    // The holder writes its id and a line break.
    std::string_view line(text, static_cast<std::size_t>(got));
    line = line.substr(0, line.find('\n'));
    std::int64_t pid = 0;
    return Text::parseInteger(Text::trim(line), pid) && pid > 0 ? std::to_string(pid) : std::string();
}

// Whether the open file is still the one the path names: the holder before removed it otherwise.
bool stillNamed(const std::string& path, int fd) {
    struct stat named {};
    struct stat opened {};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(fd, &opened) == 0 && named.st_dev == opened.st_dev &&
           named.st_ino == opened.st_ino;
}

}  // namespace

std::string RecordingLock::pathOf(const std::string& headerPath) {
    return headerPath + ".lock";
}

std::unique_ptr<RecordingLock> RecordingLock::acquire(const std::string& headerPath, std::string& error) {
    const std::string path = pathOf(headerPath);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0666));
        struct stat status {};
        if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0) {
            error = "cannot lock " + headerPath + ": cannot open " + path + ": " + errorText(errno);
            return nullptr;
        }
        if (!S_ISREG(status.st_mode)) {
            error = "cannot lock " + headerPath + ": " + path + " is " + kindOf(status.st_mode);
            return nullptr;
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) {
                error = "cannot lock " + headerPath + ": " + errorText(errno);
                return nullptr;
            }
            const std::string holder = holderOf(fd.get());
            error = headerPath + " is being recorded by another program" +
                    (holder.empty() ? std::string() : " (process " + holder + ")") + "; not recording to it";
            return nullptr;
        }
        if (!stillNamed(path, fd.get())) {
            continue;
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd.get(), 0) != 0 || !writeAll(fd.get(), pid.data(), pid.size())) {
            error = "cannot write " + path + ": " + errorText(errno);
            ::unlink(path.c_str());
            return nullptr;
        }
        // A duplicate shares the open file, and so the lock, which outlives `fd`.
        const int held = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0);
        if (held < 0) {
            error = "cannot lock " + headerPath + ": " + errorText(errno);
            ::unlink(path.c_str());
            return nullptr;
        }
        return std::unique_ptr<RecordingLock>(new RecordingLock(path, held));
    }
    error = "cannot lock " + headerPath + ": " + path + " keeps being replaced";
    return nullptr;
}

RecordingLock::RecordingLock(std::string path, int fd) : m_path(std::move(path)), m_fd(fd) {}

RecordingLock::~RecordingLock() {
    // Removed while held: whoever opened it meanwhile finds it gone once it has the lock, and tries anew.
    ::unlink(m_path.c_str());
    ::close(m_fd);
}

}  // namespace Halvoren::Sequence

#include "text/BoundedFile.h"

#include "text/FileDescriptor.h"
#include "text/Text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace Halvoren::BoundedFile {

namespace {

Result failed(Outcome outcome, int error) {
    Result result;
    result.outcome = outcome;
    result.error = error;
    if (error != 0) {
        result.reason = Text::errorText(error);
    }
    return result;
}

/// True, with `result` saying why, for anything but a regular file.
bool refuseUnlessRegular(mode_t mode, Result& result) {
    if (S_ISREG(mode)) {
        return false;
    }
    result = failed(S_ISDIR(mode) ? Outcome::Folder : Outcome::NotRegular, 0);
    if (!S_ISDIR(mode)) {
        result.reason = kindOf(mode);
    }
    return true;
}

}  // namespace

std::string kindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "a special file";
}

int openRegular(const std::string& path, Result& result) {
    struct stat status {};
    // Looked at first: opening a device may itself do something.
    if (::stat(path.c_str(), &status) == 0 && refuseUnlessRegular(status.st_mode, result)) {
        return -1;
    }
    // Without waiting, should a FIFO have taken the file's place meanwhile: fstat tells it then.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        result = failed(errno == EISDIR ? Outcome::Folder : Outcome::CannotOpen, errno == EISDIR ? 0 : errno);
        return -1;
    }
    if (::fstat(fd, &status) != 0) {
        result = failed(Outcome::ReadFailed, errno);
        ::close(fd);
        return -1;
    }
    if (refuseUnlessRegular(status.st_mode, result)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Result read(const std::string& path, std::size_t limit) {
    Result result;
    const FileDescriptor fd(openRegular(path, result));
    if (fd.get() < 0) {
        return result;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return failed(Outcome::ReadFailed, errno);
    }
    // A regular file's size is known: refused without reading, and read without regrowing. The limit
    // still holds while reading, should the file grow meanwhile.
    if (static_cast<std::size_t>(status.st_size) > limit) {
        return failed(Outcome::TooLarge, 0);
    }
    result.text.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(fd.get(), chunk, sizeof(chunk));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed(Outcome::ReadFailed, errno);
        }
        if (count == 0) {
            break;
        }
        if (static_cast<std::size_t>(count) > limit - result.text.size()) {
            return failed(Outcome::TooLarge, 0);
        }
        result.text.append(chunk, static_cast<std::size_t>(count));
    }
    result.outcome = Outcome::Read;
    return result;
}

std::string message(const Result& result, const std::string& path, std::size_t limit) {
    switch (result.outcome) {
        case Outcome::Read:
            return std::string();
        case Outcome::Folder:
            return "cannot read " + path + ": it is a folder";
        case Outcome::NotRegular:
            return "cannot read " + path + ": it is " + result.reason + ", not a regular file";
        case Outcome::TooLarge:
            return path + " is larger than " + Text::sizeText(limit);
        case Outcome::CannotOpen:
        case Outcome::ReadFailed:
            break;
    }
    return "cannot read " + path + (result.reason.empty() ? std::string() : ": " + result.reason);
}

}  // namespace Halvoren::BoundedFile

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
    if (error != 0) {
        result.reason = Text::errorText(error);
    }
    return result;
}

}  // namespace

Result read(const std::string& path, std::size_t limit) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return failed(errno == EISDIR ? Outcome::Folder : Outcome::CannotOpen, errno == EISDIR ? 0 : errno);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return failed(Outcome::ReadFailed, errno);
    }
    if (S_ISDIR(status.st_mode)) {
        return failed(Outcome::Folder, 0);
    }
    Result result;
    if (S_ISREG(status.st_mode)) {
        // A regular file's size is known: refused without reading, and read without regrowing.
        if (static_cast<std::size_t>(status.st_size) > limit) {
            return failed(Outcome::TooLarge, 0);
        }
        result.text.reserve(static_cast<std::size_t>(status.st_size));
    }
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(fd.get(), chunk, sizeof(chunk));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed(errno == EISDIR ? Outcome::Folder : Outcome::ReadFailed,
                          errno == EISDIR ? 0 : errno);
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
        case Outcome::TooLarge:
            return path + " is larger than " + Text::sizeText(limit);
        case Outcome::CannotOpen:
        case Outcome::ReadFailed:
            break;
    }
    return "cannot read " + path + (result.reason.empty() ? std::string() : ": " + result.reason);
}

}  // namespace Halvoren::BoundedFile

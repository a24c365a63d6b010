#pragma once
// Reads a whole input file into memory, with a ceiling on how much, by the one rule every input file of
// this project follows: only a regular file is read. A FIFO would hold the reader in open() or read()
// until some writer comes, a device may never end, a folder holds no text: each is refused at once,
// before anything waits, and so is one swapped in between a check and the open.

#include <sys/types.h>
#include <cstddef>
#include <string>

namespace Halvoren::BoundedFile {

enum class Outcome {
    Read,        // `text` holds the whole file
    CannotOpen,  // `reason` says why
    Folder,
    NotRegular,  // a FIFO, a device or a socket: `reason` says which ("a FIFO")
    TooLarge,    // more than the limit; reading stopped there
    ReadFailed,  // `reason` says why
};

struct Result {
    Outcome outcome = Outcome::CannotOpen;
    std::string text;
    std::string reason;
    int error = 0;  // the errno of CannotOpen and ReadFailed
};

/// What a file of this mode is, as messages name it: "a folder", "a FIFO", "a device", "a socket".
std::string kindOf(mode_t mode);

/// Any thread. Opens the input file at `path` to read, never waiting: anything but a regular file is
/// refused (looked at before it is opened, so that no device is opened, and again once it is). The open
/// descriptor, which the caller closes, or -1 with `result` saying why.
int openRegular(const std::string& path, Result& result);

/// Any thread. Reads the whole regular file at `path`, at most `limit` + 1 bytes of it; refuses anything
/// else as openRegular does.
Result read(const std::string& path, std::size_t limit);

/// For a result that is not Read: "cannot read PATH: REASON", "cannot read PATH: it is a folder",
/// "cannot read PATH: it is a FIFO, not a regular file" or "PATH is larger than LIMIT".
std::string message(const Result& result, const std::string& path, std::size_t limit);

}  // namespace Halvoren::BoundedFile

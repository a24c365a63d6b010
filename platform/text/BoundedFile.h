#pragma once
// Reads a whole file into memory, with a ceiling on how much. The ceiling holds while reading: a device
// or a FIFO reports no size (or 0), so the size a file claims cannot be trusted to keep it small.

#include <cstddef>
#include <string>

namespace Halvoren::BoundedFile {

enum class Outcome {
    Read,        // `text` holds the whole file
    CannotOpen,  // `reason` says why
    Folder,
    TooLarge,    // more than the limit; reading stopped there
    ReadFailed,  // `reason` says why
};

struct Result {
    Outcome outcome = Outcome::CannotOpen;
    std::string text;
    std::string reason;
};

/// Any thread. Reads at most `limit` + 1 bytes of the file at `path`. Like any reader, it waits for a
/// writer when `path` is a FIFO that has none.
Result read(const std::string& path, std::size_t limit);

/// For a result that is not Read: "cannot read PATH: REASON", "cannot read PATH: it is a folder" or
/// "PATH is larger than LIMIT".
std::string message(const Result& result, const std::string& path, std::size_t limit);

}  // namespace Halvoren::BoundedFile

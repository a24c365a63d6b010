#pragma once
// One program at a time records to a recording's name. The lock is a file beside the header
// ("FILE.mhd.lock"), not the header itself, which each replacement renames away, nor the data file,
// whose name depends on whether images are recorded. It holds the process id of its holder, so that the
// one refused hears who records there; it is removed when the holder lets go, and a lock file left by a
// process that died holds nothing (the system releases the lock with the process).

#include <memory>
#include <string>

namespace Halvoren::Sequence {

class RecordingLock {
public:
    /// The lock file of the recording whose header is `headerPath`.
    static std::string pathOf(const std::string& headerPath);
    /// Takes the lock, without waiting: null with the reason (naming the file and the holder's process id
    /// when it is known) when another one holds it, or the lock file cannot be made.
    static std::unique_ptr<RecordingLock> acquire(const std::string& headerPath, std::string& error);
    /// Removes the lock file and lets go.
    ~RecordingLock();
    RecordingLock(const RecordingLock&) = delete;
    RecordingLock& operator=(const RecordingLock&) = delete;

private:
    RecordingLock(std::string path, int fd);
    std::string m_path;
    int m_fd;
};

}  // namespace Halvoren::Sequence

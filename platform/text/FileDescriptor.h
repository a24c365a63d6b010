#pragma once
// Owns an open file descriptor and closes it on every way out.

#include <unistd.h>

namespace Halvoren {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    /// Negative when the open failed.
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace Halvoren

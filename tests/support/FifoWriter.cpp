#include "support/FifoWriter.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace TestSupport {

FifoWriter::FifoWriter(std::string path, std::size_t bytes, char fill) : m_path(std::move(path)) {
    if (::mkfifo(m_path.c_str(), 0600) != 0) {
        ADD_FAILURE() << "cannot make the FIFO " << m_path;
        return;
    }
    m_thread = std::thread([this, bytes, fill] {
        // A reader that closes early makes the next write fail with EPIPE; its signal is kept from the
        // process by blocking it in this thread.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CLOEXEC);
        m_opened = true;
        if (fd < 0) {
            return;
        }
        const std::vector<char> chunk(64 * 1024, fill);
        std::size_t left = bytes;
        while (left > 0) {
            const ssize_t sent = ::write(fd, chunk.data(), std::min(left, chunk.size()));
            if (sent < 0 && errno == EINTR) {
                continue;
            }
            if (sent <= 0) {
                break;
            }
            left -= static_cast<std::size_t>(sent);
        }
        ::close(fd);
    });
}

FifoWriter::~FifoWriter() {
    if (!m_thread.joinable()) {
        return;
    }
    // A reading end held until the writer has opened lets a writer that never met a reader go on; once
    // it is closed, the writer's next write fails and it ends.
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    while (fd >= 0 && !m_opened) {
        std::this_thread::yield();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    m_thread.join();
}

}  // namespace TestSupport

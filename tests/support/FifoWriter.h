#pragma once
// A FIFO with a writer thread that sends a given number of bytes, for readers that must stop at a limit.

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

namespace TestSupport {

class FifoWriter {
public:
    /// Makes the FIFO at `path` (in a scratch folder) and sends `bytes` copies of `fill` once a reader
    /// opens it; a reader that stops early ends the writing.
    FifoWriter(std::string path, std::size_t bytes, char fill = ' ');
    /// Releases a writer still waiting for a reader, then joins it.
    ~FifoWriter();
    FifoWriter(const FifoWriter&) = delete;
    FifoWriter& operator=(const FifoWriter&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::atomic<bool> m_opened{false};  // the writer's open() returned, whether it succeeded or not
    std::thread m_thread;
};

}  // namespace TestSupport

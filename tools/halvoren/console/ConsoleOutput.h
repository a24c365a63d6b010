#pragma once
// Standard error or standard output that nobody reads must not hold up the run.
//
// stream() gives an std::ostream whose text is handed, a complete line (or a flushed part) at a time, to
// a bounded queue; the output's own thread writes it to the file descriptor, waiting for it with poll()
// so that it can always be stopped. What does not fit in the queue is dropped and counted, so writing
// to the stream never waits for the reader. post() hands a text over from any thread (the log's, the
// watchdog's); stream() is one thread's at a time, as any std::ostream.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace Halvoren::App {

class ConsoleOutput {
public:
    static constexpr std::size_t kDefaultQueueBytes = 256 * 1024;

    /// `fd` stays open and owned by the caller; at most `queueBytes` bytes wait to be written.
    explicit ConsoleOutput(int fd, std::size_t queueBytes = kDefaultQueueBytes);
    /// finish() when not done yet.
    ~ConsoleOutput();
    ConsoleOutput(const ConsoleOutput&) = delete;
    ConsoleOutput& operator=(const ConsoleOutput&) = delete;

    std::ostream& stream() { return m_stream; }
    /// Any thread: hands the text over whole, or drops it whole when the queue has no room for it.
    void post(const std::string& text);
    /// Until finish(): the log writes its lines through this output instead of straight to standard
    /// error, so that logging never waits for the reader either.
    void takeOverLog();
    /// Any thread: a write failed (a closed pipe, a full disk); every line since is dropped, and writing to
    /// stream() fails.
    bool failed() const;
    /// Lines dropped so far: the queue was full, the output failed, or it was given up at the end.
    std::uint64_t droppedLines() const;
    /// Gives the log back, writes what is queued for at most `drainSeconds`, then gives the rest up
    /// (counted as dropped) and ends the writing thread. Returns droppedLines(). Later posts are dropped.
    std::uint64_t finish(double drainSeconds = 1.5);

    /// Writes `text` to `fd` without ever blocking for longer than `seconds`; false when not all of it
    /// could be written.
    static bool writeBounded(int fd, const std::string& text, double seconds);

private:
    class Buffer;

    void run();
    void countDropped(std::uint64_t lines);

    const int m_fd;
    const std::size_t m_capacity;
    std::unique_ptr<Buffer> m_buffer;
    std::ostream m_stream;
    int m_logSink = 0;  // the log's sink while this output has taken the log over

    mutable std::mutex m_mutex;  // guards the members below
    std::condition_variable m_queued;
    std::deque<std::string> m_queue;
    std::size_t m_queuedBytes = 0;
    std::uint64_t m_dropped = 0;
    std::atomic<bool> m_failed{false};  // also read without the lock, by every write to stream()
    bool m_stopping = false;
    double m_drainSeconds = 0.0;
    bool m_finished = false;
    std::thread m_thread;  // last: starts once the members above exist
};

}  // namespace Halvoren::App

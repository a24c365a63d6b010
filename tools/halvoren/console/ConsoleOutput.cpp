#include "halvoren/console/ConsoleOutput.h"

#include "halvoren/console/Interrupts.h"

#include "host/Log.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <streambuf>

namespace Halvoren::App {

namespace {

using Clock = std::chrono::steady_clock;

/// How long one wait for the output lasts before the writer looks whether it is to stop.
constexpr int kPollMs = 50;

enum class Step { Wrote, Waiting, Failed };

/// One poll() for room, then at most PIPE_BUF bytes: a pipe with room for them takes them at once.
Step writeStep(int fd, const std::string& text, std::size_t& offset, int timeoutMs) {
    pollfd ready{fd, POLLOUT, 0};
    const int polled = ::poll(&ready, 1, timeoutMs);
    if (polled < 0) {
        return errno == EINTR ? Step::Waiting : Step::Failed;
    }
    if (polled == 0) {
        return Step::Waiting;
    }
    if ((ready.revents & (POLLERR | POLLNVAL)) != 0 && (ready.revents & POLLOUT) == 0) {
        return Step::Failed;
    }
    const std::size_t size = std::min<std::size_t>(PIPE_BUF, text.size() - offset);
    const ssize_t written = ::write(fd, text.data() + offset, size);
    if (written < 0) {
        return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? Step::Waiting : Step::Failed;
    }
    offset += static_cast<std::size_t>(written);
    return Step::Wrote;
}

std::uint64_t linesIn(const std::string& text) {
    const auto ends = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
    return std::max<std::uint64_t>(ends, 1);  // a flushed part of a line (a progress line) is one too
}

Clock::time_point after(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

/// Collects the stream's text and posts it a complete line at a time; a flush posts what is there. Once
/// the output failed (a closed pipe), writing to the stream fails too, so that its writer stops.
class ConsoleOutput::Buffer : public std::streambuf {
public:
    explicit Buffer(ConsoleOutput& owner) : m_owner(owner) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char one = traits_type::to_char_type(c);
            if (refused(&one, 1)) {
                return traits_type::eof();
            }
            m_pending += traits_type::to_char_type(c);
            if (c == '\n') {
                postLines();
            }
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (refused(s, static_cast<std::size_t>(n))) {
            return 0;
        }
        m_pending.append(s, static_cast<std::size_t>(n));
        postLines();
        return n;
    }
    int sync() override {
        if (!m_pending.empty()) {
            m_owner.post(m_pending);
            m_pending.clear();
        }
        return m_owner.failed() ? -1 : 0;
    }

private:
    /// Once the output failed: the text, with what waits for its line's end, is refused and counted lost.
    bool refused(const char* s, std::size_t n) {
        if (!m_owner.failed()) {
            return false;
        }
        m_pending.append(s, n);
        m_owner.countDropped(linesIn(m_pending));
        m_pending.clear();
        return true;
    }

    /// The complete lines go over as one text: what was written in one go is kept or dropped whole.
    void postLines() {
        const std::size_t end = m_pending.rfind('\n');
        if (end == std::string::npos) {
            return;
        }
        m_owner.post(m_pending.substr(0, end + 1));
        m_pending.erase(0, end + 1);
    }

    ConsoleOutput& m_owner;
    std::string m_pending;
};

ConsoleOutput::ConsoleOutput(int fd, std::size_t queueBytes)
    : m_fd(fd), m_capacity(queueBytes), m_buffer(std::make_unique<Buffer>(*this)), m_stream(m_buffer.get()) {
    m_thread = std::thread([this] { run(); });
}

ConsoleOutput::~ConsoleOutput() {
    finish();
}

void ConsoleOutput::post(const std::string& text) {
    if (text.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping || m_queuedBytes + text.size() > m_capacity) {
            m_dropped += linesIn(text);
            return;
        }
        m_queue.push_back(text);
        m_queuedBytes += text.size();
    }
    m_queued.notify_one();
}

void ConsoleOutput::takeOverLog() {
    if (m_logSink != 0) {
        return;
    }
    // The log calls its sinks under its own lock, on whatever thread logs: post() only queues.
    m_logSink = Log::addSink([this](const Log::Record& record) { post(Log::formatLine(record) + '\n'); });
    Log::setStderrEnabled(false);
}

void ConsoleOutput::countDropped(std::uint64_t lines) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dropped += lines;
}

bool ConsoleOutput::failed() const {
    return m_failed.load();
}

std::uint64_t ConsoleOutput::droppedLines() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dropped;
}

std::uint64_t ConsoleOutput::finish(double drainSeconds) {
    if (m_logSink != 0) {
        Log::setStderrEnabled(true);
        Log::removeSink(m_logSink);
        m_logSink = 0;
    }
    m_stream.flush();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished) {
            return m_dropped;
        }
        m_finished = true;
        m_stopping = true;
        m_drainSeconds = drainSeconds;
    }
    m_queued.notify_one();
    m_thread.join();
    return droppedLines();
}

void ConsoleOutput::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    Clock::time_point deadline = Clock::time_point::max();
    while (true) {
        m_queued.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_stopping && deadline == Clock::time_point::max()) {
            deadline = after(m_drainSeconds);
        }
        if (m_queue.empty()) {
            return;  // stopping, and everything handed over is written
        }
        std::string text = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= text.size();
        std::size_t offset = 0;
        while (!m_failed.load() && offset < text.size() && Clock::now() < deadline) {
            lock.unlock();
            const Step step = writeStep(m_fd, text, offset, kPollMs);
            lock.lock();
            m_failed = step == Step::Failed;
            if (m_stopping && deadline == Clock::time_point::max()) {
                deadline = after(m_drainSeconds);
            }
            // A second signal: what the reader does not take at once is given up.
            if (m_stopping && step == Step::Waiting && Interrupts::cutShort()) {
                deadline = Clock::now();
            }
        }
        if (offset < text.size()) {
            m_dropped += linesIn(text.substr(offset));
        }
    }
}

bool ConsoleOutput::writeBounded(int fd, const std::string& text, double seconds) {
    const Clock::time_point deadline = after(seconds);
    std::size_t offset = 0;
    while (offset < text.size() && Clock::now() < deadline) {
        if (writeStep(fd, text, offset, kPollMs) == Step::Failed) {
            return false;
        }
    }
    return offset == text.size();
}

}  // namespace Halvoren::App

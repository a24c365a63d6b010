#include "halvoren/console/Interrupts.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <utility>

namespace Halvoren::App {

namespace {

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only touch lock-free atomics");

std::atomic<int> g_signals{0};  // signals since the last Interrupts was made
std::atomic<int> g_first{0};    // the first of them

// The wake-up pipe, made once and never closed: a handler still running on another thread as the
// handlers are given back must not write into a descriptor that was closed, or reused by then.
std::atomic<int> g_wakeWriteEnd{-1};
int g_wakeReadEnd = -1;  // set once, before any handler that writes the pipe is installed

void makeWakePipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
            g_wakeReadEnd = ends[0];
            g_wakeWriteEnd.store(ends[1]);
        }
    });
}

/// Any thread, as a signal handler: async-signal-safe work only.
extern "C" void onInterrupt(int signal) {
    const int saved = errno;
    if (g_signals.fetch_add(1) == 0) {
        g_first.store(signal);
    }
    const int fd = g_wakeWriteEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds a wake-up.
        const ssize_t written = ::write(fd, &byte, 1);
        static_cast<void>(written);
    }
    errno = saved;
}

}  // namespace

Interrupts::Interrupts() {
    makeWakePipe();
    drainWake();
    g_signals.store(0);
    g_first.store(0);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // the rest of the program's reads and writes go on as before
    for (const auto& [signal, previous] :
         {std::pair{SIGINT, &m_previousInt}, std::pair{SIGTERM, &m_previousTerm},
          std::pair{SIGHUP, &m_previousHup}}) {
        ::sigaction(signal, nullptr, previous);
        // One the process was started with ignored stays ignored: nohup's SIGHUP, a background job's SIGINT.
        if (previous->sa_handler != SIG_IGN) {
            ::sigaction(signal, &action, nullptr);
        }
    }
}

Interrupts::~Interrupts() {
    ::sigaction(SIGINT, &m_previousInt, nullptr);
    ::sigaction(SIGTERM, &m_previousTerm, nullptr);
    ::sigaction(SIGHUP, &m_previousHup, nullptr);
}

void Interrupts::ignoreClosedPipes() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

bool Interrupts::requested() {
    return g_signals.load() >= 1;
}

bool Interrupts::cutShort() {
    return g_signals.load() >= 2;
}

int Interrupts::signalNumber() {
    return g_first.load();
}

int Interrupts::wakeFd() {
    return g_wakeReadEnd;
}

void Interrupts::drainWake() {
    char bytes[16];
    while (g_wakeReadEnd >= 0 && ::read(g_wakeReadEnd, bytes, sizeof(bytes)) > 0) {
    }
}

}  // namespace Halvoren::App

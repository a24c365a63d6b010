#pragma once
// The application's one signal policy. SIGINT, SIGTERM and SIGHUP alike ask the running command to stop,
// so that it closes the camera, finishes every output (a recording whole and unlocked) and says how the
// run ended; a second one asks it to cut that finish short. SIGPIPE is ignored, so that a reader that
// goes away makes a failed write (EPIPE), which ends the run as a full disk does.

#include <signal.h>

namespace Halvoren::App {

/// While one lives, SIGINT, SIGTERM and SIGHUP set a flag that any loop may poll (requested()) and make
/// wakeFd() readable, for a loop that waits on descriptors (an event loop's notifier, poll()). The
/// application makes one for the whole run of a command, so that the handlers stay until every output is
/// finished. One at a time; making one clears the flags, which still read after it went, for the summary.
class Interrupts {
public:
    Interrupts();
    /// Gives the three signals back the handlers they had.
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    /// Process-wide and for good, first thing: writes to a closed pipe fail with EPIPE instead of ending
    /// the process.
    static void ignoreClosedPipes();

    /// Any thread: a signal came since the last one was made.
    static bool requested();
    /// Any thread: a second signal came; whatever still finishes gives up waiting (for a reader, a disk)
    /// and ends with what it has.
    static bool cutShort();
    /// The number of the first signal that came, 0 when none did.
    static int signalNumber();

    /// Readable (and non-blocking) once a signal came; -1 when no pipe could be made, in which case
    /// requested() still works.
    static int wakeFd();
    /// Empties wakeFd(), so that a notifier on it stops firing until the next signal.
    static void drainWake();

private:
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
    struct sigaction m_previousHup {};
};

}  // namespace Halvoren::App

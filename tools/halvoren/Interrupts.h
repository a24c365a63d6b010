#pragma once
// Ctrl-C and SIGTERM for the commands that run the camera: instead of ending the process, they ask the
// running command to stop, so that it closes the camera and says how the run ended.

#include <signal.h>

namespace Halvoren::App {

/// While one lives, SIGINT and SIGTERM set a flag that any loop may poll (requested()) and make
/// wakeFd() readable, for a loop that waits on descriptors (an event loop's notifier, poll()). One at a
/// time; making one clears the flag, which still reads after it went, for the run's summary.
class Interrupts {
public:
    Interrupts();
    /// Gives SIGINT and SIGTERM back the handlers they had.
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    /// Any thread: an interrupt came since the last one was made.
    static bool requested();

    /// Readable (and non-blocking) once an interrupt came; -1 when no pipe could be made, in which case
    /// requested() still works.
    int wakeFd() const;
    /// Empties wakeFd(), so that a notifier on it stops firing until the next interrupt.
    void drainWake() const;

private:
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
};

}  // namespace Halvoren::App

#pragma once
// What "halvoren stream" shows while it runs, as one of the run's outputs: the markers the newest frame
// tracks, and the notes on staleness for standard error. The main thread drains it between writes, so
// that nothing is written while the worker could wait for it.

#include "halvoren/outputs/QueueWaker.h"

#include "output/FrameOutput.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace Halvoren::App {

/// Whether a command shows its progress: only to a person watching a terminal on standard error, and not
/// when they asked for fewer messages (--quiet). A file or a pipe gets none: a log is no place for it.
bool showsProgress();

class ProgressOutput : public Output::FrameOutput {
public:
    /// An instrument below `minQuality` is not tracked. `wake` (the worker's, now and then) tells the
    /// main thread that there is something to drain.
    explicit ProgressOutput(double minQuality, std::function<void()> wake = {});

    /// Main thread (drain()): one item.
    void take(const Output::FrameItem& item) override;
    /// The worker: wakes the main thread when the items are due to be taken.
    void queued() override { m_waker.queued(); }

    /// Main thread: instruments tracked in the newest frame taken.
    std::size_t trackedInstruments() const { return m_tracked; }
    /// Main thread: frames taken since the last call.
    std::uint64_t takeFrameCount();
    /// Main thread: the notes on staleness taken since the last call, a line each.
    std::deque<std::string> takeNotes();

private:
    const double m_minQuality;
    std::size_t m_tracked = 0;
    std::uint64_t m_frames = 0;
    std::deque<std::string> m_notes;
    QueueWaker m_waker;
};

}  // namespace Halvoren::App

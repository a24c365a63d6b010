#include "halvoren/outputs/ProgressOutput.h"

#include "health/FrameAccounting.h"
#include "host/Log.h"
#include "host/TrackingStream.h"

#include <unistd.h>

#include <iomanip>
#include <sstream>

namespace Halvoren::App {

namespace {
// The main thread is woken to take the items well before the queue fills; the notes must not be lost.
constexpr std::size_t kQueueItems = 256;
}  // namespace

bool showsProgress() {
    return isatty(STDERR_FILENO) != 0 && Log::globalLevel() < Log::Warning;
}

ProgressOutput::ProgressOutput(double minQuality, std::function<void()> wake)
    : FrameOutput("progress", {Output::DropPolicy::EveryFrame, kQueueItems}, Consumer::Owner),
      m_minQuality(minQuality),
      m_waker(kQueueItems, std::move(wake)) {}

void ProgressOutput::take(const Output::FrameItem& item) {
    m_waker.drained();
    if (item.kind == Output::FrameItem::Kind::Frame) {
        ++m_frames;
        m_tracked = 0;
        for (const TrackingInstrument& instrument : item.tracking->instruments()) {
            m_tracked += Health::passesGate(instrument, m_minQuality) ? 1 : 0;
        }
        return;
    }
    std::ostringstream note;
    note << std::fixed << std::setprecision(0);
    if (item.kind == Output::FrameItem::Kind::Stale) {
        note << "halvoren: no new frame from the camera for " << item.millisecondsWithoutFrame
             << " ms: the poses are stale\n";
    } else {
        note << "halvoren: frames from the camera again after " << item.millisecondsWithoutFrame << " ms\n";
    }
    m_notes.push_back(note.str());
}

std::uint64_t ProgressOutput::takeFrameCount() {
    const std::uint64_t frames = m_frames;
    m_frames = 0;
    return frames;
}

std::deque<std::string> ProgressOutput::takeNotes() {
    std::deque<std::string> notes;
    notes.swap(m_notes);
    return notes;
}

}  // namespace Halvoren::App

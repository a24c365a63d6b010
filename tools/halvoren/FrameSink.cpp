#include "halvoren/FrameSink.h"

#include "halvoren/PoseWriter.h"
#include "halvoren/StreamSession.h"

#include "host/TrackingStream.h"

#include <iomanip>
#include <sstream>

namespace Halvoren::App {

void FrameSink::writeFrame(std::shared_ptr<const TrackingStreamData> frame, std::uint32_t counter) {
    lastFrame = counter;
    m_lastWritten = std::move(frame);
    writer->writeFrame(m_lastWritten->instruments(), lastFrame);
}

void FrameSink::end() {
    done = true;
    if (session != nullptr) {
        session->endCounting();
    }
}

void FrameSink::noteStaleness(bool stale, double milliseconds) {
    std::lock_guard<std::mutex> lock(mutex);
    if (writer == nullptr || done) {
        return;
    }
    std::ostringstream note;
    note << std::fixed << std::setprecision(0);
    if (stale) {
        note << "halvoren: no new frame from the camera for " << milliseconds << " ms: the poses are stale\n";
        // The stream's own instruments may already be a newer frame's, not yet written: the stale line
        // repeats the frame written last, its number and its poses.
        if (m_lastWritten != nullptr) {
            writer->writeStale(m_lastWritten->instruments(), lastFrame);
        }
    } else {
        note << "halvoren: frames from the camera again after " << milliseconds << " ms\n";
    }
    addNote(note.str());
    changed.notify_all();
}

void FrameSink::addNote(std::string note) {
    if (notes.size() >= kMaxNotes) {
        ++notesDropped;
        return;
    }
    notes.push_back(std::move(note));
}

}  // namespace Halvoren::App

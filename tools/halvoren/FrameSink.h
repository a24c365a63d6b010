#pragma once
// Where the stream's worker hands the frames of "halvoren stream" over, and where the main thread waits
// for the run to end.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace Halvoren {
class TrackingStreamData;
}

namespace Halvoren::App {

class PoseWriter;
class StreamSession;

struct FrameSink {
    /// Notes on staleness waiting for the main thread; more are dropped (and counted).
    static constexpr std::size_t kMaxNotes = 64;

    std::mutex mutex;  // guards everything below and the writer; nothing writes to a stream under it
    std::condition_variable changed;
    PoseWriter* writer = nullptr;
    std::uint64_t limit = 0;
    bool done = false;
    std::size_t trackedInstruments = 0;
    double minQuality = 0.0;
    std::uint32_t lastFrame = 0;  // the camera's counter of the last frame written
    StreamSession* session = nullptr;
    std::deque<std::string> notes;  // for the main thread to write to standard error
    std::uint64_t notesDropped = 0;

    /// The caller holds the lock: hands the frame to the writer and keeps it as the last one written.
    void writeFrame(std::shared_ptr<const TrackingStreamData> frame, std::uint32_t counter);
    /// The caller holds the lock: the run is over, and so are its accounting and its recording, so that
    /// the summary and the recording hold the frames the output got.
    void end();
    /// The watchdog's thread, or the worker's: the poses went stale, or are fresh again. Writes the last
    /// frame written once more marked stale, so that a reader of the poses learns it too, and leaves a
    /// note for the main thread.
    void noteStaleness(bool stale, double milliseconds);

private:
    void addNote(std::string note);

    std::shared_ptr<const TrackingStreamData> m_lastWritten;  // the poses a stale line repeats
};

}  // namespace Halvoren::App

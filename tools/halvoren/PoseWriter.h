#pragma once
// Writes one line per instrument per frame and keeps the figures of the closing summary.
//
// A slow disk or pipe must not slow the camera: writeFrame() only hands the frame over to the writer's
// own thread, which formats and writes it. The hand-over queue is bounded; a frame that finds it full is
// dropped and counted, and the summary says how many.

#include "host/TrackingInstrument.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace Halvoren::App {

enum class PoseFormat { Csv, JsonLines };

class PoseWriter {
public:
    static constexpr std::size_t kDefaultQueueFrames = 256;

    /// `out` must outlive the writer; from here on only the writer's thread touches it. At most
    /// `queueFrames` frames wait to be written. An instrument whose quality is below `minQuality` counts
    /// as not seen (its status is INVALID, its pose is kept).
    PoseWriter(std::ostream& out, PoseFormat format, std::size_t queueFrames = kDefaultQueueFrames,
               double minQuality = 0.0);
    /// Writes what is still queued, then ends the writer's thread.
    ~PoseWriter();
    PoseWriter(const PoseWriter&) = delete;
    PoseWriter& operator=(const PoseWriter&) = delete;

    /// Queues the header line (CSV only).
    void begin();
    /// Hands a frame over to be written, one line per instrument; never waits for the output. False
    /// once a write has failed: nothing more is written after that. writeFrame(), frames(), dropped()
    /// and summary() are the caller's to synchronize, as one thread's.
    /// `frame`: the camera's frame counter, 0 when the data does not say.
    bool writeFrame(const std::vector<TrackingInstrument>& instruments, std::uint32_t frame = 0);
    /// Hands over the last poses again, marked stale (and INVALID): no new frame came for too long. Not
    /// counted as a frame.
    bool writeStale(const std::vector<TrackingInstrument>& instruments, std::uint32_t frame = 0);
    /// Frames taken to be written (dropped ones not included).
    std::uint64_t frames() const { return m_frames; }
    /// Frames dropped because the queue was full: the output could not keep up.
    std::uint64_t dropped() const { return m_dropped; }
    /// Waits until everything handed over so far is written, then flushes the output; false once any
    /// write or flush has failed (a full disk, a closed pipe), and from then on.
    bool flush();
    bool failed() const { return m_failed.load(); }

    struct InstrumentSummary {
        std::string name;
        std::uint64_t seen = 0;  // frames seen with a quality not below the gate
        double qualitySum = 0.0;
    };
    const std::map<std::string, InstrumentSummary>& summary() const { return m_summary; }
    /// "frames N" and per instrument its seen ratio and mean quality over the frames it was seen in;
    /// the frames dropped, if any.
    void writeSummary(std::ostream& out) const;

    /// The CSV header line, without the line end.
    static const char* csvHeader();
    /// One line for an instrument, without the line end: its status is OK when it passes the quality
    /// gate and the pose is not stale, INVALID otherwise.
    static std::string formatLine(const TrackingInstrument& instrument, PoseFormat format,
                                  double minQuality = 0.0, bool stale = false, std::uint32_t frame = 0);

private:
    // Text to write as it is (the header), a frame to format, or a request to flush the output.
    struct Pending {
        enum Kind { Text, Frame, Flush } kind = Frame;
        std::string text;
        std::vector<TrackingInstrument> instruments;
        bool stale = false;
        std::uint32_t frame = 0;
    };

    void run();
    void enqueue(Pending pending);
    /// False when the queue is full.
    bool tryEnqueue(Pending pending);

    std::ostream& m_out;  // the writer's thread's
    const PoseFormat m_format;
    const std::size_t m_capacity;
    const double m_minQuality;
    std::atomic<bool> m_failed{false};

    // The caller's.
    std::uint64_t m_frames = 0;
    std::uint64_t m_dropped = 0;
    std::map<std::string, InstrumentSummary> m_summary;

    std::mutex m_mutex;                 // guards the members below
    std::condition_variable m_queued;   // something to write, or the end
    std::condition_variable m_flushed;  // a flush request was done
    std::deque<Pending> m_queue;
    std::uint64_t m_flushRequests = 0;
    std::uint64_t m_flushesDone = 0;
    bool m_stop = false;
    std::thread m_thread;  // last: starts once the members above exist
};

}  // namespace Halvoren::App

#pragma once
// Writes one line per instrument per frame and keeps the figures of the closing summary.
//
// A slow disk or pipe must not slow the camera: the writer is one of the run's outputs, and formats and
// writes on its own thread. Its queue keeps every frame; a frame that finds it full is dropped and
// counted, and the summary says how many.

#include "host/TrackingInstrument.h"
#include "navigation/NavigationFrame.h"
#include "output/FrameOutput.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace Halvoren {
class TrackingStreamData;
}

namespace Halvoren::App {

enum class PoseFormat { Csv, JsonLines };

class PoseWriter : public Output::FrameOutput {
public:
    static constexpr std::size_t kDefaultQueueFrames = 256;

    /// `out` must outlive the writer; from the first frame on only the writer's thread touches it. At most
    /// `queueFrames` frames wait to be written. An instrument whose quality is below `minQuality` counts
    /// as not seen (its status is INVALID, its pose is kept). `navigation` gives the frame the poses are
    /// written in and the tools' tips.
    PoseWriter(std::ostream& out, PoseFormat format, std::size_t queueFrames = kDefaultQueueFrames,
               double minQuality = 0.0, Navigation::NavigationFrame navigation = {});

    /// Before the run: told on the writer's thread when a write or the flush failed; nothing more is
    /// written after that.
    void setFailureListener(std::function<void()> listener);

    /// Writer's thread: a frame, one line per instrument (the header first); on word of staleness, the
    /// last poses written once more, marked stale (and INVALID).
    void take(const Output::FrameItem& item) override;
    /// True: the writer's summary names the frames it dropped.
    bool reportsOwnLosses() const override { return true; }
    /// Writer's thread: the header if no frame came, then the flush.
    void end() override;

    /// Any thread: whether a write or the flush failed (a full disk, a closed pipe).
    bool failed() const { return m_failed.load(); }
    /// Once the run's outputs finished: frames written (dropped ones not included).
    std::uint64_t frames() const { return m_frames; }
    /// Frames dropped because the queue was full: the output could not keep up.
    std::uint64_t dropped() const;

    struct InstrumentSummary {
        std::string name;
        std::uint64_t seen = 0;  // frames seen with a quality not below the gate
        double qualitySum = 0.0;
    };
    /// Once the run's outputs finished.
    const std::map<std::string, InstrumentSummary>& summary() const { return m_summary; }
    /// "frames N" and per instrument its seen ratio and mean quality over the frames it was seen in;
    /// the frames dropped, if any.
    void writeSummary(std::ostream& out) const;

    /// The CSV header line, without the line end.
    static const char* csvHeader();
    /// How an instrument's line is written besides its pose in the frame.
    struct LineContext {
        bool relative = false;    // the frame is a reference's: the camera's pose is not written
        bool stale = false;       // written again while no new frame came
        std::uint32_t frame = 0;  // the camera's counter; 0 when it gave none
    };
    /// One line for an instrument, without the line end: its status is OK when its pose in the frame is
    /// valid (`pose`, from the transform chain) and not stale, INVALID otherwise, with the reason. In
    /// camera coordinates the pose columns keep the camera's pose when INVALID; relative to a reference
    /// they are empty (JSON: null) when the relative pose is not known. The tip, for a tool that has one.
    static std::string formatLine(const TrackingInstrument& instrument, const Navigation::FramePose& pose,
                                  PoseFormat format, const LineContext& context);

private:
    void writeHeader();
    void writeLines(const std::vector<TrackingInstrument>& instruments, bool stale, std::uint32_t frame);
    void count(const std::vector<TrackingInstrument>& instruments);
    void checkOutput();

    std::ostream& m_out;
    const PoseFormat m_format;
    const double m_minQuality;
    const Navigation::NavigationFrame m_navigation;
    std::atomic<bool> m_failed{false};
    std::function<void()> m_failureListener;

    // The writer's thread's while the run lasts.
    bool m_headerWritten = false;
    std::shared_ptr<const TrackingStreamData> m_last;  // the poses a stale line repeats
    std::uint32_t m_lastCounter = 0;                   // the camera's counter of that frame
    std::uint64_t m_frames = 0;
    std::map<std::string, InstrumentSummary> m_summary;
    std::vector<Navigation::FramePose> m_poses;  // reused frame to frame
};

}  // namespace Halvoren::App

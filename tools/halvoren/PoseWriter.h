#pragma once
// Writes one line per instrument per frame and keeps the figures of the closing summary.

#include "host/TrackingInstrument.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace Halvoren::App {

enum class PoseFormat { Csv, JsonLines };

class PoseWriter {
public:
    PoseWriter(std::ostream& out, PoseFormat format);

    /// Writes the header line (CSV only).
    void begin();
    /// Writes a frame: one line per instrument. Nothing more is written after a failed write.
    void writeFrame(const std::vector<TrackingInstrument>& instruments);
    std::uint64_t frames() const { return m_frames; }
    /// Flushes what is written so far; false once any write or flush has failed (a full disk, a closed
    /// pipe), and from then on.
    bool flush();
    bool failed() const { return m_failed; }

    struct InstrumentSummary {
        std::string name;
        std::uint64_t seen = 0;  // frames with a quality above 0
        double qualitySum = 0.0;
    };
    const std::map<std::string, InstrumentSummary>& summary() const { return m_summary; }
    /// "frames N" and per instrument its seen ratio and mean quality over the frames it was seen in.
    void writeSummary(std::ostream& out) const;

    /// One line for an instrument, without the line end.
    static std::string formatLine(const TrackingInstrument& instrument, PoseFormat format);

private:
    std::ostream& m_out;
    PoseFormat m_format;
    std::uint64_t m_frames = 0;
    bool m_failed = false;
    std::map<std::string, InstrumentSummary> m_summary;
};

}  // namespace Halvoren::App

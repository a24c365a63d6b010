#include "halvoren/ExportCommand.h"

#include "halvoren/InputChecks.h"
#include "halvoren/RunRecording.h"
#include "halvoren/StreamSetup.h"
#include "record/RecordedFrames.h"
#include "sequence/SequenceFile.h"

#include <fstream>
#include <ostream>

namespace Halvoren::App {

namespace {

/// One line per instrument, as the stream's pose writer formats them.
void writeLines(std::ostream& out, const Record::RecordedFrame& frame, const ExportOptions& options,
                bool stale) {
    for (const TrackingInstrument& instrument : frame.instruments) {
        out << PoseWriter::formatLine(instrument, options.format, options.minQuality, stale,
                                      frame.frameNumber)
            << '\n';
    }
}

/// Writes every frame; the exit code.
int exportFrames(Sequence::SequenceReader& reader, const std::vector<Record::RecordedMarker>& markers,
                 const ExportOptions& options, std::ostream& target, std::ostream& err) {
    if (options.format == PoseFormat::Csv) {
        target << PoseWriter::csvHeader() << '\n';
    }
    Record::RecordedFrame previous;
    bool havePrevious = false;
    for (std::size_t i = 0; i < reader.frameCount(); ++i) {
        Record::RecordedFrame frame;
        std::string error;
        if (!Record::frameOf(reader.frameFields(i), markers, frame, error)) {
            err << "halvoren: " << options.recording << ", frame " << i << ": " << error << '\n';
            return ExitBadInput;
        }
        // The stream wrote the last poses again, marked stale, when frames stopped coming.
        if (frame.stale && havePrevious) {
            writeLines(target, previous, options, true);
        }
        writeLines(target, frame, options, false);
        previous = std::move(frame);
        havePrevious = true;
    }
    return ExitOk;
}

}  // namespace

int runExport(const ExportOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<Record::RecordedMarker> markers;
    const auto reader = openRecording(options.recording, markers, "", err);
    if (!reader) {
        return ExitBadInput;
    }
    if (const std::string problem = cannotWriteMessage(options.output); !problem.empty()) {
        err << "halvoren: " << problem << '\n';
        return ExitBadInput;
    }
    std::ofstream file;
    if (!options.output.empty()) {
        file.open(options.output, std::ios::out | std::ios::trunc);
    }
    std::ostream& target = options.output.empty() ? out : file;
    const int code = exportFrames(*reader, markers, options, target, err);
    target.flush();
    if (!target) {
        err << "halvoren: cannot write the poses to "
            << (options.output.empty() ? std::string("standard output") : options.output) << '\n';
        return ExitWriteFailed;
    }
    err << "exported " << reader->frameCount() << " frames of " << options.recording << '\n';
    return code;
}

}  // namespace Halvoren::App

#include "halvoren/commands/ExportCommand.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/session/FileChecks.h"
#include "halvoren/session/NavigationSetup.h"
#include "halvoren/session/RecordingFiles.h"
#include "halvoren/session/StreamSetup.h"
#include "record/RecordedFrames.h"
#include "sequence/SequenceFile.h"

#include <fstream>
#include <ostream>

namespace Halvoren::App {

namespace {

/// One line per instrument, as the stream's pose writer formats them, with the recorded status: the
/// quality gate can only make more of them INVALID. Relative poses come from the recorded camera poses.
void writeLines(std::ostream& out, const Record::RecordedFrame& frame,
                const std::vector<Record::RecordedMarker>& markers, const ExportOptions& options,
                const Navigation::NavigationFrame& navigation, bool stale) {
    const std::vector<TrackingInstrument> instruments = Record::instrumentsOf(frame, markers);
    const std::vector<Navigation::FramePose> poses =
        navigation.chain.compute(Record::seenInstrumentsOf(frame, markers), options.minQuality);
    const PoseWriter::LineContext context{navigation.relative(), stale, frame.frameNumber};
    for (std::size_t k = 0; k < instruments.size(); ++k) {
        out << PoseWriter::formatLine(instruments[k], poses[k], options.format, context) << '\n';
    }
}

/// Writes the frames; false with the reason at the first that cannot be read. `written`: the frames
/// written. Stops early, true, when the target fails (a closed pipe) or a signal came.
bool exportFrames(Sequence::SequenceReader& reader, const std::vector<Record::RecordedMarker>& markers,
                  const ExportOptions& options, const Navigation::NavigationFrame& navigation,
                  std::ostream& target, std::size_t& written, std::string& error) {
    if (options.format == PoseFormat::Csv) {
        target << PoseWriter::csvHeader() << '\n';
    }
    Record::RecordedFrame previous;
    for (written = 0; written < reader.frameCount() && target && !Interrupts::requested(); ++written) {
        Record::RecordedFrame frame;
        if (!Sequence::frameOf(reader.frameFields(written), markers, frame, error)) {
            error = "frame " + std::to_string(written) + ": " + error;
            return false;
        }
        // The stream wrote the last poses again, marked stale, when frames stopped coming.
        if (frame.stale && written > 0) {
            writeLines(target, previous, markers, options, navigation, true);
        }
        writeLines(target, frame, markers, options, navigation, false);
        previous = std::move(frame);
    }
    return true;
}

std::string targetName(const ExportOptions& options) {
    return options.output.empty() ? std::string("standard output") : options.output;
}

}  // namespace

int runExport(const ExportOptions& options, std::ostream& out, std::ostream& err) {
    // Frames a replay would refuse are refused before anything is written.
    Sequence::RecordingHeader header;
    const auto reader = openRecording(options.recording, header, "", err);
    if (!reader) {
        return ExitBadInput;
    }
    const auto imageToReference = readRegistration(options.registration);
    if (!imageToReference) {
        return reportError(imageToReference.error(), err);
    }
    const auto made = makeNavigation({options.reference, options.frameName, options.names}, header.markers,
                                     *imageToReference);
    if (!made) {
        return reportError(made.error(), err);
    }
    const Navigation::NavigationFrame& navigation = *made;
    writeNavigation(navigation, header.markers, err);
    if (const Expected<void> writable = checkWritable(options.output); !writable) {
        return reportError(writable.error(), err);
    }
    std::ofstream file;
    if (!options.output.empty()) {
        file.open(options.output, std::ios::out | std::ios::trunc);
    }
    std::ostream& target = options.output.empty() ? out : file;
    std::size_t written = 0;
    std::string error;
    const bool complete = exportFrames(*reader, header.markers, options, navigation, target, written, error);
    target.flush();
    if (!target) {
        err << "halvoren: cannot write the poses to " << targetName(options) << '\n';
        return ExitWriteFailed;
    }
    if (!complete) {
        err << "halvoren: " << options.recording << ", " << error << '\n'
            << "export failed: wrote " << written << " of " << reader->frameCount() << " frames to "
            << targetName(options) << '\n';
        return ExitBadInput;
    }
    if (written < reader->frameCount()) {
        err << "interrupted: exported " << written << " of " << reader->frameCount() << " frames of "
            << options.recording << '\n';
        return ExitInterrupted;
    }
    err << "exported " << written << " frames of " << options.recording << '\n';
    return ExitOk;
}

}  // namespace Halvoren::App

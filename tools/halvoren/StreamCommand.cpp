#include "halvoren/StreamCommand.h"

#include "halvoren/FrameWatch.h"
#include "halvoren/InputChecks.h"
#include "halvoren/Interrupts.h"
#include "halvoren/LoadedPlugins.h"
#include "halvoren/PoseTarget.h"
#include "halvoren/PoseWriter.h"
#include "halvoren/ProgressOutput.h"
#include "halvoren/StreamSession.h"

#include "health/FrameAccounting.h"
#include "host/Log.h"
#include "host/TrackingStream.h"
#include "host/WorkspaceConversionRegistry.h"
#include "host/WorkspaceFile.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <ostream>
#include <string>

namespace Halvoren::App {

namespace {

/// Counts the warnings and errors logged while it lives, for the run's summary.
class LogCounter {
public:
    LogCounter()
        : m_sink(Log::addSink([this](const Log::Record& record) {
              if (record.level == Log::Warning) {
                  ++m_warnings;
              } else if (record.level >= Log::Error) {
                  ++m_errors;
              }
          })) {}
    ~LogCounter() { Log::removeSink(m_sink); }
    LogCounter(const LogCounter&) = delete;
    LogCounter& operator=(const LogCounter&) = delete;

    /// `written`: the warnings written rather than logged.
    void writeSummary(std::ostream& out, int written) const {
        out << "warnings " << m_warnings.load() + written << ", errors " << m_errors.load() << '\n';
    }

private:
    std::atomic<int> m_warnings{0};
    std::atomic<int> m_errors{0};
    int m_sink;
};

/// What the main thread took from the progress in one turn of its loop, to write.
struct Turn {
    bool stop = false;
    bool health = false;
    bool progress = false;
    std::deque<std::string> notes;
};

/// The main thread's clock of the run: when it ends, and when the health block and the progress are due.
struct RunClock {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastProgress = start;
    std::chrono::steady_clock::time_point lastHealth = start;
    bool showProgress = showsProgress();
};

/// Ends the run when it is over, or takes what is due to be written. False when the stream stopped by
/// itself.
bool takeTurn(const StreamOptions& options, StreamSession& session, ProgressOutput& progress,
              FrameWatch& frameWatch, RunClock& clock, Turn& turn) {
    const auto now = std::chrono::steady_clock::now();
    progress.drain();
    if (progress.takeFrameCount() != 0) {
        frameWatch.frameArrived();
    }
    turn.notes = progress.takeNotes();
    const double elapsed = std::chrono::duration<double>(now - clock.start).count();
    if (session.outputs().isCut() || Interrupts::requested() ||
        (options.durationSeconds > 0.0 && elapsed >= options.durationSeconds)) {
        session.endCounting();
        turn.stop = true;
        return true;
    }
    if (!session.stream().isStateOneOf({Stream::Running})) {
        session.endCounting();
        turn.stop = true;
        return false;
    }
    if (options.healthEverySeconds > 0.0 &&
        now - clock.lastHealth >= std::chrono::duration<double>(options.healthEverySeconds)) {
        clock.lastHealth = now;
        turn.health = true;
    }
    if (clock.showProgress && now - clock.lastProgress > std::chrono::milliseconds(250)) {
        clock.lastProgress = now;
        turn.progress = true;
    }
    return true;
}

/// Writes what a turn took.
void writeTurn(const Turn& turn, const RunClock& clock, std::uint64_t limit, std::size_t instrumentCount,
               const StreamSession& session, const ProgressOutput& progress, std::ostream& err) {
    for (const std::string& note : turn.notes) {
        err << note;
    }
    if (turn.health) {
        if (clock.showProgress) {
            err << '\n';
        }
        session.writeHealth(err);
    }
    if (turn.progress) {
        err << "\rframes " << session.outputs().frames();
        if (limit != 0) {
            err << '/' << limit;
        }
        err << "  markers tracked " << progress.trackedInstruments() << '/' << instrumentCount << "   ";
    }
    err << std::flush;
}

/// Main thread: runs the event loop until the frame limit, the duration or an interrupt ends the run.
/// False when the stream stopped by itself before.
bool streamUntilDone(const StreamOptions& options, StreamSession& session, ProgressOutput& progress,
                     FrameWatch& frameWatch, std::uint64_t limit, std::ostream& err) {
    RunClock clock;
    const TrackingStream* tracking = session.trackingStream();
    const std::size_t instrumentCount = tracking != nullptr ? tracking->instruments().size() : 0;
    bool running = true;
    for (bool stop = false; !stop;) {
        QCoreApplication::processEvents();
        Turn turn;
        frameWatch.check();
        session.outputs().waitForCut(std::chrono::milliseconds(50));
        running = takeTurn(options, session, progress, frameWatch, clock, turn);
        writeTurn(turn, clock, limit, instrumentCount, session, progress, err);
        stop = turn.stop;
    }
    if (clock.showProgress) {
        err << '\n';
    }
    return running;
}

/// Saves the configuration the stream ran with, when asked to; the exit code.
int saveWorkspace(const StreamOptions& options, Stream& stream, std::ostream& err) {
    if (options.saveWorkspace.empty()) {
        return ExitOk;
    }
    Properties workspace;
    WorkspaceConversionRegistry::setWorkspaceVersion(
        workspace, WorkspaceConversionRegistry::instance().currentVersion());
    stream.configuration(workspace.addSubProperties("Algorithms")->addSubProperties(kStreamAlgorithm));
    std::string error;
    if (!WorkspaceFile::save(workspace, options.saveWorkspace, error)) {
        err << "halvoren: " << error << '\n';
        return ExitBadInput;
    }
    return ExitOk;
}

/// Before the camera opens: a run whose results cannot be kept is not worth starting.
bool resultsWritable(const StreamOptions& options, std::ostream& err) {
    for (const std::string* path : {&options.output, &options.saveWorkspace, &options.record}) {
        if (const Expected<void> writable = checkWritable(*path); !writable) {
            reportError(writable.error(), err);
            return false;
        }
    }
    return true;
}

/// What the run ended with, for its summary and exit code.
struct RunEnd {
    bool streamLost = false;
    bool written = true;
    bool recorded = true;
    bool posesLost = false;  // frames the pose writer dropped, or lines its FIFO or device did not take
    int code = ExitOk;
};

int writeSummary(const StreamOptions& options, const RunEnd& end, const PoseWriter& writer,
                 const FrameWatch& frameWatch, const StreamSession& session, const LogCounter& logged,
                 std::ostream& err) {
    if (Interrupts::requested()) {
        err << "interrupted\n";
    }
    writer.writeSummary(err);
    frameWatch.writeSummary(err);
    session.writeHealth(err);
    session.writeOutputLosses(err);
    session.writeIgtlSummary(err);
    session.writeRecordingSummary(err);
    logged.writeSummary(err, session.warnings());
    if (!end.written) {
        err << "halvoren: cannot write the poses to "
            << (options.output.empty() ? std::string("standard output") : options.output) << '\n';
        return ExitWriteFailed;
    }
    if (!end.recorded) {
        return ExitWriteFailed;  // the recording's summary said why
    }
    if (end.streamLost) {
        session.writeReplayStop(err);
        err << "halvoren: the tracking stream stopped unexpectedly\n";
        return ExitFailure;
    }
    if (end.code == ExitOk && end.posesLost) {
        return ExitPosesLost;  // the count is in the summary
    }
    return end.code;
}

/// The outputs the command adds to the session's: the poses, and what it shows while running.
struct CommandOutputs {
    std::shared_ptr<PoseWriter> writer;
    std::shared_ptr<ProgressOutput> progress;
};

CommandOutputs addOutputs(const StreamOptions& options, StreamSession& session, PoseTarget& target) {
    CommandOutputs outputs;
    outputs.writer =
        std::make_shared<PoseWriter>(target.stream(), options.format, PoseWriter::kDefaultQueueFrames,
                                     options.minQuality, session.navigation());
    // A failed write ends the run: every further pose would be lost too.
    outputs.writer->setFailureListener([&session] { session.endCounting(); });
    outputs.progress = std::make_shared<ProgressOutput>(options.minQuality);
    session.addOutput(outputs.writer);
    session.addOutput(outputs.progress);
    return outputs;
}

/// Streams the poses into `target` through a session that is set up.
int streamPoses(const StreamOptions& options, StreamSession& session, PoseTarget& target,
                const LogCounter& logged, std::ostream& err) {
    Stream& stream = session.stream();
    const CommandOutputs outputs = addOutputs(options, session, target);
    const std::uint64_t limit = options.replay.empty() || options.framesGiven ? options.frames : 0;
    session.limitFrames(limit);
    FrameWatch frameWatch;
    frameWatch.restart();
    if (!stream.start()) {
        err << "halvoren: cannot start the tracking stream\n";
        stream.close();
        return ExitFailure;
    }
    RunEnd end;
    end.streamLost = !streamUntilDone(options, session, *outputs.progress, frameWatch, limit, err);
    end.code = saveWorkspace(options, stream, err);
    stream.close();
    end.recorded = session.endRun();
    outputs.progress->drain();
    for (const std::string& note : outputs.progress->takeNotes()) {
        err << note;
    }
    end.written = !outputs.writer->failed();
    end.written = target.close(err) && end.written;
    end.posesLost = outputs.writer->dropped() != 0 || target.linesLost() != 0;
    return writeSummary(options, end, *outputs.writer, frameWatch, session, logged, err);
}

}  // namespace

int runStream(const StreamOptions& options, std::ostream& out, std::ostream& err) {
    // Declared first: the algorithm and the stream are the plug-ins' code.
    Log::setGlobalLevel(options.logLevel);
    const LogCounter logged;
    if (!resultsWritable(options, err)) {
        return ExitBadInput;
    }
    LoadedPlugins plugins;
    auto created = StreamSession::create(plugins.manager(), options, false, err);
    if (!created) {
        return reportError(created.error(), err);
    }
    StreamSession& session = **created;
    PoseTarget target;
    if (!target.open(options.output, out, err)) {
        return ExitBadInput;
    }
    return streamPoses(options, session, target, logged, err);
}

}  // namespace Halvoren::App

#include "halvoren/commands/StreamCommand.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/outputs/PoseTarget.h"
#include "halvoren/outputs/PoseWriter.h"
#include "halvoren/outputs/ProgressOutput.h"
#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/RunController.h"
#include "halvoren/session/StreamSession.h"

#include "health/FrameAccounting.h"
#include "host/Log.h"
#include "host/TrackingStream.h"
#include "host/WorkspaceConversionRegistry.h"
#include "host/WorkspaceFile.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
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

/// Main thread: streams until the frame limit, the duration or an interrupt ends the run, writing the
/// staleness notes as they come, the health block when due and, on a terminal, the progress. False when
/// the stream stopped by itself before.
bool streamUntilDone(const StreamOptions& options, StreamSession& session, RunController& controller,
                     ProgressOutput& progress, std::uint64_t limit, std::ostream& err) {
    const TrackingStream* tracking = session.trackingStream();
    const std::size_t instrumentCount = tracking != nullptr ? tracking->instruments().size() : 0;
    RunController::Plan plan;
    plan.turn = [&progress, &err] {
        QCoreApplication::processEvents();
        progress.drain();
        for (const std::string& note : progress.takeNotes()) {
            err << note;
        }
    };
    plan.progress = [&session, &progress, limit, instrumentCount](std::ostream& line) {
        line << "frames " << session.outputs().frames();
        if (limit != 0) {
            line << '/' << limit;
        }
        line << "  markers tracked " << progress.trackedInstruments() << '/' << instrumentCount << "   ";
    };
    if (options.healthEverySeconds > 0.0) {
        plan.every = std::chrono::duration<double>(options.healthEverySeconds);
        plan.periodic = [&session, &err, onTerminal = showsProgress()] {
            if (onTerminal) {
                err << '\n';  // below the progress line
            }
            session.writeHealth(err);
        };
    }
    plan.limit = std::chrono::duration<double>(std::max(0.0, options.durationSeconds));
    plan.watchFrames = true;
    const RunEnd end = controller.run(plan);
    session.cutRun();
    return end != RunEnd::StreamStopped;
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

/// What the run ended with, for its summary and exit code.
struct Outcome {
    bool streamLost = false;
    bool written = true;
    bool recorded = true;
    bool posesLost = false;  // frames the pose writer dropped, or lines its FIFO or device did not take
    int code = ExitOk;
};

int writeSummary(const StreamOptions& options, const Outcome& end, const PoseWriter& writer,
                 const RunController& controller, const StreamSession& session, const LogCounter& logged,
                 std::ostream& err) {
    if (Interrupts::requested()) {
        err << "interrupted\n";
    }
    writer.writeSummary(err);
    controller.writeFrameSummary(err);
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

CommandOutputs addOutputs(const StreamOptions& options, StreamSession& session, RunController& controller,
                          PoseTarget& target) {
    CommandOutputs outputs;
    outputs.writer =
        std::make_shared<PoseWriter>(target.stream(), options.format, PoseWriter::kDefaultQueueFrames,
                                     options.minQuality, session.navigation());
    // A failed write ends the run: every further pose would be lost too.
    outputs.writer->setFailureListener([&session] { session.cutRun(); });
    outputs.progress =
        std::make_shared<ProgressOutput>(options.minQuality, [&controller] { controller.wake(); });
    session.addOutput(outputs.writer);
    session.addOutput(outputs.progress);
    return outputs;
}

/// Streams the poses into `target` through a session that is set up.
int streamPoses(const StreamOptions& options, StreamSession& session, PoseTarget& target,
                const LogCounter& logged, std::ostream& err) {
    Stream& stream = session.stream();
    RunController controller(session, err);
    const CommandOutputs outputs = addOutputs(options, session, controller, target);
    const std::uint64_t limit = options.replay.empty() || options.framesGiven ? options.frames : 0;
    session.limitFrames(limit);
    if (!stream.start()) {
        err << "halvoren: cannot start the tracking stream\n";
        stream.close();
        return ExitFailure;
    }
    Outcome end;
    end.streamLost = !streamUntilDone(options, session, controller, *outputs.progress, limit, err);
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
    return writeSummary(options, end, *outputs.writer, controller, session, logged, err);
}

}  // namespace

int runStream(const StreamOptions& options, std::ostream& out, std::ostream& err) {
    // Declared first: the algorithm and the stream are the plug-ins' code.
    Log::setGlobalLevel(options.logLevel);
    const LogCounter logged;
    if (!resultsWritable({&options.output, &options.saveWorkspace, &options.record}, err)) {
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

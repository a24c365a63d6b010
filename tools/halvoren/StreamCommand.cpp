#include "halvoren/StreamCommand.h"

#include "halvoren/FrameSink.h"
#include "halvoren/FrameWatch.h"
#include "halvoren/InputChecks.h"
#include "halvoren/Interrupts.h"
#include "halvoren/LoadedPlugins.h"
#include "halvoren/PoseTarget.h"
#include "halvoren/StreamSession.h"

#include "health/FrameAccounting.h"
#include "host/Log.h"
#include "host/TrackingStream.h"
#include "host/WorkspaceConversionRegistry.h"
#include "host/WorkspaceFile.h"

#include <QCoreApplication>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
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

    void writeSummary(std::ostream& out) const {
        out << "warnings " << m_warnings.load() << ", errors " << m_errors.load() << '\n';
    }

private:
    std::atomic<int> m_warnings{0};
    std::atomic<int> m_errors{0};
    int m_sink;
};

/// Worker thread: writes a delivered frame and tells the main thread whether the run is done.
void takeFrame(FrameSink& sink, FrameWatch& frameWatch, const std::shared_ptr<const StreamData>& data) {
    const auto* tracking = dynamic_cast<const TrackingStreamData*>(data.get());
    if (tracking == nullptr) {
        return;
    }
    frameWatch.frameArrived();
    std::lock_guard<std::mutex> lock(sink.mutex);
    if (sink.done) {
        return;
    }
    const auto* info = tracking->components().get<TrackingFrameInfoData>();
    sink.writeFrame(std::shared_ptr<const TrackingStreamData>(data, tracking),
                    info != nullptr ? info->counter : 0);
    if (sink.session->replayEnded()) {
        sink.end();  // every recorded frame came
    }
    if (sink.writer->failed()) {
        sink.end();  // every further pose would be lost too
    }
    sink.trackedInstruments = 0;
    for (const TrackingInstrument& instrument : tracking->instruments()) {
        sink.trackedInstruments += Health::passesGate(instrument, sink.minQuality) ? 1 : 0;
    }
    if (sink.limit != 0 && sink.writer->frames() >= sink.limit) {
        sink.end();
    }
    sink.changed.notify_all();
}

/// What the main thread took from the sink in one turn of its loop, to write once it let go of the lock:
/// a reader of standard error that does not keep up must not hold up the worker.
struct Turn {
    bool stop = false;
    bool health = false;
    bool progress = false;
    std::uint64_t frames = 0;
    std::size_t trackedInstruments = 0;
    std::deque<std::string> notes;
};

/// The main thread's clock of the run: when it ends, and when the health block and the progress are due.
struct RunClock {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastProgress = start;
    std::chrono::steady_clock::time_point lastHealth = start;
    bool showProgress = isatty(STDERR_FILENO) != 0;
};

/// The caller holds the sink's lock: ends the run when it is over, or takes what is due to be written.
/// False when the stream stopped by itself.
bool takeTurn(const StreamOptions& options, const StreamSession& session, FrameSink& sink, RunClock& clock,
              Turn& turn) {
    const auto now = std::chrono::steady_clock::now();
    turn.notes.swap(sink.notes);
    const double elapsed = std::chrono::duration<double>(now - clock.start).count();
    if (sink.done || Interrupts::requested() ||
        (options.durationSeconds > 0.0 && elapsed >= options.durationSeconds)) {
        sink.end();
        turn.stop = true;
        return true;
    }
    if (!session.stream().isStateOneOf({Stream::Running})) {
        sink.end();
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
        turn.frames = sink.writer->frames();
        turn.trackedInstruments = sink.trackedInstruments;
    }
    return true;
}

/// Writes what a turn took; the caller does not hold the sink's lock.
void writeTurn(const Turn& turn, const RunClock& clock, std::uint64_t limit, std::size_t instrumentCount,
               const StreamSession& session, std::ostream& err) {
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
        err << "\rframes " << turn.frames;
        if (limit != 0) {
            err << '/' << limit;
        }
        err << "  markers tracked " << turn.trackedInstruments << '/' << instrumentCount << "   ";
    }
    err << std::flush;
}

/// Main thread: runs the event loop until the frame limit, the duration or an interrupt ends the run.
/// False when the stream stopped by itself before.
bool streamUntilDone(const StreamOptions& options, const StreamSession& session, FrameSink& sink,
                     FrameWatch& frameWatch, std::ostream& err) {
    const Interrupts interrupts;
    RunClock clock;
    const TrackingStream* tracking = session.trackingStream();
    const std::size_t instrumentCount = tracking != nullptr ? tracking->instruments().size() : 0;
    bool running = true;
    for (bool stop = false; !stop;) {
        QCoreApplication::processEvents();
        Turn turn;
        frameWatch.check();
        std::uint64_t limit = 0;
        {
            std::unique_lock<std::mutex> lock(sink.mutex);
            sink.changed.wait_for(lock, std::chrono::milliseconds(50));
            running = takeTurn(options, session, sink, clock, turn);
            limit = sink.limit;
        }
        writeTurn(turn, clock, limit, instrumentCount, session, err);
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
        if (const std::string problem = cannotWriteMessage(*path); !problem.empty()) {
            err << "halvoren: " << problem << '\n';
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
    session.writeIgtlSummary(err);
    session.writeRecordingSummary(err);
    logged.writeSummary(err);
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
    return end.code;
}

/// Streams the poses into `target` through a session that is set up.
int streamPoses(const StreamOptions& options, StreamSession& session, FrameSink& sink, PoseTarget& target,
                const LogCounter& logged, std::ostream& err) {
    Stream& stream = session.stream();
    PoseWriter writer(target.stream(), options.format, PoseWriter::kDefaultQueueFrames, options.minQuality);
    FrameWatch frameWatch;
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        sink.writer = &writer;
        sink.limit = options.replay.empty() || options.framesGiven ? options.frames : 0;
        sink.minQuality = options.minQuality;
        sink.session = &session;
    }
    auto connection = stream.signalStreamData.connect(
        [&](const std::shared_ptr<const StreamData>& data) { takeFrame(sink, frameWatch, data); });
    writer.begin();  // no frame arrives before the stream starts
    frameWatch.restart();
    if (!stream.start()) {
        err << "halvoren: cannot start the tracking stream\n";
        stream.close();
        return ExitFailure;
    }
    RunEnd end;
    end.streamLost = !streamUntilDone(options, session, sink, frameWatch, err);
    end.code = saveWorkspace(options, stream, err);
    stream.close();
    connection->disconnect();
    end.recorded = session.endRun();
    std::uint64_t notesDropped = 0;
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        sink.writer = nullptr;  // goes before the session's watchdog
        notesDropped = sink.notesDropped;
    }
    if (notesDropped != 0) {
        err << "halvoren: " << notesDropped << " notes on staleness not written: too many at once\n";
    }
    end.written = writer.flush();
    end.written = target.close(err) && end.written;
    return writeSummary(options, end, writer, frameWatch, session, logged, err);
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
    FrameSink sink;
    StreamSession session(plugins.manager());
    session.setStaleListener(
        [&sink](bool stale, double milliseconds) { sink.noteStaleness(stale, milliseconds); });
    int setupCode = ExitOk;
    if (!session.create(options, false, err, setupCode)) {
        return setupCode;
    }
    PoseTarget target;
    if (!target.open(options.output, out, err)) {
        return ExitBadInput;
    }
    return streamPoses(options, session, sink, target, logged, err);
}

}  // namespace Halvoren::App

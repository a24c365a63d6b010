#include "halvoren/StreamCommand.h"

#include "halvoren/FrameWatch.h"
#include "halvoren/InputChecks.h"
#include "halvoren/LoadedPlugins.h"
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
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <ostream>
#include <sstream>

namespace Halvoren::App {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) {
    g_interrupted.store(true);
}

/// Collects the frames the worker delivers; the main thread waits on it.
struct FrameSink {
    std::mutex mutex;  // guards everything below and the writer
    std::condition_variable changed;
    PoseWriter* writer = nullptr;
    std::uint64_t limit = 0;
    bool done = false;
    std::size_t trackedInstruments = 0;
    double minQuality = 0.0;
    std::uint32_t lastFrame = 0;  // the camera's counter of the last frame written
    StreamSession* session = nullptr;

    /// The caller holds the lock: the run is over, and so are its accounting and its recording, so that
    /// the summary and the recording hold the frames the output got.
    void end() {
        done = true;
        if (session != nullptr) {
            session->endCounting();
        }
    }
};

/// The watchdog's thread, or the worker's: says that the poses went stale, or are fresh again, and
/// writes the last poses once more marked stale, so that a reader of the poses learns it too.
void noteStaleness(FrameSink& sink, const StreamSession& session, bool stale, double milliseconds,
                   std::ostream& err) {
    std::lock_guard<std::mutex> lock(sink.mutex);
    if (sink.writer == nullptr || sink.done) {
        return;
    }
    std::ostringstream note;
    note << std::fixed << std::setprecision(0);
    if (stale) {
        note << "halvoren: no new frame from the camera for " << milliseconds << " ms: the poses are stale\n";
        if (const TrackingStream* tracking = session.trackingStream()) {
            sink.writer->writeStale(tracking->instruments(), sink.lastFrame);
        }
    } else {
        note << "halvoren: frames from the camera again after " << milliseconds << " ms\n";
    }
    err << note.str() << std::flush;
}

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

/// While it lives, SIGINT and SIGTERM set g_interrupted instead of ending the process.
class InterruptCatcher {
public:
    InterruptCatcher() {
        g_interrupted.store(false);
        m_previousInt = std::signal(SIGINT, onInterrupt);
        m_previousTerm = std::signal(SIGTERM, onInterrupt);
    }
    ~InterruptCatcher() {
        std::signal(SIGINT, m_previousInt);
        std::signal(SIGTERM, m_previousTerm);
    }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

private:
    void (*m_previousInt)(int) = nullptr;
    void (*m_previousTerm)(int) = nullptr;
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
    sink.lastFrame = info != nullptr ? info->counter : 0;
    sink.writer->writeFrame(tracking->instruments(), sink.lastFrame);
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

/// The progress line on a terminal; the caller holds the sink's lock.
void writeProgress(const FrameSink& sink, std::size_t instrumentCount, std::ostream& err) {
    err << "\rframes " << sink.writer->frames();
    if (sink.limit != 0) {
        err << '/' << sink.limit;
    }
    err << "  markers tracked " << sink.trackedInstruments << '/' << instrumentCount << "   " << std::flush;
}

/// Main thread: runs the event loop until the frame limit, the duration or an interrupt ends the run.
/// False when the stream stopped by itself before.
bool streamUntilDone(const StreamOptions& options, const StreamSession& session, FrameSink& sink,
                     FrameWatch& frameWatch, std::ostream& err) {
    const InterruptCatcher interrupts;
    const bool progress = isatty(STDERR_FILENO) != 0;
    const auto startTime = std::chrono::steady_clock::now();
    const TrackingStream* tracking = session.trackingStream();
    const std::size_t instrumentCount = tracking != nullptr ? tracking->instruments().size() : 0;
    auto lastProgress = startTime;
    auto lastHealth = startTime;
    const auto healthEvery = std::chrono::duration<double>(options.healthEverySeconds);
    bool running = true;
    while (true) {
        QCoreApplication::processEvents();
        std::unique_lock<std::mutex> lock(sink.mutex);
        sink.changed.wait_for(lock, std::chrono::milliseconds(50));
        const auto now = std::chrono::steady_clock::now();
        frameWatch.check(now);
        const double elapsed = std::chrono::duration<double>(now - startTime).count();
        if (sink.done || g_interrupted.load() ||
            (options.durationSeconds > 0.0 && elapsed >= options.durationSeconds)) {
            sink.end();
            break;
        }
        if (!session.stream().isStateOneOf({Stream::Running})) {
            running = false;
            sink.end();
            break;
        }
        if (options.healthEverySeconds > 0.0 && now - lastHealth >= healthEvery) {
            lastHealth = now;
            if (progress) {
                err << '\n';
            }
            session.writeHealth(err);
        }
        if (progress && now - lastProgress > std::chrono::milliseconds(250)) {
            lastProgress = now;
            writeProgress(sink, instrumentCount, err);
        }
    }
    if (progress) {
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
    if (g_interrupted.load()) {
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
int streamPoses(const StreamOptions& options, StreamSession& session, FrameSink& sink, std::ostream& target,
                std::ofstream& file, const LogCounter& logged, std::ostream& err) {
    Stream& stream = session.stream();
    PoseWriter writer(target, options.format, PoseWriter::kDefaultQueueFrames, options.minQuality);
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
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        sink.writer = nullptr;  // goes before the session's watchdog
    }
    end.written = writer.flush();
    if (file.is_open()) {
        file.close();
        end.written = end.written && !file.fail();
    }
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
    session.setStaleListener([&sink, &session, &err](bool stale, double milliseconds) {
        noteStaleness(sink, session, stale, milliseconds, err);
    });
    int setupCode = ExitOk;
    if (!session.create(options, false, err, setupCode)) {
        return setupCode;
    }
    std::ofstream file;
    if (!options.output.empty()) {
        file.open(options.output, std::ios::out | std::ios::trunc);
        if (!file) {
            err << "halvoren: cannot write " << options.output << '\n';
            return ExitBadInput;
        }
    }
    return streamPoses(options, session, sink, file.is_open() ? static_cast<std::ostream&>(file) : out, file,
                       logged, err);
}

}  // namespace Halvoren::App

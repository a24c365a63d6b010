#include "halvoren/StreamCommand.h"

#include "halvoren/FrameWatch.h"
#include "halvoren/InputChecks.h"
#include "halvoren/LoadedPlugins.h"
#include "halvoren/StreamSession.h"

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
#include <iostream>
#include <mutex>

namespace Halvoren::App {

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) {
    g_interrupted.store(true);
}

bool parseNumber(const std::string& text, double& value) {
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        return used == text.size() && value >= 0.0;
    } catch (const std::exception&) {
        return false;
    }
}

/// Collects the frames the worker delivers; the main thread waits on it.
struct FrameSink {
    std::mutex mutex;  // guards everything below and the writer
    std::condition_variable changed;
    PoseWriter* writer = nullptr;
    std::uint64_t limit = 0;
    bool done = false;
    std::size_t trackedInstruments = 0;
};

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

}  // namespace

std::string streamUsage() {
    return "Usage: halvoren stream [options]\n"
           "Streams poses from the tracking camera, one line per instrument per frame.\n" +
           setupUsage() +
           "  --save-workspace FILE  save the configuration the stream ran with\n"
           "  --frames N             stop after N frames (default 300; 0: no limit)\n"
           "  --duration SECONDS     stop after this time (default: no limit)\n"
           "  --format csv|jsonl     output format (default csv)\n"
           "  --output FILE          write the poses to FILE instead of standard output\n"
           "  --images               query the camera images\n"
           "Ctrl-C stops the stream, closes the camera and exits.\n";
}

std::optional<StreamOptions> parseStreamOptions(const std::vector<std::string>& args, std::string& error) {
    StreamOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        const OptionResult common = parseSetupOption(args, i, options, error);
        if (common == OptionResult::Invalid) {
            return std::nullopt;
        }
        if (common == OptionResult::Taken) {
            continue;
        }
        if (arg == "--save-workspace") {
            if (!value(options.saveWorkspace) ||
                !(error = emptyPathError(arg, options.saveWorkspace)).empty()) {
                return std::nullopt;
            }
        } else if (arg == "--frames") {
            if (!value(v)) {
                return std::nullopt;
            }
            if (!parseWholeNumber(v, options.frames)) {
                error = "--frames takes a whole number, not '" + v + "'";
                return std::nullopt;
            }
        } else if (arg == "--duration") {
            if (!value(v)) {
                return std::nullopt;
            }
            if (!parseNumber(v, options.durationSeconds)) {
                error = "--duration takes a number of seconds, not '" + v + "'";
                return std::nullopt;
            }
        } else if (arg == "--format") {
            if (!value(v)) {
                return std::nullopt;
            }
            if (v == "csv") {
                options.format = PoseFormat::Csv;
            } else if (v == "jsonl" || v == "json") {
                options.format = PoseFormat::JsonLines;
            } else {
                error = "--format takes csv or jsonl, not '" + v + "'";
                return std::nullopt;
            }
        } else if (arg == "--output") {
            if (!value(options.output) || !(error = emptyPathError(arg, options.output)).empty()) {
                return std::nullopt;
            }
        } else if (arg == "--images") {
            options.images = true;
        } else {
            error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
    }
    return options;
}

int runStream(const StreamOptions& options, std::ostream& err) {
    // Declared first: the algorithm and the stream are the plug-ins' code.
    Log::setGlobalLevel(options.logLevel);
    const LogCounter logged;
    // Before the camera opens: a run whose results cannot be kept is not worth starting.
    for (const std::string* path : {&options.output, &options.saveWorkspace}) {
        if (const std::string problem = cannotWriteMessage(*path); !problem.empty()) {
            err << "halvoren: " << problem << '\n';
            return ExitBadInput;
        }
    }
    LoadedPlugins plugins;
    StreamSession session(plugins.manager());
    int setupCode = ExitOk;
    if (!session.create(options, false, err, setupCode)) {
        return setupCode;
    }
    Stream& stream = session.stream();

    std::ofstream file;
    std::ostream* out = &std::cout;
    if (!options.output.empty()) {
        file.open(options.output, std::ios::out | std::ios::trunc);
        if (!file) {
            err << "halvoren: cannot write " << options.output << '\n';
            return ExitBadInput;
        }
        out = &file;
    }

    PoseWriter writer(*out, options.format);
    FrameWatch frameWatch;
    FrameSink sink;
    sink.writer = &writer;
    sink.limit = options.frames;
    auto connection = stream.signalStreamData.connect([&](const std::shared_ptr<const StreamData>& data) {
        // Worker thread.
        const auto* tracking = dynamic_cast<const TrackingStreamData*>(data.get());
        if (tracking == nullptr) {
            return;
        }
        frameWatch.frameArrived();
        std::lock_guard<std::mutex> lock(sink.mutex);
        if (sink.done) {
            return;
        }
        sink.writer->writeFrame(tracking->instruments());
        if (sink.writer->failed()) {
            sink.done = true;  // every further pose would be lost too
        }
        sink.trackedInstruments = 0;
        for (const TrackingInstrument& instrument : tracking->instruments()) {
            sink.trackedInstruments += instrument.quality > 0.0 ? 1 : 0;
        }
        if (sink.limit != 0 && sink.writer->frames() >= sink.limit) {
            sink.done = true;
        }
        sink.changed.notify_all();
    });

    writer.begin();  // no frame arrives before the stream starts
    frameWatch.restart();
    if (!stream.start()) {
        err << "halvoren: cannot start the tracking stream\n";
        stream.close();
        return ExitFailure;
    }

    g_interrupted.store(false);
    auto previousInt = std::signal(SIGINT, onInterrupt);
    auto previousTerm = std::signal(SIGTERM, onInterrupt);
    const bool progress = isatty(STDERR_FILENO) != 0;
    const auto startTime = std::chrono::steady_clock::now();
    const TrackingStream* tracking = session.trackingStream();
    const std::size_t instrumentCount = tracking != nullptr ? tracking->instruments().size() : 0;
    auto lastProgress = startTime;
    bool streamLost = false;
    while (true) {
        QCoreApplication::processEvents();
        std::unique_lock<std::mutex> lock(sink.mutex);
        sink.changed.wait_for(lock, std::chrono::milliseconds(50));
        const auto now = std::chrono::steady_clock::now();
        frameWatch.check(now);
        const double elapsed = std::chrono::duration<double>(now - startTime).count();
        if (sink.done || g_interrupted.load() ||
            (options.durationSeconds > 0.0 && elapsed >= options.durationSeconds)) {
            sink.done = true;
            break;
        }
        if (!stream.isStateOneOf({Stream::Running})) {
            streamLost = true;
            sink.done = true;
            break;
        }
        if (progress && now - lastProgress > std::chrono::milliseconds(250)) {
            lastProgress = now;
            err << "\rframes " << writer.frames();
            if (options.frames != 0) {
                err << '/' << options.frames;
            }
            err << "  markers tracked " << sink.trackedInstruments << '/' << instrumentCount << "   "
                << std::flush;
        }
    }
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    if (progress) {
        err << '\n';
    }

    int code = ExitOk;
    if (!options.saveWorkspace.empty()) {
        Properties workspace;
        WorkspaceConversionRegistry::setWorkspaceVersion(
            workspace, WorkspaceConversionRegistry::instance().currentVersion());
        stream.configuration(workspace.addSubProperties("Algorithms")->addSubProperties(kStreamAlgorithm));
        std::string error;
        if (!WorkspaceFile::save(workspace, options.saveWorkspace, error)) {
            err << "halvoren: " << error << '\n';
            code = ExitBadInput;
        }
    }
    stream.close();
    connection->disconnect();
    session.stopIgtl();
    bool written = writer.flush();
    if (file.is_open()) {
        file.close();
        written = written && !file.fail();
    }
    if (g_interrupted.load()) {
        err << "interrupted\n";
    }
    writer.writeSummary(err);
    frameWatch.writeSummary(err);
    session.writeIgtlSummary(err);
    logged.writeSummary(err);
    if (!written) {
        err << "halvoren: cannot write the poses to "
            << (options.output.empty() ? std::string("standard output") : options.output) << '\n';
        return ExitWriteFailed;
    }
    if (streamLost) {
        err << "halvoren: the tracking stream stopped unexpectedly\n";
        return ExitFailure;
    }
    return code;
}

}  // namespace Halvoren::App

#include "halvoren/commands/AssessCommand.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/outputs/PoseTarget.h"
#include "halvoren/outputs/ProgressOutput.h"
#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/RunController.h"
#include "halvoren/session/StreamSession.h"

#include "assess/AssessmentOutput.h"
#include "assess/AssessmentPlot.h"
#include "assess/AssessmentReport.h"
#include "host/Log.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>

namespace Halvoren::App {

namespace {

/// The assessment, waking the run for its first frame and now and then after, for the line that says it
/// came and for its readings' limit.
class WakingAssessment : public Assess::AssessmentOutput {
public:
    WakingAssessment(const std::vector<TrackerID>& instruments, Assess::Assessor::Options options,
                     std::function<void()> wake)
        : AssessmentOutput(instruments, std::move(options)), m_waker(kWakeEvery, std::move(wake)) {}
    void queued() override { m_waker.queued(); }

private:
    // No queue to keep from filling: its own thread takes the frames.
    static constexpr std::size_t kWakeEvery = std::numeric_limits<std::size_t>::max();
    QueueWaker m_waker;
};

/// The output that assesses the session's frames, with the distances' ends checked against its points.
std::shared_ptr<Assess::AssessmentOutput> assessment(const AssessOptions& options,
                                                     const StreamSession& session, RunController& controller,
                                                     std::ostream& err) {
    Assess::Assessor::Options assessor;
    assessor.navigation = session.navigation();
    assessor.minQuality = options.minQuality;
    assessor.windowSeconds = options.windowSeconds;
    std::vector<TrackerID> instruments;
    for (const auto& marker : session.markers()) {
        instruments.emplace_back(marker.id, "", marker.name);
    }
    const Assess::Assessor points(instruments, assessor);  // the points the distances may name
    for (const std::string& text : options.distances) {
        std::string why;
        const auto known = Assess::parseDistance(text, why);
        if (known) {
            why = points.distanceProblem(*known);
        }
        if (!why.empty()) {
            err << "halvoren assess: --distance " << text << ": " << why << '\n';
            return nullptr;
        }
        assessor.distances.push_back(*known);
    }
    return std::make_shared<WakingAssessment>(instruments, std::move(assessor),
                                              [&controller] { controller.wake(); });
}

/// Streams until the frame limit, the duration, the readings' limit, an interrupt or the stream's end;
/// progress on a terminal. False when the stream stopped by itself.
bool assessUntilDone(const AssessOptions& options, RunController& controller,
                     const Assess::AssessmentOutput& output, std::ostream& err) {
    RunController::Plan plan;
    // Off a terminal no progress line: one line for a log that the camera delivers.
    bool sayFirst = !showsProgress() && Log::globalLevel() < Log::Warning;
    plan.turn = [&output, &err, &sayFirst] {
        if (sayFirst && output.frames() > 0) {
            sayFirst = false;
            err << "assessing: the first frame came\n" << std::flush;
        }
    };
    plan.done = [&output] { return output.full(); };
    plan.progress = [&output](std::ostream& line) {
        line << "assessing: frame " << output.frames() << "   ";
    };
    plan.limit = std::chrono::duration<double>(std::max(0.0, options.durationSeconds));
    return controller.run(plan) != RunEnd::StreamStopped;
}

/// Writes the JSON and the plot when asked for; the exit code.
int writeFiles(const AssessOptions& options, const Assess::Assessment& result, std::ostream& err) {
    if (!options.output.empty()) {
        // A FIFO nobody reads is refused rather than waited for, as the stream's poses are.
        PoseTarget json;
        bool written = json.open(options.output, err, err);
        if (written) {
            json.stream() << Assess::assessmentJson(result);
            written = json.stream().good();
            written = json.close(err) && written;
        }
        if (!written) {
            err << "halvoren: cannot write the assessment to " << options.output << '\n';
            return ExitWriteFailed;
        }
    }
    if (!options.plot.empty()) {
        if (const std::string problem = Assess::writePlot(result, options.plot); !problem.empty()) {
            err << "halvoren: " << problem << '\n';
            return ExitWriteFailed;
        }
    }
    return ExitOk;
}

/// The report, the files, and the verdict: refused when a point moved.
int report(const AssessOptions& options, const Assess::AssessmentOutput& output, std::ostream& out,
           std::ostream& err) {
    const Assess::Assessment result = output.assessor().result();
    if (output.dropped() != 0) {
        err << "halvoren: the assessment could not keep up: " << output.dropped() << " frames not assessed\n";
    }
    if (output.full()) {
        err << "halvoren: the assessment holds at most " << Assess::kMaxReadings
            << " readings: it stopped taking frames there\n";
    }
    if (result.frames == 0) {
        err << "halvoren: no frames came from the camera: nothing to assess\n";
        return ExitFailure;
    }
    Assess::writeReport(result, out);
    const int written = writeFiles(options, result, err);
    if (result.refused()) {
        for (const Assess::PointResult& point : result.points) {
            if (!point.motion.empty()) {
                err << "halvoren: " << point.label << " (" << point.id << ") " << point.motion
                    << ": hold the markers still and assess again\n";
            }
        }
        return ExitCalibrationRefused;
    }
    if (written != ExitOk) {
        return written;
    }
    // Frames without a single reading assess nothing: a script must not take the run for a good one.
    for (const Assess::PointResult& point : result.points) {
        if (point.seen != 0) {
            return ExitOk;
        }
    }
    err << "halvoren: no marker was seen in any of the " << result.frames
        << " frames: nothing was assessed\n";
    return ExitNothingSeen;
}

}  // namespace

int runAssess(const AssessOptions& options, std::ostream& out, std::ostream& err) {
    Log::setGlobalLevel(options.logLevel);
    if (!resultsWritable({&options.output, &options.plot}, err)) {
        return ExitBadInput;
    }
    if (const std::string problem = Assess::plotPathProblem(options.plot); !problem.empty()) {
        err << "halvoren: " << problem << '\n';
        return ExitBadInput;
    }
    LoadedPlugins plugins;
    auto created = StreamSession::create(plugins.manager(), options, false, err);
    if (!created) {
        return reportError(created.error(), err);
    }
    StreamSession& session = **created;
    RunController controller(session, err);
    const auto output = assessment(options, session, controller, err);
    if (!output) {
        return ExitUsage;
    }
    session.addOutput(output);
    const bool byTime = options.durationSeconds > 0.0 && !options.framesGiven;
    session.limitFrames(options.replay.empty() || options.framesGiven ? (byTime ? 0 : options.frames) : 0);
    if (!session.stream().start()) {
        err << "halvoren: cannot start the tracking stream\n";
        return ExitFailure;
    }
    const bool running = assessUntilDone(options, controller, *output, err);
    session.cutRun();
    session.stream().close();
    session.endRun();
    if (Interrupts::requested() && output->frames() == 0) {
        err << "interrupted before the first frame: nothing to assess\n";
        return ExitInterrupted;
    }
    if (Interrupts::requested()) {
        err << "interrupted: assessing the " << output->frames() << " frames taken\n";
    } else if (!running && !session.replayEnded()) {
        session.writeReplayStop(err);
        err << "halvoren: the tracking stream stopped unexpectedly: assessing the frames taken\n";
    }
    return report(options, *output, out, err);
}

}  // namespace Halvoren::App

#include "halvoren/commands/GuiCommand.h"
#include "halvoren/session/ExitCodes.h"

#include "halvoren/console/Interrupts.h"
#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/RunController.h"
#include "halvoren/session/StreamSession.h"
#include "halvoren/window/MainWindow.h"
#include "halvoren/window/PanelNavigation.h"

#include "host/AlgorithmController.h"
#include "host/Log.h"
#include "host/OpticalTrackingStreamController.h"
#include "host/StreamControllerBase.h"
#include "host/TrackingStream.h"
#include "host/Utilities.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>

namespace Halvoren::App {

namespace {

constexpr int kWindowWidth = 1720;
constexpr int kWindowHeight = 720;
/// The panel's width when the instrument table has a column for the tools' tips.
constexpr int kPanelWidthWithTips = 720;

/// Every fiducial gets its ellipse and cross in the camera views.
constexpr int kAllFiducials = 3;

/// What the window's run shares with the stream's worker, the run's wake-ups and the window's timers.
struct GuiRun {
    std::function<void()> look;  // GUI thread, while the window shows: what a wake-up of the run looks at
    std::atomic<bool> lookPosted{false};
    int result = ExitOk;
    bool waitingForFrames = true;  // the stream ran when last looked at
    bool shotQueued = false;
    bool interrupted = false;
    bool replayEndSaid = false;
    bool replayStopSaid = false;
};

/// Any thread: the run was woken (a signal, the cut, the stream's state); the GUI thread looks once,
/// however many wake-ups come meanwhile.
void postLook(GuiRun& run) {
    if (!run.lookPosted.exchange(true)) {
        QtHelpers::runOnMainThread([&run] {
            run.lookPosted = false;
            if (run.look) {
                run.look();
            }
        });
    }
}

/// GUI thread, once the stream stopped: a replay that the recording's damage stopped fails the run, and
/// says why once.
void sayReplayStop(const StreamSession& session, GuiRun& run, std::ostream& err) {
    if (run.replayStopSaid) {
        return;
    }
    std::ostringstream said;
    session.writeReplayStop(said);
    if (!said.str().empty()) {
        run.replayStopSaid = true;
        run.result = ExitFailure;
        err << said.str() << std::flush;
    }
}

/// The window's screenshot, queued behind the view updates that the frames so far have posted.
void takeScreenshot(MainWindow& window, StreamControllerBase* panel, const GuiOptions& options, GuiRun& run,
                    std::ostream& err) {
    QMetaObject::invokeMethod(
        &window,
        [&window, panel, &options, &run, &err] {
            if (auto* tracking = dynamic_cast<OpticalTrackingStreamController*>(panel)) {
                tracking->refresh();
            }
            const QString path = QString::fromStdString(options.screenshot);
            if (!window.grab().save(path, "PNG")) {
                err << "halvoren: cannot write " << options.screenshot << '\n';
                run.result = ExitBadInput;
            }
            window.close();
        },
        Qt::QueuedConnection);
}

/// GUI thread, woken: takes the screenshot once enough frames arrived, or gives up when the stream stops.
/// A replay that ends first gives the screenshot of its last frame.
void lookForScreenshot(const RunController& controller, MainWindow& window, StreamControllerBase* panel,
                       const StreamSession& session, const GuiOptions& options, GuiRun& run,
                       std::ostream& err) {
    RunController::Plan plan;
    plan.done = [&session, &options] {
        return session.outputs().frames() >= options.frames || session.replayEnded();
    };
    RunEnd end = RunEnd::Done;
    if (run.shotQueued || !controller.ended(plan, RunController::Clock::now(), end)) {
        return;
    }
    if (end == RunEnd::Done || end == RunEnd::Cut) {
        run.shotQueued = true;
        takeScreenshot(window, panel, options, run, err);
    } else if (end == RunEnd::StreamStopped) {
        sayReplayStop(session, run, err);
        err << "halvoren: the tracking stream stopped before the screenshot\n";
        run.result = ExitFailure;
        window.close();
    }
}

/// GUI thread: the panel's health line, red while the poses are stale.
void showHealth(StreamControllerBase* panel, const Health::TrackingHealth& health) {
    if (auto* tracking = dynamic_cast<OpticalTrackingStreamController*>(panel)) {
        const Health::HealthFigures figures = health.figures();
        tracking->setHealthLine(QString::fromStdString(Health::healthLine(figures)), figures.stale);
    }
}

/// GUI thread: a camera that delivers no frames is named, and the panel shows the health. Only while
/// running: the panel may stop the stream, and a start begins a new wait.
void watchFrames(QTimer& frameCheck, MainWindow& window, RunController& controller,
                 const StreamSession& session, StreamControllerBase* panel, GuiRun& run, std::ostream& err) {
    QObject::connect(&frameCheck, &QTimer::timeout, &window, [&controller, &session, panel, &run, &err] {
        showHealth(panel, session.health());
        if (run.look) {
            run.look();  // also where nothing can wake the run: no signal pipe could be made
        }
        // A replay that has ended sends no more frames: that is said once, and is no camera fault.
        if (session.replayEnded()) {
            if (!run.replayEndSaid) {
                run.replayEndSaid = true;
                HALVOREN_LOG(Log::Info, "halvoren", "the replay reached the end of the recording");
            }
            run.waitingForFrames = false;
            return;
        }
        // A run cut for its screenshot takes no more frames: none are missing.
        if (session.outputs().isCut()) {
            run.waitingForFrames = false;
            return;
        }
        const bool running = session.stream().isStateOneOf({Stream::Running});
        if (running && !run.waitingForFrames) {
            controller.restartFrameWatch();
        }
        run.waitingForFrames = running;
        if (running) {
            controller.lookForFrames();
        } else {
            sayReplayStop(session, run, err);
        }
    });
    frameCheck.start(250);
}

/// Shows the window with the panel, which it takes over, until it is closed. False when the panel could
/// not start the stream.
bool showWindow(const StreamSession& session, RunController& controller,
                std::unique_ptr<AlgorithmController> owned, StreamControllerBase* panel,
                const GuiOptions& options, GuiRun& run, std::ostream& err) {
    Stream& stream = session.stream();
    MainWindow window(stream);
    panel->setDisplayWidget(window.display());
    window.setPanel(panel);  // the window owns the panel from now on
    static_cast<void>(owned.release());
    if (session.navigation().chain.hasTips()) {
        window.setPanelWidth(kPanelWidthWithTips);
    }
    window.resize(kWindowWidth, kWindowHeight);
    window.show();
    controller.restartFrameWatch();
    panel->init();
    if (!stream.isStateOneOf({Stream::Running})) {
        err << "halvoren: cannot start the tracking stream\n";
        return false;
    }
    // From here on a signal closes the window as its close button does; one that came before is looked at
    // as soon as the loop runs.
    run.look = [&] {
        if (Interrupts::requested()) {
            window.close();
            QApplication::quit();  // also when a dialog of the panel runs its own loop
        } else if (!options.screenshot.empty()) {
            lookForScreenshot(controller, window, panel, session, options, run, err);
        }
    };
    postLook(run);
    QTimer frameCheck;
    watchFrames(frameCheck, window, controller, session, panel, run, err);
    QApplication::exec();  // until the window is closed
    run.look = nullptr;
    run.interrupted = Interrupts::requested();
    return true;
}

/// The set-up the window streams with: every fiducial drawn unless the options or a workspace choose.
StreamSetup windowSetup(const GuiOptions& options) {
    StreamSetup setup = options;
    if (!setup.fiducialMode && setup.workspace.empty()) {
        setup.fiducialMode = kAllFiducials;
    }
    return setup;
}

}  // namespace

int runGui(const GuiOptions& options, std::ostream& /*out*/, std::ostream& err) {
    // The plug-ins go before the stream: the algorithm, the stream and the panel are their code.
    GuiRun run;
    Log::setGlobalLevel(options.logLevel);
    LoadedPlugins plugins;
    // The panel starts the stream when it is set up, as it does for a stream saved while running.
    auto created = StreamSession::create(plugins.manager(), windowSetup(options), true, err);
    if (!created) {
        return reportError(created.error(), err);
    }
    StreamSession& session = **created;
    if (!options.screenshot.empty()) {
        // The run is the frames the screenshot waits for: those that come while it is drawn and the
        // window closes are neither counted nor recorded.
        session.limitFrames(options.frames);
    }
    Stream& stream = session.stream();
    std::unique_ptr<AlgorithmController> controller = plugins.manager().createController(session.algorithm());
    auto* panel = dynamic_cast<StreamControllerBase*>(controller.get());
    if (panel == nullptr) {
        err << "halvoren: no loaded plug-in offers a panel for " << kStreamAlgorithm << '\n';
        return ExitNoPlugin;
    }
    if (auto* tracking = dynamic_cast<OpticalTrackingStreamController*>(panel)) {
        // The table shows the run's frame, computed by the panel on the GUI thread from the newest frame.
        tracking->setNavigation(panelFrameLabel(session.navigation()),
                                panelNavigation(session.navigation(), options.minQuality));
    }
    // A replay that has ended sends no more frames, nor does a run cut for its screenshot: no staleness,
    // however long the window stays open.
    session.health().setEndCheck([&session] { return session.replayEnded() || session.outputs().isCut(); });
    // The run's wake-ups (a signal, the cut, the stream's state) become looks on the GUI thread.
    RunController runController(session, err, [&run] { postLook(run); });
    const bool started = showWindow(session, runController, std::move(controller), panel, options, run, err);
    stream.close();
    session.health().setEndCheck(nullptr);  // it reads the session, which goes before the health
    const bool recorded = session.endRun();
    if (!started) {
        return ExitFailure;
    }
    if (run.interrupted) {
        err << "interrupted\n";
    }
    err << "frames " << session.outputs().frames() << '\n';
    if (run.waitingForFrames) {
        runController.writeFrameSummary(err);
    }
    session.writeHealth(err);
    session.writeOutputLosses(err);
    session.writeRecordingSummary(err);
    return recorded ? run.result : ExitWriteFailed;
}

}  // namespace Halvoren::App

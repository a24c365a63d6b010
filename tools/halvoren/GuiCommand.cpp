#include "halvoren/GuiCommand.h"

#include "halvoren/FrameWatch.h"
#include "halvoren/LoadedPlugins.h"
#include "halvoren/MainWindow.h"
#include "halvoren/StreamSession.h"

#include "host/AlgorithmController.h"
#include "host/Log.h"
#include "host/OpticalTrackingStreamController.h"
#include "host/StreamControllerBase.h"
#include "host/TrackingStream.h"

#include <QApplication>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <memory>
#include <ostream>

namespace Halvoren::App {

namespace {

constexpr int kWindowWidth = 1720;
constexpr int kWindowHeight = 720;

/// Every fiducial gets its ellipse and cross in the camera views.
constexpr int kAllFiducials = 3;

/// Write end of the pipe that carries SIGINT and SIGTERM into the event loop.
int g_signalWriteEnd = -1;

extern "C" void onGuiSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Only async-signal-safe work here; a full pipe already holds a wake-up.
    const ssize_t written = ::write(g_signalWriteEnd, &byte, 1);
    static_cast<void>(written);
    errno = saved;
}

/// While it lives, SIGINT and SIGTERM call `handler` in the event loop instead of ending the process,
/// so that the window's normal close path stops and closes the stream.
class SignalsToEventLoop {
public:
    explicit SignalsToEventLoop(std::function<void()> handler) : m_handler(std::move(handler)) {
        if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            m_pipe[0] = m_pipe[1] = -1;
            return;  // the signals keep their default action
        }
        g_signalWriteEnd = m_pipe[1];
        m_notifier = std::make_unique<QSocketNotifier>(m_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            char bytes[16];
            while (::read(m_pipe[0], bytes, sizeof(bytes)) > 0) {
            }
            m_received = true;
            m_handler();
        });
        struct sigaction action {};
        action.sa_handler = onGuiSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &m_previousInt);
        ::sigaction(SIGTERM, &action, &m_previousTerm);
    }
    ~SignalsToEventLoop() {
        if (m_pipe[0] < 0) {
            return;
        }
        ::sigaction(SIGINT, &m_previousInt, nullptr);
        ::sigaction(SIGTERM, &m_previousTerm, nullptr);
        g_signalWriteEnd = -1;
        m_notifier.reset();
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    SignalsToEventLoop(const SignalsToEventLoop&) = delete;
    SignalsToEventLoop& operator=(const SignalsToEventLoop&) = delete;

    bool received() const { return m_received; }

private:
    std::function<void()> m_handler;
    int m_pipe[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_previousInt {};
    struct sigaction m_previousTerm {};
    bool m_received = false;
};

}  // namespace

std::string guiUsage() {
    return "Usage: halvoren gui [options]\n"
           "Opens a window with the stream's controller panel and the left and right camera images,\n"
           "and streams until the window is closed.\n" +
           setupUsage() +
           "  --no-images            do not query the camera images (no camera views)\n"
           "  --screenshot FILE      render the window into the PNG FILE after --frames frames, then exit\n"
           "  --frames N             with --screenshot: frames before it (default 60)\n"
           "Fiducials: all unless --fiducials or a workspace says otherwise. Without a display (or with\n"
           "QT_QPA_PLATFORM=offscreen) --screenshot renders offscreen. Ctrl-C (or SIGTERM) closes the\n"
           "window as its close button does.\n";
}

std::optional<GuiOptions> parseGuiOptions(const std::vector<std::string>& args, std::string& error) {
    GuiOptions options;
    bool framesGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const OptionResult common = parseSetupOption(args, i, options, error);
        if (common == OptionResult::Invalid) {
            return std::nullopt;
        }
        if (common == OptionResult::Taken) {
            continue;
        }
        const bool hasValue = i + 1 < args.size();
        if ((arg == "--screenshot" || arg == "--frames") && !hasValue) {
            error = "option " + arg + " needs a value";
            return std::nullopt;
        }
        if (arg == "--screenshot") {
            // An empty path would mean no screenshot: a run that never ends by itself.
            options.screenshot = args[++i];
            if (!(error = emptyPathError(arg, options.screenshot)).empty()) {
                return std::nullopt;
            }
        } else if (arg == "--frames") {
            framesGiven = true;
            const std::string& v = args[++i];
            if (!parseWholeNumber(v, options.frames)) {
                error = "--frames takes a whole number, not '" + v + "'";
                return std::nullopt;
            }
        } else if (arg == "--images") {
            options.images = true;
        } else if (arg == "--no-images") {
            options.images = false;
        } else {
            error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
    }
    if (!options.help && framesGiven && options.screenshot.empty()) {
        error = "--frames has no effect without --screenshot";
        return std::nullopt;
    }
    return options;
}

int runGui(const GuiOptions& options, std::ostream& err) {
    // Declared before the stream: the stream's worker may count until the stream is closed. The plug-ins
    // go before both: the algorithm, the stream and the panel are their code.
    std::atomic<std::uint64_t> frames{0};
    FrameWatch frameWatch;
    Log::setGlobalLevel(options.logLevel);
    LoadedPlugins plugins;
    StreamSetup setup = options;
    if (!setup.fiducialMode && setup.workspace.empty()) {
        setup.fiducialMode = kAllFiducials;
    }
    StreamSession session(plugins.manager());
    int setupCode = ExitOk;
    // The panel starts the stream when it is set up, as it does for a stream saved while running.
    if (!session.create(setup, true, err, setupCode)) {
        return setupCode;
    }
    Stream& stream = session.stream();
    auto counter = stream.signalStreamData.connect([&](const std::shared_ptr<const StreamData>& data) {
        // Worker thread.
        if (dynamic_cast<const TrackingStreamData*>(data.get()) != nullptr) {
            ++frames;
            frameWatch.frameArrived();
        }
    });
    std::unique_ptr<AlgorithmController> controller = plugins.manager().createController(session.algorithm());
    auto* panel = dynamic_cast<StreamControllerBase*>(controller.get());
    if (panel == nullptr) {
        err << "halvoren: no loaded plug-in offers a panel for " << kStreamAlgorithm << '\n';
        counter->disconnect();
        return ExitNoPlugin;
    }

    int result = ExitOk;
    bool waitingForFrames = true;  // the stream ran when last looked at
    bool wasInterrupted = false;
    {
        MainWindow window(stream);
        panel->setDisplayWidget(window.display());
        window.setPanel(panel);  // the window owns the panel from now on
        static_cast<void>(controller.release());
        window.resize(kWindowWidth, kWindowHeight);
        // From here on Ctrl-C and SIGTERM close the window as its close button does.
        const SignalsToEventLoop closeOnSignal([&window] {
            window.close();
            QApplication::quit();  // also when a dialog of the panel runs its own loop
        });
        window.show();
        frameWatch.restart();
        panel->init();
        if (!stream.isStateOneOf({Stream::Running})) {
            err << "halvoren: cannot start the tracking stream\n";
            stream.close();
            counter->disconnect();
            return ExitFailure;
        }

        // GUI thread: takes the screenshot once enough frames arrived, or gives up when the stream stops.
        QTimer watch;
        bool shotQueued = false;
        QObject::connect(&watch, &QTimer::timeout, &window, [&] {
            if (shotQueued) {
                return;
            }
            if (frames.load() >= options.frames) {
                shotQueued = true;
                // Queued behind the view updates that the frames so far have posted.
                QMetaObject::invokeMethod(
                    &window,
                    [&] {
                        if (auto* tracking = dynamic_cast<OpticalTrackingStreamController*>(panel)) {
                            tracking->refresh();
                        }
                        const QString path = QString::fromStdString(options.screenshot);
                        if (!window.grab().save(path, "PNG")) {
                            err << "halvoren: cannot write " << options.screenshot << '\n';
                            result = ExitBadInput;
                        }
                        window.close();
                    },
                    Qt::QueuedConnection);
            } else if (!stream.isStateOneOf({Stream::Running})) {
                err << "halvoren: the tracking stream stopped before the screenshot\n";
                result = ExitFailure;
                window.close();
            }
        });
        if (!options.screenshot.empty()) {
            watch.start(20);
        }
        // GUI thread: a camera that delivers no frames is named. Only while running: the panel may stop
        // the stream, and a start begins a new wait.
        QTimer frameCheck;
        QObject::connect(&frameCheck, &QTimer::timeout, &window, [&] {
            const bool running = stream.isStateOneOf({Stream::Running});
            if (running && !waitingForFrames) {
                frameWatch.restart();
            }
            waitingForFrames = running;
            if (running) {
                frameWatch.check();
            }
        });
        frameCheck.start(250);
        QApplication::exec();  // until the window is closed
        wasInterrupted = closeOnSignal.received();
    }
    counter->disconnect();
    stream.close();
    if (wasInterrupted) {
        err << "interrupted\n";
    }
    err << "frames " << frames.load() << '\n';
    if (waitingForFrames) {
        frameWatch.writeSummary(err);
    }
    return result;
}

}  // namespace Halvoren::App

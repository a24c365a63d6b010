#include "app/GuiCommand.h"

#include "app/LoadedPlugins.h"
#include "app/MainWindow.h"
#include "app/StreamSession.h"

#include "host/AlgorithmController.h"
#include "host/Log.h"
#include "host/OpticalTrackingStreamController.h"
#include "host/StreamControllerBase.h"
#include "host/TrackingStream.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <atomic>
#include <ostream>

namespace Halvoren::App {

namespace {

constexpr int kWindowWidth = 1720;
constexpr int kWindowHeight = 720;

/// Every fiducial gets its ellipse and cross in the camera views.
constexpr int kAllFiducials = 3;

}  // namespace

std::string guiUsage() {
    return "Usage: halvoren gui [options]\n"
           "Opens a window with the stream's controller panel and the left and right camera images,\n"
           "and streams until the window is closed.\n" +
           setupUsage() +
           "  --no-images            do not query the camera images (no camera views)\n"
           "  --screenshot FILE      render the window into the PNG FILE after --frames frames, then exit\n"
           "  --frames N             frames before the screenshot (default 60)\n"
           "Fiducials: all unless --fiducials or a workspace says otherwise. Without a display (or with\n"
           "QT_QPA_PLATFORM=offscreen) --screenshot renders offscreen.\n";
}

std::optional<GuiOptions> parseGuiOptions(const std::vector<std::string>& args, std::string& error) {
    GuiOptions options;
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
            options.screenshot = args[++i];
        } else if (arg == "--frames") {
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
    return options;
}

int runGui(const GuiOptions& options, std::ostream& err) {
    // Declared before the stream: the stream's worker may count until the stream is closed. The plug-ins
    // go before both: the algorithm, the stream and the panel are their code.
    std::atomic<std::uint64_t> frames{0};
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
    auto counter = stream.signalStreamData.connect([&frames](const std::shared_ptr<const StreamData>& data) {
        // Worker thread.
        if (dynamic_cast<const TrackingStreamData*>(data.get()) != nullptr) {
            ++frames;
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
    {
        MainWindow window(stream);
        panel->setDisplayWidget(window.display());
        window.setPanel(panel);  // the window owns the panel from now on
        static_cast<void>(controller.release());
        window.resize(kWindowWidth, kWindowHeight);
        window.show();
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
        QApplication::exec();  // until the window is closed
    }
    counter->disconnect();
    stream.close();
    err << "frames " << frames.load() << '\n';
    return result;
}

}  // namespace Halvoren::App

// The application's window, run offscreen as a separate process against the simulated camera.
#include "AppProcess.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

namespace {

QProcessEnvironment offscreen() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
}

/// Fiducial annotations are cyan: how many pixels are, and how many of them lie left of `panelWidth`.
std::pair<int, int> cyanPixels(const QImage& image, int panelWidth) {
    int cyan = 0;
    int cyanInPanel = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() < 60 && c.green() > 200 && c.blue() > 200) {
                ++cyan;
                cyanInPanel += x < panelWidth ? 1 : 0;
            }
        }
    }
    return {cyan, cyanInPanel};
}

}  // namespace

TEST(GuiCommand, ScreenshotShowsTheAnnotatedCameraViewsAndTheWindowClosesCleanly) {
    TestSupport::TempFiles files;
    const QString shot = QString::fromStdString(files.path("shot.png"));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(HALVOREN_APP_PATH), {"gui", "--screenshot", shot, "--frames", "30"});
    ASSERT_TRUE(process.waitForFinished(120000));
    const std::string err = process.readAllStandardError().toStdString();
    // The window closed while streaming: the stream stopped and closed, and the process ended normally.
    ASSERT_EQ(process.exitStatus(), QProcess::NormalExit) << err;
    ASSERT_EQ(process.exitCode(), 0) << err;
    EXPECT_NE(err.find("frames "), std::string::npos) << err;
    EXPECT_NE(err.find("health\n  frames made "), std::string::npos) << err;

    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(1720, 720));
    // The annotations lie in the camera views on the right of the panel.
    const auto [cyan, cyanInPanel] = cyanPixels(image, 540);
    EXPECT_GT(cyan, 100);
    EXPECT_EQ(cyanInPanel, 0);
}

TEST(GuiCommand, AReferenceAndAToolWithATipRenderWithRoomForTheTipColumn) {
    TestSupport::TempFiles files;
    std::ifstream pointerFile(HALVOREN_SOURCE_DIR "/data/markers/pointer.ini");
    std::ostringstream pointer;
    pointer << pointerFile.rdbuf() << "[tip]\nx=0\ny=-120\nz=0\n";
    const QString shot = QString::fromStdString(files.path("shot.png"));
    const TestSupport::AppRun run =
        TestSupport::runApp({"gui", "--reference", "reference", "--screenshot", shot, "--frames", "20",
                             "--marker", QString::fromStdString(files.write("pointer.ini", pointer.str())),
                             "--marker", HALVOREN_SOURCE_DIR "/data/markers/reference.ini"},
                            offscreen());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("halvoren: poses relative to Reference (atracsys-1300); tips of: pointer\n"),
              std::string::npos)
        << run.err;
    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(1720, 720));
    // The panel is wider by the tip's column: its light background reaches where the views' black began.
    const auto [cyan, cyanInPanel] = cyanPixels(image, 720);
    EXPECT_GT(cyan, 100);
    EXPECT_EQ(cyanInPanel, 0);
    EXPECT_GT(image.pixelColor(700, 710).lightness(), 150);
}

TEST(GuiCommand, OptionsWithoutEffectOrAnEmptyScreenshotPathAreRefused) {
    const std::map<std::string, QStringList> refused = {
        // Without a screenshot the frame count has no use.
        {"--frames requires --screenshot", {"gui", "--frames", "10"}},
        // An empty path meant no screenshot: offscreen, a window nobody can close.
        {"--screenshot: takes a file path, not an empty text", {"gui", "--screenshot", ""}},
        {"--no-images excludes --igtl-image-rate",
         {"gui", "--no-images", "--igtl-port", "0", "--igtl-image-rate", "2"}},
        {"--igtl-host requires --igtl-port", {"gui", "--igtl-host", "127.0.0.1"}},
    };
    for (const auto& [message, args] : refused) {
        const TestSupport::AppRun run = TestSupport::runApp(args, offscreen());
        EXPECT_EQ(run.exitCode, 2) << message;
        EXPECT_NE(run.err.find("halvoren gui: " + message), std::string::npos) << run.err;
    }
}

TEST(GuiCommand, SilentCameraIsNamedAndAnInterruptClosesTheWindowWithTheSummary) {
    TestSupport::TempFiles files;
    QProcessEnvironment env = offscreen();
    env.insert("FTK_SIMULATOR_SETTINGS",
               QString::fromStdString(files.write("camera.txt", "drop_rate = 1\n")));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(HALVOREN_APP_PATH), {"gui", "--quiet"});
    // The message comes from the event loop: by then the signals are taken there.
    std::string err;
    ASSERT_TRUE(
        TestSupport::waitForErrorText(process, "[warning] halvoren: no frame from the camera for ", err))
        << err;
    ::kill(static_cast<pid_t>(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(60000));
    err += process.readAllStandardError().toStdString();
    ASSERT_EQ(process.exitStatus(), QProcess::NormalExit) << err;
    EXPECT_EQ(process.exitCode(), 0) << err;
    EXPECT_NE(err.find("interrupted\nframes 0\nno frame from the camera for the last "), std::string::npos)
        << err;
}

TEST(GuiCommand, TheEndOfAReplayIsNoStalePeriodHoweverLongTheWindowStaysOpen) {
    TestSupport::TempFiles files;
    const QString recording = QString::fromStdString(files.path("run.seq.mhd"));
    const TestSupport::AppRun live =
        TestSupport::runApp({"stream", "--frames", "20", "--output",
                             QString::fromStdString(files.path("p.csv")), "--record", recording});
    ASSERT_EQ(live.exitCode, 0) << live.err;

    // A bound of 1 ms: the watchdog would call the poses stale at once after the last frame.
    QProcess process;
    process.setProcessEnvironment(offscreen());
    process.start(QStringLiteral(HALVOREN_APP_PATH),
                  {"gui", "--no-images", "--replay", recording, "--stale-after", "1"});
    std::string err;
    ASSERT_TRUE(TestSupport::waitForErrorText(process, "the replay reached the end of the recording", err))
        << err;
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    ASSERT_TRUE(process.waitForFinished(60000));
    err += process.readAllStandardError().toStdString();
    ASSERT_EQ(process.exitStatus(), QProcess::NormalExit) << err;
    EXPECT_EQ(process.exitCode(), 0) << err;
    // Every recorded frame delivered. A frame the live run missed on a busy machine leaves a gap in the
    // recording's numbers, which the replay counts as made and missed again.
    EXPECT_TRUE(std::regex_search(err, std::regex("health\n  frames made \\d+, delivered 20, "))) << err;
    EXPECT_NE(err.find(", bound 1.00 ms\n"), std::string::npos) << err;
    EXPECT_EQ(err.find("stale now"), std::string::npos) << err;
}

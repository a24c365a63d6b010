// The application's window, run offscreen as a separate process against the simulated camera.
#include "support/DriverScript.h"

#include <gtest/gtest.h>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>

#include <string>

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

    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(1720, 720));
    // Fiducial annotations are cyan; they lie in the camera views on the right of the panel.
    int cyan = 0;
    int cyanInPanel = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() < 60 && c.green() > 200 && c.blue() > 200) {
                ++cyan;
                cyanInPanel += x < 540 ? 1 : 0;
            }
        }
    }
    EXPECT_GT(cyan, 100);
    EXPECT_EQ(cyanInPanel, 0);
}

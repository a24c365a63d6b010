// The tracking health as halvoren stream reports it, held against what the simulated camera did.
#include "AppProcess.h"
#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <map>
#include <set>
#include <string>

using TestSupport::AppRun;
using TestSupport::lines;

namespace {

QProcessEnvironment cameraSettings(TestSupport::TempFiles& files, const std::string& settings) {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("FTK_SIMULATOR_SETTINGS", QString::fromStdString(files.write("camera.txt", settings)));
    return env;
}

/// A whole number the summary gives after `label`, or -1.
long long figure(const std::string& err, const std::string& label) {
    const auto match =
        QRegularExpression(QString::fromStdString(label) + " (\\d+)").match(QString::fromStdString(err));
    return match.hasMatch() ? match.captured(1).toLongLong() : -1;
}

}  // namespace

TEST(HealthCommand, DroppedFramesAreCountedAsMissedAndGatedFramesExactly) {
    TestSupport::TempFiles files;
    const AppRun run = TestSupport::runApp(
        {"stream", "--frames", "300", "--format", "jsonl", "--min-quality", "0.95", "--stale-after", "60000"},
        cameraSettings(files, "drop_rate = 0.1\nseed = 5\n"));
    ASSERT_EQ(run.exitCode, 0) << run.err;

    // The truth: the camera's frame counters that reached the output, and each gated pose.
    std::set<int> frames;
    std::map<std::string, long long> gated;
    for (const std::string& line : lines(run.out)) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        const double quality = o.value("quality").toDouble();
        const bool below = quality > 0.0 && quality < 0.95;
        gated[o.value("name").toString().toStdString()] += below ? 1 : 0;
        EXPECT_EQ(o.value("status").toString(), quality >= 0.95 ? "OK" : "INVALID") << line;
        frames.insert(o.value("frame").toInt());
    }
    ASSERT_EQ(frames.size(), 300u);
    const long long made = *frames.rbegin() - *frames.begin() + 1;
    EXPECT_EQ(figure(run.err, "frames made"), made) << run.err;
    EXPECT_EQ(figure(run.err, "delivered"), 300) << run.err;
    EXPECT_EQ(figure(run.err, "missed"), made - 300) << run.err;  // every gap counted, none invented
    EXPECT_EQ(figure(run.err, "twice"), 0) << run.err;
    const double missedShare = static_cast<double>(made - 300) / static_cast<double>(made);
    EXPECT_GT(missedShare, 0.05) << run.err;
    EXPECT_LT(missedShare, 0.25) << run.err;
    ASSERT_EQ(gated.size(), 3u);
    for (const auto& [name, count] : gated) {
        EXPECT_EQ(figure(run.err, "gated frames \\(quality below 0.95\\):.*" + name), count)
            << name << run.err;
    }
}

TEST(HealthCommand, AFreezeIsOneStalePeriodInThePosesTheSummaryAndAtAClient) {
    TestSupport::TempFiles files;
    QProcess app;
    // A bound of half the freeze: the freeze is stale, a busy machine's shorter pause is not.
    app.setProcessEnvironment(cameraSettings(files, "freeze_at = 1.5\nfreeze_for = 0.5\n"));
    const int port = TestSupport::startServing(
        app, {"stream", "--frames", "0", "--duration", "4", "--format", "jsonl", "--igtl-port", "0",
              "--igtl-host", "127.0.0.1", "--stale-after", "250"});
    ASSERT_GT(port, 0);
    QProcess client;
    client.start(QStringLiteral(HALVOREN_IGTL_CLIENT_PATH),
                 {"127.0.0.1", QString::number(port), "--seconds", "5"});
    ASSERT_TRUE(app.waitForFinished(60000));
    ASSERT_TRUE(client.waitForFinished(60000));
    const std::string err = app.readAllStandardError().toStdString();
    ASSERT_EQ(app.exitCode(), 0) << err;
    EXPECT_NE(err.find("the poses are stale\n"), std::string::npos) << err;
    EXPECT_NE(err.find("halvoren: frames from the camera again after "), std::string::npos) << err;
    EXPECT_EQ(figure(err, "stale periods"), 1) << err;
    // The freeze less a frame period at least, however slow the machine.
    EXPECT_GE(figure(err, "longest"), 450) << err;

    // Pose lines: the last poses again marked stale, then fresh ones.
    int stale = 0;
    int freshAfter = 0;
    for (const std::string& line : lines(app.readAllStandardOutput().toStdString())) {
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        if (o.value("stale").toBool()) {
            ++stale;
            EXPECT_EQ(o.value("status").toString(), "INVALID") << line;
        } else if (stale > 0) {
            ++freshAfter;
        }
    }
    EXPECT_EQ(stale, 3);
    EXPECT_GT(freshAfter, 0);

    // The client: NOT_READY with the reason, no poses until the camera is back, then poses again.
    int phase = 0;  // 0 before the freeze, 1 stale, 2 back
    int transformsWhileStale = 0;
    int transformsAfter = 0;
    for (const std::string& line : lines(client.readAllStandardOutput().toStdString())) {
        if (line.rfind("STATUS Tracker", 0) == 0 && line.find("the poses are stale") != std::string::npos) {
            phase = 1;
        } else if (line.rfind("STATUS Tracker", 0) == 0 &&
                   line.find("frames from the camera again") != std::string::npos) {
            phase = 2;
        } else if (line.rfind("TRANSFORM", 0) == 0 || line.rfind("TDATA", 0) == 0) {
            transformsWhileStale += phase == 1 ? 1 : 0;
            transformsAfter += phase == 2 ? 1 : 0;
        }
    }
    EXPECT_EQ(phase, 2);
    EXPECT_EQ(transformsWhileStale, 0);
    EXPECT_GT(transformsAfter, 0);
}

// The application as a host: it reaches the stream only through the plug-in module it loads.
#include "AppProcess.h"
#include "HalvorenVersion.h"
#include "support/LogCapture.h"
#include "support/TempFiles.h"

#include "halvoren/session/ExitCodes.h"
#include "halvoren/session/LoadedPlugins.h"
#include "halvoren/session/StreamSession.h"
#include "host/PluginManager.h"
#include "host/TrackingStream.h"

#include <gtest/gtest.h>
#include <QProcess>

#include <fstream>
#include <sstream>
#include <string>

using TestSupport::AppRun;
using TestSupport::runApp;

namespace {
std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}
}  // namespace

TEST(Plugins, ListsTheLoadedPluginItsAlgorithmAndConversionAndTheRefusedModules) {
    TestSupport::TempFiles files;
    const std::string bogus = files.write("bogus.so", "not a module");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HALVOREN_PLUGIN_PATH", QString::fromStdString(files.path("")));
    const AppRun run = runApp({"plugins"}, env);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Halvoren.AtracsysTrackingSpryTrack"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("vendor: Halvoren GmbH"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("    version: " HALVOREN_VERSION "\n"), std::string::npos) << run.out;
    // --version: the application's, the host's and the loaded plug-in's, and nothing on standard error.
    const AppRun version = runApp({"--version"}, env);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "halvoren " HALVOREN_VERSION "\nhost version " HALVOREN_HOST_VERSION
                           "\nplug-in Halvoren.AtracsysTrackingSpryTrack " HALVOREN_VERSION "\n");
    EXPECT_EQ(version.err, "");
    EXPECT_NE(run.out.find("dependencies: Halvoren.Stream, Halvoren.Navigation"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Atracsys.SpryTrackStream  (category IO;Atracsys Tracking;SpryTrack)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("34  Renamed Atracsys tracking stream to standardized naming scheme"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find(bogus + ": cannot be loaded"), std::string::npos) << run.out;
}

TEST(Convert, LegacyWorkspaceNamesTheCurrentStreamAndStreamsFromAnotherFolder) {
    TestSupport::TempFiles files;
    const std::string converted = files.path("converted.xml");
    const AppRun convert = runApp({"convert", HALVOREN_SOURCE_DIR "/data/workspaces/legacy-spytrack.xml",
                                   QString::fromStdString(converted)});
    ASSERT_EQ(convert.exitCode, 0) << convert.err;
    EXPECT_NE(convert.out.find("renamed Algorithms/Atracsys.AtracsysTrackingStreamSpryTrack -> "
                               "Algorithms/Atracsys.SpryTrackStream"),
              std::string::npos)
        << convert.out;
    EXPECT_NE(convert.out.find("conversion 34 (Renamed Atracsys tracking stream"), std::string::npos)
        << convert.out;
    const std::string text = readFile(converted);
    EXPECT_NE(text.find("\"Atracsys.SpryTrackStream\""), std::string::npos) << text;
    EXPECT_EQ(text.find("AtracsysTrackingStreamSpryTrack"), std::string::npos) << text;

    // Its markers still point at the example files, although it lies elsewhere now.
    const std::string poses = files.path("poses.csv");
    const AppRun stream = runApp({"stream", "--workspace", QString::fromStdString(converted), "--frames",
                                  "10", "--output", QString::fromStdString(poses)});
    ASSERT_EQ(stream.exitCode, 0) << stream.err;
    EXPECT_EQ(TestSupport::lines(readFile(poses)).size(), 1u + 10u * 3u);
    EXPECT_NE(stream.err.find("(tool): seen"), std::string::npos) << stream.err;
}

TEST(Executable, HoldsNoCodeOfTheStream) {
    QProcess nm;
    nm.start(QStringLiteral(HALVOREN_NM), {"-C", QStringLiteral(HALVOREN_APP_PATH)});
    ASSERT_TRUE(nm.waitForFinished(60000));
    const std::string symbols = nm.readAllStandardOutput().toStdString();
    ASSERT_NE(symbols.find("Halvoren::App::StreamSession"), std::string::npos);
    EXPECT_EQ(symbols.find("AtracsysTrackingStream"), std::string::npos);
    EXPECT_EQ(symbols.find("AtracsysOpticalTrackingController"), std::string::npos);
    EXPECT_EQ(symbols.find("SpryTrack::"), std::string::npos);
}

TEST(StreamSession, ASecondStreamWhileTheFirstLivesIsReportedNotThrown) {
    TestSupport::LogCapture log;
    Halvoren::App::LoadedPlugins loaded({HALVOREN_PLUGIN_DIR});
    Halvoren::PluginManager& plugins = loaded.manager();
    ASSERT_EQ(plugins.plugins().size(), 1u);
    Halvoren::App::StreamSetup setup;
    std::ostringstream err;
    using Halvoren::App::StreamSession;
    const auto created = StreamSession::create(plugins, setup, false, err);
    ASSERT_TRUE(created) << created.error().message;
    const StreamSession& first = **created;
    ASSERT_NE(first.trackingStream(), nullptr);
    EXPECT_EQ(first.trackingStream()->instruments().size(), 3u);

    const auto second = StreamSession::create(plugins, setup, false, err);
    ASSERT_FALSE(second);
    EXPECT_EQ(Halvoren::App::exitCodeOf(second.error()), Halvoren::App::ExitFailure);
    EXPECT_NE(
        second.error().message.find("cannot create the tracking stream: Can not create a second instance"),
        std::string::npos)
        << second.error().message;
    EXPECT_TRUE(first.stream().isStateOneOf({Halvoren::Stream::Open}));
}

// The command line: the help is generated from the option declarations, and README shows it as it is.
#include "AppProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

using TestSupport::AppRun;
using TestSupport::runApp;

TEST(CommandLine, EachCommandsHelpListsItsOptionsAndReadmeShowsItUnchanged) {
    std::ifstream file(HALVOREN_SOURCE_DIR "/README.md");
    std::stringstream readme;
    readme << file.rdbuf();
    for (const char* command : {"stream", "gui", "pivot", "define-marker", "convert", "plugins"}) {
        const AppRun help = runApp({command, "--help"});
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_EQ(help.err, "") << command;
        EXPECT_NE(help.out.find(std::string("Usage: halvoren ") + command), std::string::npos) << help.out;
        if (std::string(command) == "stream" || std::string(command) == "gui") {
            EXPECT_NE(readme.str().find(help.out), std::string::npos)
                << "README's usage of " << command << " differs from:\n"
                << help.out;
        }
    }
    const AppRun stream = runApp({"stream", "--help"});
    for (const char* option :
         {"--marker FILE", "--workspace FILE", "--fiducials MODE", "--images", "--igtl-port PORT",
          "--igtl-image-rate HZ=5 Needs: --images --igtl-port", "--quiet", "--verbose",
          "--save-workspace FILE", "--frames N=300", "--duration SECONDS", "--format", "--output FILE"}) {
        EXPECT_NE(stream.out.find(option), std::string::npos) << option;
    }
}

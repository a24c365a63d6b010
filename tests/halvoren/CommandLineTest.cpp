// The command line: the help is generated from the option declarations, and the command reference
// (docs/commands.md) shows it as it is.
#include "AppProcess.h"
#include "commandline/UsageError.h"
#include "halvoren/app/CommandLine.h"
#include "halvoren/session/ExitCodes.h"
#include "halvoren/session/StreamSetup.h"

#include <gtest/gtest.h>
#include <CLI/CLI.hpp>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using TestSupport::AppRun;
using TestSupport::runApp;

TEST(CommandLine, EachCommandsHelpListsItsOptionsAndTheReferenceShowsItUnchanged) {
    std::ifstream file(HALVOREN_SOURCE_DIR "/docs/commands.md");
    std::stringstream reference;
    reference << file.rdbuf();
    ASSERT_FALSE(reference.str().empty()) << "docs/commands.md cannot be read";
    for (const char* command :
         {"stream", "gui", "pivot", "define-marker", "convert", "plugins", "export", "assess", "register"}) {
        AppRun help = runApp({command, "--help"});
        // The help names the data folder the build tree reads, the source tree's data/: the reference
        // shows it as seen from the source tree.
        const std::string dataFolder = HALVOREN_SOURCE_DIR "/data/";
        for (std::size_t at; (at = help.out.find(dataFolder)) != std::string::npos;) {
            help.out.replace(at, dataFolder.size(), "data/");
        }
        EXPECT_EQ(help.exitCode, 0) << command;
        EXPECT_EQ(help.err, "") << command;
        EXPECT_NE(help.out.find(std::string("Usage: halvoren ") + command), std::string::npos) << help.out;
        if (std::string(command) == "stream" || std::string(command) == "gui" ||
            std::string(command) == "pivot" || std::string(command) == "assess" ||
            std::string(command) == "register") {
            EXPECT_NE(reference.str().find(help.out), std::string::npos)
                << "docs/commands.md's usage of " << command << " differs from:\n"
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

namespace {

/// Parses the command line as the application does; the exit code of a refusal, 0 otherwise.
int parse(const std::vector<std::string>& given, Halvoren::App::CommandLineOptions& options,
          std::string& err) {
    CLI::App app("", "halvoren");
    Halvoren::App::declareCommands(app, options);
    std::vector<std::string> args(given.rbegin(), given.rend());  // CLI11 takes them reversed
    try {
        app.parse(args);
    } catch (const CLI::Error& error) {
        std::ostringstream out;
        std::ostringstream message;
        const int code = Halvoren::CommandLine::reportParseError(app, error, out, message);
        err = message.str();
        return code;
    }
    return 0;
}

}  // namespace

TEST(CommandLine, EveryNumberOptionTakesPlainDecimalsWithinItsRangeOnly) {
    using Halvoren::App::CommandLineOptions;
    struct Row {
        std::vector<std::string> args;
        std::string refusal;  // empty: accepted
        std::function<bool(const CommandLineOptions&)> read = nullptr;
    };
    const std::string frames = "--frames: takes a whole number of frames from 0 to 9223372036854775807";
    const std::string seconds = ": takes a number of seconds above 0";
    const std::vector<Row> rows = {
        {{"stream", "--frames", "010"}, "", [](const auto& o) { return o.stream.frames == 10; }},
        {{"stream", "--frames", "+16"}, "", [](const auto& o) { return o.stream.frames == 16; }},
        {{"stream", "--frames", "0x10"}, frames},
        {{"stream", "--frames", "0b1"}, frames},
        {{"stream", "--frames", "99999999999999999999"}, frames},
        {{"stream", "--frames", "-1"}, frames},
        {{"stream", "--frames", "1e3"}, frames},
        {{"stream", "--frames", "1'000"}, frames},
        {{"stream", "--duration", "2.5"}, "", [](const auto& o) { return o.stream.durationSeconds == 2.5; }},
        {{"stream", "--duration", "0"}, "--duration" + seconds},
        {{"stream", "--duration", "1e400"}, "--duration" + seconds},
        {{"stream", "--duration", "inf"}, "--duration" + seconds},
        {{"stream", "--duration", "nan"}, "--duration" + seconds},
        {{"stream", "--duration", "0x1p3"}, "--duration" + seconds},
        {{"stream", "--health-every", "0"}, "--health-every" + seconds},
        {{"stream", "--health-every", ".5"},
         "",
         [](const auto& o) { return o.stream.healthEverySeconds == 0.5; }},
        {{"stream", "--stale-after", "016"}, "", [](const auto& o) { return o.stream.staleAfterMs == 16; }},
        {{"stream", "--stale-after", "99999999999999999999"},
         "--stale-after: takes a whole number of milliseconds from 1 to 60000"},
        {{"stream", "--igtl-port", "65536"}, "--igtl-port: takes a port number from 0 to 65535"},
        {{"stream", "--min-quality", "-0.1"}, "--min-quality: takes a quality from 0 to 1"},
        {{"stream", "--replay", "r.mhd", "--replay-speed", "0x2"},
         "--replay-speed: takes a factor from 0.001 to 1000 or max"},
        {{"stream", "--replay", "r.mhd", "--replay-speed", "max"},
         "",
         [](const auto& o) { return o.stream.replaySpeed == 0.0; }},
        {{"pivot", "--marker", "m.ini", "--max-rms", "0"}, "--max-rms: takes a distance in mm above 0"},
        {{"pivot", "--marker", "m.ini", "--frames", "9"},
         "--frames: takes a whole number of frames from 10 to 1000000"},
        {{"define-marker", "--output", "m.ini", "--id", "4294967295"},
         "",
         [](const auto& o) { return o.defineMarker.id == 4294967295u; }},
        {{"define-marker", "--output", "m.ini", "--id", "4294967296"},
         "--id: takes a geometry id, a whole number from 0 to 4294967295"},
    };
    for (const Row& row : rows) {
        CommandLineOptions options;
        std::string err;
        const int code = parse(row.args, options, err);
        const std::string given = row.args[row.args.size() - 2] + " " + row.args.back();
        if (row.refusal.empty()) {
            EXPECT_EQ(code, 0) << given << ": " << err;
            EXPECT_TRUE(row.read(options)) << given;
        } else {
            EXPECT_EQ(code, 2) << given;
            EXPECT_NE(err.find(row.refusal + ", not '" + row.args.back() + "'"), std::string::npos)
                << given << ": " << err;
        }
    }
}

TEST(CommandLine, NamingOptionsGoWithTheReferenceAndTakeNamesThatFitTheWire) {
    Halvoren::App::CommandLineOptions options;
    std::string err;
    EXPECT_EQ(parse({"stream", "--reference", "reference", "--frame-name", "Ref", "--name", "pointer=Ptr",
                     "--name", "atracsys-1400=probe_2"},
                    options, err),
              0)
        << err;
    EXPECT_EQ(options.stream.frameName, "Ref");
    EXPECT_EQ(options.stream.names, (std::vector<std::string>{"pointer=Ptr", "atracsys-1400=probe_2"}));
    for (const char* command : {"gui", "export", "assess"}) {
        Halvoren::App::CommandLineOptions more;
        std::vector<std::string> args{command, "--reference", "r", "--frame-name", "Ref", "--name", "a=B"};
        if (std::string(command) == "export") {
            args.insert(args.begin() + 1, "run.seq.mhd");
        }
        EXPECT_EQ(parse(args, more, err), 0) << command << ": " << err;
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"stream", "--frame-name", "Ref"}, "--frame-name requires --reference"},
        {{"stream", "--reference", "r", "--frame-name", "tracker"}, "which names camera coordinates"},
        {{"stream", "--reference", "r", "--frame-name", "Ref-1"}, "letters, digits and '_'"},
        {{"stream", "--name", "pointer"}, "takes ID_OR_NAME=NAME"},
        {{"stream", "--name", "pointer="}, "1 to 19 characters"},
        {{"gui", "--name", "pointer=a b"}, "letters, digits and '_'"},
    };
    for (const auto& [args, refusal] : refused) {
        Halvoren::App::CommandLineOptions ignored;
        EXPECT_EQ(parse(args, ignored, err), 2) << args.back();
        EXPECT_NE(err.find(refusal), std::string::npos) << args.back() << ": " << err;
    }
}

TEST(CommandLine, EveryKindOfErrorEndsWithItsOwnExitCodeAndItsMessageSaidOnce) {
    using namespace Halvoren;
    using namespace Halvoren::App;
    const std::vector<std::pair<ErrorKind, ExitCode>> kinds = {
        {ErrorKind::Usage, ExitUsage},
        {ErrorKind::BadInput, ExitBadInput},
        {ErrorKind::NoDevice, ExitNoCamera},
        {ErrorKind::NoPlugin, ExitNoPlugin},
        {ErrorKind::WriteFailed, ExitWriteFailed},
        {ErrorKind::Refused, ExitCalibrationRefused},
        {ErrorKind::Interrupted, ExitInterrupted},
        {ErrorKind::Failure, ExitFailure},
    };
    for (const auto& [kind, code] : kinds) {
        std::ostringstream err;
        EXPECT_EQ(reportError(makeError(kind, "cannot use x"), err), code) << static_cast<int>(kind);
        EXPECT_EQ(err.str(), "halvoren: cannot use x\n");
    }
    // A reason already written where it arose is not written again.
    std::ostringstream err;
    EXPECT_EQ(reportError(makeError(ErrorKind::NoDevice, ""), err), ExitNoCamera);
    EXPECT_EQ(err.str(), "");
}

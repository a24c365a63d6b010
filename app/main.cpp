// halvoren: the host application. Loads the tracking stream and runs it from the command line.
#include "app/StreamCommand.h"

#include <QCoreApplication>

#include <iostream>
#include <string>
#include <vector>

namespace {
const char* const kUsage =
    "Usage: halvoren <command> [options]\n"
    "Commands:\n"
    "  stream    stream poses from the tracking camera (halvoren stream --help)\n";
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::cout << kUsage;
        return args.empty() ? Halvoren::App::ExitUsage : Halvoren::App::ExitOk;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "stream") {
        std::string error;
        const auto options = Halvoren::App::parseStreamOptions(args, error);
        if (!options) {
            std::cerr << "halvoren stream: " << error << "\n" << Halvoren::App::streamUsage();
            return Halvoren::App::ExitUsage;
        }
        if (options->help) {
            std::cout << Halvoren::App::streamUsage();
            return Halvoren::App::ExitOk;
        }
        return Halvoren::App::runStream(*options, std::cerr);
    }
    std::cerr << "halvoren: unknown command '" << command << "'\n" << kUsage;
    return Halvoren::App::ExitUsage;
}

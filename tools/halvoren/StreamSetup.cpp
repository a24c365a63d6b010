#include "halvoren/StreamSetup.h"

#include "host/Log.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <ostream>
#include <stdexcept>

namespace Halvoren::App {

namespace {

std::optional<int> parseFiducialMode(const std::string& text) {
    const char* const names[] = {"none", "marker", "vicinity", "all"};
    for (int mode = 0; mode < 4; ++mode) {
        if (text == names[mode]) {
            return mode;
        }
    }
    return std::nullopt;
}

}  // namespace

OptionResult parseSetupOption(const std::vector<std::string>& args, std::size_t& i, StreamSetup& setup,
                              std::string& error) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
        if (i + 1 >= args.size()) {
            error = "option " + arg + " needs a value";
            return false;
        }
        out = args[++i];
        return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
        setup.help = true;
    } else if (arg == "--marker") {
        if (!value(v)) {
            return OptionResult::Invalid;
        }
        setup.markers.push_back(v);
    } else if (arg == "--workspace") {
        if (!value(setup.workspace)) {
            return OptionResult::Invalid;
        }
    } else if (arg == "--fiducials") {
        if (!value(v)) {
            return OptionResult::Invalid;
        }
        setup.fiducialMode = parseFiducialMode(v);
        if (!setup.fiducialMode) {
            error = "--fiducials takes none, marker, vicinity or all, not '" + v + "'";
            return OptionResult::Invalid;
        }
    } else if (arg == "--igtl-port") {
        std::uint64_t port = 0;
        if (!value(v)) {
            return OptionResult::Invalid;
        }
        if (!parseWholeNumber(v, port) || port > 65535) {
            error = "--igtl-port takes a port number from 0 to 65535, not '" + v + "'";
            return OptionResult::Invalid;
        }
        setup.igtlPort = static_cast<int>(port);
    } else if (arg == "--igtl-host") {
        if (!value(setup.igtlHost)) {
            return OptionResult::Invalid;
        }
    } else if (arg == "--igtl-image-rate") {
        if (!value(v)) {
            return OptionResult::Invalid;
        }
        try {
            std::size_t used = 0;
            setup.igtlImageRate = std::stod(v, &used);
            if (used != v.size() || !(setup.igtlImageRate >= 0.0 && setup.igtlImageRate <= 1000.0)) {
                throw std::invalid_argument(v);
            }
        } catch (const std::exception&) {
            error = "--igtl-image-rate takes images per second from 0 to 1000, not '" + v + "'";
            return OptionResult::Invalid;
        }
    } else if (arg == "--igtl-max-clients") {
        std::uint64_t count = 0;
        if (!value(v)) {
            return OptionResult::Invalid;
        }
        if (!parseWholeNumber(v, count) || count < 1 || count > 4096) {
            error = "--igtl-max-clients takes a number of clients from 1 to 4096, not '" + v + "'";
            return OptionResult::Invalid;
        }
        setup.igtlMaxClients = static_cast<std::size_t>(count);
    } else if (arg == "--quiet") {
        setup.logLevel = Log::Warning;
    } else if (arg == "--verbose") {
        setup.logLevel = Log::Debug;
    } else {
        return OptionResult::Unknown;
    }
    setup.givenOptions.insert(arg);
    return OptionResult::Taken;
}

bool checkSetupOptions(const StreamSetup& setup, std::string& error) {
    for (const std::string& marker : setup.markers) {
        if (error = emptyPathError("--marker", marker); !error.empty()) {
            return false;
        }
    }
    if (setup.givenOptions.count("--workspace") != 0) {
        if (error = emptyPathError("--workspace", setup.workspace); !error.empty()) {
            return false;
        }
    }
    for (const std::string& option : setup.givenOptions) {
        if (!setup.igtlPort && option.rfind("--igtl-", 0) == 0) {
            error = option + " has no effect without --igtl-port";
            return false;
        }
    }
    if (setup.givenOptions.count("--igtl-image-rate") != 0 && !setup.images) {
        error = "--igtl-image-rate has no effect without the camera images (--images)";
        return false;
    }
    return true;
}

std::string emptyPathError(const std::string& option, const std::string& path) {
    return path.empty() ? "option " + option + " takes a file path, not an empty text" : std::string();
}

bool parseWholeNumber(const std::string& text, std::uint64_t& value) {
    try {
        std::size_t used = 0;
        const double n = std::stod(text, &used);
        // Below 2^64, so that the conversion is defined.
        if (used != text.size() || !(n >= 0.0 && n < 18446744073709551616.0) || n != std::floor(n)) {
            return false;
        }
        value = static_cast<std::uint64_t>(n);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string setupUsage() {
    return "  --marker FILE          track the marker geometry in FILE (repeatable; default: the example\n"
           "                         markers in data/markers)\n"
           "  --workspace FILE       configure the stream from a workspace file\n"
           "  --fiducials MODE       report fiducials: none, marker, vicinity, all\n"
           "  --igtl-port PORT       serve the poses to OpenIGTLink clients on this TCP port (0: any\n"
           "                         free port, which is printed)\n"
           "  --igtl-host ADDR       with --igtl-port: listen on this address only (default: all)\n"
           "  --igtl-image-rate HZ   with --images: camera images sent to clients per second (default 5)\n"
           "  --igtl-max-clients N   with --igtl-port: clients connected at once; more are refused\n"
           "                         (default 128)\n"
           "  --quiet | --verbose    fewer or more messages on standard error\n";
}

std::string exampleDataDirectory() {
    if (const char* dir = std::getenv("HALVOREN_DATA_DIR")) {
        return dir;
    }
    return HALVOREN_SOURCE_DATA_DIR;
}

std::vector<std::string> exampleMarkers() {
    const std::filesystem::path dir = std::filesystem::path(exampleDataDirectory()) / "markers";
    std::vector<std::string> markers;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() == ".ini") {
            markers.push_back(entry.path().string());
        }
    }
    std::sort(markers.begin(), markers.end());
    return markers;
}

}  // namespace Halvoren::App

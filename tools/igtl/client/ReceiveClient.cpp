// halvoren-igtl-client: an OpenIGTLink client in the manner of the protocol library's own tracking-data
// receiver example. It connects (trying again for a few seconds while no server listens yet), asks for
// tracking data with STT_TDATA, and prints one line per message:
//   TRANSFORM <device> <time stamp, ms> <the 3 x 4 upper part of the pose, row by row>
//   TDATA <device> <time stamp, ms> <elements>, then "  <name> <3 x 4 pose>" per element
//   STATUS <device> <code> <text>      IMAGE <device> <width>x<height>      CAPABILITY <types>
// Usage: halvoren-igtl-client HOST PORT [--messages N] [--seconds S] [--connect-seconds S] [--get-status]
//        [--get-capability]
#include "MessageReader.h"
#include "commandline/Arguments.h"
#include "commandline/NumberOptions.h"
#include "commandline/UsageError.h"

#include <igtlCapabilityMessage.h>
#include <igtlImageMessage.h>
#include <igtlMessageHeader.h>
#include <igtlStatusMessage.h>
#include <igtlTrackingDataMessage.h>
#include <igtlTransformMessage.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <limits>
#include <string>
#include <thread>

namespace {

namespace CommandLine = Halvoren::CommandLine;

std::uint64_t milliseconds(igtl::MessageBase& message) {
    igtl::TimeStamp::Pointer stamp = igtl::TimeStamp::New();
    message.GetTimeStamp(stamp);
    igtlUint32 seconds = 0;
    igtlUint32 nanoseconds = 0;
    stamp->GetTimeStamp(&seconds, &nanoseconds);
    return static_cast<std::uint64_t>(seconds) * 1000 + (nanoseconds + 500000) / 1000000;
}

void printPose(igtl::Matrix4x4& m) {
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 4; ++column) {
            std::printf(" %.9g", m[row][column]);
        }
    }
    std::printf("\n");
}

struct Options {
    std::string host;
    int port = 0;
    std::int64_t messages = 0;  // 0: no limit
    double seconds = 10.0;
    double connectSeconds = 5.0;
    bool getStatus = false;
    bool getCapability = false;
};

void declareOptions(CLI::App& app, Options& options) {
    app.add_option("HOST", options.host, "the server's address")->required();
    app.add_option("PORT", options.port, "its TCP port, 1 to 65535")
        ->required()
        ->transform(CommandLine::whole(1, 65535, "a port number from 1 to 65535"));
    app.add_option("--messages", options.messages, "stop after N messages (0: no limit)")
        ->type_name("N")
        ->capture_default_str()
        ->transform(CommandLine::whole(0, std::numeric_limits<std::int64_t>::max(),
                                       "a whole number of messages from 0 up"));
    app.add_option("--seconds", options.seconds, "stop after S seconds, above 0")
        ->type_name("S")
        ->capture_default_str()
        ->transform(CommandLine::aboveZero("a number of seconds above 0"));
    app.add_option("--connect-seconds", options.connectSeconds,
                   "keep trying to connect for S seconds while no server listens, 0 to 60 (0: once)")
        ->type_name("S")
        ->capture_default_str()
        ->transform(CommandLine::number(0.0, 60.0, "a number of seconds from 0 to 60"));
    app.add_flag("--get-status", options.getStatus, "ask for the server's status too");
    app.add_flag("--get-capability", options.getCapability, "ask for the message types the server sends");
}

/// Asks for tracking data, and for the status and capabilities when told to.
void sendRequests(Halvoren::Igtl::MessageReader& socket, const Options& options) {
    igtl::StartTrackingDataMessage::Pointer start = igtl::StartTrackingDataMessage::New();
    start->SetDeviceName("Client");
    start->SetResolution(0);
    start->SetCoordinateName("Camera");
    socket.send(*start);
    if (options.getStatus) {
        igtl::GetStatusMessage::Pointer request = igtl::GetStatusMessage::New();
        socket.send(*request);
    }
    if (options.getCapability) {
        igtl::GetCapabilityMessage::Pointer request = igtl::GetCapabilityMessage::New();
        socket.send(*request);
    }
}

void printTrackingData(igtl::TrackingDataMessage& tracking) {
    const int count = tracking.GetNumberOfTrackingDataElements();
    std::printf("TDATA %s %llu %d\n", tracking.GetDeviceName(),
                static_cast<unsigned long long>(milliseconds(tracking)), count);
    for (int i = 0; i < count; ++i) {
        igtl::TrackingDataElement::Pointer element;
        tracking.GetTrackingDataElement(i, element);
        igtl::Matrix4x4 m;
        element->GetMatrix(m);
        std::printf("  %s", element->GetName());
        printPose(m);
    }
}

/// Prints one unpacked message of a type the client knows.
void printMessage(const std::string& type, igtl::MessageBase& body) {
    if (type == "TRANSFORM") {
        auto& transform = static_cast<igtl::TransformMessage&>(body);
        igtl::Matrix4x4 m;
        transform.GetMatrix(m);
        std::printf("TRANSFORM %s %llu", transform.GetDeviceName(),
                    static_cast<unsigned long long>(milliseconds(transform)));
        printPose(m);
    } else if (type == "TDATA") {
        printTrackingData(static_cast<igtl::TrackingDataMessage&>(body));
    } else if (type == "STATUS") {
        auto& status = static_cast<igtl::StatusMessage&>(body);
        std::printf("STATUS %s %d %s\n", status.GetDeviceName(), status.GetCode(), status.GetStatusString());
    } else if (type == "IMAGE") {
        auto& image = static_cast<igtl::ImageMessage&>(body);
        int size[3] = {0, 0, 0};
        image.GetDimensions(size);
        std::printf("IMAGE %s %dx%d\n", image.GetDeviceName(), size[0], size[1]);
    } else if (type == "CAPABILITY") {
        auto& capability = static_cast<igtl::CapabilityMessage&>(body);
        std::printf("CAPABILITY");
        for (int i = 0; i < capability.GetNumberOfTypes(); ++i) {
            std::printf(" %s", capability.GetType(i));
        }
        std::printf("\n");
    }
}

/// An empty body for the message types the client prints; null for the others.
igtl::MessageBase::Pointer bodyFor(const std::string& type) {
    if (type == "TRANSFORM") {
        return igtl::TransformMessage::New().GetPointer();
    }
    if (type == "TDATA") {
        return igtl::TrackingDataMessage::New().GetPointer();
    }
    if (type == "STATUS") {
        return igtl::StatusMessage::New().GetPointer();
    }
    if (type == "IMAGE") {
        return igtl::ImageMessage::New().GetPointer();
    }
    if (type == "CAPABILITY") {
        return igtl::CapabilityMessage::New().GetPointer();
    }
    return nullptr;
}

/// A socket connected to the server, trying again every 100 ms for the options' connect time: a client
/// started together with its server need not wait for it to listen. -1 when none answered.
int connectToServer(const Options& options) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.connectSeconds);
    std::string error;
    while (true) {
        const int fd = Halvoren::Igtl::MessageReader::connectTo(options.host, options.port, error);
        if (fd >= 0 || std::chrono::steady_clock::now() >= end) {
            return fd;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

enum class Received { Nothing, Message, Closed };

/// Reads and prints one message, waiting at most `timeout` for it to come whole.
Received receiveOne(Halvoren::Igtl::MessageReader& socket, igtl::MessageHeader& header,
                    std::chrono::milliseconds timeout) {
    std::string bytes;
    const auto outcome = socket.receive(header, bytes, timeout);
    if (outcome == Halvoren::Igtl::MessageReader::Outcome::TimedOut) {
        return Received::Nothing;
    }
    if (outcome != Halvoren::Igtl::MessageReader::Outcome::Message) {
        return Received::Closed;
    }
    const std::string type = header.GetDeviceType();
    igtl::MessageBase::Pointer body = bodyFor(type);
    if (!body) {
        std::printf("%s %s\n", type.c_str(), header.GetDeviceName());
        return Received::Message;
    }
    if (!Halvoren::Igtl::MessageReader::unpack(header, bytes, *body)) {
        std::printf("%s %s bad CRC\n", type.c_str(), header.GetDeviceName());
        return Received::Nothing;
    }
    printMessage(type, *body);
    std::fflush(stdout);
    return Received::Message;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Asks an OpenIGTLink server for tracking data and prints one line per message it receives.",
                 "halvoren-igtl-client");
    Options options;
    declareOptions(app, options);
    try {
        app.parse(CommandLine::arguments(argc, argv));
    } catch (const CLI::Error& error) {
        return CommandLine::reportParseError(app, error, std::cout, std::cerr);
    }
    Halvoren::Igtl::MessageReader socket(connectToServer(options));
    if (!socket.connected()) {
        std::cerr << "halvoren-igtl-client: cannot connect to " << options.host << ':' << options.port;
        if (options.connectSeconds > 0.0) {
            std::cerr << " (tried for " << options.connectSeconds << " s)";
        }
        std::cerr << '\n';
        return 1;
    }
    sendRequests(socket, options);

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
    std::int64_t received = 0;
    igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
    while ((options.messages == 0 || received < options.messages) && std::chrono::steady_clock::now() < end) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const Received outcome = receiveOne(socket, *header, std::min(left, std::chrono::milliseconds(500)));
        if (outcome == Received::Closed) {
            break;  // the server closed the connection
        }
        received += outcome == Received::Message ? 1 : 0;
    }
    return received > 0 ? 0 : 1;
}

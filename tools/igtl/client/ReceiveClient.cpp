// igtl_receive_client: an OpenIGTLink client in the manner of the protocol library's own tracking-data
// receiver example. It connects, asks for tracking data with STT_TDATA, and prints one line per message:
//   TRANSFORM <device> <time stamp, ms> <the 3 x 4 upper part of the pose, row by row>
//   TDATA <device> <time stamp, ms> <elements>, then "  <name> <3 x 4 pose>" per element
//   STATUS <device> <code> <text>      IMAGE <device> <width>x<height>      CAPABILITY <types>
// Usage: igtl_receive_client HOST PORT [--messages N] [--seconds S] [--get-status] [--get-capability]
#include <igtlCapabilityMessage.h>
#include <igtlClientSocket.h>
#include <igtlImageMessage.h>
#include <igtlMessageHeader.h>
#include <igtlStatusMessage.h>
#include <igtlTrackingDataMessage.h>
#include <igtlTransformMessage.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

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

bool send(igtl::ClientSocket& socket, igtl::MessageBase& message) {
    message.Pack();
    return socket.Send(message.GetPackPointer(), message.GetPackSize()) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "Usage: igtl_receive_client HOST PORT [--messages N] [--seconds S] [--get-status]"
                     " [--get-capability]\n";
        return 2;
    }
    long messages = 0;
    double seconds = 10.0;
    bool getStatus = false;
    bool getCapability = false;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--messages" && i + 1 < argc) {
            messages = std::strtol(argv[++i], nullptr, 10);
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--get-status") {
            getStatus = true;
        } else if (arg == "--get-capability") {
            getCapability = true;
        } else {
            std::cerr << "igtl_receive_client: unknown option " << arg << '\n';
            return 2;
        }
    }

    igtl::ClientSocket::Pointer socket = igtl::ClientSocket::New();
    if (socket->ConnectToServer(argv[1], std::atoi(argv[2])) != 0) {
        std::cerr << "igtl_receive_client: cannot connect to " << argv[1] << ':' << argv[2] << '\n';
        return 1;
    }
    socket->SetReceiveTimeout(500);

    igtl::StartTrackingDataMessage::Pointer start = igtl::StartTrackingDataMessage::New();
    start->SetDeviceName("Client");
    start->SetResolution(0);
    start->SetCoordinateName("Camera");
    send(*socket, *start);
    if (getStatus) {
        igtl::GetStatusMessage::Pointer request = igtl::GetStatusMessage::New();
        send(*socket, *request);
    }
    if (getCapability) {
        igtl::GetCapabilityMessage::Pointer request = igtl::GetCapabilityMessage::New();
        send(*socket, *request);
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    long received = 0;
    igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
    while ((messages == 0 || received < messages) && std::chrono::steady_clock::now() < end) {
        header->InitPack();
        const int got = socket->Receive(header->GetPackPointer(), header->GetPackSize());
        if (got < 0) {
            continue;  // nothing within the receive time-out
        }
        if (got != header->GetPackSize()) {
            break;  // the server closed the connection
        }
        header->Unpack();
        const std::string type = header->GetDeviceType();
        igtl::MessageBase::Pointer body;
        igtl::TransformMessage::Pointer transform;
        igtl::TrackingDataMessage::Pointer tracking;
        igtl::StatusMessage::Pointer status;
        igtl::ImageMessage::Pointer image;
        igtl::CapabilityMessage::Pointer capability;
        if (type == "TRANSFORM") {
            body = transform = igtl::TransformMessage::New();
        } else if (type == "TDATA") {
            body = tracking = igtl::TrackingDataMessage::New();
        } else if (type == "STATUS") {
            body = status = igtl::StatusMessage::New();
        } else if (type == "IMAGE") {
            body = image = igtl::ImageMessage::New();
        } else if (type == "CAPABILITY") {
            body = capability = igtl::CapabilityMessage::New();
        } else {
            socket->Skip(header->GetBodySizeToRead(), 0);
            std::printf("%s %s\n", type.c_str(), header->GetDeviceName());
            ++received;
            continue;
        }
        body->SetMessageHeader(header);
        body->AllocatePack();
        socket->Receive(body->GetPackBodyPointer(), body->GetPackBodySize());
        if ((body->Unpack(1) & igtl::MessageHeader::UNPACK_BODY) == 0) {
            std::printf("%s %s bad CRC\n", type.c_str(), header->GetDeviceName());
            continue;
        }
        ++received;
        if (transform) {
            igtl::Matrix4x4 m;
            transform->GetMatrix(m);
            std::printf("TRANSFORM %s %llu", transform->GetDeviceName(),
                        static_cast<unsigned long long>(milliseconds(*transform)));
            printPose(m);
        } else if (tracking) {
            const int count = tracking->GetNumberOfTrackingDataElements();
            std::printf("TDATA %s %llu %d\n", tracking->GetDeviceName(),
                        static_cast<unsigned long long>(milliseconds(*tracking)), count);
            for (int i = 0; i < count; ++i) {
                igtl::TrackingDataElement::Pointer element;
                tracking->GetTrackingDataElement(i, element);
                igtl::Matrix4x4 m;
                element->GetMatrix(m);
                std::printf("  %s", element->GetName());
                printPose(m);
            }
        } else if (status) {
            std::printf("STATUS %s %d %s\n", status->GetDeviceName(), status->GetCode(),
                        status->GetStatusString());
        } else if (image) {
            int size[3] = {0, 0, 0};
            image->GetDimensions(size);
            std::printf("IMAGE %s %dx%d\n", image->GetDeviceName(), size[0], size[1]);
        } else if (capability) {
            std::printf("CAPABILITY");
            for (int i = 0; i < capability->GetNumberOfTypes(); ++i) {
                std::printf(" %s", capability->GetType(i));
            }
            std::printf("\n");
        }
        std::fflush(stdout);
    }
    socket->CloseSocket();
    return received > 0 ? 0 : 1;
}

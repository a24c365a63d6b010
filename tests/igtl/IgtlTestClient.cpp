#include "IgtlTestClient.h"

#include <igtlCapabilityMessage.h>
#include <igtlImageMessage.h>
#include <igtlMessageHeader.h>
#include <igtlStatusMessage.h>
#include <igtlTrackingDataMessage.h>
#include <igtlTransformMessage.h>

#include <chrono>

namespace TestSupport {

namespace {

std::array<float, 16> flat(igtl::Matrix4x4& m) {
    std::array<float, 16> out{};
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            out[static_cast<std::size_t>(row * 4 + column)] = m[row][column];
        }
    }
    return out;
}

/// What the tests look at of a message's unpacked body.
void readBody(igtl::MessageBase& body, IgtlMessage& message) {
    if (auto* transform = dynamic_cast<igtl::TransformMessage*>(&body)) {
        igtl::Matrix4x4 m;
        transform->GetMatrix(m);
        message.matrix = flat(m);
    } else if (auto* tracking = dynamic_cast<igtl::TrackingDataMessage*>(&body)) {
        for (int i = 0; i < tracking->GetNumberOfTrackingDataElements(); ++i) {
            igtl::TrackingDataElement::Pointer element;
            tracking->GetTrackingDataElement(i, element);
            igtl::Matrix4x4 m;
            element->GetMatrix(m);
            message.tools.emplace_back(element->GetName(), flat(m));
        }
    } else if (auto* status = dynamic_cast<igtl::StatusMessage*>(&body)) {
        message.code = status->GetCode();
        message.text = status->GetStatusString();
    } else if (auto* capability = dynamic_cast<igtl::CapabilityMessage*>(&body)) {
        for (int i = 0; i < capability->GetNumberOfTypes(); ++i) {
            message.types.push_back(capability->GetType(i));
        }
    } else if (auto* image = dynamic_cast<igtl::ImageMessage*>(&body)) {
        int size[3] = {0, 0, 0};
        image->GetDimensions(size);
        message.width = size[0];
        message.height = size[1];
        const auto* scalars = static_cast<const std::uint8_t*>(image->GetScalarPointer());
        message.pixels.assign(scalars, scalars + image->GetImageSize());
    }
}

}  // namespace

namespace {

int connectTo(int port) {
    std::string error;
    return Halvoren::Igtl::MessageReader::connectTo("127.0.0.1", port, error);
}

}  // namespace

IgtlTestClient::IgtlTestClient(int port) : m_reader(connectTo(port)) {}

bool IgtlTestClient::send(igtl::MessageBase& message) {
    return m_reader.send(message);
}

bool IgtlTestClient::sendBytes(const std::string& bytes) {
    return m_reader.send(bytes.data(), bytes.size());
}

std::optional<IgtlMessage> IgtlTestClient::receive(int timeoutMs) {
    igtl::MessageHeader::Pointer header = igtl::MessageHeader::New();
    std::string bytes;
    if (m_reader.receive(*header, bytes, std::chrono::milliseconds(timeoutMs)) !=
        Halvoren::Igtl::MessageReader::Outcome::Message) {
        return std::nullopt;
    }
    IgtlMessage message;
    message.type = header->GetDeviceType();
    message.device = header->GetDeviceName();
    igtl::TimeStamp::Pointer stamp = igtl::TimeStamp::New();
    header->GetTimeStamp(stamp);
    igtlUint32 seconds = 0;
    igtlUint32 nanoseconds = 0;
    stamp->GetTimeStamp(&seconds, &nanoseconds);
    message.timestampMs = static_cast<std::uint64_t>(seconds) * 1000 + (nanoseconds + 500000) / 1000000;

    igtl::MessageBase::Pointer body;
    if (message.type == "TRANSFORM") {
        body = igtl::TransformMessage::New();
    } else if (message.type == "TDATA") {
        body = igtl::TrackingDataMessage::New();
    } else if (message.type == "STATUS") {
        body = igtl::StatusMessage::New();
    } else if (message.type == "CAPABILITY") {
        body = igtl::CapabilityMessage::New();
    } else if (message.type == "IMAGE") {
        body = igtl::ImageMessage::New();
    } else {
        return message;
    }
    if (!Halvoren::Igtl::MessageReader::unpack(*header, bytes, *body)) {
        return std::nullopt;
    }
    readBody(*body, message);
    return message;
}

std::optional<IgtlMessage> IgtlTestClient::receiveType(const std::string& type, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        std::optional<IgtlMessage> message = receive(timeoutMs);
        if (!message) {
            return std::nullopt;
        }
        if (message->type == type) {
            return message;
        }
    }
    return std::nullopt;
}

}  // namespace TestSupport

#include "igtl/IgtlMessages.h"

#include <igtlCapabilityMessage.h>
#include <igtlImageMessage.h>
#include <igtlStatusMessage.h>
#include <igtlTrackingDataMessage.h>
#include <igtlTransformMessage.h>
#include <igtl_header.h>
#include <igtl_util.h>

#include <cstring>

namespace Halvoren::Igtl {

namespace {

void setTimeStamp(igtl::MessageBase& message, std::uint64_t timestampMs) {
    igtl::TimeStamp::Pointer stamp = igtl::TimeStamp::New();
    stamp->SetTime(static_cast<igtlUint32>(timestampMs / 1000),
                   static_cast<igtlUint32>((timestampMs % 1000) * 1000000));
    message.SetTimeStamp(stamp);
}

void toMatrix(const std::array<float, 16>& from, igtl::Matrix4x4& to) {
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            to[row][column] = from[static_cast<std::size_t>(row * 4 + column)];
        }
    }
}

void append(std::string& out, igtl::MessageBase& message) {
    message.Pack();
    out.append(static_cast<const char*>(message.GetPackPointer()),
               static_cast<std::size_t>(message.GetPackSize()));
}

}  // namespace

void appendTransform(std::string& out, const ToolPose& tool) {
    igtl::TransformMessage::Pointer message = igtl::TransformMessage::New();
    message->SetDeviceName(tool.name.c_str());
    igtl::Matrix4x4 matrix;
    toMatrix(tool.matrix, matrix);
    message->SetMatrix(matrix);
    setTimeStamp(*message, tool.timestampMs);
    append(out, *message);
}

void appendTrackingData(std::string& out, const std::string& device, const TrackingFrame& frame) {
    igtl::TrackingDataMessage::Pointer message = igtl::TrackingDataMessage::New();
    message->SetDeviceName(device.c_str());
    std::uint64_t newest = 0;
    for (const ToolPose& tool : frame.tools) {
        if (!tool.seen) {
            continue;
        }
        igtl::TrackingDataElement::Pointer element = igtl::TrackingDataElement::New();
        element->SetName(tool.name.c_str());
        element->SetType(igtl::TrackingDataElement::TYPE_6D);
        igtl::Matrix4x4 matrix;
        toMatrix(tool.matrix, matrix);
        element->SetMatrix(matrix);
        message->AddTrackingDataElement(element);
        newest = std::max(newest, tool.timestampMs);
    }
    if (message->GetNumberOfTrackingDataElements() == 0) {
        return;
    }
    setTimeStamp(*message, newest);
    append(out, *message);
}

void appendStatus(std::string& out, const std::string& device, int code, const std::string& text) {
    igtl::StatusMessage::Pointer message = igtl::StatusMessage::New();
    message->SetDeviceName(device.c_str());
    message->SetCode(code);
    message->SetSubCode(0);
    message->SetErrorName("");
    message->SetStatusString(text.c_str());
    append(out, *message);
}

void appendCapability(std::string& out, const std::vector<std::string>& types) {
    igtl::CapabilityMessage::Pointer message = igtl::CapabilityMessage::New();
    message->SetDeviceName("");
    message->SetTypes(types);
    append(out, *message);
}

void appendImage(std::string& out, const GreyImage& image) {
    igtl::ImageMessage::Pointer message = igtl::ImageMessage::New();
    message->SetDeviceName(image.device.c_str());
    message->SetDimensions(image.width, image.height, 1);
    message->SetSpacing(1.0f, 1.0f, 1.0f);
    message->SetScalarTypeToUint8();
    message->SetNumComponents(1);
    message->SetEndian(igtl::ImageMessage::ENDIAN_BIG);
    setTimeStamp(*message, image.timestampMs);
    message->AllocateScalars();
    const std::size_t bytes = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    if (image.pixels.size() >= bytes && bytes > 0) {
        std::memcpy(message->GetScalarPointer(), image.pixels.data(), bytes);
    }
    append(out, *message);
}

std::optional<Header> readHeader(const std::uint8_t* data) {
    igtl_header raw;
    static_assert(sizeof(raw) == kHeaderSize, "the wire header is 58 bytes");
    std::memcpy(&raw, data, kHeaderSize);
    igtl_header_convert_byte_order(&raw);
    if (raw.version != 1 && raw.version != 2) {
        return std::nullopt;
    }
    Header header;
    header.version = raw.version;
    const auto text = [](const char* field, std::size_t size) -> std::optional<std::string> {
        const std::size_t length = strnlen(field, size);
        for (std::size_t i = 0; i < length; ++i) {
            if (field[i] < 0x20 || field[i] > 0x7e) {
                return std::nullopt;
            }
        }
        return std::string(field, length);
    };
    const auto type = text(raw.name, sizeof(raw.name));
    const auto device = text(raw.device_name, sizeof(raw.device_name));
    if (!type || type->empty() || !device) {
        return std::nullopt;
    }
    header.type = *type;
    header.device = *device;
    header.timestamp = raw.timestamp;
    header.bodySize = raw.body_size;
    header.crc = raw.crc;
    return header;
}

bool crcMatches(const Header& header, const std::uint8_t* body) {
    const igtl_uint64 crc = crc64(const_cast<unsigned char*>(body), header.bodySize, 0ULL);
    return crc == header.crc;
}

}  // namespace Halvoren::Igtl

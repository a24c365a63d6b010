#include "igtl/IgtlMessages.h"

#include <igtlCapabilityMessage.h>
#include <igtlImageMessage.h>
#include <igtlStatusMessage.h>
#include <igtlTrackingDataMessage.h>
#include <igtlTransformMessage.h>
#include <igtl_header.h>
#include <igtl_util.h>

#include <algorithm>
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

bool fits(const std::string& name) {
    return name.size() <= kMaxNameSize;
}

bool append(std::string& out, igtl::MessageBase& message) {
    if (message.Pack() == 0 || message.GetPackPointer() == nullptr || message.GetPackSize() <= 0) {
        return false;
    }
    out.append(static_cast<const char*>(message.GetPackPointer()),
               static_cast<std::size_t>(message.GetPackSize()));
    return true;
}

// Cut positions that do not split a UTF-8 character.
std::size_t headEnd(const std::string& name, std::size_t size) {
    size = std::min(size, name.size());
    while (size > 0 && size < name.size() && (static_cast<unsigned char>(name[size]) & 0xC0) == 0x80) {
        --size;
    }
    return size;
}

std::size_t tailStart(const std::string& name, std::size_t size) {
    std::size_t start = name.size() > size ? name.size() - size : 0;
    while (start < name.size() && (static_cast<unsigned char>(name[start]) & 0xC0) == 0x80) {
        ++start;
    }
    return start;
}

}  // namespace

// The library silently cuts a device name to the wire's size, so that two long names could go out as one:
// every name is checked here.
bool appendTransform(std::string& out, const ToolPose& tool) {
    if (!fits(tool.name)) {
        return false;
    }
    igtl::TransformMessage::Pointer message = igtl::TransformMessage::New();
    message->SetDeviceName(tool.name.c_str());
    igtl::Matrix4x4 matrix;
    toMatrix(tool.matrix, matrix);
    message->SetMatrix(matrix);
    setTimeStamp(*message, tool.timestampMs);
    return append(out, *message);
}

bool appendTrackingData(std::string& out, const std::string& device, const TrackingFrame& frame) {
    if (!fits(device)) {
        return false;
    }
    igtl::TrackingDataMessage::Pointer message = igtl::TrackingDataMessage::New();
    message->SetDeviceName(device.c_str());
    std::uint64_t newest = 0;
    int elements = 0;
    for (const ToolPose& tool : frame.tools) {
        if (!tool.seen || !tool.tracked) {
            continue;
        }
        const std::string& name = tool.element.empty() ? tool.name : tool.element;
        igtl::TrackingDataElement::Pointer element = igtl::TrackingDataElement::New();
        if (name.size() > kMaxElementNameSize || element->SetName(name.c_str()) == 0 ||
            element->SetType(igtl::TrackingDataElement::TYPE_6D) == 0) {
            return false;
        }
        igtl::Matrix4x4 matrix;
        toMatrix(tool.matrix, matrix);
        element->SetMatrix(matrix);
        if (message->AddTrackingDataElement(element) != ++elements) {
            return false;
        }
        newest = std::max(newest, tool.timestampMs);
    }
    if (elements == 0) {
        return true;
    }
    setTimeStamp(*message, newest);
    return append(out, *message);
}

bool appendStatus(std::string& out, const std::string& device, int code, const std::string& text) {
    if (!fits(device)) {
        return false;
    }
    igtl::StatusMessage::Pointer message = igtl::StatusMessage::New();
    message->SetDeviceName(device.c_str());
    message->SetCode(code);
    message->SetSubCode(0);
    message->SetErrorName("");
    message->SetStatusString(text.c_str());
    return append(out, *message);
}

bool appendCapability(std::string& out, const std::vector<std::string>& types) {
    igtl::CapabilityMessage::Pointer message = igtl::CapabilityMessage::New();
    message->SetDeviceName("");
    message->SetTypes(types);
    if (message->GetNumberOfTypes() != static_cast<int>(types.size())) {
        return false;
    }
    return append(out, *message);
}

bool appendImage(std::string& out, const GreyImage& image) {
    const std::size_t bytes = static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
    if (!fits(image.device) || image.width < 0 || image.height < 0) {
        return false;
    }
    igtl::ImageMessage::Pointer message = igtl::ImageMessage::New();
    message->SetDeviceName(image.device.c_str());
    message->SetDimensions(image.width, image.height, 1);
    message->SetSpacing(1.0f, 1.0f, 1.0f);
    message->SetScalarTypeToUint8();
    message->SetNumComponents(1);
    message->SetEndian(igtl::ImageMessage::ENDIAN_BIG);
    setTimeStamp(*message, image.timestampMs);
    message->AllocateScalars();
    if (static_cast<std::size_t>(message->GetImageSize()) != bytes ||
        (bytes > 0 && message->GetScalarPointer() == nullptr)) {
        return false;
    }
    if (image.pixels.size() >= bytes && bytes > 0) {
        std::memcpy(message->GetScalarPointer(), image.pixels.data(), bytes);
    }
    return append(out, *message);
}

const std::string& DeviceNames::of(const std::string& key, const std::string& name, bool* renamed) {
    if (renamed != nullptr) {
        *renamed = false;
    }
    const auto given = m_given.find(key);
    if (given != m_given.end()) {
        return given->second;
    }
    std::string candidate = name;
    if (candidate.size() > m_maxSize || m_taken.count(candidate) != 0) {
        // The start and the end of the name: instruments named alike mostly differ at the end.
        const std::size_t tail = std::min<std::size_t>(8, m_maxSize / 2);
        candidate = name.size() > m_maxSize ? name.substr(0, headEnd(name, m_maxSize - 1 - tail)) + "~" +
                                                  name.substr(tailStart(name, tail))
                                            : name;
        // Else a number; some number is free, as only finitely many names are taken.
        for (std::size_t number = 2; m_taken.count(candidate) != 0; ++number) {
            const std::string suffix = "~" + std::to_string(number);
            candidate = name.substr(0, headEnd(name, m_maxSize - suffix.size())) + suffix;
        }
    }
    m_taken.insert(candidate);
    if (renamed != nullptr) {
        *renamed = candidate != name;
    }
    return m_given.emplace(key, std::move(candidate)).first->second;
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

#include "SequenceFormat.h"

#include "SequenceFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace Halvoren::Sequence {

const std::string* findField(const Fields& fields, const std::string& name) {
    for (const auto& field : fields) {
        if (field.first == name) {
            return &field.second;
        }
    }
    return nullptr;
}

namespace Format {

bool isTagName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    for (const char c : name) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (!letter && !(c >= '0' && c <= '9') && c != '_') {
            return false;
        }
    }
    return true;
}

bool isMetaImageField(const std::string& name) {
    static const char* const names[] = {
        "Comment",
        "ObjectType",
        "ObjectSubType",
        "TransformType",
        "NDims",
        "Name",
        "ID",
        "ParentID",
        "CompressedData",
        "CompressedDataSize",
        "BinaryData",
        "BinaryDataByteOrderMSB",
        "ElementByteOrderMSB",
        "Color",
        "Position",
        "Offset",
        "Origin",
        "Orientation",
        "Rotation",
        "TransformMatrix",
        "CenterOfRotation",
        "AnatomicalOrientation",
        "ElementSpacing",
        "DimSize",
        "HeaderSize",
        "HeaderSizePerSlice",
        "Modality",
        "SequenceID",
        "ElementMin",
        "ElementMax",
        "ElementNumberOfChannels",
        "ElementSize",
        "ElementType",
        "ElementDataFile",
        "AcquisitionDate",
        "Kinds",
    };
    for (const char* known : names) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

std::string framePrefix(std::size_t index) {
    char text[48];
    std::snprintf(text, sizeof(text), "%s%04zu_", kFramePrefix, index);
    return text;
}

std::string printable(const std::string& text, std::size_t maxBytes) {
    std::string shown;
    const std::size_t shownBytes = std::min(text.size(), maxBytes);
    for (std::size_t i = 0; i < shownBytes; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7f || byte == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", byte);
            shown += escaped;
        } else {
            shown += static_cast<char>(byte);
        }
    }
    return shownBytes < text.size() ? shown + "..." : shown;
}

int Fd::reset() {
    int error = 0;
    if (m_fd >= 0 && ::close(m_fd) != 0) {
        error = errno;
    }
    m_fd = -1;
    return error;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (written == 0) {
            errno = ENOSPC;
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace Format
}  // namespace Halvoren::Sequence

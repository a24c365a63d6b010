#include "Image.h"

#include <cstring>
#include <limits>

namespace Halvoren {

namespace {

/// The byte size of the pixels, or nothing when it cannot be represented.
std::optional<std::size_t> checkedByteSize(const ImageDescriptor& d) {
    const std::size_t bytes = d.bytesPerPixel();
    if (bytes == 0) {
        return std::nullopt;
    }
    if (d.width <= 0 || d.height <= 0 || d.slices <= 0 || d.channels <= 0) {
        return std::size_t{0};
    }
    std::size_t size = bytes;
    for (const int factor : {d.width, d.height, d.slices, d.channels}) {
        if (__builtin_mul_overflow(size, static_cast<std::size_t>(factor), &size)) {
            return std::nullopt;
        }
    }
    return size;
}

}  // namespace

ImageDescriptor::ImageDescriptor(std::uint32_t pixelType, int width, int height, int slices, int channels)
    : pixelType(pixelType), width(width), height(height), slices(slices), channels(channels) {}

std::size_t ImageDescriptor::bytesPerPixel() const {
    switch (pixelType) {
        case PixelInt8:
        case PixelUInt8:
            return 1;
        case PixelInt16:
        case PixelUInt16:
            return 2;
        case PixelInt32:
        case PixelUInt32:
        case PixelFloat:
            return 4;
        case PixelDouble:
            return 8;
        default:
            return 0;
    }
}

std::size_t ImageDescriptor::byteSize() const {
    return checkedByteSize(*this).value_or(0);
}

bool ImageDescriptor::operator==(const ImageDescriptor& o) const {
    return pixelType == o.pixelType && width == o.width && height == o.height && slices == o.slices &&
           channels == o.channels;
}

std::unique_ptr<MemImage> MemImage::create(const ImageDescriptor& descriptor, const void* data,
                                           int ownership) {
    const std::optional<std::size_t> size = checkedByteSize(descriptor);
    if (!size) {
        return nullptr;
    }
    std::unique_ptr<MemImage> image(new MemImage());
    image->m_descriptor = descriptor;
    if (ownership == NotOwned) {
        if (data == nullptr && *size > 0) {
            return nullptr;
        }
        image->m_data = static_cast<const std::uint8_t*>(data);
    } else if (ownership == Owned) {
        if (*size > 0) {
            if (data != nullptr) {
                image->m_owned.reset(new std::uint8_t[*size]);
                std::memcpy(image->m_owned.get(), data, *size);
            } else {
                image->m_owned.reset(new std::uint8_t[*size]());
            }
            image->m_data = image->m_owned.get();
        }
    } else {
        return nullptr;
    }
    return image;
}

std::unique_ptr<MemImage> MemImage::clone() const {
    return create(m_descriptor, m_data, Owned);
}

bool MemImage::copyFrom(const ImageDescriptor& descriptor, const void* data) {
    if (m_owned == nullptr || data == nullptr || !(descriptor == m_descriptor)) {
        return false;
    }
    std::memcpy(m_owned.get(), data, m_descriptor.byteSize());
    return true;
}

SharedImage::SharedImage(std::shared_ptr<MemImage> mem) {
    assign(std::move(mem));
}

void SharedImage::assign(std::shared_ptr<MemImage> mem) {
    m_mem = mem ? std::move(mem)
                : std::shared_ptr<MemImage>(MemImage::create(ImageDescriptor(), nullptr, MemImage::Owned));
}

}  // namespace Halvoren

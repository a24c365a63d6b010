#pragma once

#include "Data.h"
#include "Stream.h"

#include <Eigen/Core>

#include <cstdint>
#include <memory>
#include <vector>

namespace Halvoren {

/// Pixel types: OpenGL's type codes.
enum PixelType : std::uint32_t {
    PixelInt8 = 0x1400,
    PixelUInt8 = 0x1401,
    PixelInt16 = 0x1402,
    PixelUInt16 = 0x1403,
    PixelInt32 = 0x1404,
    PixelUInt32 = 0x1405,
    PixelFloat = 0x1406,
    PixelDouble = 0x140A,
};

/// Pixel layout of an image.
struct ImageDescriptor {
    ImageDescriptor() = default;
    ImageDescriptor(std::uint32_t pixelType, int width, int height, int slices = 1, int channels = 1);
    std::uint32_t pixelType = PixelUInt8;
    int width = 0;
    int height = 0;
    int slices = 1;
    int channels = 1;
    /// Width, height and slices as a vector.
    Eigen::Vector3i extent() const { return {width, height, slices}; }
    /// Bytes of one channel value; 0 for an unknown pixel type.
    std::size_t bytesPerPixel() const;
    /// Bytes of all pixels; 0 when a dimension is not positive or the pixel type is unknown.
    std::size_t byteSize() const;
    bool operator==(const ImageDescriptor& o) const;
};

/// Pixel memory, owning or wrapping foreign memory.
class MemImage {
public:
    enum Ownership { NotOwned = 0, Owned = 1 };
    /// Wraps the memory (NotOwned) or copies it into memory of its own (Owned; null data gives zeroed
    /// pixels). Null for an unknown pixel type, a size that does not fit in memory, an unknown ownership,
    /// or null data to wrap.
    static std::unique_ptr<MemImage> create(const ImageDescriptor& descriptor, const void* data,
                                            int ownership);
    /// An owning deep copy.
    std::unique_ptr<MemImage> clone() const;
    /// Copies pixels of the same layout into the memory this image owns. False (nothing copied) when the
    /// image wraps foreign memory or the layout differs.
    bool copyFrom(const ImageDescriptor& descriptor, const void* data);

    const ImageDescriptor& descriptor() const { return m_descriptor; }
    const std::uint8_t* data() const { return m_data; }
    bool ownsMemory() const { return m_owned != nullptr || m_descriptor.byteSize() == 0; }

private:
    MemImage() = default;
    ImageDescriptor m_descriptor;
    // Not value-initialised: a copy writes every byte once, without zeroing the buffer first.
    std::unique_ptr<std::uint8_t[]> m_owned;
    const std::uint8_t* m_data = nullptr;
};

/// An image whose pixel memory can be shared and exchanged.
class SharedImage {
public:
    /// A null memory stands for an empty image, so that the accessors never meet a null pointer.
    explicit SharedImage(std::shared_ptr<MemImage> mem);
    const ImageDescriptor& descriptor() const { return m_mem->descriptor(); }
    std::shared_ptr<MemImage> sharedMem() const { return m_mem; }
    void assign(std::shared_ptr<MemImage> mem);
    void setDirtyMem() { ++m_revision; }
    std::uint64_t revision() const { return m_revision; }

private:
    std::shared_ptr<MemImage> m_mem;
    std::uint64_t m_revision = 0;
};

/// One image datum of an image stream.
class ImageStreamData : public StreamData {
public:
    ImageStreamData(const Stream* stream, std::shared_ptr<SharedImage> image)
        : StreamData(stream), m_image(std::move(image)) {}
    const std::shared_ptr<SharedImage>& image() const { return m_image; }

private:
    std::shared_ptr<SharedImage> m_image;
};

/// A stream that delivers images.
class ImageStream : public Stream {
public:
    using Stream::Stream;
};

}  // namespace Halvoren

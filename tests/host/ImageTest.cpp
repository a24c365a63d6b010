#include "host/Image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace Halvoren;

TEST(Image, DescriptorSizesFollowThePixelType) {
    EXPECT_EQ(ImageDescriptor(PixelUInt8, 4, 3).byteSize(), 12u);
    EXPECT_EQ(ImageDescriptor(PixelUInt16, 4, 3).byteSize(), 24u);
    EXPECT_EQ(ImageDescriptor(PixelFloat, 4, 3, 2, 3).byteSize(), 4u * 3 * 2 * 3 * 4);
    EXPECT_EQ(ImageDescriptor(PixelUInt8, -4, 3).byteSize(), 0u);
    EXPECT_EQ(ImageDescriptor(0x9999, 4, 3).bytesPerPixel(), 0u);
    EXPECT_EQ(ImageDescriptor(PixelUInt8, 4, 3).extent(), Eigen::Vector3i(4, 3, 1));
}

TEST(Image, NotOwnedWrapsAndCloneCopiesDeeply) {
    std::vector<std::uint8_t> pixels{1, 2, 3, 4, 5, 6};
    const ImageDescriptor descriptor(PixelUInt8, 3, 2);

    auto wrapped = MemImage::create(descriptor, pixels.data(), MemImage::NotOwned);
    ASSERT_NE(wrapped, nullptr);
    EXPECT_EQ(wrapped->data(), pixels.data());
    EXPECT_FALSE(wrapped->ownsMemory());

    auto owned = MemImage::create(descriptor, pixels.data(), MemImage::Owned);
    auto clone = wrapped->clone();
    wrapped.reset();
    pixels.assign(6, 0);
    for (const auto& image : {owned.get(), clone.get()}) {
        ASSERT_NE(image, nullptr);
        EXPECT_TRUE(image->ownsMemory());
        EXPECT_EQ(image->descriptor(), descriptor);
        EXPECT_EQ(std::vector<std::uint8_t>(image->data(), image->data() + 6),
                  (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    }
}

TEST(Image, InvalidRequestsGiveNoImage) {
    EXPECT_EQ(MemImage::create(ImageDescriptor(PixelUInt8, 3, 2), nullptr, MemImage::NotOwned), nullptr);
    std::uint8_t pixel = 0;
    EXPECT_EQ(MemImage::create(ImageDescriptor(0x9999, 1, 1), &pixel, MemImage::Owned), nullptr);
    EXPECT_EQ(MemImage::create(ImageDescriptor(PixelUInt8, 1, 1), &pixel, 7), nullptr);
    EXPECT_EQ(MemImage::create(ImageDescriptor(0x140A, 1 << 30, 1 << 30, 1 << 30), &pixel, MemImage::Owned),
              nullptr);
    auto blank = MemImage::create(ImageDescriptor(PixelUInt8, 2, 2), nullptr, MemImage::Owned);
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(std::vector<std::uint8_t>(blank->data(), blank->data() + 4), std::vector<std::uint8_t>(4, 0));
}

TEST(Image, SharedImageExchangesMemory) {
    std::uint8_t pixels[4] = {9, 9, 9, 9};
    SharedImage image(nullptr);
    EXPECT_EQ(image.descriptor().width, 0);
    std::shared_ptr<MemImage> mem = MemImage::create(ImageDescriptor(PixelUInt8, 2, 2), pixels, MemImage::Owned);
    image.assign(mem);
    image.setDirtyMem();
    EXPECT_EQ(image.sharedMem(), mem);
    EXPECT_EQ(image.descriptor().width, 2);
    EXPECT_EQ(image.revision(), 1u);
}

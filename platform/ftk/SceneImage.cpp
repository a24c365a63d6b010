#include "SceneImage.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace ftksim::scene {
namespace {

constexpr double kBlobPeak = 245.0;
constexpr std::uint8_t kBackground = 8;

// Puts the background back where the last frame drew.
void restoreDrawn(CameraImage& image, int width) {
    for (const Rect& rect : image.drawn) {
        for (int y = rect.y0; y <= rect.y1; ++y) {
            const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(width);
            std::copy(image.background.begin() + static_cast<std::ptrdiff_t>(row + rect.x0),
                      image.background.begin() + static_cast<std::ptrdiff_t>(row + rect.x1 + 1),
                      image.pixels.begin() + static_cast<std::ptrdiff_t>(row + rect.x0));
        }
    }
    image.drawn.clear();
}

}  // namespace

std::vector<std::uint8_t> backgroundOf(int width, int height, std::uint32_t seed, int camera) {
    // A dark background with a little fixed-pattern noise; a cheap hash is enough for that.
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<std::uint8_t> background(size);
    std::uint64_t state = seed + 1000003ULL * static_cast<std::uint64_t>(camera + 1);
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t bits = splitMix(state);
        for (std::size_t k = 0; k < 8 && i + k < size; ++k) {
            background[i + k] = static_cast<std::uint8_t>(kBackground + ((bits >> (8 * k)) & 7));
        }
    }
    return background;
}

Rect drawBlob(const Sighting& sighting, int width, int height, std::vector<std::uint8_t>& pixels) {
    // A Gaussian spot at the true projection: about the blob's diameter where it is an eighth of its peak.
    const double sigma = sighting.blobPx / 4.0;
    const int reach = static_cast<int>(std::ceil(3.0 * sigma));
    const int cx = static_cast<int>(std::lround(sighting.trueU));
    const int cy = static_cast<int>(std::lround(sighting.trueV));
    const Rect rect{std::max(cx - reach, 0), std::max(cy - reach, 0), std::min(cx + reach, width - 1),
                    std::min(cy + reach, height - 1)};
    for (int y = rect.y0; y <= rect.y1; ++y) {
        for (int x = rect.x0; x <= rect.x1; ++x) {
            const double dx = x - sighting.trueU;
            const double dy = y - sighting.trueV;
            const double value = kBlobPeak * std::exp(-(dx * dx + dy * dy) / (2.0 * sigma * sigma));
            std::uint8_t& pixel = pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                                         static_cast<std::size_t>(x)];
            pixel = static_cast<std::uint8_t>(std::min(255.0, pixel + value));
        }
    }
    return rect;
}

void renderImage(const std::vector<Detection>& detections, const std::vector<Sighting>& sightings, int width,
                 int height, std::uint32_t seed, int camera, CameraImage& image,
                 std::vector<std::uint8_t>& out) {
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (image.background.size() != size) {
        image.background = backgroundOf(width, height, seed, camera);
        image.pixels = image.background;
        image.drawn.clear();
    }
    restoreDrawn(image, width);
    for (const Detection& detection : detections) {
        image.drawn.push_back(drawBlob(sightings[detection.point], width, height, image.pixels));
    }
    out.assign(image.pixels.begin(), image.pixels.end());
}

}  // namespace ftksim::scene

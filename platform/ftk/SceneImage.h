#pragma once
// The simulated camera's images: a dark background with fixed-pattern noise and a Gaussian spot at the true
// projection of each detected blob. Internal to the driver library.

#include "SceneStages.h"

#include <cstdint>
#include <vector>

namespace ftksim::scene {

struct Rect {
    int x0, y0, x1, y1;  // inclusive
};

/// One camera's image, kept between frames: only the neighbourhoods of the last frame's blobs are restored
/// to the background before the next frame's blobs are drawn.
struct CameraImage {
    std::vector<std::uint8_t> background;
    std::vector<std::uint8_t> pixels;
    std::vector<Rect> drawn;
};

/// The background of camera 0 or 1 for the seed: the same on every run.
std::vector<std::uint8_t> backgroundOf(int width, int height, std::uint32_t seed, int camera);
/// Adds the spot of a blob seen at this sighting to the pixels; returns the rectangle it touched.
Rect drawBlob(const Sighting& sighting, int width, int height, std::vector<std::uint8_t>& pixels);
/// Draws the detected blobs over the image kept from the last frame (made anew when the size changed)
/// and copies the result out.
void renderImage(const std::vector<Detection>& detections, const std::vector<Sighting>& sightings, int width,
                 int height, std::uint32_t seed, int camera, CameraImage& image,
                 std::vector<std::uint8_t>& out);

}  // namespace ftksim::scene

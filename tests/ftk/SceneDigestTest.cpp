// The scene's frames for fixed settings and times, pinned down bit for bit: a change to how frames are
// built that moves a single pixel, pose or status shows here.
#include "ftk/SimulatedCamera.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

using ftksim::CameraSettings;
using ftksim::ScriptedFrame;
using ftksim::SimulatedCamera;

namespace {

struct Digest {
    std::uint64_t value = 0xCBF29CE484222325ULL;

    void bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size; ++i) {
            value = (value ^ p[i]) * 0x100000001B3ULL;
        }
    }
    template <class T>
    void add(const T& field) {
        bytes(&field, sizeof(field));
    }
    void add(const ftkRawDetection& raw) {
        add(raw.centerX), add(raw.centerY), add(raw.width), add(raw.height), add(raw.pixelCount);
    }
    void add(const ftkFiducial3D& f) {
        add(f.leftIndex), add(f.rightIndex), add(f.position.x), add(f.position.y), add(f.position.z);
        add(f.epipolarError), add(f.triangulationError), add(f.probability);
    }
    void add(const ftkMarkerPose& m) {
        add(m.geometryId), add(m.correspondences), add(m.rotation), add(m.translation);
        add(m.registrationError);
    }
    template <class T>
    void add(const std::vector<T>& items) {
        add(items.size());
        for (const T& item : items) {
            add(item);
        }
    }
    void add(bool built, const ScriptedFrame& frame) {
        add(built), add(frame.status), add(frame.markersStatus), add(frame.markers), add(frame.fiducials);
        add(frame.leftRaw), add(frame.rightRaw), add(frame.width), add(frame.height);
        add(frame.leftPixels), add(frame.rightPixels), add(frame.imageHeaderStatus);
        add(frame.leftPixelsStatus), add(frame.rightPixelsStatus);
    }
};

ftkGeometry makeGeometry(std::uint32_t id, std::initializer_list<ftkPoint3> points) {
    ftkGeometry geometry{};
    geometry.geometryId = id;
    for (const ftkPoint3& p : points) {
        geometry.positions[geometry.pointsCount++] = p;
    }
    return geometry;
}

// Every part of the scene at once: noise, strays, the unregistered body, a pivoting marker, a hidden one, one
// pinned half out of view, injected faults, and images in small frames (drawn over the previous frame's
// blobs).
TEST(SimulatedCamera, BuildsTheSameFramesBitForBitForTheSameSettingsAndSeed) {
    CameraSettings settings;
    settings.imageWidth = 320;
    settings.imageHeight = 256;
    settings.pixelNoise = 0.4;
    settings.strayReflections = 4;
    settings.seed = 20261208;
    settings.shockWarningRate = 0.15;
    settings.droppedFrameRate = 0.1;
    settings.errorStatusRate = 0.05;
    settings.markerOverflowRate = 0.15;
    settings.internalErrorRate = 0.05;
    settings.pivotMarker = 21;
    settings.body = {{0, 0, 0}, {45, 5, 0}, {10, 50, 3}, {-30, 25, 0}};
    SimulatedCamera camera(settings);
    camera.setGeometries({{7, makeGeometry(7, {{0, 0, 0}, {50, 0, 0}, {0, 40, 0}, {35, 55, 0}})},
                          {12, makeGeometry(12, {{-30, -20, 0}, {30, -25, 0}, {25, 30, 0}, {-20, 35, 5}})},
                          {21, makeGeometry(21, {{-25, 0, 0}, {25, 0, 0}, {0, 30, 0}})},
                          {33, makeGeometry(33, {{0, 0, 0}, {40, 10, 0}, {15, 45, 2}, {-25, 30, 0}})}});
    const double rotation[3][3] = {{0.8, -0.6, 0}, {0.6, 0.8, 0}, {0, 0, 1}};
    // Half out of the right image: seen as loose fiducials, never as a marker.
    const double translation[3] = {-165, -40, 900};
    camera.pinPose(33, rotation, translation);

    Digest digest;
    ScriptedFrame frame;
    for (int i = 0; i < 40; ++i) {
        camera.setHiddenGeometry(12, i >= 10 && i < 20);
        const bool built = camera.frameAt(0.37 * i, i % 7 != 3, frame);
        digest.add(built, frame);
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(digest.value));
    EXPECT_STREQ(text, "a0b40a35d0b6c921");
}

}  // namespace

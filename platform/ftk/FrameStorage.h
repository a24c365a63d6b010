#pragma once
// The memory behind one ftkFrame handed out by ftkCreateFrame: the frame record itself and the arrays
// its pointers refer to. Internal to the driver library (not exported). Not thread-safe: the driver
// touches a frame only under its state lock.

#include "ftk.h"
#include "ftkSimulator.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ftksim {

class FrameStorage {
public:
    FrameStorage();
    FrameStorage(const FrameStorage&) = delete;
    FrameStorage& operator=(const FrameStorage&) = delete;

    /// The record the caller sees; its address is the frame handle.
    ftkFrame* frame() { return &m_frame; }
    const ftkFrame* frame() const { return &m_frame; }

    /// Replaces every array by one of exactly the given capacity (zeroed); counts start at 0. Throws
    /// std::bad_alloc when a capacity cannot be allocated, leaving the previous arrays in place.
    void setOptions(bool pixels, std::uint32_t events, std::uint32_t leftRaw, std::uint32_t rightRaw,
                    std::uint32_t fiducials, std::uint32_t markers);
    bool pixelsEnabled() const { return m_pixelsEnabled; }

    /// Copies one answer of the driver into the frame, cut to the capacities: arrays never receive more
    /// entries than reserved, a cut array reports FTK_PART_OVERFLOW, an array with no room reserved
    /// FTK_PART_SKIPPED. The pixel buffers are reused while the image size does not grow.
    void fill(const ScriptedFrame& source, std::uint32_t counter, std::uint64_t timestampUs);

    /// Empties the frame after a failed fetch: every count 0, every part status FTK_PART_INVALID, a
    /// zeroed image header. The arrays stay allocated.
    void invalidate();

    /// Bytes reserved for each of the two pixel buffers.
    std::size_t pixelCapacity() const { return m_pixelCapacity; }

private:
    void restoreLayout();
    void fillImages(const ScriptedFrame& source, std::uint32_t counter, std::uint64_t timestampUs);

    ftkFrame m_frame{};
    bool m_pixelsEnabled = false;
    std::unique_ptr<ftkImageInfo> m_imageHeader;
    std::unique_ptr<std::uint8_t[]> m_leftPixels;
    std::unique_ptr<std::uint8_t[]> m_rightPixels;
    std::size_t m_pixelCapacity = 0;
    // The capacities as allocated; the frame's own fields are the caller's to read (and to spoil).
    std::uint32_t m_leftRawCapacity = 0;
    std::uint32_t m_rightRawCapacity = 0;
    std::uint32_t m_fiducialsCapacity = 0;
    std::uint32_t m_markersCapacity = 0;
    std::uint32_t m_eventsCapacity = 0;
    // Exactly as large as the capacities, so that a write past them is caught by the address sanitizer.
    std::unique_ptr<ftkRawDetection[]> m_leftRaw;
    std::unique_ptr<ftkRawDetection[]> m_rightRaw;
    std::unique_ptr<ftkFiducial3D[]> m_fiducials;
    std::unique_ptr<ftkMarkerPose[]> m_markers;
};

}  // namespace ftksim

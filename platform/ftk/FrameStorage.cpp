#include "FrameStorage.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ftksim {

namespace {

template <class T>
std::unique_ptr<T[]> allocateZeroed(std::size_t count) {
    return count == 0 ? nullptr : std::unique_ptr<T[]>(new T[count]());
}

// A part status the caller set wins; otherwise the status says whether the entries fitted.
ftkPartStatus partStatus(ftkPartStatus scripted, std::size_t entries, std::uint32_t capacity) {
    if (scripted != FTK_PART_OK) {
        return scripted;
    }
    if (capacity == 0) {
        return FTK_PART_SKIPPED;
    }
    return entries > capacity ? FTK_PART_OVERFLOW : FTK_PART_OK;
}

template <class T>
std::uint32_t copyCut(const std::vector<T>& source, T* target, std::uint32_t capacity) {
    const auto count = static_cast<std::uint32_t>(std::min<std::size_t>(source.size(), capacity));
    if (count > 0) {
        std::copy(source.begin(), source.begin() + count, target);
    }
    return count;
}

// Copies as much of the source as fits and zeroes the rest, so a short buffer never leaves stale pixels.
void copyPixels(const std::vector<std::uint8_t>& source, std::uint8_t* target, std::size_t size) {
    const std::size_t copied = std::min(source.size(), size);
    if (copied > 0) {
        std::memcpy(target, source.data(), copied);
    }
    if (copied < size) {
        std::memset(target + copied, 0, size - copied);
    }
}

}  // namespace

FrameStorage::FrameStorage() = default;

void FrameStorage::setOptions(bool pixels, std::uint32_t events, std::uint32_t leftRaw,
                              std::uint32_t rightRaw, std::uint32_t fiducials, std::uint32_t markers) {
    // Allocate everything before touching the frame, so a failure leaves it as it was.
    auto header = m_imageHeader ? nullptr : std::make_unique<ftkImageInfo>();
    auto newLeftRaw = allocateZeroed<ftkRawDetection>(leftRaw);
    auto newRightRaw = allocateZeroed<ftkRawDetection>(rightRaw);
    auto newFiducials = allocateZeroed<ftkFiducial3D>(fiducials);
    auto newMarkers = allocateZeroed<ftkMarkerPose>(markers);

    if (header) {
        m_imageHeader = std::move(header);
    }
    m_leftRaw = std::move(newLeftRaw);
    m_rightRaw = std::move(newRightRaw);
    m_fiducials = std::move(newFiducials);
    m_markers = std::move(newMarkers);
    m_pixelsEnabled = pixels;
    if (!pixels) {
        m_leftPixels.reset();
        m_rightPixels.reset();
        m_pixelCapacity = 0;
    }

    m_leftRawCapacity = leftRaw;
    m_rightRawCapacity = rightRaw;
    m_fiducialsCapacity = fiducials;
    m_markersCapacity = markers;
    m_eventsCapacity = events;

    m_frame = ftkFrame{};
    restoreLayout();
    m_frame.imageHeaderStatus = FTK_PART_SKIPPED;
    m_frame.leftPixelsStatus = FTK_PART_SKIPPED;
    m_frame.rightPixelsStatus = FTK_PART_SKIPPED;
    m_frame.leftRawStatus = FTK_PART_SKIPPED;
    m_frame.rightRawStatus = FTK_PART_SKIPPED;
    m_frame.fiducialsStatus = FTK_PART_SKIPPED;
    m_frame.markersStatus = FTK_PART_SKIPPED;
}

void FrameStorage::restoreLayout() {
    m_frame.imageHeader = m_imageHeader.get();
    m_frame.leftPixels = m_leftPixels.get();
    m_frame.rightPixels = m_rightPixels.get();
    m_frame.leftRaw = m_leftRaw.get();
    m_frame.leftRawCapacity = m_leftRawCapacity;
    m_frame.rightRaw = m_rightRaw.get();
    m_frame.rightRawCapacity = m_rightRawCapacity;
    m_frame.fiducials = m_fiducials.get();
    m_frame.fiducialsCapacity = m_fiducialsCapacity;
    m_frame.markers = m_markers.get();
    m_frame.markersCapacity = m_markersCapacity;
    m_frame.eventsCapacity = m_eventsCapacity;
}

void FrameStorage::fill(const ScriptedFrame& source, std::uint32_t counter, std::uint64_t timestampUs) {
    // The layout comes from what was allocated, never from fields a caller may have changed.
    restoreLayout();
    const std::uint32_t leftCapacity = m_leftRawCapacity;
    const std::uint32_t rightCapacity = m_rightRawCapacity;
    const std::uint32_t fiducialCapacity = m_fiducialsCapacity;
    const std::uint32_t markerCapacity = m_markersCapacity;

    m_frame.leftRawCount = copyCut(source.leftRaw, m_leftRaw.get(), leftCapacity);
    m_frame.leftRawStatus = partStatus(FTK_PART_OK, source.leftRaw.size(), leftCapacity);
    m_frame.rightRawCount = copyCut(source.rightRaw, m_rightRaw.get(), rightCapacity);
    m_frame.rightRawStatus = partStatus(FTK_PART_OK, source.rightRaw.size(), rightCapacity);
    m_frame.fiducialsCount = copyCut(source.fiducials, m_fiducials.get(), fiducialCapacity);
    m_frame.fiducialsStatus = partStatus(FTK_PART_OK, source.fiducials.size(), fiducialCapacity);
    m_frame.markersCount = copyCut(source.markers, m_markers.get(), markerCapacity);
    m_frame.markersStatus = partStatus(source.markersStatus, source.markers.size(), markerCapacity);
    m_frame.eventsCount = 0;

    fillImages(source, counter, timestampUs);
}

void FrameStorage::invalidate() {
    restoreLayout();
    m_frame.leftRawCount = 0;
    m_frame.rightRawCount = 0;
    m_frame.fiducialsCount = 0;
    m_frame.markersCount = 0;
    m_frame.eventsCount = 0;
    if (m_imageHeader) {
        *m_imageHeader = ftkImageInfo{};
    }
    for (ftkPartStatus* status : {&m_frame.imageHeaderStatus, &m_frame.leftPixelsStatus,
                                  &m_frame.rightPixelsStatus, &m_frame.leftRawStatus, &m_frame.rightRawStatus,
                                  &m_frame.fiducialsStatus, &m_frame.markersStatus}) {
        *status = FTK_PART_INVALID;
    }
}

void FrameStorage::fillImages(const ScriptedFrame& source, std::uint32_t counter, std::uint64_t timestampUs) {
    const bool hasImages =
        source.width > 0 && source.height > 0 && !(source.leftPixels.empty() && source.rightPixels.empty());
    const bool deliver = m_pixelsEnabled && hasImages && m_imageHeader;

    if (m_imageHeader) {
        m_imageHeader->timestampUs = timestampUs;
        m_imageHeader->counter = counter;
        // The size names the pixel buffers, so it is only set when they hold that many bytes.
        m_imageHeader->width = deliver ? source.width : 0;
        m_imageHeader->height = deliver ? source.height : 0;
        m_frame.imageHeaderStatus = source.imageHeaderStatus;
    } else {
        m_frame.imageHeaderStatus = FTK_PART_SKIPPED;
    }

    if (!deliver) {
        // Never report valid pixels that are not there: a consumer would read width * height bytes.
        auto skipped = [](ftkPartStatus scripted) {
            return scripted == FTK_PART_OK ? FTK_PART_SKIPPED : scripted;
        };
        m_frame.leftPixelsStatus = skipped(source.leftPixelsStatus);
        m_frame.rightPixelsStatus = skipped(source.rightPixelsStatus);
        return;
    }

    const std::size_t size = static_cast<std::size_t>(source.width) * source.height;
    if (size > m_pixelCapacity) {
        auto left = std::make_unique<std::uint8_t[]>(size);
        auto right = std::make_unique<std::uint8_t[]>(size);
        m_leftPixels = std::move(left);
        m_rightPixels = std::move(right);
        m_pixelCapacity = size;
        restoreLayout();
    }
    copyPixels(source.leftPixels, m_leftPixels.get(), size);
    copyPixels(source.rightPixels, m_rightPixels.get(), size);
    m_frame.leftPixelsStatus = source.leftPixelsStatus;
    m_frame.rightPixelsStatus = source.rightPixelsStatus;
}

}  // namespace ftksim

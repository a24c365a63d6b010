#include "stream/FrameResults.h"

#include "stream/AtracsysTrackingStream.h"

#include <algorithm>

namespace Halvoren::SpryTrack::FrameResults {

namespace {

constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ull;

std::uint32_t clampedCount(const void* array, std::uint32_t count, std::uint32_t capacity) {
    return array == nullptr ? 0u : std::min(count, capacity);
}

const ftkRawDetection* rawAt(const ftkRawDetection* raw, std::uint32_t count, std::uint32_t index) {
    return index < count ? &raw[index] : nullptr;
}

}  // namespace

FrameView FrameView::of(const ftkFrame& frame) {
    FrameView view;
    view.markers = frame.markers;
    view.markerCount = clampedCount(frame.markers, frame.markersCount, frame.markersCapacity);
    view.fiducials = frame.fiducials;
    view.fiducialCount = clampedCount(frame.fiducials, frame.fiducialsCount, frame.fiducialsCapacity);
    view.leftRaw = frame.leftRaw;
    view.leftRawCount = clampedCount(frame.leftRaw, frame.leftRawCount, frame.leftRawCapacity);
    view.rightRaw = frame.rightRaw;
    view.rightRawCount = clampedCount(frame.rightRaw, frame.rightRawCount, frame.rightRawCapacity);
    return view;
}

std::uint64_t fnv1a64(std::string_view text) {
    std::uint64_t hash = kFnvOffsetBasis;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= kFnvPrime;
    }
    return hash;
}

std::vector<MarkerIdentity> markerIdentities(const FrameView& frame) {
    std::vector<MarkerIdentity> identities(frame.markerCount);
    for (std::uint32_t m = 0; m < frame.markerCount; ++m) {
        identities[m].instrumentId = instrumentIdOf(frame.markers[m].geometryId);
        identities[m].instrumentIdHash = fnv1a64(identities[m].instrumentId);
    }
    return identities;
}

void selectFiducials(const FrameView& frame, FiducialQueryMode mode, double maxDistance,
                     FiducialSelection& selection) {
    selection.indices.clear();
    selection.ownerMarkers.assign(frame.fiducialCount, -1);
    if (mode == AtracsysTrackingStreamBase::None) {
        return;
    }

    if (mode == AtracsysTrackingStreamBase::BelongingToMarker) {
        selection.indices.reserve(static_cast<std::size_t>(frame.markerCount) * FTK_MAX_GEOMETRY_FIDUCIALS);
    }
    for (std::uint32_t m = 0; m < frame.markerCount; ++m) {
        for (const std::uint32_t f : frame.markers[m].correspondences) {
            if (f >= frame.fiducialCount) {  // also "no correspondence"
                continue;
            }
            selection.ownerMarkers[f] = static_cast<std::int32_t>(m);
            if (mode == AtracsysTrackingStreamBase::BelongingToMarker) {
                selection.indices.push_back(f);
            }
        }
    }

    if (mode == AtracsysTrackingStreamBase::AllInMarkerVicinity) {
        selection.indices.reserve(frame.fiducialCount);
        const double maxSquared = maxDistance * maxDistance;
        for (std::uint32_t f = 0; f < frame.fiducialCount; ++f) {
            const ftkPoint3& p = frame.fiducials[f].position;
            for (std::uint32_t m = 0; m < frame.markerCount; ++m) {
                const float* t = frame.markers[m].translation;
                const double dx = static_cast<double>(p.x) - t[0];
                const double dy = static_cast<double>(p.y) - t[1];
                const double dz = static_cast<double>(p.z) - t[2];
                // A NaN distance compares false and is not selected.
                if (dx * dx + dy * dy + dz * dz <= maxSquared) {
                    selection.indices.push_back(f);
                    break;
                }
            }
        }
    } else if (mode == AtracsysTrackingStreamBase::All) {
        selection.indices.resize(frame.fiducialCount);
        for (std::uint32_t f = 0; f < frame.fiducialCount; ++f) {
            selection.indices[f] = f;
        }
    }
}

std::unique_ptr<TrackingInstrumentFiducialsData> buildFiducialsData(
    const FrameView& frame, const FiducialSelection& selection, const std::vector<MarkerIdentity>& markers) {
    // Instrument index per fiducial of the frame: the last marker listing it that has an instrument wins.
    std::vector<std::int32_t> instrumentIndices(frame.fiducialCount, -1);
    const std::uint32_t markerCount = std::min<std::uint32_t>(frame.markerCount, markers.size());
    for (std::uint32_t m = 0; m < markerCount; ++m) {
        if (markers[m].instrumentIndex < 0) {
            continue;
        }
        for (const std::uint32_t f : frame.markers[m].correspondences) {
            if (f < frame.fiducialCount) {
                instrumentIndices[f] = markers[m].instrumentIndex;
            }
        }
    }

    const std::uint64_t noOwnerHash = fnv1a64(std::string_view());
    auto data = std::make_unique<TrackingInstrumentFiducialsData>();
    const std::size_t n = selection.indices.size();
    data->resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t f = selection.indices[i];
        if (f >= frame.fiducialCount) {
            continue;  // not produced by selectFiducials; the entry keeps its zero values
        }
        const ftkFiducial3D& fiducial = frame.fiducials[f];
        data->positions[i] = Eigen::Vector3d(fiducial.position.x, fiducial.position.y, fiducial.position.z);
        data->probabilities[i] = fiducial.probability;
        data->epipolarErrors[i] = fiducial.epipolarError;
        data->triangulationErrors[i] = fiducial.triangulationError;
        const ftkRawDetection* left = rawAt(frame.leftRaw, frame.leftRawCount, fiducial.leftIndex);
        const ftkRawDetection* right = rawAt(frame.rightRaw, frame.rightRawCount, fiducial.rightIndex);
        data->leftPixelCounts[i] = left != nullptr ? left->pixelCount : 0u;
        data->rightPixelCounts[i] = right != nullptr ? right->pixelCount : 0u;

        const std::int32_t owner = f < selection.ownerMarkers.size() ? selection.ownerMarkers[f] : -1;
        data->instrumentIdHashes[i] = owner >= 0 && static_cast<std::size_t>(owner) < markers.size()
                                          ? markers[static_cast<std::size_t>(owner)].instrumentIdHash
                                          : noOwnerHash;
        data->instrumentIndices[i] = instrumentIndices[f];
    }
    return data;
}

double markerQuality(float registrationError) {
    // Written so that a NaN error gives 0; a (meaningless) negative error cannot exceed 1.
    const double quality = 1.0 - static_cast<double>(registrationError) / 10.0;
    return std::min(1.0, std::max(0.0, quality));
}

void writeMarkerPose(const ftkMarkerPose& marker, TrackingInstrument& instrument) {
    if (!instrument.active) {
        return;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            instrument.pose(r, c) = marker.rotation[r][c];
        }
        instrument.pose(r, 3) = marker.translation[r];
    }
    instrument.quality = markerQuality(marker.registrationError);
}

void appendFiducialDetections(const FrameView& frame, const std::vector<std::uint32_t>& selection,
                              AtracsysUpdate& update) {
    const std::size_t n = selection.size();
    update.left.fiducialCenters.reserve(update.left.fiducialCenters.size() + n);
    update.left.fiducialSizes.reserve(update.left.fiducialSizes.size() + n);
    update.right.fiducialCenters.reserve(update.right.fiducialCenters.size() + n);
    update.right.fiducialSizes.reserve(update.right.fiducialSizes.size() + n);

    auto append = [](const ftkRawDetection* raw, AtracsysTrackingStreamBase::CameraUpdate& camera) {
        if (raw != nullptr) {
            camera.fiducialCenters.emplace_back(raw->centerX, raw->centerY);
            camera.fiducialSizes.emplace_back(raw->width, raw->height);
        } else {
            camera.fiducialCenters.emplace_back(0.0, 0.0);
            camera.fiducialSizes.emplace_back(0.0, 0.0);
        }
    };
    for (const std::uint32_t f : selection) {
        const ftkFiducial3D* fiducial = f < frame.fiducialCount ? &frame.fiducials[f] : nullptr;
        append(fiducial != nullptr ? rawAt(frame.leftRaw, frame.leftRawCount, fiducial->leftIndex) : nullptr,
               update.left);
        append(
            fiducial != nullptr ? rawAt(frame.rightRaw, frame.rightRawCount, fiducial->rightIndex) : nullptr,
            update.right);
    }
}

}  // namespace Halvoren::SpryTrack::FrameResults

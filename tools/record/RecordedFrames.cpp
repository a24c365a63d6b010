#include "record/RecordedFrames.h"

#include "health/FrameAccounting.h"
#include "host/TrackingStream.h"

#include <algorithm>

namespace Halvoren::Record {

namespace {

const TrackingInstrument* instrumentOf(const std::vector<TrackingInstrument>& instruments,
                                       const std::string& id) {
    for (const TrackingInstrument& instrument : instruments) {
        if (instrument.id.ID == id) {
            return &instrument;
        }
    }
    return nullptr;
}

// The marker of the frame's instrument at `index`; -1 when it has none.
std::int32_t markerIndexOf(std::int32_t index, const std::vector<TrackingInstrument>& instruments,
                           const std::vector<RecordedMarker>& markers) {
    if (index < 0 || static_cast<std::size_t>(index) >= instruments.size()) {
        return -1;
    }
    const std::string& id = instruments[static_cast<std::size_t>(index)].id.ID;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        if (markers[k].id == id) {
            return static_cast<std::int32_t>(k);
        }
    }
    return -1;
}

RecordedPose poseOf(const TrackingInstrument* instrument, const TrackingRegistrationData* registration,
                    double minQuality) {
    RecordedPose pose;
    if (instrument == nullptr) {
        return pose;
    }
    for (int row = 0; row < 4; ++row) {
        for (int column = 0; column < 4; ++column) {
            pose.transform[static_cast<std::size_t>(4 * row + column)] = instrument->pose(row, column);
        }
    }
    pose.quality = instrument->quality;
    pose.statusOk = Health::passesGate(*instrument, minQuality);
    if (registration != nullptr) {
        const auto error = registration->errorsMm.find(instrument->id.ID);
        if (error != registration->errorsMm.end()) {
            pose.registrationErrorMm = error->second;
        }
    }
    return pose;
}

void addFiducials(const TrackingInstrumentFiducialsData& fiducials,
                  const std::vector<TrackingInstrument>& instruments,
                  const std::vector<RecordedMarker>& markers, std::vector<RecordedFiducial>& recorded) {
    // The arrays are parallel; a short one must not be read past its end.
    const std::size_t n = std::min({fiducials.positions.size(), fiducials.instrumentIndices.size(),
                                    fiducials.probabilities.size(), fiducials.epipolarErrors.size(),
                                    fiducials.triangulationErrors.size(), fiducials.leftPixelCounts.size(),
                                    fiducials.rightPixelCounts.size()});
    recorded.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        RecordedFiducial& fiducial = recorded[i];
        fiducial.x = fiducials.positions[i].x();
        fiducial.y = fiducials.positions[i].y();
        fiducial.z = fiducials.positions[i].z();
        fiducial.probability = fiducials.probabilities[i];
        fiducial.epipolarError = fiducials.epipolarErrors[i];
        fiducial.triangulationError = fiducials.triangulationErrors[i];
        fiducial.leftPixelCount = fiducials.leftPixelCounts[i];
        fiducial.rightPixelCount = fiducials.rightPixelCounts[i];
        fiducial.markerIndex = markerIndexOf(fiducials.instrumentIndices[i], instruments, markers);
    }
}

}  // namespace

RecordedFrame recordedFrameOf(const TrackingStreamData& data, const std::vector<RecordedMarker>& markers,
                              double minQuality) {
    RecordedFrame frame;
    if (const auto* info = data.components().get<TrackingFrameInfoData>()) {
        frame.frameNumber = info->counter;
        frame.exposureUs = info->exposureUs;
    }
    const std::vector<TrackingInstrument>& instruments = data.instruments();
    // Every instrument carries the frame's time stamp; without any, the data's own says it.
    frame.timestampMs = data.timestampDevice();
    if (!instruments.empty()) {
        frame.timestampMs = 0;
        for (const TrackingInstrument& instrument : instruments) {
            frame.timestampMs = std::max(frame.timestampMs, instrument.timestamp);
        }
    }
    const auto* registration = data.components().get<TrackingRegistrationData>();
    for (const RecordedMarker& marker : markers) {
        frame.poses.push_back(poseOf(instrumentOf(instruments, marker.id), registration, minQuality));
    }
    if (const auto* fiducials = data.components().get<TrackingInstrumentFiducialsData>()) {
        addFiducials(*fiducials, instruments, markers, frame.fiducials);
    }
    return frame;
}

std::vector<TrackingInstrument> instrumentsOf(const RecordedFrame& frame,
                                              const std::vector<RecordedMarker>& markers) {
    std::vector<TrackingInstrument> instruments;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        TrackingInstrument instrument;
        instrument.id = TrackerID(markers[k].id, "", markers[k].name);
        if (k < frame.poses.size()) {
            const RecordedPose& pose = frame.poses[k];
            for (int row = 0; row < 4; ++row) {
                for (int column = 0; column < 4; ++column) {
                    instrument.pose(row, column) = pose.transform[static_cast<std::size_t>(4 * row + column)];
                }
            }
            instrument.quality = pose.quality;
        }
        instrument.timestamp = frame.timestampMs;
        instruments.push_back(std::move(instrument));
    }
    return instruments;
}

std::vector<TrackingInstrument> seenInstrumentsOf(const RecordedFrame& frame,
                                                  const std::vector<RecordedMarker>& markers) {
    std::vector<TrackingInstrument> instruments = instrumentsOf(frame, markers);
    for (std::size_t k = 0; k < instruments.size(); ++k) {
        if (k >= frame.poses.size() || !frame.poses[k].statusOk) {
            instruments[k].quality = 0.0;
        }
    }
    return instruments;
}

}  // namespace Halvoren::Record

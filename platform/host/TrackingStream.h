#pragma once

#include "Data.h"
#include "Stream.h"
#include "TrackingInstrument.h"

#include <Eigen/Core>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren {

class SharedImage;

/// One frame of tracking data: a copy of every instrument.
class TrackingStreamData : public StreamData {
public:
    TrackingStreamData(const Stream* stream, std::vector<TrackingInstrument> instruments)
        : StreamData(stream), m_instruments(std::move(instruments)) {}
    const std::vector<TrackingInstrument>& instruments() const { return m_instruments; }

private:
    std::vector<TrackingInstrument> m_instruments;
};

/// Fiducials reported with a frame of tracking data, eight parallel arrays.
class TrackingInstrumentFiducialsData : public DataComponent<TrackingInstrumentFiducialsData> {
public:
    void resize(std::size_t n) {
        positions.resize(n);
        instrumentIndices.resize(n);
        instrumentIdHashes.resize(n);
        probabilities.resize(n);
        epipolarErrors.resize(n);
        triangulationErrors.resize(n);
        leftPixelCounts.resize(n);
        rightPixelCounts.resize(n);
    }
    std::size_t size() const { return positions.size(); }

    std::vector<Eigen::Vector3d> positions;
    std::vector<std::int32_t> instrumentIndices;
    std::vector<std::uint64_t> instrumentIdHashes;
    std::vector<double> probabilities;
    std::vector<double> epipolarErrors;
    std::vector<double> triangulationErrors;
    std::vector<std::uint32_t> leftPixelCounts;
    std::vector<std::uint32_t> rightPixelCounts;
};

/// Which camera frame a datum of tracking data comes from: the camera's frame counter and its time stamp
/// of the exposure (microseconds; on the camera's own clock, which for the simulated camera is the host's
/// system clock since the epoch). Gaps in the counter are frames the camera made that were not delivered.
class TrackingFrameInfoData : public DataComponent<TrackingFrameInfoData> {
public:
    TrackingFrameInfoData(std::uint32_t frameCounter, std::uint64_t exposureMicroseconds)
        : counter(frameCounter), exposureUs(exposureMicroseconds) {}

    std::uint32_t counter = 0;
    std::uint64_t exposureUs = 0;
};

/// The registration error (mm) the camera reported with each instrument's pose in a frame of tracking
/// data, keyed by instrument ID: only the instruments whose pose the frame wrote have one. The quality is
/// computed from it; a recording keeps it, so that a replay hands over what the camera said.
class TrackingRegistrationData : public DataComponent<TrackingRegistrationData> {
public:
    std::map<std::string, float> errorsMm;  // as the camera reported them: in single precision
};

/// The camera images a frame of tracking data was computed from, when the stream was asked for them:
/// shared with the stream's other users, not copied, so nobody may change their pixels.
class TrackingCameraImagesData : public DataComponent<TrackingCameraImagesData> {
public:
    TrackingCameraImagesData(std::shared_ptr<SharedImage> leftImage, std::shared_ptr<SharedImage> rightImage)
        : left(std::move(leftImage)), right(std::move(rightImage)) {}

    std::shared_ptr<SharedImage> left;
    std::shared_ptr<SharedImage> right;
};

/// A stream that delivers tracking data. It owns the instrument registry it reads from.
class TrackingStream : public Stream {
public:
    explicit TrackingStream(std::string name);
    ~TrackingStream() override;

    /// Replaces (and destroys) the registry held before. Control thread, while the stream is not running:
    /// the worker reads the registry without taking any lock of the stream.
    void setInstrumentsRegistry(std::unique_ptr<ThreadSafeInstrumentsBase> registry);
    /// Throws std::logic_error when no registry has been set.
    ThreadSafeInstrumentsBase& instrumentsRegistry() const;
    bool hasInstrumentsRegistry() const { return m_registry != nullptr; }
    /// Copies of every instrument; none without a registry.
    std::vector<TrackingInstrument> instruments() const;

    /// Tracking data with a copy of every instrument; its device time stamp is the newest instrument
    /// time stamp (the current time when there is none), its arrival time stamp the current time.
    std::shared_ptr<TrackingStreamData> createTrackingStreamData() const;
    /// Announces registry changes: emits signalInstrumentsChanged when any flag is set.
    void emitSignals(InstrumentModifications flags);

    SignalImpl<InstrumentModifications> signalInstrumentsChanged;

private:
    std::unique_ptr<ThreadSafeInstrumentsBase> m_registry;  // may be null until the owner sets one
};

}  // namespace Halvoren

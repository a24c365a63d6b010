#pragma once

#include "stream/StreamGroup.h"

#include "host/Image.h"
#include "host/OpticalTracking.h"
#include "host/Signal.h"
#include "host/TrackingStream.h"

#include <Eigen/Core>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Halvoren {

/// The abstract Atracsys stream: a tracking stream that is a stream group and an optical tracking
/// interface, with a per-frame update signal that carries the camera images.
class AtracsysTrackingStreamBase : public TrackingStream,
                                   public StreamGroup<AtracsysTrackingStreamBase>,
                                   public OpticalTrackingInterface {
public:
    enum FiducialQueryMode : std::int32_t {
        None = 0,
        BelongingToMarker = 1,
        AllInMarkerVicinity = 2,
        All = 3,
    };

    /// One camera's part of a frame with images.
    struct CameraUpdate {
        std::shared_ptr<SharedImage> image;
        std::vector<Eigen::Vector2d> fiducialCenters;  // pixels
        std::vector<Eigen::Vector2d> fiducialSizes;    // bounding box width and height, pixels
    };
    /// Per-frame record with both camera images and the reported fiducials' image positions.
    struct AtracsysUpdate {
        CameraUpdate left;
        CameraUpdate right;
    };

    explicit AtracsysTrackingStreamBase(const std::string& name);
    ~AtracsysTrackingStreamBase() override;

    /// Any thread, no lock.
    ThreadingMode threadingMode() const override { return WorkerThread; }

    // The stream's settings and markers; the implementing stream's header says which thread may call
    // each and which lock it takes.
    virtual int imageIntegrationTime() const = 0;
    virtual void setImageIntegrationTime(int value) = 0;
    virtual bool startAfterInit() const = 0;
    virtual void setStartAfterInit(bool value) = 0;
    virtual bool queryImages() const = 0;
    virtual void setQueryImages(bool value) = 0;
    virtual void setFiducialQueryMode(FiducialQueryMode mode) = 0;
    virtual FiducialQueryMode fiducialQueryMode() = 0;
    virtual void setMaxFiducialMarkerDistance(double distance) = 0;
    virtual double maxFiducialMarkerDistance() const = 0;
    virtual bool isInitialized() const = 0;
    virtual bool addGeometry(const std::string& name, const std::string& path) = 0;
    virtual std::vector<Eigen::Vector3d> geometryCoordinates(const std::string& id) = 0;

    /// Removes a marker's instrument and its geometry on the camera (removeTrackingMarker): the same
    /// thread and locks.
    bool removeGeometry(const std::string& name);

    /// Worker thread: emitted once per frame with valid images, with the record the stream keeps.
    SignalImpl<AtracsysUpdate&> signalAtracsysUpdate;
};

}  // namespace Halvoren

#pragma once

#include "geometry/AtracsysGeometry.h"
#include "geometry/ThreadSafeInstruments.h"
#include "sdk/AtracsysHelpers.h"
#include "stream/AtracsysTrackingStreamBase.h"

#include "ftk/ftk.h"
#include "host/Parameter.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Halvoren::SpryTrack {

/// "atracsys-" followed by the geometry id: the instrument ID of a marker.
std::string instrumentIdOf(std::uint32_t geometryId);

/// The one tracking stream of the process for an Atracsys camera: opens the camera through the driver,
/// registers marker geometries, and on its worker thread turns every frame into instrument poses,
/// fiducials and camera images.
class AtracsysTrackingStream : public AtracsysTrackingStreamBase {
public:
    /// The stream's driver session. `mutex` serialises every driver call of the stream; it is taken
    /// before the registry's lock whenever both are held.
    struct DriverConnection {
        ftkFrame* frame = nullptr;
        std::int32_t consecutiveErrors = 0;  // worker thread only
        std::set<std::int32_t> errorCodes;   // worker thread only
        std::mutex mutex;
        ftkLibrary library = nullptr;
        std::uint64_t serialNumber = 0;
        std::int8_t deviceType = 0;
        std::string deviceModel;
        AtracsysHelpers::OptionMap options;
    };

    /// Throws std::runtime_error while another instance exists.
    explicit AtracsysTrackingStream(const std::string& name = "Atracsys Tracking Stream");
    ~AtracsysTrackingStream() override;

    static bool exists();

    // Parameters and settings.
    int imageIntegrationTime() const override;
    void setImageIntegrationTime(int value) override;
    bool startAfterInit() const override;
    void setStartAfterInit(bool value) override;
    bool queryImages() const override;
    void setQueryImages(bool value) override;
    void setFiducialQueryMode(FiducialQueryMode mode) override;
    FiducialQueryMode fiducialQueryMode() override;
    void setMaxFiducialMarkerDistance(double distance) override;
    double maxFiducialMarkerDistance() const override;
    bool isInitialized() const override;

    void configure(const Properties* p) override;
    void configuration(Properties* p) const override;

    // Markers.
    bool addGeometry(const std::string& name, const std::string& path) override;
    std::vector<Eigen::Vector3d> geometryCoordinates(const std::string& id) override;
    Flags<Capabilities> capabilities() const override;
    using OpticalTrackingInterface::addTrackingMarker;
    std::string addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> marker) override;
    std::unique_ptr<OpticalTrackingMarker> trackingMarker(const std::string& id) const override;
    bool removeTrackingMarker(const std::string& id) override;

    /// The newest update record (worker thread writes it; read it only while the stream is not running).
    const AtracsysUpdate* lastUpdate() const { return m_lastUpdate.get(); }
    ThreadSafeInstruments<AtracsysGeometry>& registry() const { return *m_instrumentRegistry; }

protected:
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    /// Worker thread: one acquisition pass.
    std::optional<WorkContinuation> doWork() override;

    // Hooks for derived streams.
    virtual void configureDeviceOnOpen();
    virtual void processFrameCalibration() {}
    virtual bool processFrameImage(const std::string& type, AtracsysUpdate& update,
                                   std::shared_ptr<ImageStreamData>& left,
                                   std::shared_ptr<ImageStreamData>& right);
    virtual void postProcessFrame(const std::string& type) { (void)type; }
    virtual void configureSubstreams() {}

    /// Registers the geometry (ids below 1000 are raised by 1000 in the caller's record).
    bool addGeometryImpl(ftkGeometry& geometry, const std::string& name, const std::string& path);

    DriverConnection& driverConnection() { return *m_driver; }

private:
    // Caller holds the driver lock.
    void reportOpenError(const std::string& message);
    // Takes the driver lock.
    void reportFrameError(const std::string& message);

    // Acquisition stages (worker thread).
    struct FramePass;  // one pass's view of the frame and what the stages derived from it
    // Fetches the latest frame and classifies the driver's status. Returns the continuation when the pass
    // ends here; otherwise sets `frame` to the filled frame, whose contents are read without the lock.
    std::optional<WorkContinuation> fetchFrame(std::chrono::system_clock::time_point next,
                                               const ftkFrame*& frame);
    // False when the marker status makes the frame unusable: the frame is released and the stream closed.
    bool acceptMarkerStatus(std::int8_t status);
    // Builds, keeps and publishes the update record when the frame's images are valid.
    void processCameraImages(const ftkFrame& frame, const FramePass& pass,
                             std::shared_ptr<ImageStreamData>& left, std::shared_ptr<ImageStreamData>& right);
    // Resets every instrument, then writes each detected marker's pose.
    void updateInstruments(const FramePass& pass, std::uint64_t timestamp);
    // Hands the frame's tracking data (and image data, if the image hook supplied both) to the group.
    void emitFrameData(std::shared_ptr<TrackingStreamData> tracking, std::shared_ptr<ImageStreamData> left,
                       std::shared_ptr<ImageStreamData> right, std::uint64_t timestamp);

    Parameter<float> m_distanceMatchingTolerance;
    Parameter<FiducialQueryMode> m_fiducialQueryMode;
    Parameter<bool> m_queryImages;
    Parameter<double> m_maxFiducialMarkerDistance;
    Parameter<int> m_imageIntegrationTime;
    std::unique_ptr<DriverConnection> m_driver;
    ThreadSafeInstruments<AtracsysGeometry>* m_instrumentRegistry = nullptr;
    std::atomic<bool> m_startAfterInit{false};
    std::unique_ptr<AtracsysUpdate> m_lastUpdate;
    // Work queued to the main thread holds a weak reference to this token, so it does nothing once the
    // stream is gone.
    std::shared_ptr<int> m_lifetime = std::make_shared<int>(0);

    static std::atomic<AtracsysTrackingStream*> m_instance;
};

}  // namespace Halvoren::SpryTrack

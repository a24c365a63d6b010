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
    // (declared by the acquisition code)

    Parameter<float> m_distanceMatchingTolerance;
    Parameter<FiducialQueryMode> m_fiducialQueryMode;
    Parameter<bool> m_queryImages;
    Parameter<double> m_maxFiducialMarkerDistance;
    Parameter<int> m_imageIntegrationTime;
    std::unique_ptr<DriverConnection> m_driver;
    ThreadSafeInstruments<AtracsysGeometry>* m_instrumentRegistry = nullptr;
    std::atomic<bool> m_startAfterInit{false};
    std::unique_ptr<AtracsysUpdate> m_lastUpdate;

    static std::atomic<AtracsysTrackingStream*> m_instance;
};

}  // namespace Halvoren::SpryTrack

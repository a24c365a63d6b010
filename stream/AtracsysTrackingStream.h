#pragma once
// Lock order of the plug-in: the driver lock (DriverConnection::mutex) first, then the registry's lock.
// Code that holds the registry's lock (a registry callback) never takes the driver lock, and no signal is
// emitted while either is held. The notes below name, per operation, the calling thread and the locks.

#include "geometry/AtracsysGeometry.h"
#include "geometry/ThreadSafeInstruments.h"
#include "sdk/AtracsysHelpers.h"
#include "sdk/DriverConnection.h"
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

/// Test access to the private state; defined by the tests only.
struct AtracsysTrackingStreamTestAccess;

/// The one tracking stream of the process for an Atracsys camera: opens the camera through the driver,
/// registers marker geometries, and on its worker thread turns every frame into instrument poses,
/// fiducials and camera images.
class AtracsysTrackingStream : public AtracsysTrackingStreamBase {
public:
    /// The stream's driver session (the driver lock and what it guards).
    using DriverConnection = SpryTrack::DriverConnection;

    /// Control thread. Throws std::runtime_error while another instance exists.
    explicit AtracsysTrackingStream(const std::string& name = "Atracsys Tracking Stream");
    /// Control thread: closes the device (driver lock), then releases everything.
    ~AtracsysTrackingStream() override;

    /// Any thread, no lock.
    static bool exists();

    // Parameters and settings. Control or main thread; the parameter accessors take only the
    // parameter's own lock.
    /// Reads the device under the driver lock; -1 when it cannot be read.
    int imageIntegrationTime() const override;
    /// Writes the device under the driver lock; the parameter takes the value (and announces it, after
    /// the lock is released) only when the device accepted it.
    void setImageIntegrationTime(int value) override;
    bool startAfterInit() const override;
    void setStartAfterInit(bool value) override;
    bool queryImages() const override;
    void setQueryImages(bool value) override;
    void setFiducialQueryMode(FiducialQueryMode mode) override;
    FiducialQueryMode fiducialQueryMode() override;
    void setMaxFiducialMarkerDistance(double distance) override;
    double maxFiducialMarkerDistance() const override;
    /// Any thread: reads the host state.
    bool isInitialized() const override;

    /// Main thread. Device writes take the driver lock; the targets are registered as addGeometry does.
    void configure(const Properties* p) override;
    /// Main thread. The targets are one snapshot taken under the registry's lock.
    void configuration(Properties* p) const override;

    // Markers. Control thread. Registration and removal hold the driver lock, then the registry's, around
    // the device call and the registry change; the change signals follow after both are released.
    bool addGeometry(const std::string& name, const std::string& path) override;
    /// Registry lock only.
    std::vector<Eigen::Vector3d> geometryCoordinates(const std::string& id) override;
    /// Any thread, no lock.
    Flags<Capabilities> capabilities() const override;
    using OpticalTrackingInterface::addTrackingMarker;
    std::string addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> marker) override;
    /// Registry lock only (two snapshots).
    std::unique_ptr<OpticalTrackingMarker> trackingMarker(const std::string& id) const override;
    /// Only a registered marker's ID is accepted. The camera is asked to forget the geometry only when it
    /// holds it; a pending marker is just unregistered.
    bool removeTrackingMarker(const std::string& id) override;

protected:
    // Control thread. Each holds the driver lock around its driver calls; open releases it before it
    // reads and writes the integration time, close and start take the registry's lock under it.
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    /// Worker thread: one acquisition pass. The driver lock around the frame fetch, the registry's lock
    /// per registry call; the data are emitted with neither held.
    std::optional<WorkContinuation> doWork() override;

    // Hooks for derived streams.
    /// Control thread, driver lock held: must not call the integration-time accessors.
    virtual void configureDeviceOnOpen();
    /// Worker thread, no lock held (as are the two hooks below).
    virtual void processFrameCalibration() {}
    virtual bool processFrameImage(const std::string& type, AtracsysUpdate& update,
                                   std::shared_ptr<ImageStreamData>& left,
                                   std::shared_ptr<ImageStreamData>& right);
    virtual void postProcessFrame(const std::string& type) { (void)type; }
    /// Control thread, no lock held: after the camera substreams were created on open.
    virtual void configureSubstreams() {}

    /// Control thread. Registers the geometry (ids below the first free id are raised by it in the
    /// caller's record). Takes the driver lock, then the registry's; emits after releasing both.
    bool addGeometryImpl(ftkGeometry& geometry, const std::string& name, const std::string& path);
    /// Control thread: the file registration behind addTrackingMarker(name, path). The instrument ID, or
    /// the empty text when the file cannot be read (the reader says why) or the id is taken.
    std::string addTrackingMarkerFromFile(const std::string& name, const std::string& path) override;

private:
    // The steps of openImpl(), control thread.
    /// The camera image substreams made or removed as the images are queried.
    void prepareImageSubstreams();
    /// Under the driver lock: the driver, the device, its options and the frame buffer.
    bool connectDevice();
    /// Driver lock held: the SpryTrack's own options (no onboard processing, images as queried).
    void configureSpryTrack();
    /// No lock held: the integration time asked for, and the device's value shown.
    void applyIntegrationTime();
    friend struct AtracsysTrackingStreamTestAccess;

    /// Main thread, device open: configure's parameter step; the integration time goes to the device.
    void configureOpenDevice(const Properties* p);
    /// Control thread: reads and registers the file; the instrument ID, or nothing.
    std::optional<std::string> registerGeometryFile(const std::string& name, const std::string& path);

    // Caller holds the driver lock. Creates the frame and reserves its entries; on failure reports why
    // and leaves no frame.
    bool createFrame();
    // Caller holds the driver lock.
    void reportOpenError(const std::string& message);
    // Takes the driver lock.
    void reportFrameError(const std::string& message);

    // Acquisition stages (worker thread).
    struct FramePass;  // one pass's view of the frame and what the stages derived from it
    // Fetches the latest frame and classifies the driver's status. Returns the continuation when the pass
    // ends here; otherwise sets `frame` to the filled frame, whose contents are read without the lock.
    // A frame released by an internal error is created again first; when that fails the stream closes.
    std::optional<WorkContinuation> fetchFrame(std::chrono::system_clock::time_point next,
                                               const ftkFrame*& frame);
    // False when the marker status makes the frame unusable: the frame is released and the stream closed.
    bool acceptMarkerStatus(std::int8_t status);
    // Builds, keeps and publishes the update record when the frame's images are valid; then `images`
    // shares the record's images for the frame's tracking data.
    void processCameraImages(const ftkFrame& frame, const FramePass& pass,
                             std::shared_ptr<ImageStreamData>& left, std::shared_ptr<ImageStreamData>& right,
                             std::unique_ptr<TrackingCameraImagesData>& images);
    // Resets every instrument, then writes each detected marker's pose. Returns the registration error
    // the camera reported for each instrument it wrote.
    std::unique_ptr<TrackingRegistrationData> updateInstruments(const FramePass& pass,
                                                                std::uint64_t timestamp);
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

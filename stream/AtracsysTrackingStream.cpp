#include "stream/AtracsysTrackingStream.h"

#include "stream/Substream.h"

#include "host/Log.h"
#include "host/Utilities.h"

#include <QCoreApplication>

#include <stdexcept>

namespace Halvoren::SpryTrack {

namespace {
const char* const kCategory = "AtracsysTrackingStream";
const char* const kImagePattern = "IIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIIII";  // 54 letters
constexpr std::uint32_t kOptionOnboardProcessing = 6000;
constexpr std::uint32_t kOptionSendImages = 6003;

// Entries the frame reserves: events, left and right raw detections, 3-D fiducials, markers.
constexpr std::uint32_t kFrameEvents = 20;
constexpr std::uint32_t kFrameRawData = 128;
constexpr std::uint32_t kFrameFiducials = 256;
constexpr std::uint32_t kFrameMarkers = 16;

bool isSpryTrack(const std::string& model) {
    return model == "sTk 180" || model == "sTk 300";
}
}  // namespace

std::atomic<AtracsysTrackingStream*> AtracsysTrackingStream::m_instance{nullptr};

AtracsysTrackingStream::AtracsysTrackingStream(const std::string& name)
    : AtracsysTrackingStreamBase(name),
      m_distanceMatchingTolerance("Distance matching tolerance", 1.0f, this),
      m_fiducialQueryMode("fiducialQueryMode", None, this),
      m_queryImages("queryImages", false, this),
      m_maxFiducialMarkerDistance("maxFiducialMarkerDistance", 100.0, this),
      m_imageIntegrationTime("imageIntegrationTime", 0, this),
      m_driver(std::make_unique<DriverConnection>()) {
    auto registry = std::make_unique<ThreadSafeInstruments<AtracsysGeometry>>();
    m_instrumentRegistry = registry.get();
    setInstrumentsRegistry(std::move(registry));

    AtracsysTrackingStream* expected = nullptr;
    if (!m_instance.compare_exchange_strong(expected, this)) {
        throw std::runtime_error(
            "Can not create a second instance of AtracsysTrackingStream. Only a single instance is allowed.");
    }
    m_fiducialQueryMode.setType(8);
    m_fiducialQueryMode.setAttribute("values", "None,Belonging to marker,All in marker vicinity,All");
    m_imageIntegrationTime.setAttribute("min", "0");
    m_imageIntegrationTime.setAttribute("max", "200");
    m_imageIntegrationTime.setAttribute("specialValue", "auto");
}

AtracsysTrackingStream::~AtracsysTrackingStream() {
    close();
    m_instance.store(nullptr);
}

bool AtracsysTrackingStream::exists() {
    return m_instance.load() != nullptr;
}

int AtracsysTrackingStream::imageIntegrationTime() const {
    std::lock_guard<std::mutex> lock(m_driver->mutex);
    int result = -1;
    AtracsysHelpers::readImageIntegrationTime(m_driver->library, m_driver->serialNumber, result);
    return result;
}

void AtracsysTrackingStream::setImageIntegrationTime(int value) {
    {
        std::lock_guard<std::mutex> lock(m_driver->mutex);
        if (!AtracsysHelpers::writeImageIntegrationTime(m_driver->library, m_driver->serialNumber, value)) {
            return;
        }
    }
    // Stored after the driver lock is released: a receiver of the change signal may read the device, and
    // the lock is not recursive.
    m_imageIntegrationTime.setValue(value);
}

bool AtracsysTrackingStream::startAfterInit() const {
    return m_startAfterInit.load();
}

void AtracsysTrackingStream::setStartAfterInit(bool value) {
    m_startAfterInit.store(value);
}

bool AtracsysTrackingStream::queryImages() const {
    return m_queryImages.value();
}

void AtracsysTrackingStream::setQueryImages(bool value) {
    m_queryImages.setValue(value);
}

void AtracsysTrackingStream::setFiducialQueryMode(FiducialQueryMode mode) {
    m_fiducialQueryMode.setValue(mode);
}

AtracsysTrackingStreamBase::FiducialQueryMode AtracsysTrackingStream::fiducialQueryMode() {
    return m_fiducialQueryMode.value();
}

void AtracsysTrackingStream::setMaxFiducialMarkerDistance(double distance) {
    m_maxFiducialMarkerDistance.setValue(distance);
}

double AtracsysTrackingStream::maxFiducialMarkerDistance() const {
    return m_maxFiducialMarkerDistance.value();
}

bool AtracsysTrackingStream::isInitialized() const {
    return !isStateOneOf({Closed, Closing, Opening});
}

Flags<OpticalTrackingInterface::Capabilities> AtracsysTrackingStream::capabilities() const {
    return Flags<Capabilities>(Capabilities::AddMarkerFromFile) |
           Flags<Capabilities>(Capabilities::AddMarkerFromDescription);
}

bool AtracsysTrackingStream::openImpl() {
    try {
        prepareImageSubstreams();
        if (!connectDevice()) {
            return false;
        }
        // The integration-time accessors take the driver lock themselves.
        applyIntegrationTime();
        return true;
    } catch (...) {
        HALVOREN_LOG(Log::Error, kCategory, "Cannot initialize and connect Atracsys tracking system");
        return false;
    }
}

void AtracsysTrackingStream::prepareImageSubstreams() {
    if (!m_queryImages.value()) {
        for (Stream* substream : substreams()) {
            removeSubstream(substream);
        }
        return;
    }
    for (std::size_t i = substreams().size(); i <= 1; ++i) {
        addSubstream(
            std::make_unique<Substream<ImageStream>>(*this, i == 0 ? "Camera (left)" : "Camera (right)"));
    }
    configureSubstreams();
}

bool AtracsysTrackingStream::connectDevice() {
    std::lock_guard<std::mutex> lock(m_driver->mutex);
    DriverConnection& d = *m_driver;
    d.library = ftkInit();
    if (d.library == nullptr) {
        HALVOREN_LOG(Log::Error, kCategory, "Cannot initialize Atracsys tracking driver");
        return false;
    }
    const AtracsysHelpers::DeviceInfo device = AtracsysHelpers::enumerateDevices(d.library, true, false);
    d.serialNumber = device.serialNumber;
    d.deviceType = device.deviceType;
    d.deviceModel = device.deviceModel;
    if (d.serialNumber == 0) {
        return false;
    }
    d.options = AtracsysHelpers::enumerateOptions(d.library, d.serialNumber);
    AtracsysHelpers::setOptionFloat32(d.library, d.serialNumber, d.options,
                                      m_distanceMatchingTolerance.name(),
                                      m_distanceMatchingTolerance.value());
    configureDeviceOnOpen();
    if (isSpryTrack(d.deviceModel)) {
        configureSpryTrack();
    }
    return createFrame();
}

void AtracsysTrackingStream::configureSpryTrack() {
    DriverConnection& d = *m_driver;
    if (ftkSetInt32(d.library, d.serialNumber, kOptionOnboardProcessing, 1) == FTK_OK) {
        HALVOREN_LOG(Log::Info, kCategory, "Onboard processing disabled.");
    } else {
        HALVOREN_LOG(Log::Error, kCategory, "Onboard processing could not be disabled.");
    }
    const bool images = m_queryImages.value();
    if (ftkSetInt32(d.library, d.serialNumber, kOptionSendImages, images ? 1 : 0) == FTK_OK) {
        HALVOREN_LOG(Log::Info, kCategory,
                     (images ? "Enabled" : "Disabled") << " sending images on the SpryTrack.");
    } else {
        HALVOREN_LOG(Log::Error, kCategory,
                     "Could not " << (images ? "enable" : "disable") << " images on the SpryTrack.");
    }
}

void AtracsysTrackingStream::applyIntegrationTime() {
    const int requested = m_imageIntegrationTime.value();
    if (requested > 0) {
        setImageIntegrationTime(requested);
    }
    const int actual = imageIntegrationTime();
    const int shown = m_imageIntegrationTime.value();
    if (actual < 1 || actual == shown) {
        return;
    }
    std::weak_ptr<int> alive = m_lifetime;
    // The work runs later: a value set meanwhile (restored settings, the user) is newer than ours.
    auto apply = [this, alive, actual, shown] {
        if (alive.lock() && m_imageIntegrationTime.value() == shown) {
            m_imageIntegrationTime.setValue(actual);
        }
    };
    if (QCoreApplication::instance() != nullptr) {
        QtHelpers::runOnMainThread(apply, 0);
    } else {
        apply();
    }
}

void AtracsysTrackingStream::configureDeviceOnOpen() {
    DriverConnection& d = *m_driver;
    if (d.deviceModel != "sTk 300") {
        return;
    }
    // The pattern is fixed: detail for one who looks into the device, not news for every run.
    HALVOREN_LOG(Log::Debug, "", "AtracsysTracking: Image pattern set: " << kImagePattern);
    AtracsysHelpers::setOptionData(d.library, d.serialNumber, d.options, "Image Scheduler Pattern",
                                   kImagePattern);
}

bool AtracsysTrackingStream::createFrame() {
    DriverConnection& d = *m_driver;
    d.frame = ftkCreateFrame();
    if (d.frame == nullptr) {
        reportOpenError("Cannot create frame instance.");
        return false;
    }
    if (ftkSetFrameOptions(true, kFrameEvents, kFrameRawData, kFrameRawData, kFrameFiducials, kFrameMarkers,
                           d.frame) != FTK_OK) {
        reportOpenError("Cannot set frame options.");
        return false;
    }
    return true;
}

void AtracsysTrackingStream::reportOpenError(const std::string& message) {
    DriverConnection& d = *m_driver;
    if (d.frame != nullptr) {
        ftkDeleteFrame(d.frame);
        d.frame = nullptr;
    }
    HALVOREN_LOG(Log::Error, "", "AtracsysTrackingStream: " << message);
    AtracsysHelpers::logDriverError(d.library);
}

bool AtracsysTrackingStream::startImpl() {
    const auto geometries = m_instrumentRegistry->specialObjects();
    for (const auto& [id, snapshot] : geometries) {
        if (!snapshot || snapshot->registered) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_driver->mutex);
        // Looked up again under the driver lock: the marker may have been removed since the snapshot.
        const std::unique_ptr<AtracsysGeometry> geometry = m_instrumentRegistry->specialObject(id);
        if (!geometry || geometry->registered) {
            continue;
        }
        ftkGeometry record = geometry->geometry;
        if (ftkSetGeometry(m_driver->library, m_driver->serialNumber, &record) == FTK_OK) {
            m_instrumentRegistry->modify(
                id, [](const std::string&, AtracsysGeometry& g) { g.registered = true; });
        } else {
            HALVOREN_LOG(Log::Error, kCategory,
                         "Cannot set geometry loaded from " << geometry->path << " to tracking system");
        }
    }
    return true;
}

bool AtracsysTrackingStream::stopImpl() {
    return true;
}

bool AtracsysTrackingStream::closeImpl() {
    {
        std::lock_guard<std::mutex> lock(m_driver->mutex);
        DriverConnection& d = *m_driver;
        if (d.frame != nullptr) {
            ftkDeleteFrame(d.frame);
            d.frame = nullptr;
        }
        if (ftkClose(&d.library) != FTK_OK) {
            HALVOREN_LOG(Log::Error, kCategory, "Cannot close Atracsys tracking library");
            return false;
        }
        // Under the same lock: a removal never sees a geometry marked as on a camera that is gone.
        m_instrumentRegistry->modifyAll(
            [](const std::string&, AtracsysGeometry& g) { g.registered = false; });
    }
    return true;
}

}  // namespace Halvoren::SpryTrack

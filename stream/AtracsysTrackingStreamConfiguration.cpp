// Saving and restoring the stream's settings: parameters, "connect" and the tracking targets.
#include "stream/AtracsysTrackingStream.h"

#include "host/Utilities.h"

#include <cmath>

namespace Halvoren::SpryTrack {

namespace {
/// Any difference, including to or from a non-number.
bool differs(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) != std::isnan(b);
    }
    return a != b;
}
}  // namespace

void AtracsysTrackingStream::configuration(Properties* p) const {
    if (p == nullptr) {
        return;
    }
    Configurable::configuration(p);
    if (!isStateOneOf({Closed})) {
        // Whether images are queried changes only with a new open.
        p->setParamAttributes(m_queryImages.name(), {{"readOnly", "true"}});
    }
    p->setParam("connect", isStateOneOf({Starting, Running}));
    p->setParamAttributes("connect", {{"hidden", "true"}});

    Properties* targets = p->addSubProperties("TrackingTargets");
    targets->setAttributes({{"hidden", "true"}});
    const std::vector<TrackingInstrument> instruments = m_instrumentRegistry->instruments();
    const auto geometries = m_instrumentRegistry->specialObjects();
    for (const TrackingInstrument& instrument : instruments) {
        const auto found = geometries.find(instrument.id.ID);
        const std::string path =
            found != geometries.end() && found->second ? found->second->path : std::string();
        targets->addSubProperties(instrument.id.name)->setParam("Path", path);
    }
}

void AtracsysTrackingStream::configure(const Properties* p) {
    if (p == nullptr) {
        return;
    }
    const int oldIntegrationTime = m_imageIntegrationTime.value();
    const float oldTolerance = m_distanceMatchingTolerance.value();
    Configurable::configure(p);

    if (!isStateOneOf({Closed})) {
        const int integrationTime = m_imageIntegrationTime.value();
        if (integrationTime != oldIntegrationTime && integrationTime >= 1) {
            bool written = false;
            {
                std::lock_guard<std::mutex> lock(m_driver->mutex);
                written = AtracsysHelpers::writeImageIntegrationTime(m_driver->library,
                                                                     m_driver->serialNumber, integrationTime);
            }
            // A value the device refused is not kept.
            if (!written) {
                m_imageIntegrationTime.setValue(oldIntegrationTime);
            }
        }
        if (differs(m_distanceMatchingTolerance.value(), oldTolerance)) {
            std::lock_guard<std::mutex> lock(m_driver->mutex);
            AtracsysHelpers::setOptionFloat32(m_driver->library, m_driver->serialNumber, m_driver->options,
                                              m_distanceMatchingTolerance.name(),
                                              m_distanceMatchingTolerance.value());
        }
    }

    bool connect = false;
    if (p->param("connect", connect)) {
        setStartAfterInit(connect);
    }

    const Properties* targets = p->subProperties("TrackingTargets");
    if (targets == nullptr) {
        return;
    }
    for (const Properties* target : targets->subProperties()) {
        std::string path;
        if (!target->param("Path", path) || path.empty()) {
            continue;
        }
        if (path.rfind(":/", 0) != 0) {
            Filesystem::Path file(path);
            if (file.exists() && file.isRelative()) {
                path = file.makeAbsolute().string();
            }
        }
        addGeometry(target->name(), path);
    }
}

}  // namespace Halvoren::SpryTrack

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
    // One snapshot: a marker added or removed meanwhile is either saved with its path or not at all.
    for (const auto& [instrument, geometry] : m_instrumentRegistry->instrumentsWithSpecialObjects()) {
        targets->addSubProperties(instrument.id.name)
            ->setParam("Path", geometry ? geometry->path : std::string());
    }
}

void AtracsysTrackingStream::configureOpenDevice(const Properties* p) {
    // The integration time of an open device changes only through setImageIntegrationTime, so that a
    // derived stream sees it and the parameter never shows, nor announces, a value the device refused. The
    // other parameters read themselves from a tree without it; a stand-in parameter reads it by the same
    // rules.
    const std::string& name = m_imageIntegrationTime.name();
    Properties others(*p);
    others.removeParam(name);
    for (const std::string& older : m_imageIntegrationTime.alternativeNames()) {
        others.removeParam(older);
    }
    Configurable::configure(&others);

    const int current = m_imageIntegrationTime.value();
    Parameter<int> requested(name, current, nullptr, m_imageIntegrationTime.alternativeNames());
    requested.setType(m_imageIntegrationTime.type());
    for (const auto& [key, value] : m_imageIntegrationTime.attributes()) {
        requested.setAttribute(key, value);
    }
    requested.configure(p);
    const int value = requested.value();
    if (value == current) {
        return;
    }
    if (value >= 1) {
        setImageIntegrationTime(value);
    } else {
        // "auto" is not sent: the device keeps its time.
        m_imageIntegrationTime.setValue(value);
    }
}

void AtracsysTrackingStream::configure(const Properties* p) {
    if (p == nullptr) {
        return;
    }
    const float oldTolerance = m_distanceMatchingTolerance.value();
    if (isStateOneOf({Closed})) {
        // Only stored; the next open applies them.
        Configurable::configure(p);
    } else {
        configureOpenDevice(p);
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

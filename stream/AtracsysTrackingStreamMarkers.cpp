// The stream's marker operations: each hands its work to the registration functions of geometry/ and
// announces the registry's changes once every lock is released.
#include "stream/AtracsysTrackingStream.h"

#include "geometry/GeometryFile.h"
#include "geometry/MarkerRegistration.h"

#include "host/Log.h"

namespace Halvoren::SpryTrack {

bool AtracsysTrackingStream::addGeometry(const std::string& name, const std::string& path) {
    return registerGeometryFile(name, path).has_value();
}

std::string AtracsysTrackingStream::addTrackingMarkerFromFile(const std::string& name,
                                                              const std::string& path) {
    return registerGeometryFile(name, path).value_or(std::string());
}

std::optional<std::string> AtracsysTrackingStream::registerGeometryFile(const std::string& name,
                                                                        const std::string& path) {
    std::optional<ftkGeometry> geometry = readGeometryFile(path);
    if (!geometry) {
        HALVOREN_LOG(Log::Error, "AtracsysTrackingStream", "Cannot load geometry from file " << path);
        return std::nullopt;
    }
    if (!addGeometryImpl(*geometry, name, path)) {
        return std::nullopt;
    }
    // The id as registered, after a reserved id was raised.
    return instrumentIdOf(geometry->geometryId);
}

bool AtracsysTrackingStream::addGeometryImpl(ftkGeometry& geometry, const std::string& name,
                                             const std::string& path) {
    const InstrumentModifications changes =
        registerGeometry(*m_driver, *m_instrumentRegistry, geometry, name, path);
    emitSignals(changes);
    return changes.test(InstrumentModification::InstrumentsChanged);
}

std::string AtracsysTrackingStream::addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> marker) {
    if (!marker) {
        return {};
    }
    std::optional<ftkGeometry> geometry = geometryOfMarker(*marker, *m_instrumentRegistry);
    if (!geometry || !addGeometryImpl(*geometry, marker->name, std::string())) {
        return {};
    }
    return instrumentIdOf(geometry->geometryId);
}

std::unique_ptr<OpticalTrackingMarker> AtracsysTrackingStream::trackingMarker(const std::string& id) const {
    return markerOfGeometry(*m_instrumentRegistry, id);
}

bool AtracsysTrackingStream::removeTrackingMarker(const std::string& id) {
    InstrumentModifications changes;
    if (!unregisterGeometry(*m_driver, *m_instrumentRegistry, id, changes)) {
        return false;
    }
    emitSignals(changes);
    return true;
}

std::vector<Eigen::Vector3d> AtracsysTrackingStream::geometryCoordinates(const std::string& id) {
    return fiducialCoordinates(*m_instrumentRegistry, id);
}

}  // namespace Halvoren::SpryTrack

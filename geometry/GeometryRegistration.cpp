// Registration of marker geometries with the camera and the instrument registry.
#include "geometry/GeometryFile.h"
#include "stream/AtracsysTrackingStream.h"

#include "host/Log.h"

namespace Halvoren::SpryTrack {

namespace {
const char* const kCategory = "AtracsysTrackingStream";
}  // namespace

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
        HALVOREN_LOG(Log::Error, kCategory, "Cannot load geometry from file " << path);
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
    if (geometry.geometryId < kFirstFreeGeometryId) {
        const std::uint32_t oldId = geometry.geometryId;
        HALVOREN_LOG(Log::Error, kCategory,
                     "INI marker files with ids < "
                         << kFirstFreeGeometryId
                         << " are not supported with this Atracsys SDK version. Values 0 to "
                         << kFirstFreeGeometryId << " are reserved");
        HALVOREN_LOG(Log::Warning, kCategory,
                     "INI marker id is changed from " << oldId << " to " << oldId + kFirstFreeGeometryId);
        geometry.geometryId = oldId + kFirstFreeGeometryId;
    }

    InstrumentModifications flags;
    {
        std::lock_guard<std::mutex> lock(m_driver->mutex);
        const std::string id = instrumentIdOf(geometry.geometryId);
        if (m_instrumentRegistry->instrument(id)) {
            return false;
        }
        bool registered = false;
        if (m_driver->library != nullptr) {
            registered = ftkSetGeometry(m_driver->library, m_driver->serialNumber, &geometry) == FTK_OK;
        }
        flags = m_instrumentRegistry->create(
            TrackerID(id, "", name), std::make_unique<AtracsysGeometry>(path, geometry, registered), true);
    }
    emitSignals(flags);
    return flags.test(InstrumentModification::InstrumentsChanged);
}

}  // namespace Halvoren::SpryTrack

// Registration of marker geometries with the camera and the instrument registry.
#include "geometry/GeometryFile.h"
#include "stream/AtracsysTrackingStream.h"

#include "host/Log.h"

namespace Halvoren::SpryTrack {

namespace {
const char* const kCategory = "AtracsysTrackingStream";
constexpr std::uint32_t kFirstFreeGeometryId = 1000;
}  // namespace

std::string instrumentIdOf(std::uint32_t geometryId) {
    return "atracsys-" + std::to_string(geometryId);
}

bool AtracsysTrackingStream::addGeometry(const std::string& name, const std::string& path) {
    std::optional<ftkGeometry> geometry = readGeometryFile(path);
    if (!geometry) {
        HALVOREN_LOG(Log::Error, kCategory, "Cannot load geometry from file " << path);
        return false;
    }
    return addGeometryImpl(*geometry, name, path);
}

bool AtracsysTrackingStream::addGeometryImpl(ftkGeometry& geometry, const std::string& name,
                                             const std::string& path) {
    if (geometry.geometryId < kFirstFreeGeometryId) {
        const std::uint32_t oldId = geometry.geometryId;
        HALVOREN_LOG(
            Log::Error, kCategory,
            "INI marker files with ids < 1000 are not supported with this Atracsys SDK version. Values "
            "0 to 1000 are reserved");
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

#include "geometry/MarkerRegistration.h"

#include "host/Log.h"

#include <algorithm>

namespace Halvoren::SpryTrack {

namespace {
const char* const kCategory = "AtracsysTrackingStream";
}  // namespace

InstrumentModifications registerGeometry(DriverConnection& driver, InstrumentRegistry& registry,
                                         ftkGeometry& geometry, const std::string& name,
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

    std::lock_guard<std::mutex> lock(driver.mutex);
    const std::string id = instrumentIdOf(geometry.geometryId);
    if (registry.instrument(id)) {
        return {};
    }
    bool registered = false;
    if (driver.library != nullptr) {
        registered = ftkSetGeometry(driver.library, driver.serialNumber, &geometry) == FTK_OK;
    }
    return registry.create(TrackerID(id, "", name),
                           std::make_unique<AtracsysGeometry>(path, geometry, registered), true);
}

std::optional<ftkGeometry> geometryOfMarker(const OpticalTrackingMarker& marker,
                                            const InstrumentRegistry& registry) {
    if (marker.fiducialCount() > FTK_MAX_GEOMETRY_FIDUCIALS) {
        HALVOREN_LOG(Log::Error, kCategory,
                     "Cannot add marker " << marker.name << ": it has " << marker.fiducialCount()
                                          << " fiducials, at most " << FTK_MAX_GEOMETRY_FIDUCIALS
                                          << " are supported");
        return std::nullopt;
    }
    ftkGeometry geometry{};
    geometry.version = 0;
    geometry.geometryId = marker.markerId
                              ? *marker.markerId
                              : static_cast<std::uint32_t>(registry.size()) + kFirstFreeGeometryId;
    geometry.pointsCount = static_cast<std::uint32_t>(marker.fiducialCount());
    for (std::size_t i = 0; i < marker.fiducialCount(); ++i) {
        const Eigen::Vector3d& p = marker.fiducialPositions[i];
        geometry.positions[i] = {static_cast<float>(p.x()), static_cast<float>(p.y()),
                                 static_cast<float>(p.z())};
    }
    return geometry;
}

std::unique_ptr<OpticalTrackingMarker> markerOfGeometry(const InstrumentRegistry& registry,
                                                        const std::string& id) {
    const auto specials = registry.specialObjects();
    const auto found = specials.find(id);
    if (found == specials.end() || !found->second) {
        return nullptr;
    }
    std::string name;
    for (const TrackingInstrument& instrument : registry.instruments()) {
        if (instrument.id.ID == id) {
            name = instrument.id.name;
            break;
        }
    }
    const ftkGeometry& geometry = found->second->geometry;
    auto marker = std::make_unique<OpticalTrackingMarker>(name, geometry.geometryId);
    const std::uint32_t count = std::min<std::uint32_t>(geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
    for (std::uint32_t i = 0; i < count; ++i) {
        const ftkPoint3& p = geometry.positions[i];
        marker->addFiducial(Eigen::Vector3d(p.x, p.y, p.z));
    }
    return marker;
}

bool unregisterGeometry(DriverConnection& driver, InstrumentRegistry& registry, const std::string& id,
                        InstrumentModifications& changes) {
    auto refuse = [&id](const char* reason) {
        HALVOREN_LOG(
            Log::Warning, "",
            "AtracsysTracking: Cannot remove geometry with id " << id << " from tracking system" << reason);
        return false;
    };
    // Only an ID the stream handed out may reach the driver: any other text would name some other
    // geometry (or geometry 0), and the camera would stop tracking a marker that stays listed.
    if (!geometryIdOf(id)) {
        return refuse(": no marker has this id");
    }
    // The registered flag is read, the geometry cleared and the entry erased under one driver lock, so
    // that no start or close can change the camera's geometries in between.
    std::lock_guard<std::mutex> lock(driver.mutex);
    if (!registry.instrument(id)) {
        return refuse(": no marker has this id");
    }
    const std::unique_ptr<AtracsysGeometry> record = registry.specialObject(id);
    // A geometry the camera does not hold (pending, or the device closed) needs no driver call.
    if (record && record->registered &&
        ftkClearGeometry(driver.library, driver.serialNumber, record->geometry.geometryId) != FTK_OK) {
        return refuse("");
    }
    changes = registry.remove(id);
    return true;
}

std::vector<Eigen::Vector3d> fiducialCoordinates(InstrumentRegistry& registry, const std::string& id) {
    std::vector<Eigen::Vector3d> coordinates;
    if (!registry.instrument(id)) {
        HALVOREN_LOG(Log::Error, kCategory,
                     "Cannot query geometry coordinates from id " << id << " from tracking system");
        return coordinates;
    }
    registry.modify(id, [&coordinates](const std::string&, AtracsysGeometry& record) {
        const std::uint32_t count =
            std::min<std::uint32_t>(record.geometry.pointsCount, FTK_MAX_GEOMETRY_FIDUCIALS);
        for (std::uint32_t i = 0; i < count; ++i) {
            const ftkPoint3& p = record.geometry.positions[i];
            coordinates.emplace_back(p.x, p.y, p.z);
        }
    });
    return coordinates;
}

}  // namespace Halvoren::SpryTrack

// The optical tracking marker operations of the stream: markers from descriptions, queried and removed.
#include "stream/AtracsysTrackingStream.h"

#include "host/Log.h"

#include <algorithm>
#include <optional>

namespace Halvoren::SpryTrack {

std::string AtracsysTrackingStream::addTrackingMarker(std::unique_ptr<OpticalTrackingMarker> marker) {
    if (!marker) {
        return {};
    }
    if (marker->fiducialCount() > FTK_MAX_GEOMETRY_FIDUCIALS) {
        HALVOREN_LOG(Log::Error, "AtracsysTrackingStream",
                     "Cannot add marker " << marker->name << ": it has " << marker->fiducialCount()
                                          << " fiducials, at most " << FTK_MAX_GEOMETRY_FIDUCIALS
                                          << " are supported");
        return {};
    }
    ftkGeometry geometry{};
    geometry.version = 0;
    geometry.geometryId =
        marker->markerId ? *marker->markerId
                         : static_cast<std::uint32_t>(m_instrumentRegistry->size()) + kFirstFreeGeometryId;
    geometry.pointsCount = static_cast<std::uint32_t>(marker->fiducialCount());
    for (std::size_t i = 0; i < marker->fiducialCount(); ++i) {
        const Eigen::Vector3d& p = marker->fiducialPositions[i];
        geometry.positions[i] = {static_cast<float>(p.x()), static_cast<float>(p.y()),
                                 static_cast<float>(p.z())};
    }
    if (!addGeometryImpl(geometry, marker->name, std::string())) {
        return {};
    }
    return instrumentIdOf(geometry.geometryId);
}

std::unique_ptr<OpticalTrackingMarker> AtracsysTrackingStream::trackingMarker(const std::string& id) const {
    const auto specials = m_instrumentRegistry->specialObjects();
    const auto found = specials.find(id);
    if (found == specials.end() || !found->second) {
        return nullptr;
    }
    std::string name;
    for (const TrackingInstrument& instrument : m_instrumentRegistry->instruments()) {
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

bool AtracsysTrackingStream::removeTrackingMarker(const std::string& id) {
    auto refuse = [&id](const char* reason) {
        HALVOREN_LOG(
            Log::Warning, "",
            "AtracsysTracking: Cannot remove geometry with id " << id << " from tracking system" << reason);
        return false;
    };
    // Only an ID the stream handed out may reach the driver: any other text would name some other
    // geometry (or geometry 0), and the camera would stop tracking a marker that stays listed.
    const std::optional<std::uint32_t> geometryId = geometryIdOf(id);
    if (!geometryId) {
        return refuse(": no marker has this id");
    }
    InstrumentModifications flags;
    {
        // The registered flag is read, the geometry cleared and the entry erased under one driver lock,
        // so that no start or close can change the camera's geometries in between.
        std::lock_guard<std::mutex> lock(m_driver->mutex);
        if (!m_instrumentRegistry->instrument(id)) {
            return refuse(": no marker has this id");
        }
        const std::unique_ptr<AtracsysGeometry> record = m_instrumentRegistry->specialObject(id);
        // A geometry the camera does not hold (pending, or the device closed) needs no driver call.
        if (record && record->registered &&
            ftkClearGeometry(m_driver->library, m_driver->serialNumber, record->geometry.geometryId) !=
                FTK_OK) {
            return refuse("");
        }
        flags = m_instrumentRegistry->remove(id);
    }
    emitSignals(flags);
    return true;
}

std::vector<Eigen::Vector3d> AtracsysTrackingStream::geometryCoordinates(const std::string& id) {
    std::vector<Eigen::Vector3d> coordinates;
    if (!m_instrumentRegistry->instrument(id)) {
        HALVOREN_LOG(Log::Error, "AtracsysTrackingStream",
                     "Cannot query geometry coordinates from id " << id << " from tracking system");
        return coordinates;
    }
    m_instrumentRegistry->modify(id, [&coordinates](const std::string&, AtracsysGeometry& record) {
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

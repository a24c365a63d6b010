// The optical tracking marker operations of the stream: markers from descriptions, queried and removed.
#include "stream/AtracsysTrackingStream.h"

#include "host/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>

namespace Halvoren::SpryTrack {

namespace {
constexpr std::size_t kIdPrefixLength = 9;  // "atracsys-"
constexpr std::uint32_t kFirstFreeGeometryId = 1000;

/// The geometry id named by an instrument ID: the number after its first nine characters. Text that does
/// not start with a number there gives 0; an ID too short to hold one, or a number that no 32-bit geometry
/// id can hold, gives nothing. Every unsigned 32-bit id is accepted, so that any registered marker can be
/// removed again; a negative number converts as the driver's unsigned id does.
std::optional<std::uint32_t> geometryIdOf(const std::string& id) {
    if (id.size() < kIdPrefixLength) {
        return std::nullopt;
    }
    const char* digits = id.c_str() + kIdPrefixLength;
    errno = 0;
    const long long value = std::strtoll(digits, nullptr, 10);
    if (errno == ERANGE || value > static_cast<long long>(std::numeric_limits<std::uint32_t>::max()) ||
        value < static_cast<long long>(std::numeric_limits<std::int32_t>::min())) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}
}  // namespace

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
    const std::optional<std::uint32_t> geometryId = geometryIdOf(id);
    if (!geometryId) {
        HALVOREN_LOG(Log::Warning, "",
                     "AtracsysTracking: Cannot remove geometry with id "
                         << id
                         << " from tracking system: the id names no "
                            "geometry");
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_driver->mutex);
        if (ftkClearGeometry(m_driver->library, m_driver->serialNumber, *geometryId) != FTK_OK) {
            HALVOREN_LOG(
                Log::Warning, "",
                "AtracsysTracking: Cannot remove geometry with id " << id << " from tracking system");
            return false;
        }
    }
    emitSignals(m_instrumentRegistry->remove(id));
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

#include "geometry/AtracsysGeometry.h"

#include <cstring>
#include <limits>
#include <utility>

namespace Halvoren::SpryTrack {

std::string instrumentIdOf(std::uint32_t geometryId) {
    return kInstrumentIdPrefix + std::to_string(geometryId);
}

std::optional<std::uint32_t> geometryIdOf(const std::string& instrumentId) {
    const std::size_t prefixLength = std::strlen(kInstrumentIdPrefix);
    if (instrumentId.size() <= prefixLength ||
        instrumentId.compare(0, prefixLength, kInstrumentIdPrefix) != 0) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (std::size_t i = prefixLength; i < instrumentId.size(); ++i) {
        const char c = instrumentId[i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
    }
    const auto geometryId = static_cast<std::uint32_t>(value);
    // Leading zeros would let two texts name one geometry; only the form the stream hands out counts.
    if (instrumentIdOf(geometryId) != instrumentId) {
        return std::nullopt;
    }
    return geometryId;
}

AtracsysGeometry::AtracsysGeometry(std::string path, ftkGeometry geometry, bool registered)
    : path(std::move(path)), geometry(geometry), registered(registered) {}

AtracsysGeometry* AtracsysGeometry::clone() const {
    return new AtracsysGeometry(*this);
}

}  // namespace Halvoren::SpryTrack

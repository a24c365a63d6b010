#pragma once

#include "ftk/ftk.h"
#include "geometry/MarkerFile.h"
#include "host/Clonable.h"

#include <cstdint>
#include <optional>
#include <string>

namespace Halvoren::SpryTrack {

/// What every instrument ID of a marker begins with; the geometry id follows in decimal.
inline constexpr const char* kInstrumentIdPrefix = "atracsys-";
/// Geometry ids below this one are reserved by the driver; lower ids in files are raised by it.
inline constexpr std::uint32_t kFirstFreeGeometryId = MarkerFile::kFirstFreeId;

/// The instrument ID of a marker: the prefix followed by the geometry id. Any thread, no lock.
std::string instrumentIdOf(std::uint32_t geometryId);
/// The geometry id an instrument ID names: only the prefix followed by the decimal digits of an unsigned
/// 32-bit number, exactly as instrumentIdOf writes it. Anything else names no geometry. Any thread.
std::optional<std::uint32_t> geometryIdOf(const std::string& instrumentId);

/// What the stream keeps beside each instrument: the driver geometry, the file it came from (empty for a
/// marker description) and whether the camera holds it now. A plain value, copied under the registry's
/// lock.
struct AtracsysGeometry : public Clonable {
    AtracsysGeometry(std::string path, ftkGeometry geometry, bool registered);
    AtracsysGeometry* clone() const override;
    ~AtracsysGeometry() override = default;

    std::string path;
    ftkGeometry geometry;
    bool registered;
};

}  // namespace Halvoren::SpryTrack

#pragma once

#include "ftk/ftk.h"

#include <istream>
#include <optional>
#include <string>

namespace Halvoren::SpryTrack {

/// Reads a marker geometry file; paths beginning with ":/" name Qt resources. Any thread, no lock.
std::optional<ftkGeometry> readGeometryFile(const std::string& path);
/// Loads a geometry from INI text; absent on any failure (the missing piece is logged). Any thread, no
/// lock.
std::optional<ftkGeometry> loadGeometry(std::istream& input);

}  // namespace Halvoren::SpryTrack

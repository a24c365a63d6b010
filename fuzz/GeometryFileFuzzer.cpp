// Marker geometry files come from users and from other tools: any text must load or be refused, and what
// loads must be something the camera can be given.
#include "geometry/GeometryFile.h"
#include "geometry/MarkerFile.h"
#include "host/Log.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        Halvoren::Log::setStderrEnabled(false);
        return true;
    }();
    static_cast<void>(quiet);
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    const auto geometry = Halvoren::SpryTrack::loadGeometry(input);
    if (geometry) {
        if (geometry->pointsCount > FTK_MAX_GEOMETRY_FIDUCIALS) {
            std::abort();
        }
        // What loads writes back as a file that reads as the same marker.
        namespace MarkerFile = Halvoren::MarkerFile;
        const auto read = MarkerFile::parse(std::string(reinterpret_cast<const char*>(data), size));
        const auto reread =
            read.marker ? MarkerFile::parse(MarkerFile::write(*read.marker)).marker : std::nullopt;
        if (!reread || !(*reread == *read.marker)) {
            std::abort();
        }
        for (std::uint32_t i = 0; i < geometry->pointsCount; ++i) {
            const ftkPoint3& p = geometry->positions[i];
            if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
                std::abort();
            }
        }
    }
    return 0;
}

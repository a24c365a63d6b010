#include "geometry/GeometryFile.h"

#include "geometry/MarkerFile.h"
#include "host/Log.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdint>
#include <string_view>

namespace Halvoren::SpryTrack {

namespace {

// The camera needs no tip: a file with one loads as it always did, whatever its [tip] holds.
constexpr MarkerFile::Sections kSections = MarkerFile::Sections::Geometry;

/// Logs what the reader found to say: its errors as the plug-in's own.
void logMessages(const MarkerFile::Loaded& loaded) {
    for (const MarkerFile::Message& message : loaded.messages) {
        if (message.level == MarkerFile::Message::Level::Info) {
            HALVOREN_LOG(Log::Info, "", message.text);
        } else {
            HALVOREN_LOG(Log::Error, "", "AtracsysTracking: " << message.text);
        }
    }
}

std::optional<ftkGeometry> geometryOf(const MarkerFile::Loaded& loaded) {
    logMessages(loaded);
    if (!loaded.marker) {
        return std::nullopt;
    }
    ftkGeometry geometry{};
    geometry.version = 0;
    geometry.geometryId = loaded.marker->id;
    // The reader takes no more than the driver holds.
    static_assert(MarkerFile::kMaxFiducials == FTK_MAX_GEOMETRY_FIDUCIALS);
    geometry.pointsCount = static_cast<std::uint32_t>(loaded.marker->fiducials.size());
    for (std::size_t i = 0; i < loaded.marker->fiducials.size(); ++i) {
        const MarkerFile::Fiducial& f = loaded.marker->fiducials[i];
        geometry.positions[i] = {f.x, f.y, f.z};
    }
    return geometry;
}

}  // namespace

std::optional<ftkGeometry> readGeometryFile(const std::string& path) {
    if (path.size() > 2 && path.compare(0, 2, ":/") == 0) {
        QFile file(QString::fromLatin1(path.data(), static_cast<int>(path.size())));
        QByteArray content;
        if (file.open(QIODevice::ReadOnly)) {
            if (static_cast<std::uint64_t>(file.size()) > MarkerFile::kMaxBytes) {
                HALVOREN_LOG(Log::Error, "",
                             "AtracsysTracking: Geometry file " << path << " is larger than "
                                                                << MarkerFile::kMaxBytes / 1024
                                                                << " KB: not a marker geometry");
                return std::nullopt;
            }
            content = file.readAll();
        }
        return geometryOf(MarkerFile::parse(
            std::string_view(content.constData(), static_cast<std::size_t>(content.size())), kSections));
    }
    return geometryOf(MarkerFile::read(path, kSections));
}

std::optional<ftkGeometry> loadGeometry(std::istream& input) {
    return geometryOf(MarkerFile::read(input, kSections));
}

}  // namespace Halvoren::SpryTrack

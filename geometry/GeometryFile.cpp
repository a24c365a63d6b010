#include "geometry/GeometryFile.h"

#include "geometry/IniFile.h"
#include "host/Log.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace Halvoren::SpryTrack {

namespace {

const std::string kGeometrySection = "geometry";

}  // namespace

std::optional<ftkGeometry> readGeometryFile(const std::string& path) {
    if (path.size() > 2 && path.compare(0, 2, ":/") == 0) {
        std::istringstream input;
        QFile file(QString::fromLatin1(path.data(), static_cast<int>(path.size())));
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray content = file.readAll();
            input.str(std::string(content.constData(), static_cast<std::size_t>(content.size())));
        }
        return loadGeometry(input);
    }
    // A file that cannot be opened reads as empty text and fails on the missing geometry section.
    std::ifstream file(path);
    if (!file.is_open()) {
        std::istringstream empty;
        return loadGeometry(empty);
    }
    return loadGeometry(file);
}

std::optional<ftkGeometry> loadGeometry(std::istream& input) {
    std::string text;
    std::string line;
    while (std::getline(input, line)) {
        text += line;
        text += '\n';
    }

    IniFile ini;
    if (!ini.parse(text.data(), text.size())) {
        return std::nullopt;
    }

    if (!ini.hasSection(kGeometrySection) || !ini.hasKey(kGeometrySection, "count")) {
        return std::nullopt;
    }
    // Checked before narrowing: a huge count must not wrap into the valid range.
    const long count = std::strtol(ini.value(kGeometrySection, "count").c_str(), nullptr, 10);
    if (count < 0 || count > FTK_MAX_GEOMETRY_FIDUCIALS) {
        HALVOREN_LOG(Log::Error, "",
                     "AtracsysTracking: Geometry file declares " << count << " fiducials, only 0 to "
                                                                 << FTK_MAX_GEOMETRY_FIDUCIALS
                                                                 << " are supported");
        return std::nullopt;
    }

    ftkGeometry geometry{};
    if (!ini.readUnsigned(kGeometrySection, "id", geometry.geometryId)) {
        return std::nullopt;
    }
    geometry.version = 0;
    geometry.pointsCount = static_cast<std::uint32_t>(count);
    HALVOREN_LOG(Log::Info, "",
                 "Loading geometry " << geometry.geometryId << ", composed of " << count << " fiducials");

    for (std::uint32_t i = 0; i < geometry.pointsCount; ++i) {
        const std::string section = "fiducial" + std::to_string(i);
        ftkPoint3& position = geometry.positions[i];
        if (!ini.hasSection(section) || !ini.readFloat(section, "x", position.x) ||
            !ini.readFloat(section, "y", position.y) || !ini.readFloat(section, "z", position.z)) {
            return std::nullopt;
        }
    }
    return geometry;
}

}  // namespace Halvoren::SpryTrack

#include "geometry/GeometryFile.h"

#include "geometry/IniFile.h"
#include "host/BoundedFile.h"
#include "host/Log.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace Halvoren::SpryTrack {

namespace {

const std::string kGeometrySection = "geometry";

// A marker geometry is a few hundred bytes; anything this large is not one and would only take long to parse.
constexpr std::size_t kMaxGeometryBytes = 1024 * 1024;

void logTooLarge(const std::string& what) {
    HALVOREN_LOG(Log::Error, "",
                 "AtracsysTracking: " << what << " is larger than " << kMaxGeometryBytes / 1024
                                      << " KB: not a marker geometry");
}

}  // namespace

std::optional<ftkGeometry> readGeometryFile(const std::string& path) {
    if (path.size() > 2 && path.compare(0, 2, ":/") == 0) {
        std::istringstream input;
        QFile file(QString::fromLatin1(path.data(), static_cast<int>(path.size())));
        if (file.open(QIODevice::ReadOnly)) {
            if (static_cast<std::uint64_t>(file.size()) > kMaxGeometryBytes) {
                logTooLarge("Geometry file " + path);
                return std::nullopt;
            }
            const QByteArray content = file.readAll();
            input.str(std::string(content.constData(), static_cast<std::size_t>(content.size())));
        }
        return loadGeometry(input);
    }
    // Bounded while reading: a device or a FIFO claims no size.
    const BoundedFile::Result read = BoundedFile::read(path, kMaxGeometryBytes);
    if (read.outcome == BoundedFile::Outcome::TooLarge) {
        logTooLarge("Geometry file " + path);
        return std::nullopt;
    }
    // A file that cannot be read reads as empty text and fails on the missing geometry section.
    std::istringstream input(read.outcome == BoundedFile::Outcome::Read ? read.text : std::string());
    return loadGeometry(input);
}

std::optional<ftkGeometry> loadGeometry(std::istream& input) {
    // Read in bounded chunks: a stream of one endless line must not be taken in whole.
    std::string text;
    char chunk[64 * 1024];
    while (input.read(chunk, sizeof(chunk)), input.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(input.gcount()));
        if (text.size() > kMaxGeometryBytes) {
            logTooLarge("Geometry text");
            return std::nullopt;
        }
    }
    // Every line ends with a newline, the last one too.
    if (!text.empty() && text.back() != '\n') {
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
        if (!ini.hasSection(section)) {
            return std::nullopt;
        }
        for (const auto& [key, coordinate] :
             {std::pair<const char*, float*>{"x", &position.x}, {"y", &position.y}, {"z", &position.z}}) {
            if (!ini.readFloat(section, key, *coordinate)) {
                return std::nullopt;
            }
            // The camera cannot match a marker with a point at infinity; it must never receive one.
            if (!std::isfinite(*coordinate)) {
                HALVOREN_LOG(Log::Error, "",
                             "AtracsysTracking: Geometry file: \""
                                 << key << "\" in section \"" << section
                                 << "\" is not a finite number: " << ini.value(section, key));
                return std::nullopt;
            }
        }
    }
    return geometry;
}

}  // namespace Halvoren::SpryTrack

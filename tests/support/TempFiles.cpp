#include "support/TempFiles.h"

#include <fstream>
#include <sstream>

namespace TestSupport {

std::string TempFiles::write(const std::string& name, const std::string& text) const {
    const std::string file = path(name);
    std::ofstream out(file, std::ios::binary);
    out << text;
    return file;
}

std::string TempFiles::writeGeometry(const std::string& name, std::uint32_t id,
                                     const std::vector<std::vector<double>>& points) const {
    std::ostringstream text;
    text << "[geometry]\ncount=" << points.size() << "\nid=" << id << "\n";
    for (std::size_t i = 0; i < points.size(); ++i) {
        text << "[fiducial" << i << "]\nx=" << points[i][0] << "\ny=" << points[i][1]
             << "\nz=" << points[i][2] << "\n";
    }
    return write(name, text.str());
}

std::vector<std::vector<double>> squareMarker() {
    return {{0, 0, 0}, {50, 0, 0}, {50, 50, 0}, {0, 50, 0}};
}

}  // namespace TestSupport

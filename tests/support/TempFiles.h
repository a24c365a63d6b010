#pragma once
// Files a test writes, in a folder of their own.

#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

/// A folder for files a test writes; removed with the object.
class TempFiles {
public:
    TempFiles() = default;
    std::string path(const std::string& name) const {
        return m_dir.filePath(QString::fromStdString(name)).toStdString();
    }
    /// Writes the text to the file and returns its path.
    std::string write(const std::string& name, const std::string& text) const;
    /// A geometry file with the id and the points (x, y, z each).
    std::string writeGeometry(const std::string& name, std::uint32_t id,
                              const std::vector<std::vector<double>>& points) const;

private:
    QTemporaryDir m_dir;
};

/// A square marker of four fiducials, 50 mm wide.
std::vector<std::vector<double>> squareMarker();

}  // namespace TestSupport

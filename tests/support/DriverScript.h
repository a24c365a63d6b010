#pragma once
// Scenario helpers over the scripted driver, shared by the stream tests.

#include "ftk/ftkSimulator.h"

#include <QTemporaryDir>

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

constexpr std::uint64_t kSerial = 0x1A2B;

/// Resets the driver to scripted mode with one device of the type (no device for a negative type).
inline ftksim::Simulator& scriptDevice(int type = FTK_DEVICE_SPRYTRACK_300, std::uint64_t serial = kSerial) {
    ftksim::Simulator& sim = ftksim::Simulator::instance();
    sim.reset();
    if (type >= 0) {
        sim.setDevices({ftksim::makeDevice(serial, type)});
    }
    return sim;
}

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

#pragma once

#include "ftk/ftk.h"
#include "host/Clonable.h"

#include <string>

namespace Halvoren::SpryTrack {

/// What the stream keeps beside each instrument: the driver geometry, the file it came from (empty for a
/// marker description) and whether the camera holds it now.
struct AtracsysGeometry : public Clonable {
    AtracsysGeometry(std::string path, ftkGeometry geometry, bool registered);
    AtracsysGeometry* clone() const override;
    ~AtracsysGeometry() override = default;

    std::string path;
    ftkGeometry geometry;
    bool registered;
};

}  // namespace Halvoren::SpryTrack

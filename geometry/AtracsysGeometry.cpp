#include "geometry/AtracsysGeometry.h"

#include <utility>

namespace Halvoren::SpryTrack {

AtracsysGeometry::AtracsysGeometry(std::string path, ftkGeometry geometry, bool registered)
    : path(std::move(path)), geometry(geometry), registered(registered) {}

AtracsysGeometry* AtracsysGeometry::clone() const {
    return new AtracsysGeometry(*this);
}

}  // namespace Halvoren::SpryTrack

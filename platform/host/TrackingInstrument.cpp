#include "TrackingInstrument.h"

namespace Halvoren {

bool TrackingInstrument::operator!=(const TrackingInstrument& o) const {
    if (id != o.id || timestamp != o.timestamp || state != o.state || active != o.active) {
        return true;
    }
    // Plain != on doubles: a NaN differs from everything, itself included.
    if (quality != o.quality) {
        return true;
    }
    for (Eigen::Index i = 0; i < pose.size(); ++i) {
        if (pose(i) != o.pose(i)) {
            return true;
        }
    }
    return false;
}

}  // namespace Halvoren

#include "text/ToolTip.h"

#include "text/Text.h"

#include <algorithm>
#include <cmath>

namespace Halvoren::ToolTip {

std::string problem(double x, double y, double z) {
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) {
        return "is not three finite numbers";
    }
    if (std::max({std::abs(x), std::abs(y), std::abs(z)}) > kMaxMm) {
        return "lies more than " + Text::formatNumber(kMaxMm) + " mm from the marker";
    }
    return std::string();
}

}  // namespace Halvoren::ToolTip

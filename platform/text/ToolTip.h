#pragma once
// The one rule for a tool's calibrated tip, wherever one is read (a marker file, a recording's header):
// three finite numbers of mm in the marker's frame, none farther from the marker than a room is wide. A
// tool is a hand's length; a tip beyond that is a mistake, and would put every tip position it gives
// somewhere no one stands (or at infinity, once turned into camera coordinates).

#include <string>

namespace Halvoren::ToolTip {

/// The largest tip coordinate taken, mm.
inline constexpr double kMaxMm = 10000.0;

/// Empty when the tip may be used; otherwise why not, to follow "the tip": "is not three finite numbers"
/// or "lies more than 10000 mm from the marker".
std::string problem(double x, double y, double z);

}  // namespace Halvoren::ToolTip

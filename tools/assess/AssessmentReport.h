#pragma once
// The assessment written out: a report for people (one block per point and per distance) and JSON for
// tools.

#include "assess/AssessmentResult.h"

#include <iosfwd>
#include <string>

namespace Halvoren::Assess {

/// The human-readable report.
void writeReport(const Assessment& assessment, std::ostream& out);

/// The assessment as one JSON object (the per-reading deviations left out: the plot shows them).
std::string assessmentJson(const Assessment& assessment);

}  // namespace Halvoren::Assess

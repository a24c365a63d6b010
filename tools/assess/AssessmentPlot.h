#pragma once
// The assessment as a picture (--plot FILE.png): per point the scatter of its readings about their mean
// and its drift over the run's windows, per known distance its error over time.

#include "assess/AssessmentResult.h"

#include <string>

namespace Halvoren::Assess {

/// The picture's layout, in pixels: the width, the header, and a row per point (a shorter one for a
/// point that moved, which shows why instead of its statistics) and per distance. Beyond kPlotMaxRows
/// rows, the rest are only counted in a line at the end.
constexpr int kPlotWidth = 1200;
constexpr int kPlotHeaderHeight = 56;
constexpr int kPlotPointRowHeight = 300;
constexpr int kPlotMovedRowHeight = 64;
constexpr int kPlotDistanceRowHeight = 240;
constexpr int kPlotFooterHeight = 24;  // only when rows were left out
constexpr std::size_t kPlotMaxRows = 40;

/// Why no plot can be written at `path` ("cannot write PATH: it is a folder", "... it is not a regular
/// file": the plot replaces a file whole); empty when it can be tried.
std::string plotPathProblem(const std::string& path);

/// Draws the assessment and saves it as a PNG at `path` (replaced whole, or left as it was). Values that
/// are not finite are left out. Empty on success, else "cannot write PATH: REASON".
/// Needs a QGuiApplication for its fonts: the caller creates one (with the offscreen platform when
/// there is no display).
std::string writePlot(const Assessment& assessment, const std::string& path);

}  // namespace Halvoren::Assess

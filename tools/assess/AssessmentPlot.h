#pragma once
// The assessment as a picture (--plot FILE.png): per point the scatter of its readings about their mean
// and its drift over the run's windows, per known distance its error over time. The reference of a run in
// its frame (--reference) is left out: every reading of it is the origin by definition.

#include "assess/AssessmentResult.h"

#include <Eigen/Core>

#include <string>
#include <vector>

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

/// The smallest radius about the mean holding at least 95% of the readings as seen in the plane of the
/// axes `first` and `second` (0 x, 1 y, 2 z): the circle a scatter of that view draws. A projection
/// brings readings closer, so it is at most the radius in space. 0 without finite readings.
double projectedRadius95(const std::vector<Eigen::Vector3d>& deviations, int first, int second);

/// Whether the point is the marker the assessment's frame is the frame of (drawn as no row).
bool isFrameReference(const Assessment& assessment, const PointResult& point);

/// Why no plot can be written at `path` ("cannot write PATH: it is a folder", "... it is not a regular
/// file": the plot replaces a file whole); empty when it can be tried.
std::string plotPathProblem(const std::string& path);

/// Draws the assessment and saves it as a PNG at `path` (replaced whole, or left as it was). Values that
/// are not finite are left out. Empty on success, else "cannot write PATH: REASON".
/// Needs a QGuiApplication for its fonts: the caller creates one (with the offscreen platform when
/// there is no display).
std::string writePlot(const Assessment& assessment, const std::string& path);

}  // namespace Halvoren::Assess

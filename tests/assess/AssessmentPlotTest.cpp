// The plot: a picture of the expected size with every row drawn, whatever the values, and a clear refusal
// of a path it cannot write.
#include "assess/AssessmentPlot.h"

#include "support/TempFiles.h"

#include <gtest/gtest.h>
#include <QImage>
#include <QSet>

#include <cmath>
#include <limits>
#include <random>

using namespace Halvoren::Assess;

namespace {

PointResult stillPoint(const std::string& label, double jitterMm, std::size_t readings, double driftMm) {
    PointResult point;
    point.label = label;
    point.id = "4711";
    point.frames = point.seen = readings;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, jitterMm);
    for (std::size_t i = 0; i < readings; ++i) {
        point.deviations.emplace_back(noise(random), noise(random), noise(random));
    }
    for (int w = 0; w < 6; ++w) {
        point.windows.push_back(
            {w * 10.0, w * 10.0 + 10.0, readings / 6, Eigen::Vector3d(driftMm * w / 5, 0, 0)});
    }
    point.stdPerAxis = Eigen::Vector3d::Constant(jitterMm);
    point.rmsFromMeanMm = jitterMm * std::sqrt(3.0);
    point.radius95Mm = jitterMm * 2.8;
    point.driftMm = driftMm;
    point.driftMmPerMinute = driftMm * 1.2;
    point.driftFlagged = driftMm > jitterMm;
    return point;
}

Assessment twoPointsAndADistance() {
    Assessment assessment;
    assessment.frames = 600;
    assessment.seconds = 60.0;
    assessment.points = {stillPoint("reference", 0.03, 600, 0.01), stillPoint("pointer tip", 0.15, 600, 0.4)};
    DistanceResult distance{"reference", "pointer tip", 100.0, 600, 100.02, 0.02, 0.05, 0.054, {}};
    for (int i = 0; i < 600; ++i) {
        distance.errorOverTime.emplace_back(i / 10.0, 0.02 + 0.05 * std::sin(i));
    }
    assessment.distances = {distance};
    return assessment;
}

QImage plotOf(const Assessment& assessment) {
    TestSupport::TempFiles files;
    const std::string path = files.path("plot.png");
    EXPECT_EQ(writePlot(assessment, path), "");
    return QImage(QString::fromStdString(path));
}

/// Pixels in the rectangle for which the test holds.
int countPixels(const QImage& image, const QRect& rect, bool (*test)(QColor)) {
    int count = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        for (int x = rect.left(); x <= rect.right(); ++x) {
            count += test(image.pixelColor(x, y)) ? 1 : 0;
        }
    }
    return count;
}

}  // namespace

TEST(AssessmentPlot, DrawsARowPerPointAndPerDistance) {
    const QImage image = plotOf(twoPointsAndADistance());
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(),
              QSize(kPlotWidth, kPlotHeaderHeight + 2 * kPlotPointRowHeight + kPlotDistanceRowHeight));
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 3) {
        for (int x = 0; x < image.width(); x += 3) {
            colours.insert(image.pixel(x, y));
        }
    }
    EXPECT_GT(colours.size(), 50);
    // The first point's x-y scatter holds its (blue) marks.
    const QRect scatter(0, kPlotHeaderHeight + 30, 300, kPlotPointRowHeight - 40);
    EXPECT_GT(countPixels(image, scatter, [](QColor c) { return c.blue() > c.red() + 40; }), 200);
    // Only the second point's drift title is in red: its drift exceeds its jitter.
    const auto red = [](QColor c) { return c.red() > 150 && c.green() < 90 && c.blue() < 90; };
    const QRect firstTitle(612, kPlotHeaderHeight + 26, 588, 18);
    EXPECT_EQ(countPixels(image, firstTitle, red), 0);
    EXPECT_GT(countPixels(image, firstTitle.translated(0, kPlotPointRowHeight), red), 50);
}

TEST(AssessmentPlot, DrawsValuesThatCannotBeScaled) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    Assessment assessment = twoPointsAndADistance();
    PointResult& still = assessment.points[0];  // never varies: no range to scale by
    std::fill(still.deviations.begin(), still.deviations.end(), Eigen::Vector3d::Zero());
    still.radius95Mm = still.rmsFromMeanMm = still.driftMm = 0.0;
    for (WindowMean& window : still.windows) {
        window.mean.setZero();
    }
    PointResult& broken = assessment.points[1];
    broken.deviations = std::vector<Eigen::Vector3d>(100000, Eigen::Vector3d(0.1, -0.2, 0.05));
    broken.deviations[3] = Eigen::Vector3d(nan, inf, -inf);
    broken.windows[0].mean.x() = nan;
    broken.windows[2].mean.y() = inf;
    broken.radius95Mm = inf;
    assessment.distances[0].errorOverTime[1] = {nan, inf};
    assessment.distances[0].errorMm = nan;
    PointResult moved = stillPoint("touched", 0.03, 600, 0.0);
    moved.motion = "moved 4.2 mm during the run: it was touched";
    assessment.points.push_back(moved);
    assessment.seconds = nan;
    EXPECT_EQ(plotOf(assessment).height(),
              kPlotHeaderHeight + 2 * kPlotPointRowHeight + kPlotMovedRowHeight + kPlotDistanceRowHeight);
    EXPECT_EQ(plotOf(Assessment()).size(), QSize(kPlotWidth, kPlotHeaderHeight));
}

TEST(AssessmentPlot, EachScatterCircleHolds95PercentOfItsViewAndTheFramesReferenceIsLeftOut) {
    // Offsets 1 to 100 mm along x, 1 m along z, and one reading that is not finite.
    std::vector<Eigen::Vector3d> deviations;
    for (int i = 1; i <= 100; ++i) {
        deviations.emplace_back(i, 0.0, 1000.0);
    }
    deviations.emplace_back(std::nan(""), 0.0, 0.0);
    EXPECT_DOUBLE_EQ(projectedRadius95(deviations, 0, 1), 95.0);
    EXPECT_DOUBLE_EQ(projectedRadius95(deviations, 0, 2), std::hypot(95.0, 1000.0));
    EXPECT_EQ(projectedRadius95({}, 0, 1), 0.0);
    // Normal jitter: 95% of a plane's readings lie within 2.45 sigma, of the readings in space within 2.8.
    const PointResult jitter = stillPoint("pointer", 0.1, 20000, 0.0);
    EXPECT_NEAR(projectedRadius95(jitter.deviations, 0, 1), 0.245, 0.01);
    EXPECT_NEAR(projectedRadius95(jitter.deviations, 0, 2), 0.245, 0.01);

    // The reference of the frame is 0 in every reading: no row, by its ID or its name; a tip of it stays.
    Assessment assessment = twoPointsAndADistance();
    assessment.points[0].id = "atracsys-1300";
    for (const char* reference : {"atracsys-1300", "reference"}) {
        assessment.reference = reference;
        EXPECT_TRUE(isFrameReference(assessment, assessment.points[0]));
        EXPECT_FALSE(isFrameReference(assessment, assessment.points[1]));
        EXPECT_EQ(plotOf(assessment).height(),
                  kPlotHeaderHeight + kPlotPointRowHeight + kPlotDistanceRowHeight);
    }
    assessment.points[0].tip = true;
    EXPECT_FALSE(isFrameReference(assessment, assessment.points[0]));
    assessment.reference.clear();
    EXPECT_EQ(plotOf(assessment).height(),
              kPlotHeaderHeight + 2 * kPlotPointRowHeight + kPlotDistanceRowHeight);
}

TEST(AssessmentPlot, RefusesAPathItCannotWrite) {
    TestSupport::TempFiles files;
    const std::string folder = files.path("");
    EXPECT_EQ(writePlot(twoPointsAndADistance(), folder), "cannot write " + folder + ": it is a folder");
    const std::string missing = files.path("missing/plot.png");
    EXPECT_EQ(writePlot(twoPointsAndADistance(), missing).rfind("cannot write " + missing + ": ", 0), 0u);
}

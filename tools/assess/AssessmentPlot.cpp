#include "assess/AssessmentPlot.h"

#include <QBuffer>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace Halvoren::Assess {

namespace {

constexpr double kMargin = 12.0;
constexpr double kCaptionHeight = 26.0;
constexpr double kScatterWidth = 300.0;
// Marks drawn per panel at most: beyond this they only paint over each other, so longer runs are
// subsampled evenly.
constexpr std::size_t kMaxMarks = 20000;
// A value axis spans at least this either side of 0: readings that never vary still get an axis, and
// no range is ever 0 wide. Beyond the largest, values are not drawn (a km off is no tracking).
constexpr double kMinHalfRangeMm = 0.005;
constexpr double kMaxHalfRangeMm = 1.0e6;
constexpr double kMinSeconds = 1.0;
constexpr double kMaxSeconds = 1.0e7;

const QColor kInk(40, 40, 40);
const QColor kFaint(120, 120, 120);
const QColor kGrid(228, 228, 228);
const QColor kAlarm(200, 20, 20);
const QColor kMarks(31, 119, 180, 80);
const QColor kCircle(255, 127, 14);
const QColor kAxisColours[3] = {QColor(214, 39, 40), QColor(44, 160, 44), QColor(31, 119, 180)};
const char* const kAxisNames[3] = {"x", "y", "z"};

struct Range {
    double lo = 0.0;
    double hi = 1.0;
    bool holds(double value) const { return value >= lo && value <= hi; }
};

/// A panel's data area and the values it spans.
struct Plane {
    QRectF area;
    Range x;
    Range y;
    double step = 0.0;  // the ticks' step on both axes, for equal scales; 0: each axis its own
    QPointF map(double vx, double vy) const {
        return {area.left() + (vx - x.lo) / (x.hi - x.lo) * area.width(),
                area.bottom() - (vy - y.lo) / (y.hi - y.lo) * area.height()};
    }
    bool holds(double vx, double vy) const { return x.holds(vx) && y.holds(vy); }
};

/// One row of the picture: a point's or a distance's.
struct Row {
    const PointResult* point = nullptr;
    const DistanceResult* distance = nullptr;
    int height = 0;
};

QFont font(int pixels, bool bold = false) {
    QFont result(QStringLiteral("DejaVu Sans"));
    result.setPixelSize(pixels);
    result.setBold(bold);
    return result;
}

/// A value as the titles show it: "n/a" when it is not finite.
QString number(double value, int decimals) {
    return std::isfinite(value) ? QString::number(value, 'f', decimals) : QStringLiteral("n/a");
}

/// Millimetres as the titles show them.
QString mm(double value) {
    return number(value, 3);
}

/// -half..half, half kept between the smallest and the largest half-range.
Range symmetric(double half) {
    const double bounded =
        std::isfinite(half) ? std::clamp(half, kMinHalfRangeMm, kMaxHalfRangeMm) : kMinHalfRangeMm;
    return {-bounded, bounded};
}

/// The largest finite magnitude among the values, 0 without any.
double largestMagnitude(const std::vector<double>& values) {
    double largest = 0.0;
    for (double value : values) {
        if (std::isfinite(value)) {
            largest = std::max(largest, std::abs(value));
        }
    }
    return largest;
}

/// 0 to the run's end, as far as any window or reading reaches.
Range timeRange(const Assessment& assessment) {
    std::vector<double> ends{assessment.seconds};
    for (const PointResult& point : assessment.points) {
        for (const WindowMean& window : point.windows) {
            ends.push_back(window.endSeconds);
        }
    }
    for (const DistanceResult& distance : assessment.distances) {
        for (const auto& reading : distance.errorOverTime) {
            ends.push_back(reading.first);
        }
    }
    return {0.0, std::clamp(largestMagnitude(ends), kMinSeconds, kMaxSeconds)};
}

std::size_t strideFor(std::size_t count) {
    return count <= kMaxMarks ? 1 : (count + kMaxMarks - 1) / kMaxMarks;
}

// Ticks ------------------------------------------------------------------------------------------------

/// The step of 1, 2 or 5 times a power of ten nearest to giving `count` ticks over the range.
double niceStep(const Range& range, int count) {
    const double raw = (range.hi - range.lo) / std::max(count, 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    const double fraction = raw / magnitude;
    const double nice = fraction < 1.5 ? 1.0 : fraction < 3.5 ? 2.0 : fraction < 7.5 ? 5.0 : 10.0;
    return nice * magnitude;
}

std::vector<double> ticks(const Range& range, double step) {
    std::vector<double> values;
    const double first = std::ceil(range.lo / step - 1e-9);
    for (double k = first; values.size() < 40; k += 1.0) {
        const double value = k * step;
        if (value > range.hi + step * 1e-9) {
            break;
        }
        values.push_back(std::abs(value) < step * 1e-9 ? 0.0 : value);
    }
    return values;
}

/// The ticks' step along an axis of that many pixels: about one tick per `spacing` pixels, unless the
/// plane has one step for both axes.
double tickStep(const Plane& plane, const Range& range, double pixels, double spacing) {
    return plane.step > 0.0 ? plane.step : niceStep(range, std::max(2, static_cast<int>(pixels / spacing)));
}

QString tickLabel(double value, double step) {
    if (step >= 1.0e5) {
        return QString::number(value, 'g', 4);
    }
    const int decimals = std::clamp(static_cast<int>(-std::floor(std::log10(step) + 1e-9)), 0, 6);
    return QString::number(value, 'f', decimals);
}

// Axes and titles ----------------------------------------------------------------------------------------

void drawXTicks(QPainter& painter, const Plane& plane) {
    const double step = tickStep(plane, plane.x, plane.area.width(), 100.0);
    for (double value : ticks(plane.x, step)) {
        const QPointF at = plane.map(value, plane.y.lo);
        painter.setPen(kGrid);
        painter.drawLine(QPointF(at.x(), plane.area.top()), at);
        painter.setPen(kInk);
        painter.drawLine(at, at + QPointF(0.0, 4.0));
        painter.drawText(QRectF(at.x() - 40.0, at.y() + 5.0, 80.0, 14.0), Qt::AlignHCenter | Qt::AlignTop,
                         tickLabel(value, step));
    }
}

void drawYTicks(QPainter& painter, const Plane& plane) {
    const double step = tickStep(plane, plane.y, plane.area.height(), 50.0);
    for (double value : ticks(plane.y, step)) {
        const QPointF at = plane.map(plane.x.lo, value);
        painter.setPen(kGrid);
        painter.drawLine(at, QPointF(plane.area.right(), at.y()));
        painter.setPen(kInk);
        painter.drawLine(at, at - QPointF(4.0, 0.0));
        painter.drawText(QRectF(at.x() - 50.0, at.y() - 7.0, 44.0, 14.0), Qt::AlignRight | Qt::AlignVCenter,
                         tickLabel(value, step));
    }
}

/// The grid, the ticks with their numbers, the frame and the axes' names, before the data goes on top.
void drawAxes(QPainter& painter, const Plane& plane, const QString& xName, const QString& yName) {
    painter.save();
    painter.setFont(font(11));
    painter.setBrush(Qt::NoBrush);
    drawXTicks(painter, plane);
    drawYTicks(painter, plane);
    painter.setPen(kInk);
    painter.drawRect(plane.area);
    painter.drawText(QRectF(plane.area.left(), plane.area.bottom() + 19.0, plane.area.width(), 16.0),
                     Qt::AlignHCenter | Qt::AlignTop, xName);
    painter.translate(plane.area.left() - 54.0, plane.area.center().y());
    painter.rotate(-90.0);
    painter.drawText(QRectF(-plane.area.height() / 2.0, -16.0, plane.area.height(), 16.0),
                     Qt::AlignHCenter | Qt::AlignBottom, yName);
    painter.restore();
}

/// The title, centred over the data area (or wider, up to a scatter panel's width).
void drawTitle(QPainter& painter, const Plane& plane, const QString& text, const QColor& colour = kInk) {
    painter.save();
    painter.setFont(font(12, colour != kInk));
    painter.setPen(colour);
    const double width = std::max(plane.area.width(), kScatterWidth - 8.0);
    const QRectF line(plane.area.center().x() - width / 2.0, plane.area.top() - 21.0, width, 18.0);
    painter.drawText(line, Qt::AlignHCenter | Qt::AlignVCenter,
                     QFontMetricsF(painter.font()).elidedText(text, Qt::ElideRight, line.width()));
    painter.restore();
}

/// The panel's data area: room left for the title above, the numbers and names left and below.
QRectF dataArea(const QRectF& panel) {
    return panel.adjusted(62.0, 22.0, -14.0, -40.0);
}

/// The data area as a square, for views with equal scales on both axes.
QRectF squareArea(const QRectF& panel) {
    const QRectF area = dataArea(panel);
    const double side = std::min(area.width(), area.height());
    return QRectF(area.left() + (area.width() - side) / 2.0, area.top(), side, side);
}

void drawLevel(QPainter& painter, const Plane& plane, double value, const QPen& pen) {
    if (plane.y.holds(value)) {
        painter.setPen(pen);
        painter.drawLine(plane.map(plane.x.lo, value), plane.map(plane.x.hi, value));
    }
}

// Panels -------------------------------------------------------------------------------------------------

/// Readings as small translucent squares: where they crowd the colour deepens. Not smoothed: smoothing
/// adds nothing at this size but thousands of shades, which make the picture five times larger.
void drawMarks(QPainter& painter, const QPolygonF& marks) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.setPen(QPen(kMarks, 3.0, Qt::SolidLine, Qt::SquareCap));
    painter.drawPoints(marks);
    painter.restore();
}

/// The half-range of a point's scatter: every finite deviation and its 95% circle, with some room.
double scatterHalfRange(const PointResult& point) {
    std::vector<double> values{point.radius95Mm};
    const std::size_t stride = strideFor(point.deviations.size());
    for (std::size_t i = 0; i < point.deviations.size(); i += stride) {
        values.insert(values.end(), point.deviations[i].data(), point.deviations[i].data() + 3);
    }
    return largestMagnitude(values) * 1.12;
}

void drawScatterMarks(QPainter& painter, const Plane& plane, const std::vector<Eigen::Vector3d>& deviations,
                      int second) {
    QPolygonF marks;
    const std::size_t stride = strideFor(deviations.size());
    for (std::size_t i = 0; i < deviations.size(); i += stride) {
        const double a = deviations[i].x();
        const double b = deviations[i][second];
        if (std::isfinite(a) && std::isfinite(b) && plane.holds(a, b)) {
            marks << plane.map(a, b);
        }
    }
    drawMarks(painter, marks);
}

/// An axis of the scatter: the readings' offset from their mean along it.
QString offsetName(int axis) {
    return QStringLiteral("%1 \u2212 mean %1 (mm)").arg(kAxisNames[axis]);
}

/// The readings about their mean in the x-`second` plane, with the circle holding 95% of them as this
/// view shows them (the radius in space, in the row's caption, holds 95% of the points in space).
void drawScatter(QPainter& painter, const QRectF& panel, const PointResult& point, int second, double half) {
    const Range range = symmetric(half);
    const Plane plane{squareArea(panel), range, range, niceStep(range, 4)};
    const double radius95 = projectedRadius95(point.deviations, 0, second);
    drawTitle(painter, plane,
              QStringLiteral("x\u2013%1 view: circle holds 95%, radius %2 mm")
                  .arg(kAxisNames[second], mm(radius95)));
    drawAxes(painter, plane, offsetName(0), offsetName(second));
    painter.save();
    painter.setClipRect(plane.area);
    painter.setPen(QPen(kFaint, 1.0, Qt::DashLine));
    painter.drawLine(plane.map(plane.x.lo, 0.0), plane.map(plane.x.hi, 0.0));
    painter.drawLine(plane.map(0.0, plane.y.lo), plane.map(0.0, plane.y.hi));
    drawScatterMarks(painter, plane, point.deviations, second);
    const double radius = radius95 / (plane.x.hi - plane.x.lo) * plane.area.width();
    if (std::isfinite(radius) && radius > 0.0) {
        painter.setPen(QPen(kCircle, 2.0));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(plane.map(0.0, 0.0), radius, radius);
    }
    painter.restore();
}

/// Which colour is which axis: under the data area's lower right corner, beside the axis' name.
void drawLegend(QPainter& painter, const QRectF& area) {
    painter.save();
    painter.setFont(font(11));
    for (int axis = 0; axis < 3; ++axis) {
        const QPointF start(area.right() - 96.0 + axis * 34.0, area.bottom() + 27.0);
        painter.setPen(QPen(kAxisColours[axis], 2.0));
        painter.drawLine(start, start + QPointF(14.0, 0.0));
        painter.setPen(kInk);
        painter.drawText(QRectF(start.x() + 17.0, start.y() - 8.0, 14.0, 16.0),
                         Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(kAxisNames[axis]));
    }
    painter.restore();
}

/// One axis of the window means less the first window's, as a line through the windows' centres; a value
/// that is not finite breaks the line.
void drawDriftLine(QPainter& painter, const Plane& plane, const std::vector<WindowMean>& windows, int axis) {
    QPainterPath path;
    bool broken = true;
    for (const WindowMean& window : windows) {
        const double t = (window.startSeconds + window.endSeconds) / 2.0;
        const double value = window.mean[axis] - windows.front().mean[axis];
        if (!std::isfinite(t) || !std::isfinite(value) || !plane.holds(t, value)) {
            broken = true;
            continue;
        }
        const QPointF at = plane.map(t, value);
        if (broken) {
            path.moveTo(at);
        } else {
            path.lineTo(at);
        }
        path.addEllipse(at, 2.5, 2.5);
        path.moveTo(at);
        broken = false;
    }
    painter.setPen(QPen(kAxisColours[axis], 2.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
}

double driftHalfRange(const std::vector<WindowMean>& windows) {
    std::vector<double> values;
    for (const WindowMean& window : windows) {
        for (int axis = 0; axis < 3; ++axis) {
            values.push_back(window.mean[axis] - windows.front().mean[axis]);
        }
    }
    return largestMagnitude(values) * 1.15;
}

/// How the mean moved from window to window, per axis.
void drawDrift(QPainter& painter, const QRectF& panel, const PointResult& point, const Range& time) {
    const QString title = QStringLiteral("Drift %1 mm (%2 mm/min)%3")
                              .arg(mm(point.driftMm), mm(point.driftMmPerMinute),
                                   point.driftFlagged ? QStringLiteral(": more than the jitter") : QString());
    const Plane plane{dataArea(panel), time, symmetric(driftHalfRange(point.windows))};
    drawTitle(painter, plane, title, point.driftFlagged ? kAlarm : kInk);
    drawAxes(painter, plane, QStringLiteral("time (s)"), QStringLiteral("window mean \u2212 first (mm)"));
    painter.save();
    painter.setClipRect(plane.area.adjusted(-3.0, -3.0, 3.0, 3.0));
    drawLevel(painter, plane, 0.0, QPen(kFaint, 1.0));
    for (int axis = 0; axis < 3 && !point.windows.empty(); ++axis) {
        drawDriftLine(painter, plane, point.windows, axis);
    }
    painter.restore();
    drawLegend(painter, plane.area);
}

/// Which line is which in a distance's panel: under the data area's lower right corner.
void drawDistanceLegend(QPainter& painter, const QRectF& area) {
    painter.save();
    painter.setFont(font(11));
    const struct {
        QPen pen;
        QString name;
    } entries[] = {{QPen(kInk, 1.0), QStringLiteral("nominal")},
                   {QPen(kCircle, 2.0, Qt::DashLine), QStringLiteral("mean error")}};
    double x = area.right() - 210.0;
    for (const auto& entry : entries) {
        const QPointF start(x, area.bottom() + 27.0);
        painter.setPen(entry.pen);
        painter.drawLine(start, start + QPointF(22.0, 0.0));
        painter.setPen(kInk);
        painter.drawText(QRectF(start.x() + 26.0, start.y() - 8.0, 76.0, 16.0),
                         Qt::AlignLeft | Qt::AlignVCenter, entry.name);
        x += 104.0;
    }
    painter.restore();
}

/// The distance measured less its nominal, per reading, with the zero and the mean error.
void drawDistance(QPainter& painter, const QRectF& panel, const DistanceResult& distance, const Range& time) {
    std::vector<double> errors{distance.errorMm};
    for (const auto& reading : distance.errorOverTime) {
        errors.push_back(reading.second);
    }
    const Plane plane{dataArea(panel), time, symmetric(largestMagnitude(errors) * 1.15)};
    drawTitle(painter, plane,
              QStringLiteral("%1 to %2: error %3 mm, RMS %4 mm")
                  .arg(QString::fromStdString(distance.from), QString::fromStdString(distance.to),
                       mm(distance.errorMm), mm(distance.rmsErrorMm)));
    drawAxes(painter, plane, QStringLiteral("time (s)"),
             QStringLiteral("measured \u2212 %1 (mm)").arg(mm(distance.nominalMm)));
    painter.save();
    painter.setClipRect(plane.area);
    drawLevel(painter, plane, 0.0, QPen(kInk, 1.0));
    QPolygonF marks;
    const std::size_t stride = strideFor(distance.errorOverTime.size());
    for (std::size_t i = 0; i < distance.errorOverTime.size(); i += stride) {
        const auto& [t, error] = distance.errorOverTime[i];
        if (std::isfinite(t) && std::isfinite(error) && plane.holds(t, error)) {
            marks << plane.map(t, error);
        }
    }
    drawMarks(painter, marks);
    drawLevel(painter, plane, distance.errorMm, QPen(kCircle, 2.0, Qt::DashLine));
    painter.restore();
    drawDistanceLegend(painter, plane.area);
}

// Rows ---------------------------------------------------------------------------------------------------

QString pointCaption(const PointResult& point) {
    QString text = QStringLiteral("%1 (%2): seen in %3 of %4 frames (%5%)")
                       .arg(QString::fromStdString(point.label), QString::fromStdString(point.id))
                       .arg(point.seen)
                       .arg(point.frames)
                       .arg(point.seenRatio() * 100.0, 0, 'f', 1);
    if (point.motion.empty()) {
        text += QStringLiteral(", std x %1, y %2, z %3 mm")
                    .arg(mm(point.stdPerAxis.x()), mm(point.stdPerAxis.y()), mm(point.stdPerAxis.z()));
    }
    if (point.motion.empty() && point.angularStdDegrees && std::isfinite(*point.angularStdDegrees)) {
        text += QStringLiteral(", angular std %1\u00b0").arg(*point.angularStdDegrees, 0, 'f', 3);
    }
    return text;
}

void drawCaption(QPainter& painter, const QRectF& line, const QString& text, const QColor& colour) {
    painter.save();
    painter.setFont(font(13, true));
    painter.setPen(colour);
    painter.drawText(line, Qt::AlignLeft | Qt::AlignVCenter,
                     QFontMetricsF(painter.font()).elidedText(text, Qt::ElideRight, line.width()));
    painter.restore();
}

void drawPointRow(QPainter& painter, const QRectF& row, const PointResult& point, const Range& time) {
    drawCaption(painter, QRectF(row.left(), row.top(), row.width(), kCaptionHeight), pointCaption(point),
                kInk);
    if (!point.motion.empty()) {
        const QRectF line(row.left() + 16.0, row.top() + kCaptionHeight, row.width() - 16.0, kCaptionHeight);
        drawCaption(painter, line, QString::fromStdString(point.motion), kAlarm);
        return;
    }
    const double panelTop = row.top() + kCaptionHeight;
    const double panelHeight = row.height() - kCaptionHeight - 4.0;
    const double half = scatterHalfRange(point);
    drawScatter(painter, QRectF(row.left(), panelTop, kScatterWidth, panelHeight), point, 1, half);
    drawScatter(painter, QRectF(row.left() + kScatterWidth, panelTop, kScatterWidth, panelHeight), point, 2,
                half);
    const QRectF drift(row.left() + 2.0 * kScatterWidth, panelTop, row.width() - 2.0 * kScatterWidth,
                       panelHeight);
    drawDrift(painter, drift, point, time);
}

void drawHeader(QPainter& painter, const Assessment& assessment) {
    const QRectF first(kMargin, 8.0, kPlotWidth - 2.0 * kMargin, 22.0);
    painter.save();
    painter.setFont(font(15, true));
    painter.setPen(kInk);
    painter.drawText(
        first, Qt::AlignLeft | Qt::AlignVCenter,
        QStringLiteral("Tracking assessment: %1 frames over %2 s, in the %3 frame, windows of %4 s")
            .arg(assessment.frames)
            .arg(number(assessment.seconds, 1), QString::fromStdString(assessment.frame),
                 number(assessment.windowSeconds, 1)));
    painter.restore();
    const QRectF second = first.translated(0.0, 22.0);
    const auto reference =
        std::find_if(assessment.points.begin(), assessment.points.end(),
                     [&](const PointResult& p) { return isFrameReference(assessment, p); });
    if (assessment.refused()) {
        drawCaption(painter, second, QStringLiteral("Refused: a point moved during the run"), kAlarm);
    } else if (assessment.points.empty() && assessment.distances.empty()) {
        drawCaption(painter, second, QStringLiteral("Nothing was assessed"), kFaint);
    } else if (reference != assessment.points.end()) {
        drawCaption(painter, second,
                    QStringLiteral("%1 (%2) not drawn: the frame is its own, so each of its readings is 0")
                        .arg(QString::fromStdString(reference->label), QString::fromStdString(reference->id)),
                    kFaint);
    }
}

std::vector<Row> layoutRows(const Assessment& assessment) {
    std::vector<Row> rows;
    for (const PointResult& point : assessment.points) {
        if (!isFrameReference(assessment, point)) {
            rows.push_back(
                {&point, nullptr, point.motion.empty() ? kPlotPointRowHeight : kPlotMovedRowHeight});
        }
    }
    for (const DistanceResult& distance : assessment.distances) {
        rows.push_back({nullptr, &distance, kPlotDistanceRowHeight});
    }
    return rows;
}

QImage drawPlot(const Assessment& assessment) {
    const std::vector<Row> rows = layoutRows(assessment);
    const std::size_t drawn = std::min(rows.size(), kPlotMaxRows);
    int height = kPlotHeaderHeight + (drawn < rows.size() ? kPlotFooterHeight : 0);
    for (std::size_t i = 0; i < drawn; ++i) {
        height += rows[i].height;
    }
    QImage image(kPlotWidth, height, QImage::Format_RGB32);
    if (image.isNull()) {
        return image;
    }
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    drawHeader(painter, assessment);
    const Range time = timeRange(assessment);
    double top = kPlotHeaderHeight;
    for (std::size_t i = 0; i < drawn; ++i) {
        const QRectF row(kMargin, top, kPlotWidth - 2.0 * kMargin, rows[i].height);
        if (rows[i].point) {
            drawPointRow(painter, row, *rows[i].point, time);
        } else {
            drawDistance(painter, row, *rows[i].distance, time);
        }
        top += rows[i].height;
    }
    if (drawn < rows.size()) {
        drawCaption(painter, QRectF(kMargin, top, kPlotWidth - 2.0 * kMargin, kPlotFooterHeight),
                    QStringLiteral("%1 more rows not drawn").arg(rows.size() - drawn), kFaint);
    }
    return image;
}

/// The colours the picture is drawn in, each blended with the white paper in even steps: nearly every
/// pixel is one of them, smoothed or translucent. Held to these, the PNG is a fifth of its size.
QVector<QRgb> paperPalette() {
    constexpr int kSteps = 40;
    QVector<QRgb> palette{qRgb(255, 255, 255)};
    for (const QColor& ink : {kInk, kAlarm, kCircle, kAxisColours[0], kAxisColours[1], kAxisColours[2]}) {
        for (int step = 1; step <= kSteps; ++step) {
            const auto blend = [step](int channel) { return 255 - (255 - channel) * step / kSteps; };
            palette.push_back(qRgb(blend(ink.red()), blend(ink.green()), blend(ink.blue())));
        }
    }
    return palette;
}

std::string cannotWrite(const std::string& path, const std::string& reason) {
    return "cannot write " + path + ": " + reason;
}

}  // namespace

double projectedRadius95(const std::vector<Eigen::Vector3d>& deviations, int first, int second) {
    std::vector<double> distances;
    distances.reserve(deviations.size());
    for (const Eigen::Vector3d& d : deviations) {
        const double distance = std::hypot(d[first], d[second]);
        if (std::isfinite(distance)) {
            distances.push_back(distance);
        }
    }
    if (distances.empty()) {
        return 0.0;
    }
    // As the radius in space is chosen: the smallest that holds at least 95% of them.
    const auto k = static_cast<std::ptrdiff_t>(std::ceil(0.95 * static_cast<double>(distances.size()))) - 1;
    std::nth_element(distances.begin(), distances.begin() + k, distances.end());
    return distances[static_cast<std::size_t>(k)];
}

bool isFrameReference(const Assessment& assessment, const PointResult& point) {
    return !point.tip && !assessment.reference.empty() &&
           (point.id == assessment.reference || point.label == assessment.reference);
}

std::string plotPathProblem(const std::string& path) {
    const QFileInfo info(QString::fromStdString(path));
    if (path.empty() || !info.exists()) {
        return std::string();
    }
    if (info.isDir()) {
        return cannotWrite(path, "it is a folder");
    }
    // The picture replaces the file whole: a FIFO or a device would be replaced by a file, not written.
    return info.isFile() ? std::string() : cannotWrite(path, "it is not a regular file");
}

std::string writePlot(const Assessment& assessment, const std::string& path) {
    const QString file = QString::fromStdString(path);
    if (std::string problem = plotPathProblem(path); !problem.empty()) {
        return problem;
    }
    const QImage image =
        drawPlot(assessment)
            .convertToFormat(QImage::Format_Indexed8, paperPalette(), Qt::ThresholdDither | Qt::AvoidDither);
    QByteArray png;
    QBuffer buffer(&png);
    if (image.isNull() || !buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG")) {
        return cannotWrite(path, "the picture could not be drawn");
    }
    // Written beside and renamed into place: a failure leaves no half picture behind.
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(png) != png.size() || !out.commit()) {
        return cannotWrite(path, out.errorString().toStdString());
    }
    return std::string();
}

}  // namespace Halvoren::Assess

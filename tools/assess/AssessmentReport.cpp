#include "assess/AssessmentReport.h"

#include "HalvorenVersion.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <iomanip>
#include <ostream>
#include <sstream>

namespace Halvoren::Assess {

namespace {

std::string fixed(double value, int decimals = 3) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

std::string vector(const Eigen::Vector3d& v) {
    return fixed(v.x()) + ' ' + fixed(v.y()) + ' ' + fixed(v.z());
}

void writeLine(std::ostream& out, const std::string& what, const std::string& value) {
    out << "  " << std::left << std::setw(24) << what << value << '\n';
}

void writePoint(const PointResult& p, double windowSeconds, std::ostream& out) {
    out << p.label << " (" << p.id << "): seen " << fixed(p.seenRatio() * 100.0, 1) << "% of " << p.frames
        << " frames\n";
    if (!p.motion.empty()) {
        writeLine(out, "refused", p.motion + ": hold it still");
        return;
    }
    if (p.seen == 0) {
        writeLine(out, "no readings", "it was not seen in any frame");
        return;
    }
    writeLine(out, "mean position (mm)", vector(p.mean));
    writeLine(out, "precision (mm)",
              "std x " + fixed(p.stdPerAxis.x()) + " y " + fixed(p.stdPerAxis.y()) + " z " +
                  fixed(p.stdPerAxis.z()) + ", RMS " + fixed(p.rmsFromMeanMm) + ", 95% within " +
                  fixed(p.radius95Mm));
    if (p.angularStdDegrees) {
        writeLine(out, "orientation (degrees)", "std " + fixed(*p.angularStdDegrees));
    }
    if (p.meanRegistrationErrorMm) {
        writeLine(out, "registration error", fixed(*p.meanRegistrationErrorMm) + " mm (mean)");
    }
    if (p.windows.size() >= 2) {
        writeLine(out, "drift (mm)",
                  fixed(p.driftMm) + " over " + std::to_string(p.windows.size()) + " windows of " +
                      fixed(windowSeconds, 1) + " s (" + fixed(p.driftMmPerMinute) + " mm/min)" +
                      (p.driftFlagged ? ": more than the precision" : ""));
    } else {
        writeLine(out, "drift",
                  "none measured: the readings span less than two windows of " + fixed(windowSeconds, 1) +
                      " s (--window)");
    }
}

void writeDistance(const DistanceResult& d, std::ostream& out) {
    out << "distance " << d.from << " to " << d.to << ": nominal " << fixed(d.nominalMm) << " mm\n";
    if (d.readings == 0) {
        writeLine(out, "no readings", "the two were never seen in one frame");
        return;
    }
    writeLine(out, "measured (mm)",
              fixed(d.meanMm) + ", std " + fixed(d.stdMm) + ", " + std::to_string(d.readings) + " readings");
    writeLine(out, "trueness (mm)",
              "error " + std::string(d.errorMm >= 0 ? "+" : "") + fixed(d.errorMm) + ", RMS error " +
                  fixed(d.rmsErrorMm));
}

QJsonArray jsonVector(const Eigen::Vector3d& v) {
    return {v.x(), v.y(), v.z()};
}

QJsonObject pointJson(const PointResult& p) {
    QJsonObject o{{"label", QString::fromStdString(p.label)},
                  {"id", QString::fromStdString(p.id)},
                  {"tip", p.tip},
                  {"frames", static_cast<double>(p.frames)},
                  {"seen", static_cast<double>(p.seen)},
                  {"mean", jsonVector(p.mean)},
                  {"stdPerAxis", jsonVector(p.stdPerAxis)},
                  {"rmsFromMean", p.rmsFromMeanMm},
                  {"radius95", p.radius95Mm},
                  {"drift", p.driftMm},
                  {"driftPerMinute", p.driftMmPerMinute},
                  {"driftFlagged", p.driftFlagged}};
    o["angularStdDegrees"] = p.angularStdDegrees ? QJsonValue(*p.angularStdDegrees) : QJsonValue();
    o["meanRegistrationError"] =
        p.meanRegistrationErrorMm ? QJsonValue(*p.meanRegistrationErrorMm) : QJsonValue();
    o["motion"] = p.motion.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(p.motion));
    QJsonArray windows;
    for (const WindowMean& w : p.windows) {
        windows.append(QJsonObject{{"start", w.startSeconds},
                                   {"end", w.endSeconds},
                                   {"readings", static_cast<double>(w.readings)},
                                   {"mean", jsonVector(w.mean)}});
    }
    o["windows"] = windows;
    return o;
}

QJsonObject distanceJson(const DistanceResult& d) {
    return {{"from", QString::fromStdString(d.from)},
            {"to", QString::fromStdString(d.to)},
            {"nominal", d.nominalMm},
            {"readings", static_cast<double>(d.readings)},
            {"mean", d.meanMm},
            {"error", d.errorMm},
            {"std", d.stdMm},
            {"rmsError", d.rmsErrorMm}};
}

}  // namespace

void writeReport(const Assessment& assessment, std::ostream& out) {
    out << "assessment: " << assessment.frames << " frames over " << fixed(assessment.seconds, 2)
        << " s, positions in mm in the frame " << assessment.frame << '\n';
    for (const PointResult& point : assessment.points) {
        writePoint(point, assessment.windowSeconds, out);
    }
    for (const DistanceResult& distance : assessment.distances) {
        writeDistance(distance, out);
    }
}

std::string assessmentJson(const Assessment& assessment) {
    QJsonArray points;
    for (const PointResult& point : assessment.points) {
        points.append(pointJson(point));
    }
    QJsonArray distances;
    for (const DistanceResult& distance : assessment.distances) {
        distances.append(distanceJson(distance));
    }
    const QJsonObject root{{"frame", QString::fromStdString(assessment.frame)},
                           {"frames", static_cast<double>(assessment.frames)},
                           {"seconds", assessment.seconds},
                           {"windowSeconds", assessment.windowSeconds},
                           {"refused", assessment.refused()},
                           {"points", points},
                           {"distances", distances},
                           {"version", QStringLiteral(HALVOREN_VERSION)}};  // of the program that wrote it
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace Halvoren::Assess

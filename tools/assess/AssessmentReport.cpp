#include "assess/AssessmentReport.h"

#include "HalvorenVersion.h"
#include "text/JsonWriter.h"

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
    if (!p.spreadMeasured()) {
        writeLine(out, "precision", "none measured: one reading, a spread takes two at least");
    } else {
        writeLine(out, "precision (mm)",
                  "std x " + fixed(p.stdPerAxis.x()) + " y " + fixed(p.stdPerAxis.y()) + " z " +
                      fixed(p.stdPerAxis.z()) + ", RMS " + fixed(p.rmsFromMeanMm) + ", 95% within " +
                      fixed(p.radius95Mm));
        if (p.angularStdDegrees) {
            writeLine(out, "orientation (degrees)", "std " + fixed(*p.angularStdDegrees));
        }
    }
    if (p.meanRegistrationErrorMm) {
        writeLine(out, "registration error", fixed(*p.meanRegistrationErrorMm) + " mm (mean)");
    }
    if (p.driftMeasured()) {
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
              fixed(d.meanMm) + (d.spreadMeasured() ? ", std " + fixed(d.stdMm) + ", " : ", no std: ") +
                  std::to_string(d.readings) + (d.readings == 1 ? " reading" : " readings"));
    writeLine(out, "trueness (mm)",
              "error " + std::string(d.errorMm >= 0 ? "+" : "") + fixed(d.errorMm) + ", RMS error " +
                  fixed(d.rmsErrorMm));
}

/// A figure that was measured, or null.
void measured(Text::JsonWriter& json, const char* key, bool known, double value) {
    json.key(key);
    if (known) {
        json.number(value);
    } else {
        json.null();
    }
}

void measuredVector(Text::JsonWriter& json, const char* key, bool known, const Eigen::Vector3d& v) {
    json.key(key);
    if (known) {
        json.vector3(v);
    } else {
        json.null();
    }
}

void pointJson(const PointResult& p, Text::JsonWriter& json) {
    json.beginObject();
    json.key("label").string(p.label).key("id").string(p.id).key("tip").boolean(p.tip);
    json.key("frames").integer(p.frames).key("seen").integer(p.seen);
    // What a spread needs two readings for, and a drift two windows for, is null without them.
    const bool spread = p.spreadMeasured();
    const bool drift = p.driftMeasured();
    measuredVector(json, "mean", p.seen != 0, p.mean);
    measuredVector(json, "stdPerAxis", spread, p.stdPerAxis);
    measured(json, "rmsFromMean", spread, p.rmsFromMeanMm);
    measured(json, "radius95", spread, p.radius95Mm);
    measured(json, "drift", drift, p.driftMm);
    measured(json, "driftPerMinute", drift, p.driftMmPerMinute);
    json.key("driftFlagged").boolean(p.driftFlagged);
    json.key("angularStdDegrees").number(spread ? p.angularStdDegrees : std::nullopt);
    json.key("meanRegistrationError").number(p.meanRegistrationErrorMm);
    json.key("motion");
    if (p.motion.empty()) {
        json.null();
    } else {
        json.string(p.motion);
    }
    json.key("windows").beginArray();
    for (const WindowMean& w : p.windows) {
        json.beginObject().key("start").number(w.startSeconds).key("end").number(w.endSeconds);
        json.key("readings").integer(w.readings).key("mean").vector3(w.mean).endObject();
    }
    json.endArray().endObject();
}

void distanceJson(const DistanceResult& d, Text::JsonWriter& json) {
    json.beginObject();
    json.key("from").string(d.from).key("to").string(d.to).key("nominal").number(d.nominalMm);
    json.key("readings").integer(d.readings);
    measured(json, "mean", d.readings != 0, d.meanMm);
    measured(json, "error", d.readings != 0, d.errorMm);
    measured(json, "std", d.spreadMeasured(), d.stdMm);
    measured(json, "rmsError", d.readings != 0, d.rmsErrorMm);
    json.endObject();
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
    Text::JsonWriter json(Text::JsonWriter::Layout::Indented);
    json.beginObject();
    json.key("frame").string(assessment.frame).key("frames").integer(assessment.frames);
    json.key("seconds").number(assessment.seconds).key("windowSeconds").number(assessment.windowSeconds);
    json.key("refused").boolean(assessment.refused());
    json.key("points").beginArray();
    for (const PointResult& point : assessment.points) {
        pointJson(point, json);
    }
    json.endArray().key("distances").beginArray();
    for (const DistanceResult& distance : assessment.distances) {
        distanceJson(distance, json);
    }
    json.endArray().key("version").string(HALVOREN_VERSION);  // of the program that wrote it
    json.endObject();
    return json.take() + '\n';
}

}  // namespace Halvoren::Assess

#include "sequence/TrackingCodec.h"

#include "sequence/SequenceFormat.h"
#include "sequence/TrackingFields.h"
#include "text/Text.h"
#include "text/ToolTip.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>
#include <string_view>

namespace Halvoren::Sequence {

namespace Names = TrackingFields;

namespace {

constexpr std::uint64_t kMaxUint32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMaxUint64 = std::numeric_limits<std::uint64_t>::max();

// A header value holds no line break; a name with one keeps its other characters.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

bool isFieldName(const std::string& field) {
    return !field.empty() && Names::fieldNameOf(field) == field;
}

// File content in a message: without control characters, and short.
std::string quoted(const std::string& text) {
    return "'" + Format::printable(text) + "'";
}

// The numbers of a field that must be there.
bool numbersOf(const Fields& fields, const std::string& name, std::vector<double>& values, std::string& why) {
    const std::string* text = findField(fields, name);
    if (text == nullptr) {
        why = "no field " + name;
        return false;
    }
    if (!Text::parseNumbers(*text, values)) {
        why = name + " is not numbers: " + quoted(*text);
        return false;
    }
    return true;
}

// A whole number up to `maximum`; a field that is not there is 0, unless it is required. Exact: counters
// and stamps in microseconds pass 2^53.
bool wholeField(const Fields& fields, const std::string& name, std::uint64_t maximum, bool required,
                std::uint64_t& value, std::string& why) {
    const std::string* text = findField(fields, name);
    value = 0;
    if (text == nullptr) {
        if (required) {
            why = "no field " + name;
        }
        return !required;
    }
    if (!Text::parseUnsigned(*text, value) || value > maximum) {
        why = name + " is not a whole number up to " + std::to_string(maximum) + ": " + quoted(*text);
        return false;
    }
    return true;
}

bool isWhole(double value, double minimum, double maximum) {
    return value >= minimum && value <= maximum && std::floor(value) == value;
}

// Only the version this codec writes.
bool checkVersion(const Fields& fields, std::string& why) {
    const std::string* text = findField(fields, Names::kVersion);
    std::uint64_t version = 0;
    if (text == nullptr || !Text::parseUnsigned(*text, version) ||
        version != static_cast<std::uint64_t>(Names::kRecordingVersion)) {
        why = std::string("not a tracking recording of version ") + std::to_string(Names::kRecordingVersion) +
              " (" + Names::kVersion + ")";
        return false;
    }
    return true;
}

// With images, the size of one camera's image.
bool imageSizeOf(const Fields& fields, RecordingHeader& header, std::string& why) {
    const std::string* images = findField(fields, Names::kImages);
    header.imageWidth = 0;
    header.imageHeight = 0;
    if (images == nullptr || *images != "True") {
        return true;
    }
    const auto side = static_cast<std::uint64_t>(kMaxRecordedImageSide);
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    if (!wholeField(fields, Names::kImageWidth, side, true, width, why) ||
        !wholeField(fields, Names::kImageHeight, side, true, height, why)) {
        return false;
    }
    if (width == 0 || height == 0) {
        why = std::string(Names::kImages) + " is True but the images have no pixels";
        return false;
    }
    header.imageWidth = static_cast<int>(width);
    header.imageHeight = static_cast<int>(height);
    return true;
}

// Marker k's tip, when the recording has one for it: x y z, by the rule for every tip (ToolTip).
bool tipOf(const Fields& fields, std::size_t k, RecordedMarker& marker, std::string& why) {
    const std::string name = Names::markerField(k, "Tip");
    if (findField(fields, name) == nullptr) {
        return true;
    }
    std::vector<double> tip;
    if (!numbersOf(fields, name, tip, why)) {
        return false;
    }
    if (tip.size() != 3) {
        why = name + " is not x y z, three finite numbers of mm: " + quoted(*findField(fields, name));
        return false;
    }
    if (const std::string problem = ToolTip::problem(tip[0], tip[1], tip[2]); !problem.empty()) {
        why = name + ": the tip " + problem + ": " + quoted(*findField(fields, name));
        return false;
    }
    marker.tip = std::array<double, 3>{tip[0], tip[1], tip[2]};
    return true;
}

// Marker k of the recording's fields; `taken` holds the fields of the markers before it.
bool markerOf(const Fields& fields, std::size_t k, std::set<std::string>& taken, RecordedMarker& marker,
              std::string& why) {
    const std::string* name = findField(fields, Names::markerField(k, "Name"));
    const std::string* id = findField(fields, Names::markerField(k, "Id"));
    const std::string* field = findField(fields, Names::markerField(k, "Field"));
    if (name == nullptr || id == nullptr || field == nullptr) {
        why = "marker " + std::to_string(k) + " lacks its name, ID or field";
        return false;
    }
    if (!isFieldName(*field) || !taken.insert(*field).second) {
        why = "marker " + std::to_string(k) + ": " + quoted(*field) +
              " is not a field name, or another marker's";
        return false;
    }
    std::uint64_t geometryId = 0;
    std::vector<double> fiducials;
    if (!wholeField(fields, Names::markerField(k, "GeometryId"), kMaxUint32, true, geometryId, why) ||
        !numbersOf(fields, Names::markerField(k, "Fiducials"), fiducials, why) ||
        !tipOf(fields, k, marker, why)) {
        return false;
    }
    if (fiducials.size() % 3 != 0) {
        why = Names::markerField(k, "Fiducials") + " is not x y z triples";
        return false;
    }
    marker.name = *name;
    marker.id = *id;
    marker.field = *field;
    marker.geometryId = static_cast<std::uint32_t>(geometryId);
    for (std::size_t i = 0; i < fiducials.size(); i += 3) {
        marker.fiducials.push_back({fiducials[i], fiducials[i + 1], fiducials[i + 2]});
    }
    return true;
}

// The frame's number and time stamps.
bool frameStampsOf(const Fields& fields, RecordedFrame& frame, std::string& why) {
    std::uint64_t number = 0;
    if (!wholeField(fields, Names::kFrameNumber, kMaxUint32, true, number, why) ||
        !wholeField(fields, Names::kExposure, kMaxUint64, false, frame.exposureUs, why) ||
        !wholeField(fields, Names::kTimestampMs, kMaxUint64, false, frame.timestampMs, why) ||
        !Names::timestampOf(fields, frame.timestampSeconds, why)) {
        return false;
    }
    frame.frameNumber = static_cast<std::uint32_t>(number);
    return true;
}

// A marker's recorded status: OK or INVALID.
bool statusOf(const Fields& fields, const std::string& field, bool& ok, std::string& why) {
    const std::string name = Names::statusField(field);
    const std::string* status = findField(fields, name);
    if (status == nullptr || (*status != "OK" && *status != "INVALID")) {
        why = name + " is not OK or INVALID" + (status != nullptr ? ": " + quoted(*status) : std::string());
        return false;
    }
    ok = *status == "OK";
    return true;
}

// A float as the shortest text that reads back to it.
std::string formatFloat(float value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// The registration error, when the frame has one for the marker: one number in the camera's single
// precision, read as a float directly (through a double it could round differently).
bool registrationErrorOf(const Fields& fields, const std::string& field, RecordedPose& pose,
                         std::string& why) {
    const std::string name = Names::registrationErrorField(field);
    const std::string* text = findField(fields, name);
    if (text == nullptr) {
        return true;
    }
    const std::string_view number = Text::trim(*text);
    float error = 0.0f;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), error);
    if (number.empty() || result.ec != std::errc() || result.ptr != number.data() + number.size()) {
        why = name + " is not one number of single precision: " + quoted(*text);
        return false;
    }
    pose.registrationErrorMm = error;
    return true;
}

bool poseOf(const Fields& fields, const RecordedMarker& marker, RecordedPose& pose, std::string& why) {
    std::vector<double> values;
    std::vector<double> quality;
    const std::string transformName = Names::transformField(marker.field);
    const std::string qualityName = Names::qualityField(marker.field);
    if (!numbersOf(fields, transformName, values, why) || !numbersOf(fields, qualityName, quality, why)) {
        return false;
    }
    if (values.size() != 16 || quality.size() != 1 || !std::isfinite(quality[0])) {
        why = transformName + " is not 16 numbers, or " + qualityName + " not one finite number";
        return false;
    }
    bool ok = false;
    if (!statusOf(fields, marker.field, ok, why) || !registrationErrorOf(fields, marker.field, pose, why)) {
        return false;
    }
    // A pose that is no rigid motion is no pose: INVALID, and nothing of it reaches an output.
    pose.rigid = Names::isRigidMotion(values);
    if (pose.rigid) {
        std::copy(values.begin(), values.end(), pose.transform.begin());
    }
    pose.statusOk = ok && pose.rigid;
    pose.quality = quality[0];
    return true;
}

// One fiducial from its recorded values; false when a pixel count or its marker's index is off.
bool fiducialOf(const double* v, double lastMarker, RecordedFiducial& fiducial) {
    const double maxCount = static_cast<double>(kMaxUint32);
    if (!isWhole(v[6], 0.0, maxCount) || !isWhole(v[7], 0.0, maxCount) || !isWhole(v[8], -1.0, lastMarker)) {
        return false;
    }
    fiducial = {v[0],
                v[1],
                v[2],
                v[3],
                v[4],
                v[5],
                static_cast<std::uint32_t>(v[6]),
                static_cast<std::uint32_t>(v[7]),
                static_cast<std::int32_t>(v[8])};
    return true;
}

// The frame's fiducials, when it has the field: a count, then their values one fiducial after another.
bool fiducialsOf(const Fields& fields, std::size_t markerCount, std::vector<RecordedFiducial>& fiducials,
                 std::string& why) {
    if (findField(fields, Names::kFiducials) == nullptr) {
        return true;
    }
    std::vector<double> values;
    if (!numbersOf(fields, Names::kFiducials, values, why)) {
        return false;
    }
    if (values.empty() || !isWhole(values[0], 0.0, static_cast<double>(values.size())) ||
        values.size() != 1 + static_cast<std::size_t>(values[0]) * Names::kFiducialValues) {
        why = std::string(Names::kFiducials) + " is not a count and " +
              std::to_string(Names::kFiducialValues) + " numbers per fiducial";
        return false;
    }
    const auto n = static_cast<std::size_t>(values[0]);
    const double lastMarker = static_cast<double>(markerCount) - 1.0;
    fiducials.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!fiducialOf(values.data() + 1 + i * Names::kFiducialValues, lastMarker, fiducials[i])) {
            why = std::string(Names::kFiducials) + ": fiducial " + std::to_string(i) +
                  " has a bad pixel count or marker index";
            return false;
        }
    }
    return true;
}

std::vector<double> fiducialValues(const std::vector<RecordedFiducial>& fiducials) {
    std::vector<double> values{static_cast<double>(fiducials.size())};
    values.reserve(1 + fiducials.size() * Names::kFiducialValues);
    for (const RecordedFiducial& f : fiducials) {
        values.insert(values.end(),
                      {f.x, f.y, f.z, f.probability, f.epipolarError, f.triangulationError,
                       static_cast<double>(f.leftPixelCount), static_cast<double>(f.rightPixelCount),
                       static_cast<double>(f.markerIndex)});
    }
    return values;
}

}  // namespace

bool operator==(const RecordedMarker& a, const RecordedMarker& b) {
    return a.name == b.name && a.id == b.id && a.field == b.field && a.geometryId == b.geometryId &&
           a.fiducials == b.fiducials && a.tip == b.tip;
}

bool operator==(const RecordedPose& a, const RecordedPose& b) {
    return a.transform == b.transform && a.rigid == b.rigid && a.statusOk == b.statusOk &&
           a.quality == b.quality && a.registrationErrorMm == b.registrationErrorMm;
}

bool operator==(const RecordedFiducial& a, const RecordedFiducial& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z && a.probability == b.probability &&
           a.epipolarError == b.epipolarError && a.triangulationError == b.triangulationError &&
           a.leftPixelCount == b.leftPixelCount && a.rightPixelCount == b.rightPixelCount &&
           a.markerIndex == b.markerIndex;
}

bool operator==(const RecordedFrame& a, const RecordedFrame& b) {
    return a.frameNumber == b.frameNumber && a.timestampSeconds == b.timestampSeconds &&
           a.exposureUs == b.exposureUs && a.timestampMs == b.timestampMs && a.poses == b.poses &&
           a.fiducials == b.fiducials && a.stale == b.stale;
}

void assignMarkerFields(std::vector<RecordedMarker>& markers) {
    std::set<std::string> taken;
    for (RecordedMarker& marker : markers) {
        if (!isFieldName(marker.field) || taken.count(marker.field) != 0) {
            const std::string base = Names::fieldNameOf(marker.name);
            marker.field = base;
            for (int n = 2; taken.count(marker.field) != 0; ++n) {
                marker.field = base + "_" + std::to_string(n);
            }
        }
        taken.insert(marker.field);
    }
}

Fields recordingFields(const RecordingHeader& header) {
    const bool images = header.images();
    Fields fields{
        {Names::kVersion, std::to_string(Names::kRecordingVersion)},
        {Names::kImages, images ? "True" : "False"},
        {Names::kImageWidth, std::to_string(images ? header.imageWidth : 0)},
        {Names::kImageHeight, std::to_string(images ? header.imageHeight : 0)},
        {Names::kMarkerCount, std::to_string(header.markers.size())},
    };
    for (std::size_t k = 0; k < header.markers.size(); ++k) {
        const RecordedMarker& marker = header.markers[k];
        std::vector<double> fiducials;
        for (const auto& point : marker.fiducials) {
            fiducials.insert(fiducials.end(), point.begin(), point.end());
        }
        fields.emplace_back(Names::markerField(k, "Name"), oneLine(marker.name));
        fields.emplace_back(Names::markerField(k, "Id"), oneLine(marker.id));
        fields.emplace_back(Names::markerField(k, "Field"), marker.field);
        fields.emplace_back(Names::markerField(k, "GeometryId"), std::to_string(marker.geometryId));
        fields.emplace_back(Names::markerField(k, "Fiducials"), Text::formatNumbers(fiducials));
        if (marker.tip) {
            fields.emplace_back(Names::markerField(k, "Tip"),
                                Text::formatNumbers({marker.tip->begin(), marker.tip->end()}));
        }
    }
    return fields;
}

Expected<RecordingHeader> recordingOf(const Fields& fields) {
    RecordingHeader header;
    std::string why;
    std::uint64_t count = 0;
    if (!checkVersion(fields, why) || !imageSizeOf(fields, header, why) ||
        !wholeField(fields, Names::kMarkerCount, kMaxRecordedMarkers, false, count, why)) {
        return makeError(ErrorKind::BadInput, why);
    }
    std::set<std::string> taken;
    header.markers.resize(count);
    for (std::size_t k = 0; k < count; ++k) {
        if (!markerOf(fields, k, taken, header.markers[k], why)) {
            return makeError(ErrorKind::BadInput, why);
        }
    }
    return header;
}

Fields frameFields(const RecordedFrame& frame, const std::vector<RecordedMarker>& markers) {
    Fields fields{
        {Names::kFrameNumber, std::to_string(frame.frameNumber)},
        {Names::kTimestamp, Text::formatNumber(frame.timestampSeconds)},
        {Names::kExposure, std::to_string(frame.exposureUs)},
        {Names::kTimestampMs, std::to_string(frame.timestampMs)},
    };
    const RecordedPose unseen;
    for (std::size_t k = 0; k < markers.size(); ++k) {
        const RecordedPose& pose = k < frame.poses.size() ? frame.poses[k] : unseen;
        const std::string& field = markers[k].field;
        fields.emplace_back(Names::transformField(field),
                            Text::formatNumbers({pose.transform.begin(), pose.transform.end()}));
        fields.emplace_back(Names::statusField(field), pose.statusOk ? "OK" : "INVALID");
        fields.emplace_back(Names::qualityField(field), Text::formatNumber(pose.quality));
        if (pose.registrationErrorMm) {
            fields.emplace_back(Names::registrationErrorField(field), formatFloat(*pose.registrationErrorMm));
        }
    }
    fields.emplace_back(Names::kFiducials, Text::formatNumbers(fiducialValues(frame.fiducials)));
    if (frame.stale) {
        fields.emplace_back(Names::kStale, "1");
    }
    return fields;
}

bool frameOf(const Fields& fields, const std::vector<RecordedMarker>& markers, RecordedFrame& frame,
             std::string& why) {
    frame = RecordedFrame();
    if (!frameStampsOf(fields, frame, why)) {
        return false;
    }
    frame.poses.resize(markers.size());
    for (std::size_t k = 0; k < markers.size(); ++k) {
        if (!poseOf(fields, markers[k], frame.poses[k], why)) {
            return false;
        }
    }
    if (!fiducialsOf(fields, markers.size(), frame.fiducials, why)) {
        return false;
    }
    const std::string* stale = findField(fields, Names::kStale);
    frame.stale = stale != nullptr && *stale == "1";
    return true;
}

}  // namespace Halvoren::Sequence

#include "record/RecordedFrames.h"

#include "health/FrameAccounting.h"
#include "host/TrackingStream.h"
#include "sequence/SequenceFormat.h"
#include "sequence/TrackingFields.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <set>

namespace Halvoren::Record {

namespace Names = Sequence::TrackingFields;
using Sequence::Fields;
using Sequence::findField;

namespace {

constexpr std::uint64_t kMaxUint32 = std::numeric_limits<std::uint32_t>::max();
// As many as a replay accepts.
constexpr std::uint64_t kMaxMarkers = 1'000'000;

// A header value holds no line break; a name with one keeps its other characters.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    return text;
}

// Decimal digits alone, exactly: counters and stamps in microseconds pass 2^53.
bool parseWhole(const std::string& text, std::uint64_t maximum, std::uint64_t& value) {
    const char* const end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && value <= maximum;
}

bool isFieldName(const std::string& field) {
    return !field.empty() && Names::fieldNameOf(field) == field;
}

// File content in a message: without control characters, and short.
std::string quoted(const std::string& text) {
    return "'" + Sequence::Format::printable(text) + "'";
}

// The numbers of a field that must be there.
bool numbersOf(const Fields& fields, const std::string& name, std::vector<double>& values,
               std::string& error) {
    const std::string* text = findField(fields, name);
    if (text == nullptr) {
        error = "no field " + name;
        return false;
    }
    if (!Names::parseNumbers(*text, values)) {
        error = name + " is not numbers: " + quoted(*text);
        return false;
    }
    return true;
}

bool wholeField(const Fields& fields, const std::string& name, std::uint64_t maximum, bool required,
                std::uint64_t& value, std::string& error) {
    const std::string* text = findField(fields, name);
    if (text == nullptr) {
        value = 0;
        if (required) {
            error = "no field " + name;
        }
        return !required;
    }
    if (!parseWhole(*text, maximum, value)) {
        error = name + " is not a whole number up to " + std::to_string(maximum) + ": " + quoted(*text);
        return false;
    }
    return true;
}

bool isWhole(double value, double minimum, double maximum) {
    return value >= minimum && value <= maximum && std::floor(value) == value;
}

const TrackingInstrument* instrumentOf(const RecordedFrame& frame, const std::string& id) {
    for (const TrackingInstrument& instrument : frame.instruments) {
        if (instrument.id.ID == id) {
            return &instrument;
        }
    }
    return nullptr;
}

// The frame's number and time stamps.
bool frameStampsOf(const Fields& fields, RecordedFrame& frame, std::string& error) {
    std::uint64_t number = 0;
    if (!wholeField(fields, Names::kFrameNumber, kMaxUint32, true, number, error) ||
        !wholeField(fields, Names::kExposure, std::numeric_limits<std::uint64_t>::max(), false,
                    frame.exposureUs, error) ||
        !wholeField(fields, Names::kTimestampMs, std::numeric_limits<std::uint64_t>::max(), false,
                    frame.timestampMs, error) ||
        !Names::timestampOf(fields, frame.timestampSeconds, error)) {
        return false;
    }
    frame.frameNumber = static_cast<std::uint32_t>(number);
    return true;
}

// A marker's recorded status: OK or INVALID.
bool recordedStatusOf(const Fields& fields, const std::string& field, bool& ok, std::string& error) {
    const std::string name = Names::statusField(field);
    const std::string* status = findField(fields, name);
    if (status == nullptr || (*status != "OK" && *status != "INVALID")) {
        error = name + " is not OK or INVALID" + (status != nullptr ? ": " + quoted(*status) : std::string());
        return false;
    }
    ok = *status == "OK";
    return true;
}

// One instrument per marker, in the markers' order, stamped with the frame's time stamp.
bool markerInstrumentsOf(const Fields& fields, const std::vector<RecordedMarker>& markers,
                         RecordedFrame& frame, std::string& error) {
    for (const RecordedMarker& marker : markers) {
        std::vector<double> values;
        std::vector<double> quality;
        const std::string transformName = Names::transformField(marker.field);
        const std::string qualityName = Names::qualityField(marker.field);
        if (!numbersOf(fields, transformName, values, error) ||
            !numbersOf(fields, qualityName, quality, error)) {
            return false;
        }
        if (values.size() != 16 || quality.size() != 1 || !std::isfinite(quality[0])) {
            error = transformName + " is not 16 numbers, or " + qualityName + " not one finite number";
            return false;
        }
        bool ok = false;
        if (!recordedStatusOf(fields, marker.field, ok, error)) {
            return false;
        }
        TrackingInstrument instrument;
        instrument.id = TrackerID(marker.id, "", marker.name);
        // A pose that is no rigid motion is no pose: INVALID, and nothing of it reaches an output.
        const bool rigid = Names::isRigidMotion(values);
        for (int row = 0; rigid && row < 4; ++row) {
            for (int column = 0; column < 4; ++column) {
                instrument.pose(row, column) = values[static_cast<std::size_t>(4 * row + column)];
            }
        }
        instrument.quality = quality[0];
        instrument.timestamp = frame.timestampMs;
        frame.instruments.push_back(std::move(instrument));
        frame.statusOk.push_back(ok && rigid);
    }
    return true;
}

// One fiducial from its recorded values; false when a pixel count or its marker's index is off.
bool fiducialOf(const double* v, double lastMarker, RecordedFiducial& fiducial) {
    const double maxCount = static_cast<double>(kMaxUint32);
    if (!isWhole(v[6], 0.0, maxCount) || !isWhole(v[7], 0.0, maxCount) || !isWhole(v[8], -1.0, lastMarker)) {
        return false;
    }
    fiducial.x = v[0];
    fiducial.y = v[1];
    fiducial.z = v[2];
    fiducial.probability = v[3];
    fiducial.epipolarError = v[4];
    fiducial.triangulationError = v[5];
    fiducial.leftPixelCount = static_cast<std::uint32_t>(v[6]);
    fiducial.rightPixelCount = static_cast<std::uint32_t>(v[7]);
    fiducial.instrumentIndex = static_cast<std::int32_t>(v[8]);
    return true;
}

// The frame's fiducials, when it has the field: a count, then their values one fiducial after another.
bool fiducialsOf(const Fields& fields, std::size_t markerCount, std::vector<RecordedFiducial>& fiducials,
                 std::string& error) {
    if (findField(fields, Names::kFiducials) == nullptr) {
        return true;
    }
    std::vector<double> values;
    if (!numbersOf(fields, Names::kFiducials, values, error)) {
        return false;
    }
    const std::size_t n = values.empty() ? 0 : static_cast<std::size_t>(std::max(values[0], 0.0));
    if (values.empty() || !isWhole(values[0], 0.0, static_cast<double>(values.size())) ||
        values.size() != 1 + n * Names::kFiducialValues) {
        error = std::string(Names::kFiducials) + " is not a count and " +
                std::to_string(Names::kFiducialValues) + " numbers per fiducial";
        return false;
    }
    const double lastMarker = static_cast<double>(markerCount) - 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        RecordedFiducial fiducial;
        if (!fiducialOf(values.data() + 1 + i * Names::kFiducialValues, lastMarker, fiducial)) {
            error = std::string(Names::kFiducials) + ": fiducial " + std::to_string(i) +
                    " has a bad pixel count or marker index";
            return false;
        }
        fiducials.push_back(fiducial);
    }
    return true;
}

}  // namespace

void assignMarkerFields(std::vector<RecordedMarker>& markers) {
    std::set<std::string> taken;
    for (RecordedMarker& marker : markers) {
        if (!isFieldName(marker.field) || taken.count(marker.field) != 0) {
            const std::string base = Names::fieldNameOf(marker.name);
            marker.field = base;
            for (int n = 2; taken.count(marker.field) != 0; ++n) {
                marker.field = base + std::to_string(n);
            }
        }
        taken.insert(marker.field);
    }
}

Fields recordingFields(const std::vector<RecordedMarker>& markers, int imageWidth, int imageHeight) {
    const bool images = imageWidth > 0 && imageHeight > 0;
    Fields fields{
        {Names::kVersion, std::to_string(Names::kRecordingVersion)},
        {Names::kImages, images ? "True" : "False"},
        {Names::kImageWidth, std::to_string(images ? imageWidth : 0)},
        {Names::kImageHeight, std::to_string(images ? imageHeight : 0)},
        {Names::kMarkerCount, std::to_string(markers.size())},
    };
    for (std::size_t k = 0; k < markers.size(); ++k) {
        const RecordedMarker& marker = markers[k];
        std::vector<double> fiducials;
        for (const auto& point : marker.fiducials) {
            fiducials.insert(fiducials.end(), point.begin(), point.end());
        }
        fields.emplace_back(Names::markerField(k, "Name"), oneLine(marker.name));
        fields.emplace_back(Names::markerField(k, "Id"), oneLine(marker.id));
        fields.emplace_back(Names::markerField(k, "Field"), marker.field);
        fields.emplace_back(Names::markerField(k, "GeometryId"), std::to_string(marker.geometryId));
        fields.emplace_back(Names::markerField(k, "Fiducials"), Names::formatNumbers(fiducials));
    }
    return fields;
}

bool markersOf(const Fields& fields, std::vector<RecordedMarker>& markers, std::string& error) {
    markers.clear();
    std::uint64_t count = 0;
    if (!wholeField(fields, Names::kMarkerCount, kMaxMarkers, false, count, error)) {
        return false;
    }
    std::set<std::string> taken;
    for (std::size_t k = 0; k < count; ++k) {
        RecordedMarker marker;
        const std::string* name = findField(fields, Names::markerField(k, "Name"));
        const std::string* id = findField(fields, Names::markerField(k, "Id"));
        const std::string* field = findField(fields, Names::markerField(k, "Field"));
        if (name == nullptr || id == nullptr || field == nullptr) {
            error = "marker " + std::to_string(k) + " lacks its name, ID or field";
            return false;
        }
        if (!isFieldName(*field) || !taken.insert(*field).second) {
            error = "marker " + std::to_string(k) + ": " + quoted(*field) +
                    " is not a field name, or another marker's";
            return false;
        }
        std::uint64_t geometryId = 0;
        std::vector<double> fiducials;
        if (!wholeField(fields, Names::markerField(k, "GeometryId"), kMaxUint32, true, geometryId, error) ||
            !numbersOf(fields, Names::markerField(k, "Fiducials"), fiducials, error)) {
            return false;
        }
        if (fiducials.size() % 3 != 0) {
            error = Names::markerField(k, "Fiducials") + " is not x y z triples";
            return false;
        }
        marker.name = *name;
        marker.id = *id;
        marker.field = *field;
        marker.geometryId = static_cast<std::uint32_t>(geometryId);
        for (std::size_t i = 0; i < fiducials.size(); i += 3) {
            marker.fiducials.push_back({fiducials[i], fiducials[i + 1], fiducials[i + 2]});
        }
        markers.push_back(std::move(marker));
    }
    return true;
}

RecordedFrame recordedFrameOf(const TrackingStreamData& data) {
    RecordedFrame frame;
    if (const auto* info = data.components().get<TrackingFrameInfoData>()) {
        frame.frameNumber = info->counter;
        frame.exposureUs = info->exposureUs;
    }
    frame.instruments = data.instruments();
    // Every instrument carries the frame's time stamp; without any, the data's own says it.
    frame.timestampMs = data.timestampDevice();
    if (!frame.instruments.empty()) {
        frame.timestampMs = 0;
        for (const TrackingInstrument& instrument : frame.instruments) {
            frame.timestampMs = std::max(frame.timestampMs, instrument.timestamp);
        }
    }
    if (const auto* fiducials = data.components().get<TrackingInstrumentFiducialsData>()) {
        // The arrays are parallel; a short one must not be read past its end.
        const std::size_t n =
            std::min({fiducials->positions.size(), fiducials->instrumentIndices.size(),
                      fiducials->probabilities.size(), fiducials->epipolarErrors.size(),
                      fiducials->triangulationErrors.size(), fiducials->leftPixelCounts.size(),
                      fiducials->rightPixelCounts.size()});
        frame.fiducials.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            RecordedFiducial& fiducial = frame.fiducials[i];
            fiducial.x = fiducials->positions[i].x();
            fiducial.y = fiducials->positions[i].y();
            fiducial.z = fiducials->positions[i].z();
            fiducial.probability = fiducials->probabilities[i];
            fiducial.epipolarError = fiducials->epipolarErrors[i];
            fiducial.triangulationError = fiducials->triangulationErrors[i];
            fiducial.leftPixelCount = fiducials->leftPixelCounts[i];
            fiducial.rightPixelCount = fiducials->rightPixelCounts[i];
            fiducial.instrumentIndex = fiducials->instrumentIndices[i];
        }
    }
    return frame;
}

Fields frameFields(const RecordedFrame& frame, const std::vector<RecordedMarker>& markers,
                   double minQuality) {
    Fields fields{
        {Names::kFrameNumber, std::to_string(frame.frameNumber)},
        {Names::kTimestamp, Names::formatNumbers({frame.timestampSeconds})},
        {Names::kExposure, std::to_string(frame.exposureUs)},
        {Names::kTimestampMs, std::to_string(frame.timestampMs)},
    };
    std::vector<double> values(16);
    for (const RecordedMarker& marker : markers) {
        const TrackingInstrument* instrument = instrumentOf(frame, marker.id);
        const Eigen::Matrix4d pose = instrument != nullptr ? instrument->pose : Eigen::Matrix4d::Identity();
        for (int row = 0; row < 4; ++row) {
            for (int column = 0; column < 4; ++column) {
                values[static_cast<std::size_t>(4 * row + column)] = pose(row, column);
            }
        }
        const bool ok = instrument != nullptr && Health::passesGate(*instrument, minQuality);
        fields.emplace_back(Names::transformField(marker.field), Names::formatNumbers(values));
        fields.emplace_back(Names::statusField(marker.field), ok ? "OK" : "INVALID");
        fields.emplace_back(Names::qualityField(marker.field),
                            Names::formatNumbers({instrument != nullptr ? instrument->quality : 0.0}));
    }

    // A fiducial's instrument, given by its place in the frame's instruments, is recorded as its marker's.
    std::vector<double> fiducials{static_cast<double>(frame.fiducials.size())};
    fiducials.reserve(1 + frame.fiducials.size() * Names::kFiducialValues);
    for (const RecordedFiducial& f : frame.fiducials) {
        double marker = -1.0;
        if (f.instrumentIndex >= 0 &&
            static_cast<std::size_t>(f.instrumentIndex) < frame.instruments.size()) {
            const std::string& id = frame.instruments[static_cast<std::size_t>(f.instrumentIndex)].id.ID;
            for (std::size_t k = 0; k < markers.size(); ++k) {
                if (markers[k].id == id) {
                    marker = static_cast<double>(k);
                    break;
                }
            }
        }
        fiducials.insert(fiducials.end(), {f.x, f.y, f.z, f.probability, f.epipolarError,
                                           f.triangulationError, static_cast<double>(f.leftPixelCount),
                                           static_cast<double>(f.rightPixelCount), marker});
    }
    fields.emplace_back(Names::kFiducials, Names::formatNumbers(fiducials));
    if (frame.stale) {
        fields.emplace_back(Names::kStale, "1");
    }
    return fields;
}

bool frameOf(const Fields& fields, const std::vector<RecordedMarker>& markers, RecordedFrame& frame,
             std::string& error) {
    frame = RecordedFrame();
    if (!frameStampsOf(fields, frame, error) || !markerInstrumentsOf(fields, markers, frame, error) ||
        !fiducialsOf(fields, markers.size(), frame.fiducials, error)) {
        return false;
    }
    const std::string* stale = findField(fields, Names::kStale);
    frame.stale = stale != nullptr && *stale == "1";
    return true;
}

}  // namespace Halvoren::Record

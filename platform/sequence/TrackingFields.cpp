#include "sequence/TrackingFields.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace Halvoren::Sequence::TrackingFields {

std::string fieldNameOf(const std::string& name) {
    std::string field;
    for (const char c : name) {
        const bool keep =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        field += keep ? c : '_';
    }
    return field.empty() ? std::string("Marker") : field;
}

namespace {

constexpr double kRigidTolerance = 1e-3;
constexpr double kMaxTranslationMm = 1e9;

// A frame number: decimal digits of a 32-bit counter.
bool isFrameNumber(const std::string& text) {
    std::uint32_t value = 0;
    const char* const end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

}  // namespace

bool timestampOf(const Fields& frame, double& seconds, std::string& why) {
    const std::string* text = findField(frame, kTimestamp);
    std::vector<double> values;
    if (text == nullptr) {
        why = std::string("no ") + kTimestamp;
        return false;
    }
    if (!parseNumbers(*text, values) || values.size() != 1 || !std::isfinite(values[0]) ||
        std::fabs(values[0]) > kMaxTimestampSeconds) {
        why = std::string(kTimestamp) + " is not a number of seconds within 30 days of the first frame";
        return false;
    }
    seconds = values[0];
    return true;
}

bool isRigidMotion(const std::vector<double>& transform) {
    if (transform.size() != 16) {
        return false;
    }
    // Finite in single precision too, as the camera's poses are: a translation within a thousand km.
    for (const double value : transform) {
        if (!(std::fabs(value) <= kMaxTranslationMm)) {
            return false;
        }
    }
    const auto at = [&](int row, int column) {
        return transform[static_cast<std::size_t>(4 * row + column)];
    };
    // The columns of the rotation: unit length, at right angles.
    for (int a = 0; a < 3; ++a) {
        for (int b = a; b < 3; ++b) {
            const double dot = at(0, a) * at(0, b) + at(1, a) * at(1, b) + at(2, a) * at(2, b);
            if (std::fabs(dot - (a == b ? 1.0 : 0.0)) > kRigidTolerance) {
                return false;
            }
        }
    }
    const double determinant = at(0, 0) * (at(1, 1) * at(2, 2) - at(1, 2) * at(2, 1)) -
                               at(0, 1) * (at(1, 0) * at(2, 2) - at(1, 2) * at(2, 0)) +
                               at(0, 2) * (at(1, 0) * at(2, 1) - at(1, 1) * at(2, 0));
    return std::fabs(determinant - 1.0) <= kRigidTolerance && at(3, 0) == 0.0 && at(3, 1) == 0.0 &&
           at(3, 2) == 0.0 && at(3, 3) == 1.0;
}

bool checkFrames(const SequenceReader& reader, std::string& why) {
    for (std::size_t i = 0; i < reader.frameCount(); ++i) {
        const Fields& frame = reader.frameFields(i);
        if (frame.empty()) {
            std::size_t withFields = 0;
            for (std::size_t k = 0; k < reader.frameCount(); ++k) {
                withFields += reader.frameFields(k).empty() ? 0 : 1;
            }
            why = "frame " + std::to_string(i) + " has no fields: the header names " +
                  std::to_string(reader.frameCount()) + " frames but gives the fields of " +
                  std::to_string(withFields);
            return false;
        }
        const std::string* number = findField(frame, kFrameNumber);
        double seconds = 0.0;
        if (number == nullptr || !isFrameNumber(*number)) {
            why = "frame " + std::to_string(i) + ": " + kFrameNumber + " is not a frame counter";
            return false;
        }
        if (!timestampOf(frame, seconds, why)) {
            why = "frame " + std::to_string(i) + ": " + why;
            return false;
        }
    }
    return true;
}

}  // namespace Halvoren::Sequence::TrackingFields

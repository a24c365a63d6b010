#pragma once
// What a tracking recording holds, field by field: the names both its writer (the tools) and its player
// (the simulated camera's replay) use, so that they cannot drift apart.
//
// The recording's own fields:
//   Halvoren_RecordingVersion = 1
//   Halvoren_Images = True | False        the pixels are the left and right images side by side (2W x H)
//   Halvoren_ImageWidth = W, Halvoren_ImageHeight = H   of one camera's image (0 without images)
//   Halvoren_MarkerCount = M
//   Halvoren_Marker<k>_Name = <instrument name>          k from 0
//   Halvoren_Marker<k>_Id = <instrument ID>
//   Halvoren_Marker<k>_Field = <Name as a field name>    what <Name> stands for in the frame fields
//   Halvoren_Marker<k>_GeometryId = <geometry id>
//   Halvoren_Marker<k>_Fiducials = x y z x y z ...      the geometry's fiducials, mm
//   Halvoren_Marker<k>_Tip = x y z                      the tool's calibrated tip, mm in the marker's frame;
//                        only for a tool with one (recordings made before it was recorded lack it)
//   Halvoren_Health_<figure> = <value>                  the run's health figures, in the last header
// Each frame's fields (after "Seq_FrameNNNN_"):
//   FrameNumber = <the camera's frame counter>
//   Timestamp = <seconds since the first frame, on the clock the first frame chose>
//   Halvoren_ExposureUs = <the camera's exposure stamp, us>
//   Halvoren_TimestampMs = <the instruments' time stamp, ms since the epoch>
//   <Field>ToTrackerTransform = 16 numbers, row by row, mm
//   <Field>ToTrackerTransformStatus = OK | INVALID
//   Halvoren_<Field>Quality = <quality, 0 when not seen>
//   Halvoren_<Field>RegistrationError = <mm>   only when the camera reported the marker in that frame: the
//                        registration error it reported with the pose, which the quality was computed from
//                        (recordings made before it was recorded lack it in every frame)
//   Halvoren_Fiducials = n, then per fiducial: x y z probability epipolarError triangulationError
//                        leftPixelCount rightPixelCount instrumentIndex (-1: none)
//   Halvoren_Stale = 1   only on frames that came after a stale period
// and, when the run navigated (a reference, or tools with a tip), the transforms it derived, which a
// replay and an export ignore (they derive them again from the camera's poses):
//   <Field>To<Frame>Transform, <Field>To<Frame>TransformStatus      every marker, relative to a reference
//   <Field>TipTo<Frame>Transform, <Field>TipTo<Frame>TransformStatus  every tool with a tip

#include "sequence/SequenceFile.h"
#include "text/Text.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Halvoren::Sequence::TrackingFields {

constexpr int kRecordingVersion = 1;

constexpr const char* kVersion = "Halvoren_RecordingVersion";
constexpr const char* kWriterVersion = "Halvoren_Version";  // of the program that wrote the recording
constexpr const char* kImages = "Halvoren_Images";
constexpr const char* kImageWidth = "Halvoren_ImageWidth";
constexpr const char* kImageHeight = "Halvoren_ImageHeight";
constexpr const char* kMarkerCount = "Halvoren_MarkerCount";
constexpr const char* kFrameNumber = "FrameNumber";
constexpr const char* kTimestamp = "Timestamp";
constexpr const char* kExposure = "Halvoren_ExposureUs";
constexpr const char* kTimestampMs = "Halvoren_TimestampMs";
constexpr const char* kFiducials = "Halvoren_Fiducials";
constexpr const char* kStale = "Halvoren_Stale";
constexpr int kFiducialValues = 9;  // numbers per fiducial in kFiducials

/// "Halvoren_Marker<k>_<what>" (what: Name, Id, Field, GeometryId, Fiducials, Tip).
inline std::string markerField(std::size_t k, const char* what) {
    return "Halvoren_Marker" + std::to_string(k) + "_" + what;
}
inline std::string transformField(const std::string& field) {
    return field + "ToTrackerTransform";
}
inline std::string statusField(const std::string& field) {
    return field + "ToTrackerTransformStatus";
}
inline std::string qualityField(const std::string& field) {
    return "Halvoren_" + field + "Quality";
}
inline std::string registrationErrorField(const std::string& field) {
    return "Halvoren_" + field + "RegistrationError";
}
inline std::string healthField(const std::string& figure) {
    return "Halvoren_Health_" + figure;
}

/// A name as a field name: letters, digits and '_' kept, anything else '_'; "Marker" when empty.
std::string fieldNameOf(const std::string& name);

/// Numbers as the shortest text that reads back to the same double, separated by spaces, and back.
using Text::formatNumbers;
using Text::parseNumbers;

/// How far from the first frame a time stamp may be, either way: 30 days. A stamp past it is no time a
/// recording took, and a replay would wait for ever.
constexpr double kMaxTimestampSeconds = 30.0 * 24 * 3600;

/// A frame's time stamp (kTimestamp): one finite number of seconds within kMaxTimestampSeconds. False with
/// the reason otherwise.
bool timestampOf(const Fields& frame, double& seconds, std::string& why);
/// Whether 16 numbers, row by row, are a rigid motion: all finite (the translation within 1e9 mm), the
/// rotation orthonormal with determinant +1 (within 1e-3: the camera's poses are single precision), the
/// last row 0 0 0 1.
bool isRigidMotion(const std::vector<double>& transform);
/// Whether every frame a tracking recording names has its frame number and a readable time stamp: a
/// replay and an export play only frames the recording has. False with the reason, naming the frame.
bool checkFrames(const SequenceReader& reader, std::string& why);

}  // namespace Halvoren::Sequence::TrackingFields

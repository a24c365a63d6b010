// A tracking recording's values as fields and back: what the recorder writes, an export and a replay read.
#include "sequence/TrackingCodec.h"
#include "sequence/TrackingFields.h"
#include "support/Readers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace Halvoren::Sequence;
namespace Names = Halvoren::Sequence::TrackingFields;

namespace {

RecordedMarker marker(const std::string& name, const std::string& id, std::uint32_t geometryId) {
    RecordedMarker m;
    m.name = name;
    m.id = id;
    m.geometryId = geometryId;
    m.fiducials = {{0.0, 0.0, 0.0}, {50.1, 0.0, -0.3}, {1.0 / 3.0, 50.0, 0.0}};
    return m;
}

// A rigid motion whose numbers need every digit: a rotation about the z axis, an odd translation.
RecordedPose pose(double seed, double quality, bool ok, std::optional<float> registrationError) {
    RecordedPose p;
    const double c = std::cos(seed);
    const double s = std::sin(seed);
    p.transform = {c, -s, 0, seed / 3.0, s, c, 0, -seed / 7.0, 0, 0, 1, 1000.0 + seed / 11.0, 0, 0, 0, 1};
    p.quality = quality;
    p.statusOk = ok;
    p.registrationErrorMm = registrationError;
    return p;
}

// A frame of four markers whose values need every digit.
RecordedFrame sampleFrame() {
    RecordedFrame frame;
    frame.frameNumber = 4000000000u;
    frame.exposureUs = 1'700'000'000'123'457u;  // past 2^53 as a double would not hold it
    frame.timestampMs = 1'700'000'000'123u;
    frame.timestampSeconds = 0.1 + 0.2;
    frame.stale = true;
    // Seen and passing the gate; seen below it; seen by a stream that reports no registration error; not
    // seen.
    frame.poses = {pose(0.1, 0.93, true, 0.7f), pose(-7.3, 0.4, false, 6.0f),
                   pose(2.0, 0.5, true, std::nullopt), RecordedPose()};
    frame.fiducials = {{1.0 / 3.0, -2.5, 1234.56789, 0.9, 0.01, 0.02, 37, 41, 1},
                       {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0, -1},
                       {5.0, 6.0, 7.0, 1.0, 0.5, 0.25, 4000000000u, 1, 3}};
    return frame;
}

void replace(Fields& fields, const std::string& name, const std::string& value) {
    for (auto& [fieldName, fieldValue] : fields) {
        if (fieldName == name) {
            fieldValue = value;
        }
    }
}

}  // namespace

TEST(TrackingCodec, ValuesRoundTripThroughFieldsExactly) {
    // Two names give the same field name, the third the field the second would get; the last holds
    // characters a field name cannot.
    std::vector<RecordedMarker> markers{marker("Pointer tool", "P-1", 11), marker("Pointer-tool", "P-2", 12),
                                        marker("Pointer_tool_2", "P-3", 13),
                                        marker("ref (äußere)", "R", 4294967295u)};
    assignMarkerFields(markers);
    EXPECT_EQ(markers[0].field, "Pointer_tool");
    EXPECT_EQ(markers[1].field, "Pointer_tool_2");
    EXPECT_EQ(markers[2].field, "Pointer_tool_2_2");
    EXPECT_EQ(markers[3].field, Names::fieldNameOf("ref (äußere)"));
    std::vector<RecordedMarker> again = markers;
    assignMarkerFields(again);
    EXPECT_EQ(again, markers);

    const RecordingHeader header{640, 480, markers};
    RecordingHeader read;
    std::string why;
    ASSERT_TRUE(TestSupport::readHeader(recordingFields(header), read, why)) << why;
    EXPECT_EQ(read.imageWidth, 640);
    EXPECT_EQ(read.imageHeight, 480);
    EXPECT_EQ(read.markers, markers);

    const RecordedFrame frame = sampleFrame();
    const Fields fields = frameFields(frame, markers);
    EXPECT_EQ(*findField(fields, Names::statusField("Pointer_tool")), "OK");
    EXPECT_EQ(*findField(fields, Names::registrationErrorField("Pointer_tool_2")), "6");
    EXPECT_EQ(findField(fields, Names::registrationErrorField("Pointer_tool_2_2")), nullptr);
    EXPECT_EQ(*findField(fields, Names::kStale), "1");
    RecordedFrame back;
    ASSERT_TRUE(frameOf(fields, markers, back, why)) << why;
    EXPECT_EQ(back, frame);

    // Malformed fields are refused, naming the field; a pose that is no rigid motion is read as no pose.
    const std::vector<std::pair<std::string, std::string>> malformed = {
        {Names::transformField("Pointer_tool"), "1 2 3"},
        {Names::registrationErrorField("Pointer_tool"), "0.5 mm"},
        {Names::statusField("Pointer_tool_2"), "MAYBE"},
        {Names::kFiducials, "1 0 0 0 0 0 0 0 0 7"},
    };
    for (const auto& [name, value] : malformed) {
        Fields broken = fields;
        replace(broken, name, value);
        EXPECT_FALSE(frameOf(broken, markers, back, why)) << name;
        EXPECT_NE(why.find(name), std::string::npos) << why;
    }
    Fields sheared = fields;
    replace(sheared, Names::transformField("Pointer_tool"), "1 0.5 0 0 0 1 0 0 0 0 1 0 0 0 0 1");
    ASSERT_TRUE(frameOf(sheared, markers, back, why)) << why;
    EXPECT_FALSE(back.poses[0].rigid);
    EXPECT_FALSE(back.poses[0].statusOk);
    EXPECT_EQ(back.poses[0].transform, RecordedPose::kIdentity);
}

TEST(TrackingCodec, RefusesAHeaderOfAnotherVersionOrWhoseMarkersShareAField) {
    std::vector<RecordedMarker> markers{marker("Pointer", "P-1", 11), marker("Reference", "R", 12)};
    assignMarkerFields(markers);
    const RecordingHeader header{0, 0, markers};
    RecordingHeader read;
    std::string why;
    Fields other = recordingFields(header);
    replace(other, Names::kVersion, "2");
    EXPECT_FALSE(TestSupport::readHeader(other, read, why));
    EXPECT_NE(why.find(Names::kVersion), std::string::npos) << why;
    Fields shared = recordingFields(header);
    replace(shared, Names::markerField(1, "Field"), "Pointer");
    EXPECT_FALSE(TestSupport::readHeader(shared, read, why));
    EXPECT_NE(why.find("marker 1"), std::string::npos) << why;
}

TEST(TrackingCodec, AMarkersTipIsKeptInTheHeaderAndMayBeAbsent) {
    std::vector<RecordedMarker> markers{marker("Pointer", "P-1", 11), marker("Reference", "R", 12)};
    markers[0].tip = std::array<double, 3>{1.0 / 3.0, -150.25, 1e-9};
    assignMarkerFields(markers);
    const Fields fields = recordingFields({0, 0, markers});
    EXPECT_EQ(findField(fields, Names::markerField(1, "Tip")), nullptr);
    RecordingHeader read;
    std::string why;
    ASSERT_TRUE(TestSupport::readHeader(fields, read, why)) << why;
    EXPECT_EQ(read.markers, markers);

    // A recording made before tips were recorded: no tip.
    Fields old = fields;
    old.erase(std::remove_if(old.begin(), old.end(),
                             [](const auto& field) { return field.first == Names::markerField(0, "Tip"); }),
              old.end());
    ASSERT_TRUE(TestSupport::readHeader(old, read, why)) << why;
    EXPECT_FALSE(read.markers[0].tip.has_value());

    // A tip is read by the rule a marker file's is: finite, and within 10000 mm of the marker.
    for (const std::string value : {"1 2", "1 2 3 4", "1 2 nan", "x y z", "", "1.79e308 1.79e308 1.79e308",
                                    "1e5 0 0", "0 -10000.001 0"}) {
        Fields broken = fields;
        replace(broken, Names::markerField(0, "Tip"), value);
        EXPECT_FALSE(TestSupport::readHeader(broken, read, why)) << value;
        EXPECT_NE(why.find(Names::markerField(0, "Tip")), std::string::npos) << why;
        EXPECT_TRUE(read.markers.empty());
    }
    EXPECT_NE(why.find("lies more than 10000 mm from the marker"), std::string::npos) << why;
    Fields far = fields;
    replace(far, Names::markerField(0, "Tip"), "-10000 0 10000");
    ASSERT_TRUE(TestSupport::readHeader(far, read, why)) << why;
    EXPECT_EQ(read.markers[0].tip, (std::array<double, 3>{-10000, 0, 10000}));
}

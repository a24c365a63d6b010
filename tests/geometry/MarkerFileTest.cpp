#include "geometry/MarkerFile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <string>

namespace MarkerFile = Halvoren::MarkerFile;

TEST(MarkerFile, WrittenFilesReadBackAsTheSameMarker) {
    // The format of the example markers, to the byte.
    const std::string pointer =
        "; Pointer: four fiducials on a T-shaped plate.\n[geometry]\ncount=4\nid=1200\n"
        "[fiducial0]\nx=0\ny=0\nz=0\n[fiducial1]\nx=0\ny=50\nz=0\n"
        "[fiducial2]\nx=-35\ny=85\nz=0\n[fiducial3]\nx=25\ny=110\nz=0\n";
    const MarkerFile::Loaded example = MarkerFile::parse(pointer);
    ASSERT_TRUE(example.marker);
    EXPECT_EQ(MarkerFile::write(*example.marker, "Pointer: four fiducials on a T-shaped plate."), pointer);

    // Values a decimal text rounds, extremes of the id, six fiducials; a comment that could break the file.
    MarkerFile::Marker marker;
    marker.id = std::numeric_limits<std::uint32_t>::max();
    marker.fiducials = {{0.1f, -7.25f, 1e-7f},
                        {123456.789f, -0.f, std::nextafter(1.f, 2.f)},
                        {std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(), 3.f},
                        {1, 2, 3},
                        {4, 5, 6},
                        {-1e30f, 33.3333f, 0.f}};
    const std::string text =
        MarkerFile::write(marker, std::string("two lines\n[geometry]\nid=5 and a NUL\0 here", 41));
    const MarkerFile::Loaded read = MarkerFile::parse(text);
    ASSERT_TRUE(read.marker) << text;
    EXPECT_EQ(*read.marker, marker) << text;
    EXPECT_NE(text.find("x=0.1\ny=-7.25\n"), std::string::npos) << text;

    std::istringstream stream(MarkerFile::write(MarkerFile::Marker{7, {}}));
    const MarkerFile::Loaded empty = MarkerFile::read(stream);
    ASSERT_TRUE(empty.marker);
    EXPECT_EQ(*empty.marker, (MarkerFile::Marker{7, {}}));
}

TEST(MarkerFile, ReservedIdsAreRaisedAndTheFirstFreeIdIsFromTheFirstUnreservedUp) {
    EXPECT_EQ(MarkerFile::cameraId(0), 1000u);
    EXPECT_EQ(MarkerFile::cameraId(999), 1999u);
    EXPECT_EQ(MarkerFile::cameraId(1000), 1000u);
    EXPECT_EQ(MarkerFile::cameraId(0xFFFFFFFFu), 0xFFFFFFFFu);

    EXPECT_EQ(MarkerFile::firstFreeId({}), 1000u);
    EXPECT_EQ(MarkerFile::firstFreeId({5, 999, 1001}), 1000u);
    EXPECT_EQ(MarkerFile::firstFreeId({1000, 1001, 1003}), 1002u);
}

TEST(MarkerFile, ReadingStopsAtTheLimit) {
    // Exactly at the limit a file still reads; one byte more and nothing is parsed.
    const std::string marker = MarkerFile::write(MarkerFile::Marker{1005, {{1, 2, 3}}});
    std::string atLimit = marker + ';' + std::string(MarkerFile::kMaxBytes - marker.size() - 2, 'x') + '\n';
    ASSERT_EQ(atLimit.size(), MarkerFile::kMaxBytes);
    std::istringstream fits(atLimit);
    EXPECT_TRUE(MarkerFile::read(fits).marker);
    std::istringstream over(atLimit + '\n');
    const MarkerFile::Loaded refused = MarkerFile::read(over);
    EXPECT_FALSE(refused.marker);
    EXPECT_EQ(refused.source, MarkerFile::Source::TooLarge);

    // A device claims no size: the bound holds while reading.
    const MarkerFile::Loaded zero = MarkerFile::read(std::string("/dev/zero"));
    EXPECT_FALSE(zero.marker);
    EXPECT_EQ(zero.source, MarkerFile::Source::TooLarge);
    ASSERT_EQ(zero.messages.size(), 1u);
    EXPECT_EQ(zero.messages[0].level, MarkerFile::Message::Level::Error);
    EXPECT_EQ(zero.messages[0].text, "Geometry file /dev/zero is larger than 1024 KB: not a marker geometry");
}

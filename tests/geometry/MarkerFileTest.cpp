#include "geometry/MarkerFile.h"
#include "geometry/MarkerTip.h"
#include "support/CommaLocale.h"
#include "support/TempFiles.h"
#include "text/Text.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>
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

    // A device may never end: not read at all.
    const MarkerFile::Loaded zero = MarkerFile::read(std::string("/dev/zero"));
    EXPECT_FALSE(zero.marker);
    EXPECT_EQ(zero.source, MarkerFile::Source::Unreadable);
    ASSERT_FALSE(zero.messages.empty());
    EXPECT_EQ(zero.messages[0].level, MarkerFile::Message::Level::Error);
    EXPECT_EQ(zero.messages[0].text, "cannot read /dev/zero: it is a device, not a regular file");
}

TEST(MarkerFile, TheTipReadsBackAndSavingItChangesTheTipSectionOnly) {
    const MarkerFile::Marker marker{1200, {{0, 0, 0}, {0, 50, 0}, {-35, 85, 0}}};
    const MarkerFile::Tip tipped{3.0234567, -119.98, -5.1, 0.851, "2026-12-08T10:00:00Z"};
    const std::string written = MarkerFile::write(marker, "", tipped);
    EXPECT_NE(written.find("[tip]\nx=3.0234567\ny=-119.98\nz=-5.1\nrms=0.851\ndate=2026-12-08T10:00:00Z\n"),
              std::string::npos)
        << written;
    const MarkerFile::Loaded read = MarkerFile::parse(written);
    ASSERT_TRUE(read.marker) << written;
    EXPECT_EQ(*read.marker, marker);
    EXPECT_EQ(read.tip, tipped);
    EXPECT_FALSE(MarkerFile::parse(written, MarkerFile::Sections::Geometry).tip);

    // A hand-edited file: comments, odd blanks, keys out of order, an old tip in the middle.
    const std::string head = "; pointer, hand-edited\n[geometry]\nid= 1200\ncount=3\n \t\n";
    const std::string tail =
        "[fiducial0]\nz=0\nx=0\ny=0\n;  the short arm\n[fiducial1]\nx=0\ny=50\nz=0\n"
        "[fiducial2]\nx=  -35\ny=85  \nz=0";
    const std::string oldTip = "[tip]\n; old\nx=1\ny=2\nz=3\n";
    TestSupport::TempFiles files;
    const std::string path = files.write("pointer.ini", head + oldTip + tail);
    const MarkerFile::Tip tip{1.5, -2.25, 1e-3, std::nullopt, ""};
    ASSERT_EQ(MarkerFile::saveTip(path, tip), "");
    std::ifstream saved(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, head + "[tip]\nx=1.5\ny=-2.25\nz=0.001\n" + tail);
    EXPECT_FALSE(std::ifstream(path + ".tmp").good());
    EXPECT_EQ(MarkerFile::withTip(head + tail, tip), head + tail + "\n[tip]\nx=1.5\ny=-2.25\nz=0.001\n");
    EXPECT_EQ(MarkerFile::withTip("[geometry]\r\ncount=0\r\nid=1\r\n", tip),
              "[geometry]\r\ncount=0\r\nid=1\r\n[tip]\r\nx=1.5\r\ny=-2.25\r\nz=0.001\r\n");

    // A malformed tip is reported; the geometry stands.
    const MarkerFile::Loaded malformed = MarkerFile::parse(head + tail + "\n[tip]\nx=1\ny=two\nz=3\nrms=\n");
    ASSERT_TRUE(malformed.marker);
    EXPECT_EQ(malformed.marker->fiducials.size(), 3u);
    EXPECT_FALSE(malformed.tip);
    ASSERT_EQ(malformed.messages.size(), 2u);
    EXPECT_EQ(malformed.messages[1].level, MarkerFile::Message::Level::Error);
    EXPECT_EQ(malformed.messages[1].text,
              "Marker file: \"y\" in section \"tip\" is not a finite number: two; the tip is ignored");
    const MarkerFile::Loaded faraway = MarkerFile::parse(head + tail + "\n[tip]\nx=1\ny=-1e5\nz=3\n");
    EXPECT_TRUE(faraway.marker && !faraway.tip);
    EXPECT_EQ(faraway.messages.back().text,
              "Marker file: the tip in section \"tip\" lies more than 10000 mm from the marker; the tip is "
              "ignored");

    // Only a regular file is replaced: a folder or a FIFO is refused and left as it is.
    const std::string fifo = files.path("fifo.ini");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& target : {fifo, files.path("")}) {
        EXPECT_NE(MarkerFile::saveTip(target, tip).find("it is not a regular file"), std::string::npos)
            << target;
    }
    struct stat status {};
    EXPECT_TRUE(::stat(fifo.c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
}

TEST(MarkerFile, DecimalsReadAndWriteWithAPointWhateverTheLocale) {
    // A host application (Qt does) sets the C library's locale from the environment; in a German one its
    // conversions take "3.5" as 3 and stop at the '.'.
    const TestSupport::InCommaLocale comma;
    if (!comma.active()) {
        GTEST_SKIP() << "no comma-decimal locale here, and none could be made with localedef";
    }
    const std::string text =
        "[geometry]\ncount=2\nid=1200\n[fiducial0]\nx=0.5\ny=-7.25\nz=1e-1\n[fiducial1]\nx=12.75\ny=0\nz=0\n"
        "[tip]\nx=3.5\ny=-119.98\nz=-5.082\nrms=0.851\n";
    const MarkerFile::Loaded loaded = MarkerFile::parse(text);
    ASSERT_TRUE(loaded.marker && loaded.tip);
    EXPECT_TRUE(loaded.messages.size() == 1 && loaded.messages[0].level == MarkerFile::Message::Level::Info);
    EXPECT_EQ(loaded.marker->fiducials[0], (MarkerFile::Fiducial{0.5f, -7.25f, 0.1f}));
    EXPECT_EQ(loaded.marker->fiducials[1].x, 12.75f);
    EXPECT_EQ(loaded.tip->x, 3.5);
    EXPECT_EQ(loaded.tip->y, -119.98);
    EXPECT_EQ(loaded.tip->rms, 0.851);
    EXPECT_EQ(Halvoren::Text::lenientNumber("  2.5e1xyz", nullptr), 25.0);

    const std::string written = MarkerFile::write(*loaded.marker, "", loaded.tip);
    EXPECT_NE(written.find("x=0.5\ny=-7.25\n"), std::string::npos) << written;
    EXPECT_NE(written.find("[tip]\nx=3.5\ny=-119.98\nz=-5.082\nrms=0.851\n"), std::string::npos) << written;
    EXPECT_EQ(written.find(','), std::string::npos) << written;
}

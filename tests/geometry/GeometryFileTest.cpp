#include "geometry/GeometryFile.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <QTemporaryDir>

#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using Halvoren::Log;
using Halvoren::SpryTrack::loadGeometry;
using Halvoren::SpryTrack::readGeometryFile;

namespace {

const std::string kThreeFiducials =
    "[geometry]\ncount=3\nid=1005\n"
    "[fiducial0]\nx=0\ny=0\nz=0\n"
    "[fiducial1]\nx=50.5\ny=0\nz=0\n"
    "[fiducial2]\nx=0\ny=42\nz=-7.25\n";

std::optional<ftkGeometry> load(const std::string& text) {
    std::istringstream input(text);
    return loadGeometry(input);
}

std::string missingSection(const std::string& section) {
    return "AtracsysTracking: Parsing INI file, could not find section \"" + section + "\"";
}

std::string missingKey(const std::string& key, const std::string& section) {
    return "AtracsysTracking: Parsing INI file, could not find key \"" + key + "\" in section \"" + section +
           "\"";
}

void replace(std::string& text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
}

}  // namespace

TEST(GeometryFile, LoadsIdCountAndPositions) {
    TestSupport::LogCapture log;
    const auto geometry = load(kThreeFiducials);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->geometryId, 1005u);
    EXPECT_EQ(geometry->version, 0u);
    EXPECT_EQ(geometry->pointsCount, 3u);
    EXPECT_FLOAT_EQ(geometry->positions[1].x, 50.5f);
    EXPECT_FLOAT_EQ(geometry->positions[2].y, 42.f);
    EXPECT_FLOAT_EQ(geometry->positions[2].z, -7.25f);
    EXPECT_EQ(log.count(Log::Info, "", "Loading geometry 1005, composed of 3 fiducials"), 1);
}

TEST(GeometryFile, TolerantValuesLoad) {
    TestSupport::LogCapture log;
    std::string text = kThreeFiducials;
    replace(text, "count=3", "count= 3 ; three fiducials");
    replace(text, "id=1005", "id=5");
    replace(text, "x=50.5", "x=letters");
    const auto geometry = load(text);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->pointsCount, 3u);
    EXPECT_EQ(geometry->geometryId, 5u);
    EXPECT_EQ(geometry->positions[1].x, 0.f);
    EXPECT_EQ(log.count(Log::Info, "", "Loading geometry 5, composed of 3 fiducials"), 1);
}

TEST(GeometryFile, FirstMissingPieceIsReportedAndNothingIsLoaded) {
    struct Case {
        std::string from, to, message;
    };
    const Case cases[] = {
        {"count=3", "count = 3", missingKey("count", "geometry")},
        {"[geometry]", "[ geometry ]", missingSection("geometry")},
        {"[fiducial2]", "[geometry]\nid=1005\n[fiducial2]", missingKey("count", "geometry")},
        {"id=1005", "", missingKey("id", "geometry")},
        {"[fiducial1]", "[fiducial9]", missingSection("fiducial1")},
        {"z=-7.25", "", missingKey("z", "fiducial2")},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture log;
        std::string text = kThreeFiducials;
        replace(text, c.from, c.to);
        EXPECT_FALSE(load(text)) << c.to;
        EXPECT_EQ(log.count(Log::Error, "", c.message), 1) << c.to;
        EXPECT_EQ(log.recordsAtLeast(Log::Warning).size(), 1u) << c.to;
    }
}

TEST(GeometryFile, UnreadableTextFailsWithoutMessage) {
    TestSupport::LogCapture log;
    std::string text = kThreeFiducials;
    replace(text, "[fiducial1]", "# the second fiducial\n[fiducial1]");
    EXPECT_FALSE(load(text));
    EXPECT_TRUE(log.records().empty());
}

TEST(GeometryFile, CountZeroLoadsAGeometryWithoutFiducials) {
    TestSupport::LogCapture log;
    const auto geometry = load("[geometry]\ncount=0\nid=12\n");
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->pointsCount, 0u);
    EXPECT_EQ(geometry->geometryId, 12u);
    EXPECT_EQ(log.count(Log::Info, "", "Loading geometry 12, composed of 0 fiducials"), 1);
}

TEST(GeometryFile, CountOutsideTheSixPositionsIsRefused) {
    // 4294967299 would wrap to 3 if it were narrowed before the check.
    for (const std::string count : {"7", "-1", "4294967299"}) {
        TestSupport::LogCapture log;
        std::string text = "[geometry]\ncount=" + count + "\nid=1\n";
        for (int i = 0; i < 8; ++i) {
            text += "[fiducial" + std::to_string(i) + "]\nx=1\ny=2\nz=3\n";
        }
        EXPECT_FALSE(load(text)) << count;
        EXPECT_EQ(log.count(Log::Error, "",
                            "AtracsysTracking: Geometry file declares " + count +
                                " fiducials, only 0 to 6 are supported"),
                  1)
            << count;
        EXPECT_EQ(log.countContaining("Loading geometry"), 0) << count;
    }
}

TEST(GeometryFile, ReadsFilesWithWindowsLineEnds) {
    TestSupport::LogCapture log;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("marker.ini").toStdString();
    std::string crlf;
    for (char c : kThreeFiducials) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    std::ofstream(path, std::ios::binary) << crlf;

    const auto geometry = readGeometryFile(path);
    ASSERT_TRUE(geometry);
    EXPECT_EQ(geometry->geometryId, 1005u);
    EXPECT_FLOAT_EQ(geometry->positions[2].z, -7.25f);
}

TEST(GeometryFile, UnopenablePathsLoadAsEmptyText) {
    for (const std::string path : {"/nonexistent/marker.ini", ":/nonexistent/marker.ini", ":/"}) {
        TestSupport::LogCapture log;
        EXPECT_FALSE(readGeometryFile(path)) << path;
        EXPECT_EQ(log.count(Log::Error, "", missingSection("geometry")), 1) << path;
    }
}

TEST(GeometryFile, CoordinatesThatAreNotFiniteFloatsAreRefusedNamingSectionAndKey) {
    for (const std::string value : {"nan", "inf", "-inf", "1e39"}) {
        TestSupport::LogCapture log;
        std::string text = kThreeFiducials;
        replace(text, "y=42", "y=" + value);
        EXPECT_FALSE(load(text)) << value;
        EXPECT_EQ(log.count(Log::Error, "",
                            "AtracsysTracking: Geometry file: \"y\" in section \"fiducial2\" is not a finite "
                            "number: " +
                                value),
                  1)
            << value;
    }
}

TEST(GeometryFile, OversizedInputIsRefusedBeforeParsing) {
    TestSupport::LogCapture log;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string path = dir.filePath("huge.ini").toStdString();
    // A valid geometry followed by a comment line that makes the file too large.
    std::ofstream(path, std::ios::binary) << kThreeFiducials << ';' << std::string(2 * 1024 * 1024, 'x');
    EXPECT_FALSE(readGeometryFile(path));
    EXPECT_EQ(log.countContaining("is larger than 1024 KB"), 1);
    EXPECT_EQ(log.countContaining("Loading geometry"), 0);

    // The same bound holds for a stream of one endless line.
    std::istringstream endless(std::string(3 * 1024 * 1024, 'x'));
    EXPECT_FALSE(loadGeometry(endless));
    EXPECT_EQ(log.countContaining("is larger than 1024 KB"), 2);
}

TEST(GeometryFile, DevicesAndFifosAreRefusedAtOnceNamingTheFile) {
    TestSupport::LogCapture log;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A device may never end, a FIFO without a writer would hold the reader in open() for ever.
    const std::string fifo = dir.filePath("fifo").toStdString();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const auto& [path, kind] :
         {std::pair<std::string, std::string>{"/dev/zero", "a device"}, {fifo, "a FIFO"}}) {
        EXPECT_FALSE(readGeometryFile(path));
        EXPECT_EQ(log.count(Log::Error, "AtracsysTracking: cannot read " + path + ": it is " + kind +
                                            ", not a regular file"),
                  1);
    }
}

namespace {

bool sameGeometry(const std::optional<ftkGeometry>& a, const std::optional<ftkGeometry>& b) {
    if (!a || !b || a->geometryId != b->geometryId || a->version != b->version ||
        a->pointsCount != b->pointsCount) {
        return false;
    }
    for (std::uint32_t i = 0; i < a->pointsCount; ++i) {
        const auto& p = a->positions[i];
        const auto& q = b->positions[i];
        if (p.x != q.x || p.y != q.y || p.z != q.z) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST(GeometryFile, ATipSectionChangesNeitherTheGeometryNorTheMessages) {
    QTemporaryDir dir;
    const auto loadBoth = [&dir](const std::string& text) {
        const std::string path = dir.filePath("marker.ini").toStdString();
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        TestSupport::LogCapture log;
        const auto fromStream = load(text);
        const auto fromFile = readGeometryFile(path);
        std::vector<std::pair<int, std::string>> messages;
        for (const Log::Record& record : log.records()) {
            messages.emplace_back(record.level, record.text);
        }
        EXPECT_TRUE(sameGeometry(fromStream, fromFile));
        return std::make_pair(fromFile, messages);
    };
    const auto plain = loadBoth(kThreeFiducials);
    ASSERT_TRUE(plain.first);
    for (const std::string tip : {"[tip]\nx=1.5\ny=-120\nz=3\nrms=0.4\ndate=2026-01-02T03:04:05Z\n",
                                  "[tip]\nx=not a number\nrms=?\n", "[tip]\n"}) {
        const auto tipped = loadBoth(kThreeFiducials + tip);
        ASSERT_TRUE(tipped.first) << tip;
        EXPECT_TRUE(sameGeometry(plain.first, tipped.first)) << tip;
        EXPECT_EQ(tipped.second, plain.second) << tip;
    }
}

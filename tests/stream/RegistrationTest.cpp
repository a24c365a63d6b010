// Registering marker geometries with the camera: from files, pending until start, again after a reopen.
#include "stream/AtracsysTrackingStream.h"
#include "stream/StreamTestAccess.h"

#include "support/DriverScript.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using TestSupport::LogCapture;

namespace {

std::vector<std::uint32_t> geometriesSent(ftksim::Simulator& sim) {
    std::vector<std::uint32_t> ids;
    for (const ftksim::Call& call : sim.callsTo("ftkSetGeometry")) {
        ids.push_back(call.geometry ? call.geometry->geometryId : 0);
    }
    return ids;
}

bool isRegistered(AtracsysTrackingStream& stream, const std::string& id) {
    const auto specials = TestSupport::registryOf(stream).specialObjects();
    const auto it = specials.find(id);
    return it != specials.end() && it->second && it->second->registered;
}

class Registration : public ::testing::Test {
protected:
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    TestSupport::TempFiles files;
};

}  // namespace

TEST_F(Registration, ReservedIdIsRaisedBy1000WithBothMessages) {
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    const std::string path = files.writeGeometry("low.ini", 5, TestSupport::squareMarker());
    EXPECT_TRUE(stream.addGeometry("low", path));
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream",
                        "INI marker files with ids < 1000 are not supported with this Atracsys SDK version. "
                        "Values 0 to 1000 are reserved"),
              1);
    EXPECT_EQ(log.count(Log::Warning, "AtracsysTrackingStream", "INI marker id is changed from 5 to 1005"),
              1);
    EXPECT_TRUE(TestSupport::registryOf(stream).instrument("atracsys-1005").has_value());
    EXPECT_EQ(geometriesSent(sim), std::vector<std::uint32_t>{1005});
    EXPECT_TRUE(isRegistered(stream, "atracsys-1005"));

    log.clear();
    const std::string exact = files.writeGeometry("exact.ini", 1000, TestSupport::squareMarker());
    EXPECT_TRUE(stream.addGeometry("exact", exact));
    EXPECT_TRUE(TestSupport::registryOf(stream).instrument("atracsys-1000").has_value());
    EXPECT_TRUE(log.recordsAtLeast(Log::Warning).empty());
}

TEST_F(Registration, SameIdTwiceIsRefusedSilentlyAndKeepsTheFirst) {
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    const std::string first = files.writeGeometry("a.ini", 1100, TestSupport::squareMarker());
    const std::string second = files.writeGeometry("b.ini", 1100, {{0, 0, 0}, {10, 0, 0}, {0, 10, 0}});
    EXPECT_TRUE(stream.addGeometry("first", first));
    sim.clearCalls();
    EXPECT_FALSE(stream.addGeometry("first", first));
    EXPECT_FALSE(stream.addGeometry("second", second));
    EXPECT_EQ(sim.countCalls("ftkSetGeometry"), 0u);
    EXPECT_EQ(TestSupport::registryOf(stream).instrument("atracsys-1100")->id.name, "first");
    EXPECT_EQ(TestSupport::registryOf(stream).specialObjects().at("atracsys-1100")->path, first);
    EXPECT_TRUE(log.recordsAtLeast(Log::Warning).empty());
}

TEST_F(Registration, UnreadableFileChangesNothing) {
    AtracsysTrackingStream stream;
    const std::string missing = files.path("missing.ini");
    EXPECT_FALSE(stream.addGeometry("missing", missing));
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream", "Cannot load geometry from file " + missing),
              1);
    EXPECT_EQ(
        log.count(Log::Error, "", "AtracsysTracking: Parsing INI file, could not find section \"geometry\""),
        1);
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 0);
}

TEST_F(Registration, GeometriesAddedWhileClosedAreSentAtStartAndAgainAfterReopen) {
    AtracsysTrackingStream stream;
    EXPECT_TRUE(stream.addGeometry("one", files.writeGeometry("1.ini", 1001, TestSupport::squareMarker())));
    EXPECT_TRUE(stream.addGeometry("two", files.writeGeometry("2.ini", 1002, TestSupport::squareMarker())));
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 2);
    EXPECT_TRUE(geometriesSent(sim).empty());

    ASSERT_TRUE(stream.open());
    EXPECT_TRUE(geometriesSent(sim).empty());  // geometries go to the camera when streaming starts
    ASSERT_TRUE(stream.start());
    EXPECT_EQ(geometriesSent(sim), (std::vector<std::uint32_t>{1001, 1002}));
    EXPECT_TRUE(isRegistered(stream, "atracsys-1001"));
    EXPECT_TRUE(isRegistered(stream, "atracsys-1002"));

    ASSERT_TRUE(stream.stop());
    ASSERT_TRUE(stream.start());  // nothing pending: nothing sent
    EXPECT_EQ(geometriesSent(sim).size(), 2u);

    ASSERT_TRUE(stream.close());
    EXPECT_FALSE(isRegistered(stream, "atracsys-1001"));
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
    EXPECT_EQ(geometriesSent(sim), (std::vector<std::uint32_t>{1001, 1002, 1001, 1002}));
}

TEST_F(Registration, RefusedGeometryStaysPendingAndIsRetriedAtEveryStart) {
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    sim.refuseGeometry(1003);
    const std::string path = files.writeGeometry("3.ini", 1003, TestSupport::squareMarker());
    EXPECT_TRUE(stream.addGeometry("three", path));  // refused but registered, pending
    EXPECT_FALSE(isRegistered(stream, "atracsys-1003"));
    EXPECT_TRUE(log.recordsAtLeast(Log::Warning).empty());  // a refusal is reported at start only

    ASSERT_TRUE(stream.start());
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream",
                        "Cannot set geometry loaded from " + path + " to tracking system"),
              1);
    ASSERT_TRUE(stream.stop());
    sim.refuseGeometry(1003, false);
    ASSERT_TRUE(stream.start());
    EXPECT_TRUE(isRegistered(stream, "atracsys-1003"));
    EXPECT_EQ(geometriesSent(sim), (std::vector<std::uint32_t>{1003, 1003, 1003}));
}

TEST_F(Registration, MarkerFileThroughTheTrackingInterfaceGivesItsInstrumentId) {
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    OpticalTrackingInterface& tracking = stream;
    const std::string tool = files.writeGeometry("tool.ini", 1100, TestSupport::squareMarker());
    EXPECT_EQ(tracking.addTrackingMarker("tool", tool), "atracsys-1100");
    EXPECT_EQ(TestSupport::registryOf(stream).instrument("atracsys-1100")->id.name, "tool");
    EXPECT_EQ(TestSupport::registryOf(stream).specialObjects().at("atracsys-1100")->path, tool);
    EXPECT_TRUE(isRegistered(stream, "atracsys-1100"));
    EXPECT_EQ(tracking.addTrackingMarker("again", tool), "");  // the id is taken

    // A reserved id gives the raised one.
    const std::string low = files.writeGeometry("low.ini", 7, TestSupport::squareMarker());
    EXPECT_EQ(tracking.addTrackingMarker("low", low), "atracsys-1007");
    EXPECT_EQ(log.count(Log::Warning, "AtracsysTrackingStream", "INI marker id is changed from 7 to 1007"),
              1);
    EXPECT_EQ(log.countContaining("INI marker files with ids < 1000 are not supported"), 1);

    // An unreadable file: nothing, with the reader's own message.
    const std::string bad = files.write("bad.ini", "[geometry]\ncount=9\nid=1200\n");
    EXPECT_EQ(tracking.addTrackingMarker("bad", bad), "");
    EXPECT_EQ(log.count(Log::Error, "",
                        "AtracsysTracking: Geometry file declares 9 fiducials, only 0 to 6 are "
                        "supported"),
              1);
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream", "Cannot load geometry from file " + bad), 1);
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 2);
}

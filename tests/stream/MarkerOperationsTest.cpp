// Markers from descriptions: ids, round trip, coordinates, removal.
#include "stream/AtracsysTrackingStream.h"
#include "stream/StreamTestAccess.h"

#include "support/DriverScript.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using TestSupport::LogCapture;

namespace {

std::unique_ptr<OpticalTrackingMarker> marker(const std::string& name, std::optional<std::uint32_t> id,
                                              std::size_t fiducials) {
    auto m = std::make_unique<OpticalTrackingMarker>(name, id);
    for (std::size_t i = 0; i < fiducials; ++i) {
        m->addFiducial(Eigen::Vector3d(10.1 * static_cast<double>(i), 0.3, -2.7));
    }
    return m;
}

class MarkerOperations : public ::testing::Test {
protected:
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    AtracsysTrackingStream stream;
};

}  // namespace

TEST_F(MarkerOperations, MarkerWithIdRoundTripsThroughTheRegistry) {
    ASSERT_TRUE(stream.open());
    EXPECT_EQ(stream.addTrackingMarker(marker("probe", 7, 3)), "atracsys-1007");
    EXPECT_EQ(log.count(Log::Warning, "AtracsysTrackingStream", "INI marker id is changed from 7 to 1007"),
              1);
    EXPECT_EQ(sim.geometries().count(1007), 1u);

    const auto back = stream.trackingMarker("atracsys-1007");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, "probe");
    EXPECT_EQ(back->markerId, 1007u);
    ASSERT_EQ(back->fiducialCount(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        // Positions come back at single precision.
        EXPECT_EQ(back->fiducialPositions[i].x(), static_cast<double>(static_cast<float>(10.1 * i)));
        EXPECT_EQ(back->fiducialPositions[i].z(), static_cast<double>(-2.7f));
    }
    const auto coordinates = stream.geometryCoordinates("atracsys-1007");
    ASSERT_EQ(coordinates.size(), 3u);
    EXPECT_EQ(coordinates[1], back->fiducialPositions[1]);
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream",
                        "INI marker files with ids < 1000 are not supported with this Atracsys SDK version. "
                        "Values 0 to 1000 are reserved"),
              1);
}

TEST_F(MarkerOperations, MarkersWithoutIdsGetConsecutiveIds) {
    EXPECT_EQ(stream.addTrackingMarker(marker("a", std::nullopt, 4)), "atracsys-1000");
    EXPECT_EQ(stream.addTrackingMarker(marker("b", std::nullopt, 0)), "atracsys-1001");
    EXPECT_EQ(TestSupport::registryOf(stream).specialObjects().at("atracsys-1001")->geometry.pointsCount, 0u);
    // With three markers the next id without one is 1003; when that is taken, nothing is added.
    EXPECT_EQ(stream.addTrackingMarker(marker("c", 1003, 3)), "atracsys-1003");
    EXPECT_EQ(stream.addTrackingMarker(marker("d", std::nullopt, 3)), "");
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 3);
    EXPECT_EQ(stream.addTrackingMarker(nullptr), "");
    EXPECT_EQ(stream.trackingMarker("atracsys-4711"), nullptr);
}

TEST_F(MarkerOperations, MarkerWithMoreThanSixFiducialsIsRefused) {
    EXPECT_EQ(stream.addTrackingMarker(marker("big", 1200, 7)), "");
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 0);
    EXPECT_EQ(log.countContaining("at most 6"), 1);
    EXPECT_EQ(stream.addTrackingMarker(marker("six", 1201, 6)), "atracsys-1201");
}

TEST_F(MarkerOperations, RemovalClearsTheRightGeometryOrKeepsTheInstrumentWhenRefused) {
    ASSERT_TRUE(stream.open());
    ASSERT_EQ(stream.addTrackingMarker(marker("m", 1007, 3)), "atracsys-1007");

    sim.setClearGeometryStatus(FTK_ERR_REFUSED);
    EXPECT_FALSE(stream.removeTrackingMarker("atracsys-1007"));
    EXPECT_EQ(
        log.count(Log::Warning, "",
                  "AtracsysTracking: Cannot remove geometry with id atracsys-1007 from tracking system"),
        1);
    EXPECT_TRUE(TestSupport::registryOf(stream).instrument("atracsys-1007").has_value());

    sim.setClearGeometryStatus(FTK_OK);
    sim.clearCalls();
    EXPECT_TRUE(stream.removeGeometry("atracsys-1007"));
    const auto clears = sim.callsTo("ftkClearGeometry");
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0].geometryId, 1007u);
    EXPECT_EQ(sim.geometries().count(1007), 0u);
    EXPECT_FALSE(TestSupport::registryOf(stream).instrument("atracsys-1007").has_value());
}

TEST_F(MarkerOperations, IdsThatNameNoRegisteredMarkerFailWithoutADriverCall) {
    ASSERT_TRUE(stream.open());
    ASSERT_EQ(stream.addTrackingMarker(marker("m", 1007, 3)), "atracsys-1007");
    sim.clearCalls();
    // Another prefix, no number, an unknown number, other spellings of 1007, too short, beyond 32 bits.
    for (const std::string id : {"tracking-1007", "atracsys-tool", "atracsys-42", "atracsys-01007",
                                 "atracsys-1007 ", "atracsys", "atracsys-4294968303"}) {
        EXPECT_FALSE(stream.removeTrackingMarker(id)) << id;
        EXPECT_EQ(log.count(Log::Warning, "",
                            "AtracsysTracking: Cannot remove geometry with id " + id +
                                " from tracking system: no marker has this id"),
                  1)
            << id;
    }
    EXPECT_EQ(sim.countCalls("ftkClearGeometry"), 0u);
    EXPECT_TRUE(TestSupport::registryOf(stream).instrument("atracsys-1007").has_value());
    EXPECT_EQ(sim.geometries().count(1007), 1u);

    EXPECT_TRUE(stream.geometryCoordinates("atracsys-1").empty());
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream",
                        "Cannot query geometry coordinates from id atracsys-1 from tracking system"),
              1);
}

TEST_F(MarkerOperations, MarkersTheCameraDoesNotHoldAreRemovedWithoutAskingIt) {
    // Pending: added while the device is closed.
    ASSERT_EQ(stream.addTrackingMarker(marker("pending", 1100, 3)), "atracsys-1100");
    EXPECT_TRUE(stream.removeTrackingMarker("atracsys-1100"));
    EXPECT_FALSE(TestSupport::registryOf(stream).instrument("atracsys-1100").has_value());

    // On the camera while it was open, then the device closed.
    ASSERT_TRUE(stream.open());
    ASSERT_EQ(stream.addTrackingMarker(marker("was on camera", 1101, 3)), "atracsys-1101");
    ASSERT_TRUE(stream.close());
    EXPECT_TRUE(stream.removeTrackingMarker("atracsys-1101"));
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 0);
    EXPECT_EQ(sim.countCalls("ftkClearGeometry"), 0u);
}

TEST_F(MarkerOperations, MarkerWithTheLargestIdCanBeRemovedAgain) {
    ASSERT_TRUE(stream.open());
    ASSERT_EQ(stream.addTrackingMarker(marker("far", 4294967295u, 3)), "atracsys-4294967295");
    sim.clearCalls();
    EXPECT_TRUE(stream.removeTrackingMarker("atracsys-4294967295"));
    const auto clears = sim.callsTo("ftkClearGeometry");
    ASSERT_EQ(clears.size(), 1u);
    EXPECT_EQ(clears[0].geometryId, 4294967295u);
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 0);
}

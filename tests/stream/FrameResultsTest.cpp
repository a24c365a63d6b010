// The frame-processing stages on hand-built frames: fiducial selection, the fiducials data component,
// marker poses and qualities, and the image detections of the update record.
#include "stream/FrameResults.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using Mode = AtracsysTrackingStreamBase::FiducialQueryMode;

namespace {

constexpr std::uint32_t kNone = FTK_NO_CORRESPONDENCE;
constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325ull;

ftkMarkerPose marker(std::uint32_t geometryId, std::initializer_list<std::uint32_t> correspondences,
                     float x = 0.0f, float y = 0.0f, float z = 0.0f) {
    ftkMarkerPose m{};
    m.geometryId = geometryId;
    std::fill(std::begin(m.correspondences), std::end(m.correspondences), kNone);
    std::copy(correspondences.begin(), correspondences.end(), std::begin(m.correspondences));
    for (int i = 0; i < 3; ++i) {
        m.rotation[i][i] = 1.0f;
    }
    m.translation[0] = x;
    m.translation[1] = y;
    m.translation[2] = z;
    return m;
}

ftkFiducial3D fiducial(float x, float y, float z, std::uint32_t raw = 0) {
    ftkFiducial3D f{};
    f.position = {x, y, z};
    f.leftIndex = raw;
    f.rightIndex = raw;
    return f;
}

/// A frame whose arrays live in the test.
struct TestFrame {
    std::vector<ftkMarkerPose> markers;
    std::vector<ftkFiducial3D> fiducials;
    std::vector<ftkRawDetection> leftRaw;
    std::vector<ftkRawDetection> rightRaw;

    FrameResults::FrameView view() const {
        FrameResults::FrameView v;
        v.markers = markers.data();
        v.markerCount = static_cast<std::uint32_t>(markers.size());
        v.fiducials = fiducials.data();
        v.fiducialCount = static_cast<std::uint32_t>(fiducials.size());
        v.leftRaw = leftRaw.data();
        v.leftRawCount = static_cast<std::uint32_t>(leftRaw.size());
        v.rightRaw = rightRaw.data();
        v.rightRawCount = static_cast<std::uint32_t>(rightRaw.size());
        return v;
    }
};

FrameResults::FiducialSelection select(const TestFrame& frame, Mode mode, double maxDistance = 100.0) {
    FrameResults::FiducialSelection selection;
    FrameResults::selectFiducials(frame.view(), mode, maxDistance, selection);
    return selection;
}

using Indices = std::vector<std::uint32_t>;

}  // namespace

TEST(FrameResults, HashIsFnv1a64OverTheTextBytes) {
    EXPECT_EQ(FrameResults::fnv1a64(""), kOffsetBasis);
    EXPECT_EQ(FrameResults::fnv1a64("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(FrameResults::fnv1a64("foobar"), 0x85944171f73967e8ull);
    const auto ids = FrameResults::markerIdentities(TestFrame{{marker(1200, {})}, {}, {}, {}}.view());
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0].instrumentId, "atracsys-1200");
    EXPECT_EQ(ids[0].instrumentIdHash, FrameResults::fnv1a64("atracsys-1200"));
    EXPECT_EQ(ids[0].instrumentIndex, -1);
}

TEST(FrameResults, FrameViewNeverReachesPastTheReservedEntries) {
    std::vector<ftkMarkerPose> markers(2);
    std::vector<ftkFiducial3D> fiducials(4);
    ftkFrame frame{};
    frame.markers = markers.data();
    frame.markersCount = 5;
    frame.markersCapacity = 2;
    frame.fiducials = fiducials.data();
    frame.fiducialsCount = 3;
    frame.fiducialsCapacity = 4;
    frame.leftRaw = nullptr;  // nothing reserved
    frame.leftRawCount = 7;
    frame.leftRawCapacity = 7;
    const auto view = FrameResults::FrameView::of(frame);
    EXPECT_EQ(view.markerCount, 2u);
    EXPECT_EQ(view.fiducialCount, 3u);
    EXPECT_EQ(view.leftRawCount, 0u);
    EXPECT_EQ(view.rightRawCount, 0u);
}

TEST(FrameResults, NoneSelectsNothingAndOwnsNothing) {
    const TestFrame frame{{marker(1200, {0, 1})}, {fiducial(0, 0, 0), fiducial(1, 0, 0)}, {}, {}};
    const auto selection = select(frame, AtracsysTrackingStreamBase::None);
    EXPECT_TRUE(selection.indices.empty());
    EXPECT_EQ(selection.ownerMarkers, (std::vector<std::int32_t>{-1, -1}));
}

TEST(FrameResults, BelongingToMarkerSelectsCorrespondencesInMarkerOrder) {
    TestFrame frame;
    frame.fiducials.assign(7, fiducial(0, 0, 0));
    frame.markers = {marker(1200, {3, kNone, 5, kNone, kNone, kNone}), marker(1300, {1, 5, 9})};
    const auto selection = select(frame, AtracsysTrackingStreamBase::BelongingToMarker);
    // Fiducial 5 is listed by both markers and reported twice; index 9 lies beyond the frame's fiducials.
    EXPECT_EQ(selection.indices, (Indices{3, 5, 1, 5}));
    EXPECT_EQ(selection.ownerMarkers, (std::vector<std::int32_t>{-1, 1, -1, 0, -1, 1, -1}));
}

TEST(FrameResults, VicinityIsInclusiveAndNeedsAMarker) {
    TestFrame frame;
    frame.fiducials = {fiducial(100.0f, 0, 0), fiducial(100.001f, 0, 0), fiducial(0, -100.0f, 0),
                       fiducial(std::nanf(""), 0, 0), fiducial(500.0f, 60.0f, 0)};
    EXPECT_TRUE(select(frame, AtracsysTrackingStreamBase::AllInMarkerVicinity).indices.empty());

    frame.markers = {marker(1200, {}, 0, 0, 0), marker(1300, {}, 500.0f, 0, 0)};
    EXPECT_EQ(select(frame, AtracsysTrackingStreamBase::AllInMarkerVicinity).indices, (Indices{0, 2, 4}));
    EXPECT_EQ(select(frame, AtracsysTrackingStreamBase::AllInMarkerVicinity, 50.0).indices, (Indices{}));
    EXPECT_EQ(select(frame, AtracsysTrackingStreamBase::AllInMarkerVicinity, 400.0).indices,
              (Indices{0, 1, 2, 4}));
}

TEST(FrameResults, AllSelectsEveryFiducialAndStillRecordsOwners) {
    TestFrame frame;
    frame.fiducials.assign(7, fiducial(0, 0, 0));
    frame.markers = {marker(1200, {2, 4})};
    const auto selection = select(frame, AtracsysTrackingStreamBase::All);
    EXPECT_EQ(selection.indices, (Indices{0, 1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(selection.ownerMarkers, (std::vector<std::int32_t>{-1, -1, 0, -1, 0, -1, -1}));
}

TEST(FrameResults, FiducialsDataCarriesOwnersIndicesAndMeasurements) {
    TestFrame frame;
    for (std::uint32_t i = 0; i < 5; ++i) {
        ftkFiducial3D f = fiducial(1.5f * i, 2.0f, -3.0f, i);
        f.probability = 0.25f * static_cast<float>(i);
        f.epipolarError = 0.5f;
        f.triangulationError = 0.125f;
        frame.fiducials.push_back(f);
    }
    frame.fiducials[4].rightIndex = 99;  // beyond the right raw detections
    for (std::uint32_t i = 0; i < 5; ++i) {
        ftkRawDetection raw{};
        raw.pixelCount = 10 + i;
        frame.leftRaw.push_back(raw);
        raw.pixelCount = 20 + i;
        frame.rightRaw.push_back(raw);
    }
    // Marker 0 (registered, index 1) lists 0 and 1; marker 1 (not registered) lists 1 and 2; marker 2
    // (registered, index 0) lists 2. Fiducial 3 and 4 belong to nobody.
    frame.markers = {marker(1200, {0, 1}), marker(1300, {1, 2}), marker(1100, {2})};
    auto markers = FrameResults::markerIdentities(frame.view());
    markers[0].instrumentIndex = 1;
    markers[2].instrumentIndex = 0;

    const auto selection = select(frame, AtracsysTrackingStreamBase::All);
    const auto data = FrameResults::buildFiducialsData(frame.view(), selection, markers);
    ASSERT_EQ(data->size(), 5u);
    const std::uint64_t h1200 = FrameResults::fnv1a64("atracsys-1200");
    const std::uint64_t h1300 = FrameResults::fnv1a64("atracsys-1300");
    const std::uint64_t h1100 = FrameResults::fnv1a64("atracsys-1100");
    // Owner: the last marker listing the fiducial. Index: the last such marker with an instrument.
    EXPECT_EQ(data->instrumentIdHashes,
              (std::vector<std::uint64_t>{h1200, h1300, h1100, kOffsetBasis, kOffsetBasis}));
    EXPECT_EQ(data->instrumentIndices, (std::vector<std::int32_t>{1, 1, 0, -1, -1}));
    EXPECT_EQ(data->leftPixelCounts, (std::vector<std::uint32_t>{10, 11, 12, 13, 14}));
    EXPECT_EQ(data->rightPixelCounts, (std::vector<std::uint32_t>{20, 21, 22, 23, 0}));
    EXPECT_EQ(data->positions[3], Eigen::Vector3d(4.5, 2.0, -3.0));
    EXPECT_DOUBLE_EQ(data->probabilities[2], 0.5);
    EXPECT_DOUBLE_EQ(data->epipolarErrors[1], 0.5);
    EXPECT_DOUBLE_EQ(data->triangulationErrors[4], 0.125);

    // The arrays follow the selection, repeats included.
    FrameResults::FiducialSelection repeated = selection;
    repeated.indices = {2, 0, 2};
    const auto subset = FrameResults::buildFiducialsData(frame.view(), repeated, markers);
    EXPECT_EQ(subset->instrumentIndices, (std::vector<std::int32_t>{0, 1, 0}));
    EXPECT_EQ(subset->leftPixelCounts, (std::vector<std::uint32_t>{12, 10, 12}));
    EXPECT_EQ(subset->triangulationErrors.size(), 3u);
}

TEST(FrameResults, QualityFallsLinearlyToZeroAtTenMillimetres) {
    EXPECT_DOUBLE_EQ(FrameResults::markerQuality(0.0f), 1.0);
    EXPECT_DOUBLE_EQ(FrameResults::markerQuality(2.5f), 0.75);
    EXPECT_DOUBLE_EQ(FrameResults::markerQuality(5.0f), 0.5);
    EXPECT_DOUBLE_EQ(FrameResults::markerQuality(10.0f), 0.0);
    EXPECT_DOUBLE_EQ(FrameResults::markerQuality(12.0f), 0.0);
    EXPECT_DOUBLE_EQ(FrameResults::markerQuality(std::nanf("")), 0.0);
}

TEST(FrameResults, PoseIsTheDriverPoseAndOnlyActiveInstrumentsChange) {
    ftkMarkerPose m = marker(1200, {}, 10.0f, -20.0f, 30.5f);
    const float rotation[3][3] = {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}};
    std::copy(&rotation[0][0], &rotation[0][0] + 9, &m.rotation[0][0]);
    m.registrationError = 2.5f;

    TrackingInstrument instrument;
    FrameResults::writeMarkerPose(m, instrument);
    Eigen::Matrix4d expected;
    expected << 0, -1, 0, 10, 1, 0, 0, -20, 0, 0, 1, 30.5, 0, 0, 0, 1;
    EXPECT_EQ(instrument.pose, expected);
    EXPECT_DOUBLE_EQ(instrument.quality, 0.75);

    TrackingInstrument inactive;
    inactive.active = false;
    FrameResults::writeMarkerPose(m, inactive);
    EXPECT_EQ(inactive.pose, Eigen::Matrix4d::Identity());
    EXPECT_EQ(inactive.quality, 0.0);
}

TEST(FrameResults, DetectionsFollowTheSelectionInReservedVectors) {
    TestFrame frame;
    frame.fiducials = {fiducial(0, 0, 0), fiducial(0, 0, 0), fiducial(0, 0, 0)};
    frame.fiducials[0].leftIndex = 1;
    frame.fiducials[0].rightIndex = 0;
    frame.fiducials[2].leftIndex = 0;
    frame.fiducials[2].rightIndex = 7;  // beyond the right raw detections
    frame.leftRaw = {ftkRawDetection{10.5f, 20.25f, 3, 4, 9}, ftkRawDetection{30.0f, 40.0f, 5, 6, 25}};
    frame.rightRaw = {ftkRawDetection{11.0f, 21.0f, 7, 8, 49}};

    FrameResults::AtracsysUpdate update;
    FrameResults::appendFiducialDetections(frame.view(), {2, 0}, update);
    EXPECT_EQ(update.left.fiducialCenters,
              (std::vector<Eigen::Vector2d>{Eigen::Vector2d(10.5, 20.25), Eigen::Vector2d(30.0, 40.0)}));
    EXPECT_EQ(update.left.fiducialSizes,
              (std::vector<Eigen::Vector2d>{Eigen::Vector2d(3, 4), Eigen::Vector2d(5, 6)}));
    EXPECT_EQ(update.right.fiducialCenters,
              (std::vector<Eigen::Vector2d>{Eigen::Vector2d(0, 0), Eigen::Vector2d(11.0, 21.0)}));
    EXPECT_EQ(update.right.fiducialSizes,
              (std::vector<Eigen::Vector2d>{Eigen::Vector2d(0, 0), Eigen::Vector2d(7, 8)}));
    EXPECT_EQ(update.left.fiducialCenters.capacity(), 2u);
    EXPECT_EQ(update.right.fiducialSizes.capacity(), 2u);
}

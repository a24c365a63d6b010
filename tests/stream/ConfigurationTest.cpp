// Saving and restoring the stream's settings.
#include "stream/AtracsysTrackingStream.h"
#include "stream/StreamTestAccess.h"

#include "host/WorkspaceFile.h"
#include "support/DriverScript.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>
#include <QDir>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;
using TestSupport::LogCapture;

namespace {

class Configuration : public ::testing::Test {
protected:
    LogCapture log;
    ftksim::Simulator& sim = TestSupport::scriptDevice();
    TestSupport::TempFiles files;
};

std::vector<std::int64_t> integrationTimeWrites(ftksim::Simulator& sim) {
    std::vector<std::int64_t> values;
    for (const ftksim::Call& call : sim.callsTo("ftkSetInt32")) {
        if (call.optionId == ftksim::kOptionImageIntegrationTime) {
            values.push_back(call.intValue);
        }
    }
    return values;
}

/// Records the integration times the stream is asked to set.
class RecordingStream : public AtracsysTrackingStream {
public:
    std::vector<int> requested;
    void setImageIntegrationTime(int value) override {
        requested.push_back(value);
        AtracsysTrackingStream::setImageIntegrationTime(value);
    }
};

int savedIntegrationTime(const AtracsysTrackingStream& stream) {
    Properties saved;
    stream.configuration(&saved);
    int value = -1;
    saved.param("imageIntegrationTime", value);
    return value;
}

}  // namespace

TEST_F(Configuration, ClosedStreamWithTwoMarkersSavesParametersConnectAndTargets) {
    AtracsysTrackingStream stream;
    const std::string b = files.writeGeometry("b.ini", 1002, TestSupport::squareMarker());
    const std::string a = files.writeGeometry("a.ini", 1001, TestSupport::squareMarker());
    ASSERT_TRUE(stream.addGeometry("Second", b));
    ASSERT_TRUE(stream.addGeometry("First", a));

    Properties saved;
    stream.configuration(&saved);
    EXPECT_TRUE(saved.paramAttributes("queryImages").empty());
    bool connect = true;
    ASSERT_TRUE(saved.param("connect", connect));
    EXPECT_FALSE(connect);
    EXPECT_EQ(saved.paramAttributes("connect"), (Properties::Attributes{{"hidden", "true"}}));
    const Properties* targets = saved.subProperties("TrackingTargets");
    ASSERT_NE(targets, nullptr);
    EXPECT_EQ(targets->attributes(), (Properties::Attributes{{"hidden", "true"}}));
    const auto blocks = targets->subProperties();
    ASSERT_EQ(blocks.size(), 2u);  // in instrument ID order
    EXPECT_EQ(blocks[0]->name(), "First");
    EXPECT_EQ(blocks[1]->name(), "Second");
    std::string path;
    ASSERT_TRUE(blocks[0]->param("Path", path));
    EXPECT_EQ(path, a);
    ASSERT_TRUE(blocks[1]->param("Path", path));
    EXPECT_EQ(path, b);
}

TEST_F(Configuration, OpenStreamMarksQueryImagesReadOnlyAndRunningOneConnects) {
    AtracsysTrackingStream stream;
    ASSERT_TRUE(stream.open());
    Properties open;
    stream.configuration(&open);
    EXPECT_EQ(open.paramAttributes("queryImages"), (Properties::Attributes{{"readOnly", "true"}}));
    ASSERT_TRUE(stream.start());
    Properties running;
    stream.configuration(&running);
    bool connect = false;
    ASSERT_TRUE(running.param("connect", connect));
    EXPECT_TRUE(connect);
    stream.close();

    Properties p;
    p.setParam("connect", true);
    stream.configure(&p);
    EXPECT_TRUE(stream.startAfterInit());
}

TEST_F(Configuration, RestoringIntegrationTimeOnAnOpenStreamGoesThroughTheStreamUnlessAuto) {
    RecordingStream stream;
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(TestSupport::waitFor([&] { return savedIntegrationTime(stream) == 35; }));
    int changes = 0;
    auto connection =
        stream.parameter("imageIntegrationTime")->signalValueChanged.connect([&] { ++changes; });
    sim.clearCalls();
    Properties p;
    p.setParam("imageIntegrationTime", 80);
    stream.configure(&p);
    EXPECT_EQ(stream.requested, std::vector<int>{80});  // a derived stream sees the restored value
    EXPECT_EQ(integrationTimeWrites(sim), std::vector<std::int64_t>{80});
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(savedIntegrationTime(stream), 80);

    sim.clearCalls();
    p.setParam("imageIntegrationTime", 0);
    stream.configure(&p);
    EXPECT_TRUE(integrationTimeWrites(sim).empty());
    EXPECT_EQ(stream.requested.size(), 1u);
    EXPECT_EQ(savedIntegrationTime(stream), 0);

    // A changed tolerance goes to the open device at once.
    sim.clearCalls();
    p.setParam("Distance matching tolerance", 2.5f);
    stream.configure(&p);
    ASSERT_EQ(sim.countCalls("ftkSetFloat32"), 1u);
    EXPECT_FLOAT_EQ(sim.callsTo("ftkSetFloat32")[0].floatValue, 2.5f);
}

TEST_F(Configuration, RefusedIntegrationTimeKeepsTheOldValueAndAnnouncesNothing) {
    ftksim::DeviceSpec device = ftksim::makeDevice(TestSupport::kSerial, FTK_DEVICE_SPRYTRACK_300);
    device.refusedWrites.insert(ftksim::kOptionImageIntegrationTime);
    sim.setDevices({device});
    RecordingStream stream;
    ASSERT_TRUE(stream.open());  // auto: takes the device's 35
    ASSERT_TRUE(TestSupport::waitFor([&] { return savedIntegrationTime(stream) == 35; }));
    int changes = 0;
    auto connection = stream.signalParametersChanged.connect([&] { ++changes; });
    Properties p;
    p.setParam("imageIntegrationTime", 80);
    stream.configure(&p);
    EXPECT_EQ(stream.requested, std::vector<int>{80});
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(savedIntegrationTime(stream), 35);
}

TEST_F(Configuration, TargetPathsAreMadeAbsoluteOnlyWhenTheyExist) {
    files.writeGeometry("rel.ini", 1010, TestSupport::squareMarker());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(files.path(""))));
    AtracsysTrackingStream stream;
    Properties p;
    Properties* targets = p.addSubProperties("TrackingTargets");
    targets->addSubProperties("Relative")->setParam("Path", "rel.ini");
    targets->addSubProperties("Missing")->setParam("Path", "gone.ini");
    targets->addSubProperties("Resource")->setParam("Path", ":/no/such/marker.ini");
    targets->addSubProperties("NoPath");
    targets->addSubProperties("EmptyPath")->setParam("Path", "");
    stream.configure(&p);
    QDir::setCurrent(previous);

    const auto specials = TestSupport::registryOf(stream).specialObjects();
    ASSERT_EQ(specials.size(), 1u);
    EXPECT_EQ(specials.begin()->second->path, files.path("rel.ini"));
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream", "Cannot load geometry from file gone.ini"), 1);
    EXPECT_EQ(log.count(Log::Error, "AtracsysTrackingStream",
                        "Cannot load geometry from file :/no/such/marker.ini"),
              1);
    EXPECT_EQ(
        log.count(Log::Error, "", "AtracsysTracking: Parsing INI file, could not find section \"geometry\""),
        2);
}

TEST_F(Configuration, DeprecatedParameterNameIsReadWithAWarning) {
    AtracsysTrackingStream stream;
    Parameter<int> legacy("exposure", 3, &stream, {"exposureTime"});
    Properties p;
    p.setParam("exposureTime", 9);
    stream.configure(&p);
    EXPECT_EQ(legacy.value(), 9);
    EXPECT_EQ(log.count(Log::Warning, "Core.Parameter",
                        "Using deprecated parameter name 'exposureTime'. Please use: 'exposure' instead."),
              1);

    // The fiducial mode has no older names: a tree without it changes nothing and logs nothing.
    stream.setFiducialQueryMode(AtracsysTrackingStreamBase::All);
    Properties empty;
    stream.configure(&empty);
    EXPECT_EQ(stream.fiducialQueryMode(), AtracsysTrackingStreamBase::All);
}

TEST_F(Configuration, WorkspaceSavedLoadedIntoAFreshStreamAndSavedAgainIsTheSame) {
    const std::string file = files.path("workspace.xml");
    std::string first;
    {
        AtracsysTrackingStream stream;
        ASSERT_TRUE(
            stream.addGeometry("Pointer", files.writeGeometry("p.ini", 1200, TestSupport::squareMarker())));
        ASSERT_TRUE(
            stream.addGeometry("Tool", files.writeGeometry("t.ini", 1400, TestSupport::squareMarker())));
        stream.setFiducialQueryMode(AtracsysTrackingStreamBase::AllInMarkerVicinity);
        stream.setMaxFiducialMarkerDistance(42.5);
        stream.setQueryImages(true);
        Properties workspace;
        stream.configuration(&workspace);
        std::string error;
        ASSERT_TRUE(WorkspaceFile::save(workspace, file, error)) << error;
        first = WorkspaceFile::toText(workspace);
    }
    Properties loaded;
    std::string error;
    ASSERT_TRUE(WorkspaceFile::load(file, loaded, error)) << error;
    AtracsysTrackingStream stream;
    stream.configure(&loaded);
    EXPECT_EQ(stream.fiducialQueryMode(), AtracsysTrackingStreamBase::AllInMarkerVicinity);
    EXPECT_EQ(stream.maxFiducialMarkerDistance(), 42.5);
    EXPECT_TRUE(stream.queryImages());
    EXPECT_EQ(TestSupport::registryOf(stream).size(), 2);
    Properties again;
    stream.configuration(&again);
    EXPECT_EQ(WorkspaceFile::toText(again), first);
}

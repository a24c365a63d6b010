// The algorithm factory's one algorithm and the controller factory's one panel.
#include "plugin/AtracsysAlgorithmFactory.h"
#include "plugin/AtracsysControllerFactory.h"
#include "plugin/AtracsysStreamAlgorithm.h"

#include "gui/AtracsysOpticalTrackingController.h"

#include "host/AlgorithmController.h"

#include "support/DriverScript.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace Halvoren;
using TestSupport::LogCapture;

namespace {

class OtherStreamAlgorithm : public StreamIoAlgorithm {
public:
    Stream* stream() const override { return nullptr; }
    void run() override {}
};

class SomeData : public Data {};

}  // namespace

TEST(AtracsysAlgorithmFactory, OffersTheStreamAlgorithmForAnEmptySelectionOnly) {
    LogCapture log;
    AtracsysAlgorithmFactory factory;
    EXPECT_EQ(factory.name(), "Atracsys");
    const auto descriptors = factory.algorithmDescriptors();
    ASSERT_EQ(descriptors.size(), 1u);
    EXPECT_EQ(descriptors[0]->name, "Atracsys.SpryTrackStream");
    EXPECT_EQ(descriptors[0]->category, "IO;Atracsys Tracking;SpryTrack");
    EXPECT_EQ(descriptors[0]->priority, 0);
    EXPECT_TRUE(descriptors[0]->ioAlgorithm);

    SomeData selected;
    EXPECT_EQ(factory.instantiateAlgorithm("Atracsys.SpryTrackStream", DataList{&selected}), nullptr);

    // Host-wide settings for the algorithm reach it on creation.
    Properties global;
    global.setParam("autoOpen", true);
    IoAlgorithm::setGlobalSettings("Atracsys.SpryTrackStream", global);
    std::unique_ptr<Algorithm> algorithm =
        factory.instantiateAlgorithm("Atracsys.SpryTrackStream", DataList());
    IoAlgorithm::clearGlobalSettings();
    auto* streamAlgorithm = dynamic_cast<AtracsysStreamAlgorithm*>(algorithm.get());
    ASSERT_NE(streamAlgorithm, nullptr);
    EXPECT_EQ(factory.algorithmName(*algorithm), "Atracsys.SpryTrackStream");
    EXPECT_EQ(algorithm->factoryInfo().name, "Atracsys.SpryTrackStream");
    EXPECT_EQ(algorithm->factoryInfo().shortName, "SpryTrack");
    EXPECT_TRUE(algorithm->factoryInfo().input.empty());
    EXPECT_TRUE(streamAlgorithm->openFlag());
    EXPECT_EQ(streamAlgorithm->stream(), nullptr);  // nothing runs before the host asks
}

TEST(AtracsysControllerFactory, MakesTheAtracsysPanelForTheStreamAlgorithmOnly) {
    LogCapture log;
    TestSupport::scriptDevice();
    AtracsysControllerFactory factory;
    EXPECT_EQ(factory.name(), "Atracsys");

    AtracsysStreamAlgorithm algorithm;
    algorithm.run();
    std::unique_ptr<AlgorithmController> controller = factory.createController(&algorithm);
    auto* panel = dynamic_cast<AtracsysOpticalTrackingController*>(controller.get());
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->algorithm(), &algorithm);
    panel->init();
    EXPECT_EQ(panel->atracsysStream(), algorithm.stream());

    OtherStreamAlgorithm other;
    EXPECT_EQ(factory.createController(&other), nullptr);
    EXPECT_EQ(factory.createController(nullptr), nullptr);
}

// Renaming of the stream algorithm blocks saved by older versions.
#include "plugin/RenameLegacyStreamAlgorithms.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Halvoren;

namespace {

std::vector<std::string> blockNames(const Properties& block) {
    std::vector<std::string> names;
    for (const Properties* child : block.subProperties()) {
        names.push_back(child->name());
    }
    return names;
}

}  // namespace

TEST(RenameLegacyStreamAlgorithms, RenamesDirectAlgorithmBlocksOnExactNamesKeepingTheirContents) {
    Properties workspace("Workspace");
    Properties* algorithms = workspace.addSubProperties("Algorithms");
    Properties* spryTrack = algorithms->addSubProperties("Atracsys.AtracsysTrackingStreamSpryTrack");
    spryTrack->setParam("queryImages", true);
    Properties* targets = spryTrack->addSubProperties("TrackingTargets");
    targets->addSubProperties("Atracsys.AtracsysTrackingStreamFusionTrack");  // nested: left alone
    algorithms->addSubProperties("atracsys.atracsystrackingstreamsprytrack");
    algorithms->addSubProperties("Atracsys.AtracsysTrackingStreamSpryTrack-Legacy");
    algorithms->addSubProperties("Atracsys.AtracsysTrackingStreamSpryTrack-Legacy-RC13");
    algorithms->addSubProperties("Atracsys.AtracsysTrackingStreamSpryTrack-Legacy-RC10");
    algorithms->addSubProperties("Atracsys.AtracsysTrackingStreamFusionTrack");
    workspace.addSubProperties("Other")->addSubProperties("Atracsys.AtracsysTrackingStreamSpryTrack");
    const Properties before = workspace;

    EXPECT_TRUE(renameLegacyStreamAlgorithms(workspace, Filesystem::Path("unused.hws")));
    EXPECT_EQ(blockNames(*algorithms),
              (std::vector<std::string>{
                  "Atracsys.SpryTrackStream", "atracsys.atracsystrackingstreamsprytrack",
                  "Atracsys.AtracsysTrackingStreamSpryTrack-Legacy", "Atracsys.SpryTrackLegacyRC13Stream",
                  "Atracsys.SpryTrackLegacyRC10Stream", "Atracsys.FusionTrackStream"}));
    // The renamed block is the same block with the same contents.
    EXPECT_EQ(algorithms->subProperties("Atracsys.SpryTrackStream", false), spryTrack);
    EXPECT_EQ(blockNames(*targets), std::vector<std::string>{"Atracsys.AtracsysTrackingStreamFusionTrack"});
    EXPECT_EQ(blockNames(*workspace.subProperties("Other", false)),
              std::vector<std::string>{"Atracsys.AtracsysTrackingStreamSpryTrack"});

    // Only the names changed.
    Properties renamedBack = workspace;
    Properties* back = renamedBack.subProperties("Algorithms", false);
    const std::vector<std::string> oldNames = blockNames(*before.subProperties("Algorithms"));
    for (std::size_t i = 0; i < oldNames.size(); ++i) {
        back->subProperties()[i]->setName(oldNames[i]);
    }
    EXPECT_EQ(renamedBack, before);
}

TEST(RenameLegacyStreamAlgorithms, CurrentNamesOrNoAlgorithmsBlockAreLeftUnchanged) {
    Properties current("Workspace");
    current.addSubProperties("Algorithms")->addSubProperties("Atracsys.SpryTrackStream");
    const Properties currentBefore = current;
    EXPECT_FALSE(renameLegacyStreamAlgorithms(current, Filesystem::Path()));
    EXPECT_EQ(current, currentBefore);

    Properties noAlgorithms("Workspace");
    noAlgorithms.addSubProperties("Atracsys.AtracsysTrackingStreamSpryTrack");
    const Properties noAlgorithmsBefore = noAlgorithms;
    EXPECT_FALSE(renameLegacyStreamAlgorithms(noAlgorithms, Filesystem::Path()));
    EXPECT_EQ(noAlgorithms, noAlgorithmsBefore);
    EXPECT_EQ(noAlgorithms.subProperties("Algorithms", false), nullptr);
}

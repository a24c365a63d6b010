#include "navigation/NavigationNames.h"

#include <gtest/gtest.h>

namespace Halvoren::Navigation {
namespace {

TEST(NavigationNames, NameTransformsAsNavigationSoftwareExpects) {
    const TrackerID pointer("atracsys-1200", "", "pointer");
    const TrackerID unnamed("atracsys-1300", "", "");
    const TrackerID reference("atracsys-1400", "", "reference");
    EXPECT_EQ(transformName(pointer, frameName(std::nullopt)), "PointerToTracker");
    EXPECT_EQ(transformName(pointer, frameName(reference)), "PointerToReference");
    EXPECT_EQ(tipTransformName(pointer, frameName(reference)), "PointerTipToReference");
    EXPECT_EQ(transformName(unnamed, frameName(pointer)), "Atracsys-1300ToPointer");

    // A reference by ID or name; an unknown or ambiguous one is refused, an ID wins over another's name.
    const TrackerID twin("atracsys-1500", "", "pointer");
    const TrackerID named("atracsys-1600", "", "atracsys-1200");
    const std::vector<TrackerID> known{pointer, unnamed, reference, twin, named};
    EXPECT_EQ(resolveReference(known, "reference"), reference);
    EXPECT_EQ(resolveReference(known, "atracsys-1300"), unnamed);
    EXPECT_EQ(resolveReference(known, "atracsys-1200"), pointer);
    EXPECT_EQ(resolveReference(known, "pointer"), std::nullopt);
    EXPECT_EQ(resolveReference(known, "femur"), std::nullopt);
    EXPECT_EQ(resolveReference({}, "reference"), std::nullopt);
}

TEST(NavigationNames, ChosenNamesReplaceTheInstrumentsOwnAndHintsMakeLongNamesFit) {
    const TrackerID pointer("atracsys-1200", "", "pointer");
    const TrackerID tool("atracsys-1400", "", "tool");
    NameChoices choices;
    choices.chooseName("atracsys-1400", "probe");
    EXPECT_EQ(choices.nameOf(pointer), "pointer");
    EXPECT_EQ(choices.nameOf(tool), "probe");
    EXPECT_EQ(choices.displayNameOf(tool), "Probe");
    EXPECT_EQ(choices.frame(), std::nullopt);
    choices.chooseFrame("ref");
    EXPECT_EQ(choices.frame(), "Ref");
    EXPECT_EQ(tipTransformName(choices.nameOf(tool), *choices.frame()), "ProbeTipToRef");

    std::string why;
    EXPECT_TRUE(isChoosableName("Ptr_2", why));
    EXPECT_FALSE(isChoosableName("", why));
    EXPECT_FALSE(isChoosableName("a-b", why));
    EXPECT_NE(why.find("letters, digits and '_'"), std::string::npos) << why;
    EXPECT_FALSE(isChoosableName(std::string(20, 'a'), why));

    // A three-letter frame first, as it shortens every name at once; else the instrument's name cut.
    EXPECT_EQ(fittingHint(pointer, "Pointer", "Reference", true, true, 20), "--frame-name Ref");
    EXPECT_EQ(fittingHint(pointer, "Pointer", "Reference", false, true, 20), "");  // it fits
    EXPECT_EQ(fittingHint(pointer, "LongInstrumentName", "Reference", true, true, 20),
              "--name pointer=LongIn");
    EXPECT_EQ(fittingHint(pointer, "LongInstrumentNam", "LongReferenceNam", true, true, 20), "");
    EXPECT_EQ(fittingHint(pointer, "PointerOfTheSurgeon", "Tracker", false, false, 20),
              "--name pointer=PointerOfTh");  // PointerOfThToTracker: 20
    const TrackerID unnamed("atracsys-1300", "", "");
    EXPECT_EQ(nameHint(unnamed, "a-very-long-instrument-name", 19),
              "--name atracsys-1300=a_very_long_instrum");
    EXPECT_EQ(nameHint(unnamed, "atracsys-1300", 19), "");
}

}  // namespace
}  // namespace Halvoren::Navigation

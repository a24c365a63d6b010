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

}  // namespace
}  // namespace Halvoren::Navigation

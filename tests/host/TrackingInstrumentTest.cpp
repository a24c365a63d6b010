#include "host/TrackingInstrument.h"

#include <gtest/gtest.h>

#include <limits>

using namespace Halvoren;

TEST(TrackingInstrument, EveryMemberCountsAndNaNAlwaysDiffers) {
    TrackingInstrument a;
    a.id = TrackerID("atracsys-1", "", "marker");
    a.pose(1, 3) = 12.5;
    a.quality = 0.5;
    a.timestamp = 1000;
    TrackingInstrument b = a;
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(a == b);

    for (int i = 0; i < 16; ++i) {
        TrackingInstrument c = a;
        c.pose(i) += 1e-12;
        EXPECT_TRUE(a != c) << "pose element " << i;
    }
    auto differs = [&](auto change) {
        TrackingInstrument c = a;
        change(c);
        return a != c;
    };
    EXPECT_TRUE(differs([](TrackingInstrument& c) { c.id.name = "other"; }));
    EXPECT_TRUE(differs([](TrackingInstrument& c) { c.quality = 0.25; }));
    EXPECT_TRUE(differs([](TrackingInstrument& c) { c.timestamp = 1001; }));
    EXPECT_TRUE(differs([](TrackingInstrument& c) { c.state = 1; }));
    EXPECT_TRUE(differs([](TrackingInstrument& c) { c.active = false; }));

    TrackingInstrument withNaN = a;
    withNaN.pose(2, 2) = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(withNaN != withNaN);
    withNaN = a;
    withNaN.quality = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(withNaN != withNaN);
}

// The stream panel's instrument table as the window sets it up: positions in the run's navigation frame.
#include "halvoren/window/PanelNavigation.h"

#include <gtest/gtest.h>
#include <QLabel>
#include <QTableWidget>

using namespace Halvoren;

namespace {

TrackingInstrument instrument(const std::string& id, const std::string& name, const Eigen::Vector3d& at,
                              double quality) {
    TrackingInstrument i;
    i.id = TrackerID(id, "", name);
    i.pose.topRightCorner<3, 1>() = at;
    i.quality = quality;
    return i;
}

QString cell(const QTableWidget& table, int row, int column) {
    const QTableWidgetItem* item = table.item(row, column);
    return item != nullptr ? item->text() : QString();
}

}  // namespace

TEST(PanelNavigation, TableShowsPositionsAndTipsRelativeToTheReferenceAndSaysWhenItIsNotSeen) {
    Navigation::NavigationFrame navigation;
    navigation.chain.setReference(std::string("atracsys-1300"));
    navigation.chain.setTip("atracsys-1200", Eigen::Vector3d(0, -120, 0));
    navigation.frame = "Reference";
    OpticalTrackingStreamController panel(nullptr);
    panel.setNavigation(App::panelFrameLabel(navigation), App::panelNavigation(navigation, 0.5));
    auto* table = panel.findChild<QTableWidget*>("instruments");
    auto* label = panel.findChild<QLabel*>("instrumentFrame");
    ASSERT_TRUE(table && label);
    EXPECT_EQ(label->text(), "Frame: Reference (atracsys-1300)");

    // The pointer's position and its tip relative to the reference; the reference sits at its origin.
    std::vector<TrackingInstrument> frame{instrument("atracsys-1200", "pointer", {110, 220, 1330}, 0.9),
                                          instrument("atracsys-1300", "reference", {10, 20, 1300}, 0.9)};
    panel.showInstruments(frame);
    EXPECT_EQ(cell(*table, 0, 3), "100.0, 200.0, 30.0");
    EXPECT_EQ(cell(*table, 0, 4), "100.0, 80.0, 30.0");
    EXPECT_EQ(cell(*table, 1, 3), "0.0, 0.0, 0.0");
    EXPECT_EQ(cell(*table, 1, 4), "");
    EXPECT_FALSE(table->isColumnHidden(4));

    // A reference below the quality gate leaves no relative pose: no stale numbers, and no camera ones.
    frame[1].quality = 0.3;
    panel.showInstruments(frame);
    EXPECT_EQ(cell(*table, 0, 2), "0.900");
    EXPECT_EQ(cell(*table, 0, 3), "reference not seen");
    EXPECT_EQ(cell(*table, 0, 4), "");
    frame[1].quality = 0.9;
    frame[0].quality = 0.0;
    panel.showInstruments(frame);
    EXPECT_EQ(cell(*table, 0, 3), "not seen");

    // Without a reference the camera's coordinates, and the label says so.
    Navigation::NavigationFrame camera;
    EXPECT_EQ(App::panelFrameLabel(camera), "Frame: Tracker (camera)");
}

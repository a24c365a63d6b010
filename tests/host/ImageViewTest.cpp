#include "host/DisplayWidgetMulti.h"
#include "host/GlEllipse.h"
#include "host/GlLine.h"
#include "host/ImageView2D.h"
#include "host/SharedImageSet.h"

#include <gtest/gtest.h>
#include <QImage>

#include <memory>
#include <vector>

using namespace Halvoren;

TEST(DisplayWidgetMulti, RefusesViewsBeyondItsMaximumAndRemovesOnlyItsOwn) {
    DisplayWidgetMulti display;
    display.setMaximumViews(2);
    ImageView2D* first = display.addView2D(true, false);
    ImageView2D* before = display.addView2D(false, true);
    ASSERT_TRUE(first && before);
    EXPECT_EQ(display.addView2D(true, false), nullptr);
    EXPECT_EQ(display.views(), (std::vector<ImageView2D*>{before, first}));
    EXPECT_EQ(display.currentView(), before);

    ImageView2D foreign;
    EXPECT_FALSE(display.removeView(&foreign));
    EXPECT_TRUE(display.removeView(before));
    EXPECT_FALSE(display.removeView(before));
    EXPECT_EQ(display.views(), std::vector<ImageView2D*>{first});
    EXPECT_EQ(display.currentView(), first);
    EXPECT_NE(display.addView2D(true, false), nullptr);
}

TEST(ImageView2D, FitsTheImageKeepingItsAspectRatio) {
    const std::vector<std::uint8_t> pixels(40 * 20, 90);
    SharedImageSet set;
    set.add(std::make_shared<SharedImage>(
        MemImage::create(ImageDescriptor(PixelUInt8, 40, 20), pixels.data(), MemImage::NotOwned)));
    ImageView2D view;
    view.resize(200, 200);
    view.setVisibleData(DataList{&set});
    GlLine line;
    line.setColor({1, 0, 0});
    line.setLineWidth(3.0);
    line.setPoints({{-20, 0, 0}, {0, 0, 0}});
    view.glView()->addObject(&line);

    // Scaled by 5 to 200 x 100, centred: bands of 50 above and below.
    ASSERT_TRUE(view.imageRect().has_value());
    EXPECT_EQ(*view.imageRect(), QRectF(0, 50, 200, 100));
    const QImage shown = view.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown.pixel(100, 20), qRgb(0, 0, 0));
    EXPECT_EQ(shown.pixel(100, 180), qRgb(0, 0, 0));
    EXPECT_EQ(shown.pixel(150, 60), qRgb(90, 90, 90));
    // The line runs from the image's left edge to its centre, in screen pixels.
    EXPECT_EQ(shown.pixel(50, 100), qRgb(255, 0, 0));
    EXPECT_EQ(shown.pixel(150, 100), qRgb(90, 90, 90));

    line.setVisible(false);
    EXPECT_EQ(view.grab().toImage().convertToFormat(QImage::Format_RGB32).pixel(50, 100), qRgb(90, 90, 90));
}

TEST(GlView, ObjectsAndViewsForgetEachOtherWhenDestroyed) {
    GlEllipse kept;
    {
        GlView view;
        auto gone = std::make_unique<GlEllipse>();
        view.addObject(gone.get());
        view.addObject(&kept);
        view.addObject(&kept);
        EXPECT_EQ(view.objects(), (std::vector<GlObject*>{gone.get(), &kept}));
        EXPECT_EQ(kept.view(), &view);
        gone.reset();
        EXPECT_EQ(view.objects(), std::vector<GlObject*>{&kept});

        GlView other;
        kept.setView(&other);
        EXPECT_TRUE(view.objects().empty());
        view.addObject(&kept);
    }
    EXPECT_EQ(kept.view(), nullptr);
}

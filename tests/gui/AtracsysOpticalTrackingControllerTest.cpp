// The Atracsys panel: camera views made at set-up or once images are switched on, and the start of a
// stream restored as running. Runs on the real stream against the scripted driver.
#include "gui/AtracsysOpticalTrackingController.h"

#include "stream/AtracsysTrackingStream.h"

#include "host/DisplayWidgetMulti.h"
#include "host/StreamIoAlgorithm.h"

#include "support/DriverScript.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <QCheckBox>

#include <memory>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;

namespace {

/// Hands out a stream made elsewhere, as the algorithm does once it has run.
class HeldStreamAlgorithm : public StreamIoAlgorithm {
public:
    explicit HeldStreamAlgorithm(Stream* stream) : m_stream(stream) {}
    Stream* stream() const override { return m_stream; }
    void run() override {}

private:
    Stream* m_stream;
};

/// A set-up panel for the stream, shown into the display when one is given.
struct Panel {
    Panel(Stream& stream, DisplayWidgetMulti* display)
        : algorithm(&stream), controller(std::make_unique<AtracsysOpticalTrackingController>(&algorithm)) {
        controller->setDisplayWidget(display);
        controller->init();
    }
    HeldStreamAlgorithm algorithm;
    std::unique_ptr<AtracsysOpticalTrackingController> controller;
};

}  // namespace

TEST(AtracsysOpticalTrackingController, ImagesQueriedGiveTwoCameraViewsForTheControllersLife) {
    TestSupport::LogCapture log;
    TestSupport::scriptDevice();
    AtracsysTrackingStream stream;
    stream.setQueryImages(true);
    DisplayWidgetMulti display;
    Panel panel(stream, &display);

    EXPECT_STREQ(panel.controller->metaObject()->className(), "Halvoren::AtracsysOpticalTrackingController");
    EXPECT_EQ(panel.controller->metaObject()->superClass(),
              &OpticalTrackingStreamController::staticMetaObject);
    EXPECT_EQ(panel.controller->atracsysStream(), &stream);
    EXPECT_NE(panel.controller->renderer(), nullptr);
    EXPECT_EQ(display.views().size(), 2u);

    panel.controller.reset();
    EXPECT_TRUE(display.views().empty());
}

TEST(AtracsysOpticalTrackingController, ViewsAppearOnceImagesAreSwitchedOnAndStay) {
    TestSupport::LogCapture log;
    TestSupport::scriptDevice();
    AtracsysTrackingStream stream;
    DisplayWidgetMulti display;
    Panel panel(stream, &display);
    EXPECT_EQ(panel.controller->renderer(), nullptr);
    EXPECT_TRUE(display.views().empty());

    // Another parameter changing makes nothing.
    stream.setMaxFiducialMarkerDistance(7.0);
    EXPECT_TRUE(display.views().empty());

    // Switched on through the panel's own field.
    auto* images = panel.controller->findChild<QCheckBox*>("queryImages");
    ASSERT_NE(images, nullptr);
    images->setChecked(true);
    AtracsysRenderer* renderer = panel.controller->renderer();
    EXPECT_NE(renderer, nullptr);
    EXPECT_EQ(display.views().size(), 2u);

    stream.setQueryImages(false);
    stream.setQueryImages(true);
    EXPECT_EQ(panel.controller->renderer(), renderer);
    EXPECT_EQ(display.views().size(), 2u);
}

TEST(AtracsysOpticalTrackingController, WithoutADisplayNoRendererIsEverMade) {
    TestSupport::LogCapture log;
    TestSupport::scriptDevice();
    AtracsysTrackingStream stream;
    stream.setQueryImages(true);
    Panel panel(stream, nullptr);
    EXPECT_EQ(panel.controller->renderer(), nullptr);
    stream.setQueryImages(false);
    stream.setQueryImages(true);
    EXPECT_EQ(panel.controller->renderer(), nullptr);
}

TEST(AtracsysOpticalTrackingController, StartsOnlyAnInitializedStreamSavedAsRunningThatIsNotRunning) {
    TestSupport::LogCapture log;
    struct Case {
        const char* name;
        bool startAfterInit;
        Stream::State before;
        Stream::State after;
    };
    const Case cases[] = {
        {"open, start after init", true, Stream::Open, Stream::Running},
        {"closed, start after init", true, Stream::Closed, Stream::Closed},
        {"running, start after init", true, Stream::Running, Stream::Running},
        {"open, no start after init", false, Stream::Open, Stream::Open},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::scriptDevice();
        AtracsysTrackingStream stream;
        Properties restored;
        restored.setParam("connect", c.startAfterInit);
        stream.configure(&restored);
        if (c.before != Stream::Closed) {
            ASSERT_TRUE(stream.open());
        }
        if (c.before == Stream::Running) {
            ASSERT_TRUE(stream.start());
        }
        int changes = 0;
        auto counter = stream.signalStateChanged.connect([&](const Stream::StateChange&) { ++changes; });
        Panel panel(stream, nullptr);
        EXPECT_EQ(stream.currentState(), c.after);
        EXPECT_EQ(changes, c.before == c.after ? 0 : 2);
        counter->disconnect();
        stream.close();
    }
}

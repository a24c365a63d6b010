#include "gui/AtracsysRenderer.h"

#include "host/DisplayWidgetMulti.h"
#include "host/GlEllipse.h"
#include "host/GlLine.h"
#include "host/ImageView2D.h"
#include "host/SharedImageSet.h"
#include "stream/GroupTestStream.h"
#include "support/LogCapture.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QImage>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Halvoren;
using TestSupport::waitFor;

namespace {

using Update = AtracsysTrackingStreamBase::AtracsysUpdate;
using Points = std::vector<Eigen::Vector2d>;
using Points3 = std::vector<Eigen::Vector3d>;

std::shared_ptr<SharedImage> image(int width, int height, std::uint8_t grey) {
    const std::vector<std::uint8_t> pixels(std::size_t(width) * height, grey);
    return std::make_shared<SharedImage>(
        MemImage::create(ImageDescriptor(PixelUInt8, width, height), pixels.data(), MemImage::Owned));
}

Update frame(Points leftCenters, Points leftSizes, Points rightCenters = {}, Points rightSizes = {},
             int width = 8, int height = 6) {
    Update update;
    update.left = {image(width, height, 100), std::move(leftCenters), std::move(leftSizes)};
    update.right = {image(width, height, 200), std::move(rightCenters), std::move(rightSizes)};
    return update;
}

class RendererTest : public ::testing::Test {
protected:
    ImageView2D* left() const { return display.views().at(0); }
    ImageView2D* right() const { return display.views().at(1); }
    static const std::vector<GlObject*>& objects(ImageView2D* view) { return view->glView()->objects(); }

    /// Emits the frame as the worker does, then runs the call it posted to the GUI thread.
    void show(Update& update) {
        stream.signalAtracsysUpdate.emitSignal(update);
        QCoreApplication::processEvents();
    }
    void show(Update&& update) { show(update); }

    TestSupport::LogCapture log;
    TestSupport::GroupTestStream stream;
    DisplayWidgetMulti display;
};

}  // namespace

TEST_F(RendererTest, AnnotationsFollowTheFiducialCountAndAreReused) {
    AtracsysRenderer renderer(stream, display);
    ASSERT_EQ(display.views().size(), 2u);
    EXPECT_TRUE(left()->isVisibleTo(&display));

    show(frame({{1, 1}, {2, 2}, {3, 3}}, {{2, 2}, {2, 2}, {2, 2}}, {{4, 4}}, {{2, 2}}));
    ASSERT_EQ(objects(left()).size(), 9u);
    EXPECT_EQ(objects(right()).size(), 3u);
    const std::vector<GlObject*> first(objects(left()).begin(), objects(left()).begin() + 3);
    auto* ellipse = dynamic_cast<GlEllipse*>(first[0]);
    auto* horizontal = dynamic_cast<GlLine*>(first[1]);
    auto* vertical = dynamic_cast<GlLine*>(first[2]);
    ASSERT_TRUE(ellipse && horizontal && vertical);
    for (GlObject* object : first) {
        EXPECT_EQ(object->color(), Eigen::Vector3d(0, 1, 1));
        EXPECT_EQ(object->pointSize(), 0.0);
        EXPECT_EQ(object->view(), left()->glView());
        EXPECT_TRUE(object->isVisible());
    }
    EXPECT_EQ(ellipse->lineWidth(), 2.0);
    EXPECT_TRUE(ellipse->isLabelVisible());
    EXPECT_EQ(horizontal->lineWidth(), 1.5);
    EXPECT_FALSE(horizontal->isLabelVisible());
    EXPECT_FALSE(vertical->isLabelVisible());

    // The first fiducial's objects stay and move; the others leave the view.
    show(frame({{5, 5}}, {{2, 2}}, {{4, 4}}, {{2, 2}}));
    EXPECT_EQ(objects(left()), first);
    EXPECT_EQ(ellipse->points(), (Points3{{0, 1, 0}, {2, 3, 0}}));

    show(frame({}, {}, {{4, 4}}, {{2, 2}}));
    EXPECT_TRUE(objects(left()).empty());
    EXPECT_EQ(objects(right()).size(), 3u);
    EXPECT_NE(left()->shownImage(), nullptr);
}

TEST_F(RendererTest, PlacesAnnotationsRelativeToTheImageCentre) {
    AtracsysRenderer renderer(stream, display);
    // An 8 x 6 image: the centre is (4, 3).
    show(frame({{4, 3}, {6, 1}}, {{4, 2}, {2.5, 5}}));
    const auto& shown = objects(left());
    ASSERT_EQ(shown.size(), 6u);
    EXPECT_EQ(shown[0]->points(), (Points3{{-2, -1, 0}, {2, 1, 0}}));
    EXPECT_EQ(shown[1]->points(), (Points3{{-3.2, 0, 0}, {3.2, 0, 0}}));
    EXPECT_EQ(shown[2]->points(), (Points3{{0, -1.6, 0}, {0, 1.6, 0}}));
    EXPECT_EQ(shown[3]->points(), (Points3{{0.75, -4.5, 0}, {3.25, 0.5, 0}}));
    EXPECT_EQ(shown[4]->points(), (Points3{{0, -2, 0}, {4, -2, 0}}));
    EXPECT_EQ(shown[5]->points(), (Points3{{2, -6, 0}, {2, 2, 0}}));
}

TEST_F(RendererTest, TakesTheImagesAndShowsTheStreamsMemoryWithoutCopying) {
    AtracsysRenderer renderer(stream, display);
    Update first = frame({{4, 3}}, {{2, 2}});
    const std::shared_ptr<SharedImage> leftImage = first.left.image;
    const std::shared_ptr<SharedImage> rightImage = first.right.image;
    stream.signalAtracsysUpdate.emitSignal(first);
    EXPECT_EQ(first.left.image, nullptr);
    EXPECT_EQ(first.right.image, nullptr);
    EXPECT_EQ(first.left.fiducialCenters, (Points{{4, 3}}));
    EXPECT_EQ(first.right.fiducialSizes, Points{});
    EXPECT_EQ(left()->shownImage(), nullptr);
    QCoreApplication::processEvents();

    // The first frame fills each set with the stream's own image object.
    ASSERT_EQ(left()->visibleData().size(), 1u);
    auto* set = dynamic_cast<SharedImageSet*>(left()->visibleData().get(0));
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->size(), 1);
    EXPECT_EQ(set->get(0), leftImage);
    EXPECT_EQ(set->selection().indices(), std::vector<int>{0});
    EXPECT_EQ(right()->shownImage(), rightImage.get());

    // Later frames only exchange the memory, which is the very memory the stream made.
    Update second = frame({}, {});
    const std::shared_ptr<MemImage> memory = second.left.image->sharedMem();
    const std::uint8_t* pixels = memory->data();
    const std::uint64_t revision = leftImage->revision();
    show(second);
    EXPECT_EQ(left()->visibleData().get(0), set);
    EXPECT_EQ(set->size(), 1);
    EXPECT_EQ(left()->shownImage(), leftImage.get());
    EXPECT_EQ(leftImage->sharedMem(), memory);
    EXPECT_EQ(leftImage->sharedMem()->data(), pixels);
    EXPECT_GT(leftImage->revision(), revision);
}

TEST_F(RendererTest, DisplayRefusingViewsGivesOneErrorAndFramesAreIgnored) {
    display.setMaximumViews(1);
    {
        AtracsysRenderer renderer(stream, display);
        EXPECT_EQ(log.count(Log::Error, "AtracsysRenderer", "Could not create views"), 1);
        ASSERT_EQ(display.views().size(), 1u);

        Update update = frame({{4, 3}}, {{2, 2}});
        show(update);
        show(frame({{4, 3}}, {{2, 2}}));
        EXPECT_NE(update.left.image, nullptr);
        EXPECT_TRUE(left()->visibleData().empty());
        EXPECT_TRUE(objects(left()).empty());
    }
    EXPECT_TRUE(display.views().empty());
}

TEST_F(RendererTest, MismatchedSizeListIsReportedAndNotRead) {
    AtracsysRenderer renderer(stream, display);
    show(frame({{4, 3}}, {{2, 2}}));
    const Points3 before = objects(left()).at(0)->points();
    show(frame({{1, 1}}, {}));
    EXPECT_EQ(log.count(Log::Error, "", "Size does not match!!!"), 1);
    EXPECT_EQ(objects(left()).at(0)->points(), before);
}

TEST_F(RendererTest, PaintsTheImageWithCyanEllipseAndCross) {
    AtracsysRenderer renderer(stream, display);
    display.resize(324, 120);  // two 160-pixel views and the gap between them
    display.show();
    ASSERT_TRUE(waitFor([&] { return left()->size() == QSize(160, 120); }));
    // A 160 x 120 image in a 160 x 120 view: image pixels are widget pixels. The fiducial's box spans
    // x 50..70 and y 44..56; its cross reaches x 44..76 and y 40.4..59.6.
    show(frame({{60, 50}}, {{20, 12}}, {}, {}, 160, 120));
    const QImage shown = left()->grab().toImage().convertToFormat(QImage::Format_RGB32);

    const auto isCyan = [&](int x, int y) {
        const QColor c = shown.pixelColor(x, y);
        return c.green() > c.red() + 100 && c.blue() > c.red() + 100;
    };
    const QRgb grey = qRgb(100, 100, 100);
    EXPECT_TRUE(isCyan(50, 50));                    // the ellipse's leftmost point
    EXPECT_TRUE(isCyan(69, 50));                    // its rightmost point
    EXPECT_TRUE(isCyan(60, 44));                    // its top
    EXPECT_TRUE(isCyan(46, 50) || isCyan(46, 49));  // the horizontal line, outside the ellipse
    EXPECT_TRUE(isCyan(64, 50) || isCyan(64, 49));  // and inside
    EXPECT_TRUE(isCyan(60, 42) || isCyan(59, 42));  // the vertical line, outside the ellipse
    EXPECT_EQ(shown.pixel(10, 10), grey);
    EXPECT_EQ(shown.pixel(55, 47), grey);  // inside the ellipse, off the cross
    EXPECT_EQ(shown.pixel(150, 110), grey);
    EXPECT_EQ(right()->grab().toImage().convertToFormat(QImage::Format_RGB32).pixel(60, 50),
              qRgb(200, 200, 200));
}

TEST_F(RendererTest, DestroyingTheRendererWhileFramesArriveIsSafe) {
    std::atomic<bool> stop{false};
    std::atomic<int> emitted{0};
    std::thread worker([&] {
        while (!stop) {
            Update update = frame({{4, 3}, {2, 2}}, {{2, 2}, {1, 1}}, {{4, 3}}, {{2, 2}});
            stream.signalAtracsysUpdate.emitSignal(update);
            ++emitted;
        }
    });
    for (int round = 0; round < 20; ++round) {
        auto renderer = std::make_unique<AtracsysRenderer>(stream, display);
        ASSERT_TRUE(waitFor([&] { return left()->shownImage() != nullptr && objects(left()).size() == 6; }));
        const int before = emitted;
        // Calls posted by frames that arrive now are still queued when the renderer goes away.
        ASSERT_TRUE(waitFor([&] { return emitted > before + 2; }));
        renderer.reset();
        EXPECT_TRUE(display.views().empty());
        EXPECT_EQ(stream.signalAtracsysUpdate.connectionCount(), 0u);
        QCoreApplication::processEvents();
    }
    stop = true;
    worker.join();
}

TEST_F(RendererTest, OutlivingItsDisplayIsHarmless) {
    auto window = std::make_unique<DisplayWidgetMulti>();
    AtracsysRenderer renderer(stream, *window);
    show(frame({{4, 3}}, {{2, 2}}));
    window.reset();
    show(frame({{4, 3}, {1, 1}}, {{2, 2}, {2, 2}}));
}

// A view that takes long to update holds neither the worker nor piles calls up in the GUI's event queue.
TEST_F(RendererTest, ASlowViewNeitherHoldsUpTheWorkerNorQueuesMoreThanOneCall) {
    AtracsysRenderer renderer(stream, display);
    struct Counter : QObject {
        int calls = 0;
        bool eventFilter(QObject*, QEvent* event) override {
            calls += event->type() == QEvent::MetaCall ? 1 : 0;
            return false;
        }
    } counter;
    renderer.installEventFilter(&counter);

    // A size list that does not match makes the update log; the sink holds the GUI thread inside the
    // update (at least 200 ms) until the worker has handed its frames over.
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool workerDone = false;
    bool doneWhileHeld = false;
    const int sink = Log::addSink([&](const Log::Record& record) {
        if (record.text != "Size does not match!!!") {
            return;
        }
        std::unique_lock<std::mutex> lock(mutex);
        held = true;
        changed.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        doneWhileHeld = changed.wait_for(lock, std::chrono::seconds(20), [&] { return workerDone; });
        changed.wait_until(lock, deadline);
    });
    constexpr int kFrames = 50;
    std::thread worker([&] {
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(20), [&] { return held; })) {
                return;
            }
        }
        for (int i = 0; i < kFrames; ++i) {
            // The last frame has two fiducials; every other one, one.
            Update update =
                i + 1 < kFrames ? frame({{4, 3}}, {{2, 2}}) : frame({{4, 3}, {1, 1}}, {{2, 2}, {1, 1}});
            stream.signalAtracsysUpdate.emitSignal(update);
        }
        std::lock_guard<std::mutex> lock(mutex);
        workerDone = true;
        changed.notify_all();
    });
    Update slow = frame({{1, 1}}, {});
    stream.signalAtracsysUpdate.emitSignal(slow);
    QCoreApplication::processEvents();  // the update that is held
    worker.join();
    Log::removeSink(sink);
    EXPECT_TRUE(doneWhileHeld);
    EXPECT_EQ(log.count(Log::Error, "", "Size does not match!!!"), 1);
    EXPECT_EQ(counter.calls, 1);

    // Fifty frames came while the GUI was busy: one call waits, and it shows the newest.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(counter.calls, 2);
    EXPECT_EQ(objects(left()).size(), 6u);
}

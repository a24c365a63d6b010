// Cost of the camera view on both sides: the worker-side hand-over of one frame to the renderer, and one
// paint of a full camera image with its annotations.
#include "gui/AtracsysRenderer.h"
#include "stream/AtracsysTrackingStream.h"

#include "host/DisplayWidgetMulti.h"
#include "host/ImageView2D.h"
#include "host/Log.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <string>

#include <memory>
#include <random>
#include <vector>

using namespace Halvoren;
using namespace Halvoren::SpryTrack;

namespace {

constexpr int kFiducials = 64;
constexpr int kWidth = 1280;
constexpr int kHeight = 1024;

using Update = AtracsysTrackingStreamBase::AtracsysUpdate;
using CameraUpdate = AtracsysTrackingStreamBase::CameraUpdate;

CameraUpdate camera(std::uint8_t grey, unsigned seed) {
    CameraUpdate update;
    std::vector<std::uint8_t> pixels(std::size_t(kWidth) * kHeight, grey);
    update.image = std::make_shared<SharedImage>(
        MemImage::create(ImageDescriptor(PixelUInt8, kWidth, kHeight), pixels.data(), MemImage::Owned));
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> x(20.0, kWidth - 20.0);
    std::uniform_real_distribution<double> y(20.0, kHeight - 20.0);
    for (int i = 0; i < kFiducials; ++i) {
        update.fiducialCenters.emplace_back(x(random), y(random));
        update.fiducialSizes.emplace_back(7.0, 6.0);
    }
    return update;
}

/// The worker's part while the GUI is behind: what one frame's emission costs with the renderer connected
/// (image moves, two vector copies per camera, the push that replaces the frame not shown yet).
void BM_WorkerUpdateHandler(benchmark::State& state) {
    AtracsysTrackingStream stream;
    DisplayWidgetMulti display;
    AtracsysRenderer renderer(stream, display);
    Update update{camera(60, 1), camera(120, 2)};
    const std::shared_ptr<SharedImage> left = update.left.image;
    const std::shared_ptr<SharedImage> right = update.right.image;
    std::size_t frames = 0;
    for (auto _ : state) {
        // The stream hands over a new image with every frame.
        update.left.image = left;
        update.right.image = right;
        stream.signalAtracsysUpdate.emitSignal(update);
        if (++frames % 256 == 0) {
            // The GUI thread's part is not measured here: drop the posted calls.
            state.PauseTiming();
            QCoreApplication::removePostedEvents(&renderer, QEvent::MetaCall);
            state.ResumeTiming();
        }
    }
    if (update.left.image != nullptr) {
        state.SkipWithError("the renderer did not take the image");
    }
    QCoreApplication::removePostedEvents(&renderer, QEvent::MetaCall);
}

/// The GUI's part: one paint of a 1280 x 1024 camera image with its annotations into a view of about
/// 640 x 512 (the style's frame and spacing take a few pixels).
void BM_PaintAnnotatedView(benchmark::State& state) {
    AtracsysTrackingStream stream;
    DisplayWidgetMulti display;
    AtracsysRenderer renderer(stream, display);
    display.resize(kWidth, kHeight / 2);
    display.show();
    Update update{camera(60, 1), camera(120, 2)};
    stream.signalAtracsysUpdate.emitSignal(update);
    QCoreApplication::processEvents();
    ImageView2D* view = display.views().at(0);
    if (view->glView()->objects().size() != 3u * kFiducials) {
        state.SkipWithError("the view shows no annotations");
        return;
    }
    state.SetLabel(std::to_string(view->width()) + " x " + std::to_string(view->height()) + " view");
    QImage target(view->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        view->render(&target);
        benchmark::DoNotOptimize(target.constBits());
    }
}

}  // namespace

BENCHMARK(BM_WorkerUpdateHandler)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_PaintAnnotatedView)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    Log::setGlobalLevel(Log::Error);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

#include "AtracsysRenderer.h"

#include "host/DisplayWidgetMulti.h"
#include "host/GlEllipse.h"
#include "host/GlLine.h"
#include "host/ImageView2D.h"
#include "host/Log.h"
#include "host/SharedImageSet.h"

#include <QMetaObject>

namespace Halvoren {

namespace {

const Eigen::Vector3d kAnnotationColor(0.0, 1.0, 1.0);
constexpr double kEllipseLineWidth = 2.0;
constexpr double kCrossLineWidth = 1.5;
// Each arm of the cross reaches this fraction of the fiducial's extent beyond its centre.
constexpr double kCrossReach = 0.8;

}  // namespace

AtracsysRenderer::CameraView::CameraView() = default;
AtracsysRenderer::CameraView::~CameraView() = default;

AtracsysRenderer::AtracsysRenderer(AtracsysTrackingStreamBase& stream, DisplayWidgetMulti& display)
    : QObject(nullptr), m_stream(stream), m_display(display), m_displayAlive(&display) {
    m_left.view = m_display.addView2D(true, false);
    m_right.view = m_display.addView2D(true, false);
    if (m_left.view != nullptr && m_right.view != nullptr) {
        for (CameraView* camera : {&m_left, &m_right}) {
            camera->view->setVisible(true);
            camera->imageSet = std::make_unique<SharedImageSet>();
        }
        m_showing = true;
    } else {
        Log::log(Log::Error, "AtracsysRenderer", "Could not create views");
    }
    // Without a receiver: the renderer disconnects explicitly and must not be told by the signal.
    m_connection =
        m_stream.signalAtracsysUpdate.connect([this](AtracsysUpdate& update) { handleUpdate(update); });
}

AtracsysRenderer::~AtracsysRenderer() {
    // Waits for a hand-over in flight; after this no call is posted to this object, and the calls
    // already posted are dropped with it by QObject.
    if (m_connection) {
        m_connection->disconnect();
    }
    for (CameraView* camera : {&m_left, &m_right}) {
        if (camera->view != nullptr && m_displayAlive != nullptr) {
            camera->view->setVisibleData(DataList());
            m_display.removeView(camera->view);
        }
    }
}

void AtracsysRenderer::handleUpdate(AtracsysUpdate& update) {
    if (!m_showing) {
        return;
    }
    ViewFrame frame;
    const auto take = [](CameraUpdate& from, CameraUpdate& to) {
        to.image = std::move(from.image);
        to.fiducialCenters = from.fiducialCenters;
        to.fiducialSizes = from.fiducialSizes;
    };
    take(update.left, frame.left);
    take(update.right, frame.right);
    // A frame that replaced one not shown yet finds the call that will show it already posted.
    if (m_frames.push(std::move(frame))) {
        QMetaObject::invokeMethod(this, "updateAnnotations", Qt::QueuedConnection);
    }
}

void AtracsysRenderer::updateAnnotations() {
    ViewFrame frame;
    // The queue's lock is held only while the frame is taken out, never while the views change.
    if (!m_frames.tryPop(frame)) {
        return;
    }
    if (!m_left.imageSet || !m_right.imageSet || m_left.view == nullptr || m_right.view == nullptr) {
        return;
    }
    showFrame(frame);
}

void AtracsysRenderer::showFrame(const ViewFrame& frame) {
    showImage(frame.left, m_left);
    showImage(frame.right, m_right);
    // Without a left image there is no centre to place the annotations around.
    if (const SharedImage* first = m_left.imageSet->img(0)) {
        const Eigen::Vector2d center = first->descriptor().extent().head<2>().cast<double>() / 2.0;
        updateCameraAnnotations(frame.left, m_left, center);
        updateCameraAnnotations(frame.right, m_right, center);
    }
    m_display.update();
}

void AtracsysRenderer::showImage(const CameraUpdate& pending, CameraView& camera) {
    if (!pending.image) {
        return;
    }
    if (camera.imageSet->size() == 0) {
        camera.imageSet->add(pending.image);
        camera.imageSet->setSelection(Selection::setAll(1));
        camera.view->setVisibleData(DataList{camera.imageSet.get()});
    } else {
        // The image object stays; only its memory is exchanged, without a pixel copy.
        const std::shared_ptr<SharedImage> shown = camera.imageSet->get(0);
        shown->assign(pending.image->sharedMem());
        shown->setDirtyMem();
    }
}

void AtracsysRenderer::updateCameraAnnotations(const CameraUpdate& pending, CameraView& camera,
                                               const Eigen::Vector2d& center) {
    GlView* glView = camera.view->glView();
    const std::size_t n = pending.fiducialCenters.size();
    const auto makeLine = [glView]() {
        auto line = std::make_unique<GlLine>();
        line->setView(glView);
        line->setPointSize(0.0);
        line->setColor(kAnnotationColor);
        line->setLineWidth(kCrossLineWidth);
        line->setLabelVisible(false);
        glView->addObject(line.get());
        return line;
    };
    while (camera.ellipses.size() < n) {
        auto ellipse = std::make_unique<GlEllipse>();
        ellipse->setView(glView);
        ellipse->setPointSize(0.0);
        ellipse->setColor(kAnnotationColor);
        ellipse->setLineWidth(kEllipseLineWidth);
        glView->addObject(ellipse.get());
        camera.ellipses.push_back(std::move(ellipse));
        camera.horizontalLines.push_back(makeLine());
        camera.verticalLines.push_back(makeLine());
    }
    if (camera.ellipses.size() > n) {
        for (std::size_t i = n; i < camera.ellipses.size(); ++i) {
            glView->removeObject(camera.ellipses[i].get());
            glView->removeObject(camera.horizontalLines[i].get());
            glView->removeObject(camera.verticalLines[i].get());
        }
        camera.ellipses.resize(n);
        camera.horizontalLines.resize(n);
        camera.verticalLines.resize(n);
    }
    // A size list of another length would be read out of bounds: treat it like a count mismatch.
    if (camera.ellipses.size() != n || pending.fiducialSizes.size() != n) {
        Log::log(Log::Error, "", "Size does not match!!!");
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = pending.fiducialCenters[i].x() - center.x();
        const double dy = pending.fiducialCenters[i].y() - center.y();
        const double w = pending.fiducialSizes[i].x();
        const double h = pending.fiducialSizes[i].y();
        camera.ellipses[i]->setPoints({{dx - w / 2.0, dy - h / 2.0, 0.0}, {dx + w / 2.0, dy + h / 2.0, 0.0}});
        camera.horizontalLines[i]->setPoints(
            {{dx - kCrossReach * w, dy, 0.0}, {dx + kCrossReach * w, dy, 0.0}});
        camera.verticalLines[i]->setPoints(
            {{dx, dy - kCrossReach * h, 0.0}, {dx, dy + kCrossReach * h, 0.0}});
        camera.ellipses[i]->setVisible(true);
        camera.horizontalLines[i]->setVisible(true);
        camera.verticalLines[i]->setVisible(true);
    }
}

}  // namespace Halvoren

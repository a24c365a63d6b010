#pragma once

#include "stream/AtracsysTrackingStreamBase.h"

#include "host/OutputQueue.h"
#include "host/Signal.h"

#include <QObject>
#include <QPointer>

#include <Eigen/Core>

#include <memory>
#include <vector>

namespace Halvoren {

class DisplayWidgetMulti;
class GlEllipse;
class GlLine;
class ImageView2D;
class SharedImageSet;

/// Shows the stream's left and right camera images in two views of a display widget, with an ellipse
/// and a cross on every fiducial. The stream's update signal hands each frame over on the worker thread
/// into a queue that keeps only the newest; the views are changed on the renderer's own thread (the GUI
/// thread) only, which shares no lock with the worker while it does so. Construct and destroy it on the GUI
/// thread. If the display widget goes first, the renderer stops showing frames.
class AtracsysRenderer : public QObject, public SignalReceiver {
    Q_OBJECT
public:
    AtracsysRenderer(AtracsysTrackingStreamBase& stream, DisplayWidgetMulti& display);
    ~AtracsysRenderer() override;

private slots:
    // GUI thread.
    void updateAnnotations();

private:
    using AtracsysUpdate = AtracsysTrackingStreamBase::AtracsysUpdate;
    using CameraUpdate = AtracsysTrackingStreamBase::CameraUpdate;

    // One frame for both views.
    struct ViewFrame {
        CameraUpdate left;
        CameraUpdate right;
    };

    struct CameraView {
        CameraView();
        ~CameraView();
        QPointer<ImageView2D> view;  // belongs to the display widget; null once the display drops it
        std::unique_ptr<SharedImageSet> imageSet;
        std::vector<std::unique_ptr<GlEllipse>> ellipses;
        std::vector<std::unique_ptr<GlLine>> horizontalLines;
        std::vector<std::unique_ptr<GlLine>> verticalLines;
    };

    // Worker thread.
    void handleUpdate(AtracsysUpdate& update);
    // GUI thread.
    void showFrame(const ViewFrame& frame);
    // GUI thread.
    static void showImage(const CameraUpdate& pending, CameraView& camera);
    // GUI thread.
    static void updateCameraAnnotations(const CameraUpdate& pending, CameraView& camera,
                                        const Eigen::Vector2d& center);

    AtracsysTrackingStreamBase& m_stream;
    DisplayWidgetMulti& m_display;
    QPointer<DisplayWidgetMulti> m_displayAlive;  // a window may destroy the display first
    CameraView m_left;
    CameraView m_right;
    bool m_showing = false;  // the views exist; set before the worker is connected, read-only after
    // The worker's hand-over: the newest frame not shown yet. A call of updateAnnotations is posted only
    // when the frame finds the queue empty, so at most one waits in the GUI's event queue however far
    // behind the GUI is.
    Output::OutputQueue<ViewFrame> m_frames{{Output::DropPolicy::LatestOnly, 1}};
    // Its disconnect waits for a hand-over in flight, after which the worker never reaches this object.
    std::shared_ptr<SignalConnection> m_connection;
};

}  // namespace Halvoren

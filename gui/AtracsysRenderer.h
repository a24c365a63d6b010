#pragma once

#include "stream/AtracsysTrackingStreamBase.h"

#include "host/Signal.h"

#include <QObject>
#include <QPointer>

#include <Eigen/Core>

#include <memory>
#include <mutex>
#include <vector>

namespace Halvoren {

class DisplayWidgetMulti;
class GlEllipse;
class GlLine;
class ImageView2D;
class SharedImageSet;

/// Shows the stream's left and right camera images in two views of a display widget, with an ellipse
/// and a cross on every fiducial. The stream's update signal hands each frame over on the worker thread;
/// the views are changed on the renderer's own thread (the GUI thread) only. Construct and destroy it on
/// the GUI thread. If the display widget goes first, the renderer stops showing frames.
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

    struct CameraView {
        CameraView();
        ~CameraView();
        QPointer<ImageView2D> view;  // belongs to the display widget; null once the display drops it
        std::unique_ptr<SharedImageSet> imageSet;
        std::vector<std::unique_ptr<GlEllipse>> ellipses;
        std::vector<std::unique_ptr<GlLine>> horizontalLines;
        std::vector<std::unique_ptr<GlLine>> verticalLines;
    };

    /// What the worker hands over. The update handler keeps it alive by itself, so that a handler that
    /// is already running when the renderer is destroyed never touches the destroyed renderer.
    struct Handover {
        std::mutex mutex;  // guards everything below; the GUI thread holds it for a whole update
        AtracsysRenderer* renderer = nullptr;  // null once the renderer is being destroyed
        CameraUpdate left;
        CameraUpdate right;
    };

    // Worker thread.
    static void handleUpdate(Handover& handover, AtracsysUpdate& update);
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
    std::shared_ptr<Handover> m_handover;
    std::shared_ptr<SignalConnection> m_connection;
};

}  // namespace Halvoren

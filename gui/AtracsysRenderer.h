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

    // Worker thread.
    void handleUpdate(AtracsysUpdate& update);
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
    // What the worker hands over. The GUI thread holds the lock for a whole update.
    std::mutex m_handoverMutex;
    bool m_showing = false;       // the views exist; guarded by m_handoverMutex
    CameraUpdate m_pendingLeft;   // guarded by m_handoverMutex
    CameraUpdate m_pendingRight;  // guarded by m_handoverMutex
    // Its disconnect waits for a hand-over in flight, after which the worker never reaches this object.
    std::shared_ptr<SignalConnection> m_connection;
};

}  // namespace Halvoren

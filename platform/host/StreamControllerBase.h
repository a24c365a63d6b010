#pragma once

#include "AlgorithmController.h"

#include <QWidget>

namespace Halvoren {

class DisplayWidgetMulti;
class Stream;
class StreamIoAlgorithm;

/// A controller panel for a stream algorithm: knows the stream the algorithm made and the display widget
/// the host shows data in (which may be missing).
class StreamControllerBase : public QWidget, public AlgorithmController {
    Q_OBJECT

public:
    /// Takes the algorithm's stream as it is now: the host makes the controller after running the
    /// algorithm.
    explicit StreamControllerBase(StreamIoAlgorithm* algorithm, QWidget* parent = nullptr);
    ~StreamControllerBase() override;

    StreamIoAlgorithm* streamAlgorithm() const { return m_streamAlgorithm; }
    /// The managed stream; null when the algorithm held none, or once the stream is gone.
    Stream* stream() const { return m_stream; }

    /// The host's display widget, or null.
    DisplayWidgetMulti* displayWidget() const { return m_displayWidget; }
    /// The host sets it before init().
    void setDisplayWidget(DisplayWidgetMulti* displayWidget) { m_displayWidget = displayWidget; }

protected:
    /// Drops the managed stream (it was destroyed).
    void forgetStream() { m_stream = nullptr; }

private:
    StreamIoAlgorithm* m_streamAlgorithm;
    Stream* m_stream;
    DisplayWidgetMulti* m_displayWidget = nullptr;
};

}  // namespace Halvoren

#pragma once

#include <QMainWindow>

namespace Halvoren {
class DisplayWidgetMulti;
class Stream;
}  // namespace Halvoren

namespace Halvoren::App {

/// The application's window: a controller panel on the left, the display widget with the views on the
/// right. Closing it stops and closes the stream.
class MainWindow : public QMainWindow {
public:
    /// The stream must outlive the window.
    explicit MainWindow(Stream& stream);
    /// The panel goes first: its camera views live in the display.
    ~MainWindow() override;

    DisplayWidgetMulti* display() const { return m_display; }
    /// Puts the panel beside the display; the window owns it from then on.
    void setPanel(QWidget* panel);
    /// The least width the panel gets (540 by default: room for an instrument's position).
    void setPanelWidth(int width);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Stream& m_stream;
    DisplayWidgetMulti* m_display;
    QWidget* m_panelHolder;
};

}  // namespace Halvoren::App

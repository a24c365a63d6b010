#include "halvoren/window/MainWindow.h"

#include "host/DisplayWidgetMulti.h"
#include "host/Stream.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QSplitter>

namespace Halvoren::App {

MainWindow::MainWindow(Stream& stream) : m_stream(stream) {
    setWindowTitle(QStringLiteral("Halvoren - %1").arg(QString::fromStdString(stream.name())));
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    m_panelHolder = new QWidget(splitter);
    auto* holderLayout = new QHBoxLayout(m_panelHolder);
    holderLayout->setContentsMargins(0, 0, 0, 0);
    m_panelHolder->setMinimumWidth(540);  // room for an instrument's position
    m_display = new DisplayWidgetMulti(splitter);
    splitter->addWidget(m_panelHolder);
    splitter->addWidget(m_display);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    setCentralWidget(splitter);
}

MainWindow::~MainWindow() {
    delete m_panelHolder;
}

void MainWindow::setPanel(QWidget* panel) {
    m_panelHolder->layout()->addWidget(panel);
}

void MainWindow::setPanelWidth(int width) {
    m_panelHolder->setMinimumWidth(width);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Stops the worker first when running; the camera is released before the window goes.
    m_stream.close();
    event->accept();
}

}  // namespace Halvoren::App

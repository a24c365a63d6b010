#pragma once

#include <QWidget>

namespace Halvoren {

/// A widget that shows views. GUI thread only.
class DisplayWidget : public QWidget {
    Q_OBJECT
public:
    explicit DisplayWidget(QWidget* parent = nullptr);

    using QWidget::update;
    /// Schedules a repaint of the widget and of every view in it.
    void update();
};

}  // namespace Halvoren

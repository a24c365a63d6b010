#pragma once

#include <QWidget>

namespace Halvoren {

/// Base of the views a display widget holds; setVisible shows or hides it. GUI thread only.
class InteractiveView : public QWidget {
    Q_OBJECT
public:
    explicit InteractiveView(QWidget* parent = nullptr);
};

}  // namespace Halvoren

#include "DisplayWidget.h"

#include "InteractiveView.h"

namespace Halvoren {

DisplayWidget::DisplayWidget(QWidget* parent) : QWidget(parent) {}

void DisplayWidget::update() {
    QWidget::update();
    // Opaque views are not repainted with their parent's dirty region: ask each one.
    for (InteractiveView* view : findChildren<InteractiveView*>(QString(), Qt::FindDirectChildrenOnly)) {
        view->update();
    }
}

}  // namespace Halvoren

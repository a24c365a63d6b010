#include "InteractiveView.h"

namespace Halvoren {

InteractiveView::InteractiveView(QWidget* parent) : QWidget(parent) {}

}  // namespace Halvoren

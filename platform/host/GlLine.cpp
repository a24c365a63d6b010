#include "GlLine.h"

#include <QLineF>
#include <QPainter>

namespace Halvoren {

void GlLine::paintShape(QPainter& painter, const ViewTransform& transform) const {
    if (points().size() >= 2) {
        painter.drawLine(QLineF(transform.map(points()[0]), transform.map(points()[1])));
    }
}

}  // namespace Halvoren

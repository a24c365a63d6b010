#include "GlEllipse.h"

#include <QPainter>
#include <QRectF>

namespace Halvoren {

void GlEllipse::paintShape(QPainter& painter, const ViewTransform& transform) const {
    if (points().size() >= 2) {
        painter.drawEllipse(QRectF(transform.map(points()[0]), transform.map(points()[1])).normalized());
    }
}

}  // namespace Halvoren

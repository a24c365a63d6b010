#include "GlObject.h"

#include "GlView.h"

#include <QPainter>

#include <algorithm>

namespace Halvoren {

GlObject::~GlObject() {
    setView(nullptr);
}

void GlObject::setView(GlView* view) {
    if (view == m_view) {
        return;
    }
    if (m_view != nullptr) {
        m_view->detach(this);
    }
    m_view = view;
    if (m_view != nullptr) {
        m_view->attach(this);
    }
}

void GlObject::paint(QPainter& painter, const ViewTransform& transform) const {
    if (!m_visible) {
        return;
    }
    const auto channel = [](double value) {
        return static_cast<int>(std::clamp(value, 0.0, 1.0) * 255.0 + 0.5);
    };
    const QColor color(channel(m_color.x()), channel(m_color.y()), channel(m_color.z()));
    painter.setPen(QPen(color, m_lineWidth));
    painter.setBrush(Qt::NoBrush);
    paintShape(painter, transform);
    if (m_pointSize > 0.0) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        const double radius = m_pointSize / 2.0;
        for (const Eigen::Vector3d& point : m_points) {
            painter.drawEllipse(transform.map(point), radius, radius);
        }
    }
    if (m_labelVisible && !m_label.empty() && !m_points.empty()) {
        painter.setPen(color);
        painter.drawText(transform.map(m_points.front()) + QPointF(4.0, -4.0),
                         QString::fromStdString(m_label));
    }
}

}  // namespace Halvoren

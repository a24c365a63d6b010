#pragma once

#include <Eigen/Core>

#include <QPointF>

#include <string>
#include <vector>

class QPainter;

namespace Halvoren {

class GlView;

/// Where image coordinates land on the screen: a point (x right, y down, pixels, relative to the image
/// centre) maps to origin + point * scale, in widget pixels. z is ignored.
struct ViewTransform {
    QPointF origin;
    double scale = 1.0;
    QPointF map(const Eigen::Vector3d& point) const {
        return {origin.x() + point.x() * scale, origin.y() + point.y() * scale};
    }
};

/// Base of the annotation objects a view draws over its image: points in image coordinates, a colour,
/// a line width in screen pixels, an optional point marker and label. The view does not own its
/// objects; an object that is destroyed leaves its view, and a view that is destroyed leaves its
/// objects without a view. GUI thread only.
class GlObject {
public:
    GlObject() = default;
    GlObject(const GlObject&) = delete;
    GlObject& operator=(const GlObject&) = delete;
    virtual ~GlObject();

    /// The view the object belongs to (null for none); changing it removes the object from the old
    /// view. Drawing also needs GlView::addObject.
    void setView(GlView* view);
    GlView* view() const { return m_view; }

    void setPoints(const std::vector<Eigen::Vector3d>& points) { m_points = points; }
    const std::vector<Eigen::Vector3d>& points() const { return m_points; }
    /// Red, green and blue, each 0 to 1.
    void setColor(const Eigen::Vector3d& color) { m_color = color; }
    const Eigen::Vector3d& color() const { return m_color; }
    /// Width of the drawn lines, in screen pixels.
    void setLineWidth(double width) { m_lineWidth = width; }
    double lineWidth() const { return m_lineWidth; }
    /// Diameter of a dot drawn on every point, screen pixels; 0 draws none.
    void setPointSize(double size) { m_pointSize = size; }
    double pointSize() const { return m_pointSize; }
    void setLabel(const std::string& label) { m_label = label; }
    const std::string& label() const { return m_label; }
    void setLabelVisible(bool visible) { m_labelVisible = visible; }
    bool isLabelVisible() const { return m_labelVisible; }
    void setVisible(bool visible) { m_visible = visible; }
    bool isVisible() const { return m_visible; }

    /// Draws the object (when visible) with the painter in widget coordinates.
    void paint(QPainter& painter, const ViewTransform& transform) const;

protected:
    /// Draws the object's own shape with the pen already set.
    virtual void paintShape(QPainter& painter, const ViewTransform& transform) const = 0;

private:
    friend class GlView;
    GlView* m_view = nullptr;
    std::vector<Eigen::Vector3d> m_points;
    Eigen::Vector3d m_color{1.0, 1.0, 1.0};
    double m_lineWidth = 1.0;
    double m_pointSize = 0.0;
    std::string m_label;
    bool m_labelVisible = true;
    bool m_visible = true;
};

}  // namespace Halvoren

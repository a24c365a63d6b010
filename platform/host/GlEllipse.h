#pragma once

#include "GlObject.h"

namespace Halvoren {

/// An ellipse filling the box whose opposite corners are its first two points, drawn as an outline.
/// GUI thread only.
class GlEllipse : public GlObject {
protected:
    void paintShape(QPainter& painter, const ViewTransform& transform) const override;
};

}  // namespace Halvoren

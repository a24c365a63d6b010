#pragma once

#include "GlObject.h"

namespace Halvoren {

/// A straight line joining its first two points. GUI thread only.
class GlLine : public GlObject {
protected:
    void paintShape(QPainter& painter, const ViewTransform& transform) const override;
};

}  // namespace Halvoren

#pragma once

#include "GlObject.h"

#include <vector>

class QPainter;

namespace Halvoren {

/// The annotation layer of a view: the objects it draws, in the order they were added. It does not own
/// them. GUI thread only.
class GlView {
public:
    GlView() = default;
    GlView(const GlView&) = delete;
    GlView& operator=(const GlView&) = delete;
    /// Objects that still name this view as theirs are left without a view.
    ~GlView();

    /// Adds the object once and makes this its view (leaving any other view); null is ignored.
    void addObject(GlObject* object);
    /// False when the object was not added.
    bool removeObject(GlObject* object);
    const std::vector<GlObject*>& objects() const { return m_objects; }

    /// Draws every visible object, in order.
    void paint(QPainter& painter, const ViewTransform& transform) const;

private:
    friend class GlObject;
    void attach(GlObject* object);
    void detach(GlObject* object);

    std::vector<GlObject*> m_objects;   // drawn
    std::vector<GlObject*> m_attached;  // whose view() is this view
};

}  // namespace Halvoren

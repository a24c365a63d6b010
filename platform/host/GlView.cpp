#include "GlView.h"

#include <algorithm>

namespace Halvoren {

GlView::~GlView() {
    for (GlObject* object : m_attached) {
        object->m_view = nullptr;
    }
}

void GlView::addObject(GlObject* object) {
    if (object == nullptr) {
        return;
    }
    // The object belongs to the view that draws it, so that destroying either side unlinks both.
    object->setView(this);
    if (std::find(m_objects.begin(), m_objects.end(), object) == m_objects.end()) {
        m_objects.push_back(object);
    }
}

bool GlView::removeObject(GlObject* object) {
    const auto at = std::find(m_objects.begin(), m_objects.end(), object);
    if (at == m_objects.end()) {
        return false;
    }
    m_objects.erase(at);
    return true;
}

void GlView::paint(QPainter& painter, const ViewTransform& transform) const {
    for (const GlObject* object : m_objects) {
        object->paint(painter, transform);
    }
}

void GlView::attach(GlObject* object) {
    if (object != nullptr && std::find(m_attached.begin(), m_attached.end(), object) == m_attached.end()) {
        m_attached.push_back(object);
    }
}

void GlView::detach(GlObject* object) {
    removeObject(object);
    m_attached.erase(std::remove(m_attached.begin(), m_attached.end(), object), m_attached.end());
}

}  // namespace Halvoren

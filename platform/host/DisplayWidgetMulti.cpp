#include "DisplayWidgetMulti.h"

#include "ImageView2D.h"

#include <QGridLayout>

#include <algorithm>
#include <cmath>

namespace Halvoren {

DisplayWidgetMulti::DisplayWidgetMulti(QWidget* parent)
    : DisplayWidget(parent), m_layout(new QGridLayout(this)) {
    m_layout->setContentsMargins(0, 0, 0, 0);
    // A gap between the views, so that two dark camera images do not read as one.
    m_layout->setSpacing(4);
}

ImageView2D* DisplayWidgetMulti::addView2D(bool append, bool makeCurrent) {
    if (static_cast<int>(m_views.size()) >= m_maximumViews) {
        return nullptr;
    }
    auto* view = new ImageView2D(this);
    m_views.insert(append ? m_views.end() : m_views.begin(), view);
    if (makeCurrent || m_current == nullptr) {
        m_current = view;
    }
    arrange();
    return view;
}

bool DisplayWidgetMulti::removeView(ImageView2D* view) {
    const auto at = std::find(m_views.begin(), m_views.end(), view);
    if (at == m_views.end()) {
        return false;
    }
    m_views.erase(at);
    if (m_current == view) {
        m_current = m_views.empty() ? nullptr : m_views.front();
    }
    m_layout->removeWidget(view);
    delete view;
    arrange();
    return true;
}

void DisplayWidgetMulti::setMaximumViews(int maximum) {
    m_maximumViews = std::max(0, maximum);
}

void DisplayWidgetMulti::arrange() {
    for (ImageView2D* view : m_views) {
        m_layout->removeWidget(view);
    }
    const int count = static_cast<int>(m_views.size());
    const int columns = std::max(1, static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count)))));
    const int rows = (count + columns - 1) / columns;
    for (int i = 0; i < count; ++i) {
        m_layout->addWidget(m_views[static_cast<std::size_t>(i)], i / columns, i % columns);
    }
    // Equal cells; rows and columns left over from more views take no room.
    for (int c = 0; c < m_layout->columnCount(); ++c) {
        m_layout->setColumnStretch(c, c < columns ? 1 : 0);
    }
    for (int r = 0; r < m_layout->rowCount(); ++r) {
        m_layout->setRowStretch(r, r < rows ? 1 : 0);
    }
}

}  // namespace Halvoren

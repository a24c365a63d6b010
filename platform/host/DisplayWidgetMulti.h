#pragma once

#include "DisplayWidget.h"

#include <vector>

class QGridLayout;

namespace Halvoren {

class ImageView2D;

/// A display widget holding views in a grid of about as many columns as rows, in order. It owns its
/// views. GUI thread only.
class DisplayWidgetMulti : public DisplayWidget {
    Q_OBJECT
public:
    explicit DisplayWidgetMulti(QWidget* parent = nullptr);

    /// A new 2-D view, placed after the existing views (append) or before them, and made the current
    /// view on request. Null when the display already holds its maximum number of views.
    ImageView2D* addView2D(bool append = true, bool makeCurrent = false);
    /// Destroys a view of this display; false for any other pointer.
    bool removeView(ImageView2D* view);

    /// The number of views the display accepts (at least 0; 16 at first).
    void setMaximumViews(int maximum);
    int maximumViews() const { return m_maximumViews; }
    const std::vector<ImageView2D*>& views() const { return m_views; }
    ImageView2D* currentView() const { return m_current; }

private:
    void arrange();

    QGridLayout* m_layout;
    std::vector<ImageView2D*> m_views;
    ImageView2D* m_current = nullptr;
    int m_maximumViews = 16;
};

}  // namespace Halvoren

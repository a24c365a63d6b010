#pragma once

#include "GlView.h"
#include "GuiView.h"
#include "InteractiveView.h"

#include <QRectF>

#include <optional>

namespace Halvoren {

class SharedImage;

/// A 2-D view: paints the first image of the first image set among its visible data (unsigned 8-bit
/// grey, one channel), scaled to fit with its aspect ratio kept and centred, then the objects of its
/// GlView in image coordinates (pixels relative to the image centre, x right, y down). GUI thread only.
class ImageView2D : public InteractiveView, public GUI::View {
    Q_OBJECT
public:
    explicit ImageView2D(QWidget* parent = nullptr);

    void setVisibleData(const DataList& data) override;
    const DataList& visibleData() const override { return m_visibleData; }

    GlView* glView() { return &m_glView; }
    /// The image painted, or null.
    SharedImage* shownImage() const;
    /// Where the image lands in the widget at its current size; nothing when no image can be painted.
    std::optional<QRectF> imageRect() const;
    /// How image coordinates map to the widget; nothing when no image can be painted.
    std::optional<ViewTransform> transform() const;

    QSize sizeHint() const override { return {320, 256}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    DataList m_visibleData;
    GlView m_glView;
};

}  // namespace Halvoren

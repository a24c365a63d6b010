#include "ImageView2D.h"

#include "Image.h"
#include "SharedImageSet.h"

#include <QImage>
#include <QPainter>

#include <algorithm>

namespace Halvoren {

namespace {

bool isPaintable(const ImageDescriptor& d) {
    return d.pixelType == PixelUInt8 && d.channels == 1 && d.width > 0 && d.height > 0;
}

}  // namespace

ImageView2D::ImageView2D(QWidget* parent) : InteractiveView(parent) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ImageView2D::setVisibleData(const DataList& data) {
    m_visibleData = data;
    update();
}

SharedImage* ImageView2D::shownImage() const {
    for (Data* data : m_visibleData) {
        if (auto* set = dynamic_cast<SharedImageSet*>(data)) {
            return set->img(0);
        }
    }
    return nullptr;
}

std::optional<QRectF> ImageView2D::imageRect() const {
    const SharedImage* image = shownImage();
    if (image == nullptr || !isPaintable(image->descriptor())) {
        return std::nullopt;
    }
    const double w = image->descriptor().width;
    const double h = image->descriptor().height;
    const double scale = std::min(width() / w, height() / h);
    QRectF rect(0.0, 0.0, w * scale, h * scale);
    rect.moveCenter(QRectF(this->rect()).center());
    return rect;
}

std::optional<ViewTransform> ImageView2D::transform() const {
    const std::optional<QRectF> rect = imageRect();
    if (!rect) {
        return std::nullopt;
    }
    return ViewTransform{rect->center(), rect->width() / shownImage()->descriptor().width};
}

void ImageView2D::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const std::optional<QRectF> target = imageRect();
    if (!target) {
        return;
    }
    const ImageDescriptor& d = shownImage()->descriptor();
    const std::shared_ptr<MemImage> mem = shownImage()->sharedMem();
    if (mem->data() == nullptr) {
        return;
    }
    // Wraps the pixels without copying them; the painter scales only what it draws. Nearest-pixel
    // scaling: bilinear filtering of a camera-sized image costs several times the whole rest of a paint.
    const QImage pixels(mem->data(), d.width, d.height, d.width, QImage::Format_Grayscale8);
    painter.drawImage(*target, pixels, QRectF(0.0, 0.0, d.width, d.height));
    painter.setRenderHint(QPainter::Antialiasing);
    m_glView.paint(painter, *transform());
}

}  // namespace Halvoren

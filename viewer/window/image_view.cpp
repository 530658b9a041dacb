#include "image_view.h"

#include <QMouseEvent>
#include <QPainter>

namespace karvolen {

ImageView::ImageView(QWidget* parent) : QWidget(parent)
{
    // The picture covers the whole widget: no background to paint first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ImageView::SetPicture(const QImage& picture)
{
    picture_ = picture;
    update();
}

void ImageView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (picture_.isNull()) {
        painter.fillRect(rect(), palette().window());
        return;
    }
    painter.drawImage(rect(), picture_);
}

void ImageView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && onClick) {
        onClick();
    }
}

}  // namespace karvolen

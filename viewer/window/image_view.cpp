#include "image_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>

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

void ImageView::SetFitMode(geometry::FitMode mode)
{
    fitMode_ = mode;
    update();
}

void ImageView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (picture_.isNull()) {
        painter.fillRect(rect(), palette().window());
        return;
    }
    if (fitMode_ == geometry::FitMode::Stretch) {
        painter.drawImage(rect(), picture_);
        return;
    }
    // The other modes place the picture on whole device pixels.
    const qreal dpr = devicePixelRatioF();
    const QRect area(QPoint(0, 0), (QSizeF(size()) * dpr).toSize());
    const QRect target = geometry::FitTarget(area.size(), picture_.size(), fitMode_);
    painter.scale(1 / dpr, 1 / dpr);
    for (const QRect& bar : QRegion(area).subtracted(target)) {
        painter.fillRect(bar, Qt::black);
    }
    painter.drawImage(target, picture_);
}

void ImageView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && onClick) {
        onClick();
    }
}

// Space or Return on the focused picture is a click on it.
void ImageView::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (!event->isAutoRepeat() && onClick) {
            onClick();
        }
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace karvolen

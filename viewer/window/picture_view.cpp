#include "picture_view.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QRegion>

namespace karvolen {

PictureView::PictureView(QWidget* parent) : QWidget(parent)
{
    // The picture covers the whole widget: no background to paint first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PictureView::SetPicture(const QImage& picture)
{
    picture_ = picture;
    update();
}

void PictureView::SetFitMode(geometry::FitMode mode)
{
    fitMode_ = mode;
    update();
}

void PaintFitted(QPainter& painter, QSize area, const QImage& picture, geometry::FitMode mode)
{
    const QRect target = geometry::FitTarget(area, picture.size(), mode);
    for (const QRect& bar : QRegion(QRect(QPoint(0, 0), area)).subtracted(target)) {
        painter.fillRect(bar, Qt::black);
    }
    painter.drawImage(target, picture);
}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (picture_.isNull()) {
        painter.fillRect(rect(), palette().window());
        return;
    }
    // Painted in device pixels, so that integer zoom stays crisp at any scale.
    const qreal dpr = devicePixelRatioF();
    painter.scale(1 / dpr, 1 / dpr);
    PaintFitted(painter, (QSizeF(size()) * dpr).toSize(), picture_, fitMode_);
}

void PictureView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && onClick) {
        onClick();
    }
}

// Space or Return on the focused picture is a click on it.
void PictureView::keyPressEvent(QKeyEvent* event)
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

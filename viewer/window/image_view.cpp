#include "image_view.h"

#include <QKeyEvent>
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

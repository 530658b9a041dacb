// View: shows a picture over its own rectangle, stretched or fitted, and
// takes a left click, Space or Return on it as its click.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

#include "geometry/layout.h"

class QPainter;

namespace karvolen {

// Paints `picture` into a device-pixel `area` as `mode` places it, the bars
// black.
void PaintFitted(QPainter& painter, QSize area, const QImage& picture, geometry::FitMode mode);

class PictureView : public QWidget {
public:
    explicit PictureView(QWidget* parent = nullptr);

    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return picture_; }
    void SetFitMode(geometry::FitMode mode);
    geometry::FitMode FitMode() const { return fitMode_; }
    std::function<void()> onClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QImage picture_;
    geometry::FitMode fitMode_ = geometry::FitMode::Stretch;
};

}  // namespace karvolen

// Image1: shows a picture stretched over its own rectangle. Paints only.
#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

namespace karvolen {

class ImageView : public QWidget {
public:
    explicit ImageView(QWidget* parent = nullptr);

    void SetPicture(const QImage& picture);
    const QImage& Picture() const { return picture_; }
    std::function<void()> onClick;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    QImage picture_;
};

}  // namespace karvolen

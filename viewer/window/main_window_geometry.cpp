// MainWindow's picture geometry: the window laid out for the picture, the logical
// scale kept at imageWidth x 480, View stretched over the client area.
#include "main_window.h"

#include "geometry/layout.h"

namespace karvolen {

void MainWindow::FitWindowToPicture(int16_t width)
{
    // The picture is drawn with the width it was decoded with, also while the
    // layout waits for a normal window; otherwise rows would shear.
    State().frameInfo.bmiHeader.biWidth = width;
    SetSurfaceWidth(State().frameInfo.bmiHeader.biWidth);

    if ((windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) != 0) {
        return;
    }
    SetScale(width);
    // Qt sizes the client area; the window manager adds its frame around it.
    resize(geometry::PictureClientSize(width));
}

void MainWindow::LayOut()
{
    if (isMinimized()) {
        return;
    }
    SetScale(State().imageWidth);
    view_.setGeometry(0, 0, width(), height());
    stopButton_.raise();
}

void MainWindow::SetScale(int imageWidth)
{
    const QSizeF scale = geometry::LogicalScale(imageWidth);
    logicalWidth_ = static_cast<float>(scale.width());
    logicalHeight_ = static_cast<float>(scale.height());
}

}  // namespace karvolen

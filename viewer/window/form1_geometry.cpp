// Form1's picture geometry: the window laid out for the picture, the logical
// scale kept at ImageWidth x 480, Image1 stretched over the client area.
#include "form1.h"

#include "geometry/layout.h"

namespace karvolen {

void Form1::FitWindowToImage(int16_t width)
{
    // The picture is drawn with the width it was decoded with, also while the
    // layout waits for a normal window; otherwise rows would shear.
    State().FrameInfo.bmiHeader.biWidth = width;
    SetPic1Width(State().FrameInfo.bmiHeader.biWidth);

    if ((windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) != 0) {
        return;
    }
    SetScale(width);
    // Qt sizes the client area; the window manager adds its frame around it.
    resize(geometry::PictureClientSize(width));
}

void Form1::Form_Resize()
{
    if (isMinimized()) {
        return;
    }
    SetScale(State().ImageWidth);
    image1_.setGeometry(0, 0, width(), height());
    cmdstop_.raise();
}

void Form1::SetScale(int imageWidth)
{
    const QSizeF scale = geometry::LogicalScale(imageWidth);
    scaleWidth_ = static_cast<float>(scale.width());
    scaleHeight_ = static_cast<float>(scale.height());
}

}  // namespace karvolen

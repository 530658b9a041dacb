#include "module1.h"

#include <QEvent>
#include <QWidget>
#include <algorithm>

namespace karvolen {

QSize Module1::MinimumClientSize(QSize frame)
{
    return {std::max(1, kMinTrackWidth - frame.width()), std::max(1, kMinTrackHeight - frame.height())};
}

void Module1::HookWindow(QWidget* window)
{
    if (window == nullptr || window_ != nullptr) {
        return;
    }
    window_ = window;
    previousMinimum_ = window->minimumSize();
    window->installEventFilter(this);
    Apply();
}

void Module1::UnhookWindow(QWidget* window)
{
    if (window_ == nullptr || window != window_) {
        return;
    }
    window_->removeEventFilter(this);
    window_->setMinimumSize(previousMinimum_);
    window_ = nullptr;
}

// The frame is known only once the window manager has framed the window.
void Module1::Apply()
{
    const QSize frame = window_->frameGeometry().size() - window_->geometry().size();
    window_->setMinimumSize(MinimumClientSize(frame.isValid() ? frame : QSize(0, 0)));
}

bool Module1::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_ && (event->type() == QEvent::Show || event->type() == QEvent::Move)) {
        Apply();
    }
    return false;
}

}  // namespace karvolen

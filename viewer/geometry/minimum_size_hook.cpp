#include "minimum_size_hook.h"

#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <cstdlib>
#include <xcb/xcb.h>

#include "layout.h"

namespace karvolen {

namespace {
xcb_connection_t* X11Connection()
{
    auto* x11 = qGuiApp != nullptr ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 != nullptr ? x11->connection() : nullptr;
}

xcb_atom_t FrameExtentsAtom(xcb_connection_t* c)
{
    static const char kName[] = "_NET_FRAME_EXTENTS";
    xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof(kName) - 1, kName), nullptr);
    const xcb_atom_t atom = r != nullptr ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(r);
    return atom;
}
}  // namespace

void MinimumSizeHook::HookWindow(QWidget* window)
{
    if (window == nullptr || window_ != nullptr) {
        return;
    }
    window_ = window;
    previousMinimum_ = window->minimumSize();
    window->installEventFilter(this);
    if (xcb_connection_t* c = X11Connection()) {
        frameExtentsAtom_ = FrameExtentsAtom(c);
        QCoreApplication::instance()->installNativeEventFilter(this);
    }
    Apply();
}

void MinimumSizeHook::UnhookWindow(QWidget* window)
{
    if (window_ == nullptr || window != window_) {
        return;
    }
    QCoreApplication::instance()->removeNativeEventFilter(this);
    if (watchedWindow_ != nullptr) {
        watchedWindow_->removeEventFilter(this);
        watchedWindow_ = nullptr;
    }
    window_->removeEventFilter(this);
    window_->setMinimumSize(previousMinimum_);
    window_ = nullptr;
}

// What the window manager draws around the client area. On X11 it says so in
// _NET_FRAME_EXTENTS; the frame window itself may be larger (invisible
// shadows or resize borders). Elsewhere the platform's frame margins, which
// on Wayland are the decoration's, known once the first frame is drawn, less
// what may be its shadow.
QSize MinimumSizeHook::VisibleFrame() const
{
    if (xcb_connection_t* c = X11Connection();
        c != nullptr && frameExtentsAtom_ != XCB_ATOM_NONE && window_->testAttribute(Qt::WA_WState_Created)) {
        const auto id = static_cast<xcb_window_t>(window_->winId());
        xcb_get_property_reply_t* r =
            xcb_get_property_reply(c, xcb_get_property(c, 0, id, frameExtentsAtom_, XCB_ATOM_CARDINAL, 0, 4), nullptr);
        QSize frame(-1, -1);
        if (r != nullptr && r->type == XCB_ATOM_CARDINAL && r->format == 32 && xcb_get_property_value_length(r) == 16) {
            const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r));  // left, right, top, bottom
            frame = QSize(static_cast<int>(v[0] + v[1]), static_cast<int>(v[2] + v[3]));
        }
        std::free(r);
        // Without the property, what Qt takes for the frame may be mostly
        // invisible shadow: count none, so the visible window cannot shrink
        // below the minimum.
        return frame.isValid() ? frame : QSize(0, 0);
    }
    const QWindow* handle = window_->windowHandle();
    return handle != nullptr ? geometry::CountedFrame(handle->frameMargins()) : QSize(0, 0);
}

void MinimumSizeHook::Apply()
{
    // Full screen and maximized, the frame is another or none. The minimum
    // stays the normal window's: changed there, it would go to the compositor
    // with the commit that leaves that state, whose buffer is still the large
    // one, and the difference could be taken for invisible borders.
    if ((window_->windowState() & (Qt::WindowFullScreen | Qt::WindowMaximized)) != 0) {
        return;
    }
    const QSize minimum = geometry::MinimumClientSize(VisibleFrame());
    if (window_->minimumSize() != minimum) {
        window_->setMinimumSize(minimum);
    }
}

// Not every platform holds the window at its minimum: on Wayland the
// compositor may offer a smaller size during an interactive resize, and Qt
// 6.8 takes it as it is. The window then grows back, as a client may.
void MinimumSizeHook::KeepMinimum()
{
    const QSize size = window_->size();
    const QSize held = size.expandedTo(window_->minimumSize());
    if (held != size && !window_->isMinimized() && !window_->isFullScreen()) {
        window_->resize(held);
    }
}

bool MinimumSizeHook::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_) {
        switch (event->type()) {
        case QEvent::Show:
            // The native window exists now: its expose tells of the first frame.
            if (watchedWindow_ == nullptr && window_->windowHandle() != nullptr) {
                watchedWindow_ = window_->windowHandle();
                watchedWindow_->installEventFilter(this);
            }
            Apply();
            break;
        case QEvent::Move: Apply(); break;
        case QEvent::Resize:
            Apply();
            KeepMinimum();
            break;
        default: break;
        }
    } else if (watched == watchedWindow_ && event->type() == QEvent::Expose) {
        Apply();
    }
    return false;
}

bool MinimumSizeHook::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (window_ == nullptr || eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto* e = static_cast<const xcb_generic_event_t*>(message);
    if ((e->response_type & 0x7f) == XCB_PROPERTY_NOTIFY) {
        const auto* p = static_cast<const xcb_property_notify_event_t*>(message);
        if (p->atom == frameExtentsAtom_ && window_->testAttribute(Qt::WA_WState_Created) &&
            p->window == static_cast<xcb_window_t>(window_->winId())) {
            Apply();
        }
    }
    return false;
}

}  // namespace karvolen

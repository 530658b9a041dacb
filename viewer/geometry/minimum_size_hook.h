// The minimum-size hook: while installed, the window's outer size (frame
// included) cannot be dragged below 100 x 100 pixels; no other limit.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <cstdint>

class QWidget;
class QWindow;

namespace karvolen {

class MinimumSizeHook : public QObject, private QAbstractNativeEventFilter {
public:
    // Installs the hook once; a second call does nothing.
    void HookWindow(QWidget* window);
    // Removes it; without a preceding HookWindow nothing changes.
    void UnhookWindow(QWidget* window);
    bool Hooked() const { return window_ != nullptr; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // X11: a _NET_FRAME_EXTENTS change of the window.
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;
    QSize VisibleFrame() const;
    void Apply();
    void KeepMinimum();

    QWidget* window_ = nullptr;
    QSize previousMinimum_;
    QPointer<QWindow> watchedWindow_;
    uint32_t frameExtentsAtom_ = 0;
};

}  // namespace karvolen

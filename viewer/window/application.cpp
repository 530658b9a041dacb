#include "application.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QVersionNumber>

#include "karvolen_icon.xpm"

namespace karvolen {

namespace {
// The first Qt whose Wayland platform says a modal dialog is one
// (xdg-dialog): mutter places a transient window over its parent only then.
const QVersionNumber kQtWithWaylandDialogs(6, 8);

bool OnGnomeWayland()
{
    const QList<QByteArray> desktops = qgetenv("XDG_CURRENT_DESKTOP").split(':');
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && desktops.contains("GNOME");
}
}  // namespace

void ChoosePlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && OnGnomeWayland() && !qEnvironmentVariableIsEmpty("DISPLAY") &&
        QVersionNumber::fromString(qVersion()) < kQtWithWaylandDialogs) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
}

void ConfigureApplication()
{
    // The window's own exit path ends the program, also while it is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QPixmap(karvolen_icon_xpm)));
    QGuiApplication::setDesktopFileName(kDesktopEntryName);
}

}  // namespace karvolen

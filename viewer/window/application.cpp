#include "application.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>

#include "karvolen_icon.xpm"

namespace karvolen {

void ConfigureApplication()
{
    // The window's own exit path ends the program, also while it is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QPixmap(karvolen_icon_xpm)));
    QGuiApplication::setDesktopFileName(kDesktopEntryName);
}

}  // namespace karvolen

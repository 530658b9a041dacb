// Process-wide settings of the viewer's QApplication.
#pragma once

#include <QString>

namespace karvolen {

// The desktop entry's name: Wayland compositors and docks find the viewer's
// icon and name through it, as the application id.
inline const QString kDesktopEntryName = QStringLiteral("karvolen-viewer");

// The platform, before the QApplication: as an X11 client through Xwayland
// on GNOME's Wayland session where this Qt cannot mark a Wayland dialog
// modal, so that its dialogs open attached over the window. A platform the
// user names wins.
void ChoosePlatform();

// Icon, desktop entry and quitting rule; call once, after the QApplication.
void ConfigureApplication();

}  // namespace karvolen

// Process-wide settings of the viewer's QApplication.
#pragma once

#include <QString>

namespace karvolen {

// The desktop entry's name: Wayland compositors and docks find the viewer's
// icon and name through it, as the application id.
inline const QString kDesktopEntryName = QStringLiteral("karvolen-viewer");

// Icon, desktop entry and quitting rule; call once, after the QApplication.
void ConfigureApplication();

}  // namespace karvolen

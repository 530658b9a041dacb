// Modal message boxes behind a seam, so tests can answer them.
#pragma once

#include <QString>

class QWidget;

namespace karvolen {

inline constexpr int MB_OKCANCEL = 0x1;
inline constexpr int MB_ICONERROR = 0x10;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows a modal box and returns IDOK or IDCANCEL.
    virtual int Show(QWidget* parent, const QString& text, const QString& title, int style) = 0;
};

// QMessageBox: critical icon for MB_ICONERROR, OK or OK and Cancel buttons.
class QtMessageBoxes : public MessageBoxes {
public:
    int Show(QWidget* parent, const QString& text, const QString& title, int style) override;
    // The least width at which a box shows `title` whole.
    static int MinimumWidthForTitle(const QString& title);
};

}  // namespace karvolen

#include "message_boxes.h"

#include <QMessageBox>

namespace karvolen {

int QtMessageBoxes::Show(QWidget* parent, const QString& text, const QString& title, int style)
{
    QMessageBox box(parent);
    box.setWindowTitle(title);
    box.setText(text);
    box.setIcon((style & MB_ICONERROR) != 0 ? QMessageBox::Critical : QMessageBox::NoIcon);
    if ((style & MB_OKCANCEL) != 0) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Cancel ? IDCANCEL : IDOK;
}

}  // namespace karvolen

#include "message_boxes.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace karvolen {

int QtMessageBoxes::MinimumWidthForTitle(const QString& title)
{
    // The frame draws the title in a bold face, often larger than the
    // application's (a desktop's own font, its own dpi), centred between an
    // icon and up to three buttons: room for those on both sides.
    QFont font = QApplication::font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.25);
    const QFontMetrics metrics(font);
    return metrics.horizontalAdvance(title) + 12 * metrics.height();
}

int QtMessageBoxes::Show(QWidget* parent, const QString& text, const QString& title, int style)
{
    QMessageBox box(parent);
    // Transient for the window and, through exec(), modal: desktops attach
    // and centre it and draw only a close button. Not Qt::WindowModal, which
    // Qt 6.4 on Wayland shows without any frame or title.
    box.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
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
    // QMessageBox sizes itself by its text; the title bar would cut a longer
    // title. A spacer across the layout keeps the box wide enough for it.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        grid->addItem(new QSpacerItem(MinimumWidthForTitle(title), 0, QSizePolicy::Minimum, QSizePolicy::Minimum),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    return box.exec() == QMessageBox::Cancel ? IDCANCEL : IDOK;
}

}  // namespace karvolen

// The commands beside the window's own controls, for keeping the picture and
// looking at it: their actions and keys, the context menu, save, copy, the fit
// modes and full screen.
#pragma once

#include <QAction>
#include <QActionGroup>
#include <QImage>
#include <QMenu>
#include <QPointer>
#include <QString>
#include <functional>

#include "geometry/layout.h"
#include "image_view.h"
#include "picture_notes.h"

class QFileDialog;

namespace karvolen {

inline const QString kTitleSavePicture = QStringLiteral("Save Picture");
// %1 the file, %2 why the write failed.
inline const QString kMsgCannotSave = QStringLiteral("Cannot save the picture as %1.\n\n%2");

class PictureCommands : public QObject {
public:
    struct Host {
        // The picture as the instrument shows it; null before the first one.
        std::function<QImage()> takePicture;
        // No message box, exit question or exit under way: a dialog may open.
        std::function<bool()> mayOpenDialog;
        // Shows a failure in the window's error box.
        std::function<void(const QString& text)> showError;
        // Where to save, asked from the suggested path; empty: not at all.
        // Unset: a file dialog, which lets polling go on while it is open.
        std::function<QString(const QString& suggested)> chooseSaveFile;
    };

    // Adds the actions and their keys to `window`; `startStop` heads the menu.
    PictureCommands(QWidget& window, ImageView& view, QAction& startStop, Host host);

    // A new picture is on screen. Saves and Copy do nothing before the first.
    void PictureShown();
    // The save dialog goes unanswered: nothing is written.
    void CloseDialog();
    // Full screen was entered or left, by the command or by the desktop.
    void WindowStateChanged();

    // At once, under an automatic name, into this run's last save folder.
    void SavePicture();
    // Through the dialog.
    void SavePictureAs();
    void CopyPicture();
    void SetFullScreen(bool on);
    void ShowContextMenu(const QPoint& globalPos);

    QMenu& ContextMenu() { return menu_; }
    QAction& SaveAction() { return *save_; }
    QAction& SaveAsAction() { return *saveAs_; }
    PictureNotes& Notes() { return notes_; }
    QAction& CopyAction() { return *copy_; }
    QAction& FitAction(geometry::FitMode mode) { return *fit_[static_cast<int>(mode)]; }

private:
    QString SaveFolder() const;
    // False, after the error box, where the file could not be written.
    bool Write(const QImage& picture, const QString& path);

    QWidget& window_;
    ImageView& view_;
    Host host_;
    QMenu menu_;
    QAction* copy_ = nullptr;
    QAction* save_ = nullptr;
    QAction* saveAs_ = nullptr;
    QActionGroup fitGroup_;
    QAction* fit_[3] = {};
    QAction* fullScreen_ = nullptr;
    QAction* leaveFullScreen_ = nullptr;
    QPointer<QFileDialog> saveDialog_;
    bool choosing_ = false;   // the save seam is asking
    QString lastSaveFolder_;  // this run's only
    Qt::WindowStates beforeFullScreen_;
    PictureNotes notes_;
};

}  // namespace karvolen

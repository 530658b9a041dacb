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
#include <optional>

#include "fetch_cycle.h"
#include "geometry/layout.h"
#include "picture_notes.h"
#include "picture_view.h"
#include "recording_session.h"

class QFileDialog;

namespace karvolen {

// A window-wide action: its keys reach it whatever holds the focus, and the
// context menu shows them.
void AddWindowAction(QWidget& window, QAction& action, const QList<QKeySequence>& keys);

inline const QString kTitleSavePicture = QStringLiteral("Save Picture");
// %1 the file, %2 why the write failed.
inline const QString kMsgCannotSave = QStringLiteral("Cannot save the picture as %1.\n\n%2");
inline const QString kTitleRecord = QStringLiteral("Record to GIF");
// %1 the file, %2 why; what was recorded before stays a whole GIF.
inline const QString kMsgCannotRecord = QStringLiteral("Cannot record to %1.\n\n%2");

class PictureCommands : public QObject {
public:
    struct Host {
        // The picture as the instrument shows it, a view into the window's
        // buffers; no width before the first one.
        std::function<ShownPicture()> takePicture;
        // No message box, exit question or exit under way: a dialog may open.
        std::function<bool()> mayOpenDialog;
        // Shows a failure in the window's error box.
        std::function<void(const QString& text)> showError;
        // Where to save, asked from the suggested path; empty: not at all.
        // Unset: a file dialog, which lets polling go on while it is open.
        std::function<QString(const QString& suggested)> chooseSaveFile;
        // The window's steady clock, which times a recording.
        fetch::Clock* clock = nullptr;
    };

    // Adds the actions and their keys to `window`; `startStop` heads the menu.
    PictureCommands(QWidget& window, PictureView& view, QAction& startStop, Host host);

    // A new picture is on screen, its buffers the window's own; a recording
    // adds it. Saves, Copy and Record do nothing before the first.
    void PictureShown(const ShownPicture& frame);
    // The open file dialog goes unanswered: nothing is written.
    void CloseDialog();
    // Full screen was entered or left, by the command or by the desktop.
    void WindowStateChanged();

    // At once, under an automatic name, into this run's last save folder.
    void SavePicture();
    // Through the dialog.
    void SavePictureAs();
    void CopyPicture();
    // Starts a recording through the dialog, or ends the one under way.
    void Record();
    // Completes the file of a recording under way: at the exit.
    void StopRecording();
    bool Recording() const { return recording_.has_value(); }
    void SetFullScreen(bool on);
    void ShowContextMenu(const QPoint& globalPos);

    QMenu& ContextMenu() { return menu_; }
    QAction& SaveAction() { return *save_; }
    QAction& SaveAsAction() { return *saveAs_; }
    QAction& RecordAction() { return *record_; }
    PictureNotes& Notes() { return notes_; }
    QAction& CopyAction() { return *copy_; }
    QAction& FitAction(geometry::FitMode mode) { return *fit_[static_cast<int>(mode)]; }

private:
    QString SaveFolder() const;
    // Asks for a file to write, through the seam or a dialog that leaves
    // polling running; `chosen` gets the path, empty for none.
    void ChooseFile(const QString& title, const QStringList& filters, const QString& suffix,
                    std::function<void(const QString&)> chosen);
    void StartRecording(const QString& path);
    void AddToRecording(const ShownPicture& frame);
    void EndRecording();
    // False, after the error box, where the file could not be written.
    bool Write(const ShownPicture& picture, const QString& path, bool overwrite);

    QWidget& window_;
    PictureView& view_;
    Host host_;
    QMenu menu_;
    QAction* copy_ = nullptr;
    QAction* save_ = nullptr;
    QAction* saveAs_ = nullptr;
    QAction* record_ = nullptr;
    QActionGroup fitGroup_;
    QAction* fit_[3] = {};
    QAction* fullScreen_ = nullptr;
    QAction* leaveFullScreen_ = nullptr;
    QPointer<QFileDialog> dialog_;
    bool choosing_ = false;   // the save seam is asking
    QString lastSaveFolder_;  // this run's only
    Qt::WindowStates beforeFullScreen_;
    PictureNotes notes_;
    std::optional<record::Session> recording_;
    QString recordPath_;  // while recording
    std::optional<ShownPicture> lastFrame_;
};

}  // namespace karvolen

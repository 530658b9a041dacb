// Small notes over the window's corners, never part of the picture: the file
// a quick save wrote, the recording mark, and the picture's age when no new
// picture has come for a while.
#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

namespace karvolen {

// A picture older than this, while the window polls, is said to be old.
inline constexpr int kPictureAgeNoteMs = 5000;
inline constexpr int kSavedNoteMs = 2000;

class PictureNotes : public QObject {
public:
    explicit PictureNotes(QWidget& window);

    void Saved(const QString& path);
    void SetRecording(bool on);
    // A new picture is on screen.
    void PictureShown();
    // Whether the window says it is communicating: only then is an old picture
    // worth a note; paused and failed states say so in the title.
    void SetPolling(bool polling);

    const QLabel& SavedNote() const { return saved_; }
    const QLabel& RecordingMark() const { return recording_; }
    const QLabel& AgeNote() const { return age_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void UpdateAge();
    void Place();

    QWidget& window_;
    QLabel saved_, recording_, age_;
    QTimer savedTimer_, ageTimer_;
    QElapsedTimer sinceShown_;  // invalid before the first picture
    QDateTime shownAt_;
    bool polling_ = false;
};

}  // namespace karvolen

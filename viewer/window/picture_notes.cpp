#include "picture_notes.h"

#include <QDir>
#include <QEvent>
#include <QFileInfo>

namespace karvolen {

PictureNotes::PictureNotes(QWidget& window)
    : QObject(&window), window_(window), saved_(&window), recording_(&window), age_(&window)
{
    for (QLabel* note : {&saved_, &recording_, &age_}) {
        // Read on any picture: light text on a dark, slightly clear box.
        note->setStyleSheet(QStringLiteral("QLabel { color: white; background: rgba(0, 0, 0, 170); "
                                           "border-radius: 4px; padding: 3px 6px; }"));
        note->setAttribute(Qt::WA_TransparentForMouseEvents);
        note->hide();
    }
    recording_.setText(QStringLiteral("\u25CF REC"));
    recording_.setStyleSheet(recording_.styleSheet() + QStringLiteral(" QLabel { color: #ff5050; }"));
    savedTimer_.setSingleShot(true);
    savedTimer_.setInterval(kSavedNoteMs);
    connect(&savedTimer_, &QTimer::timeout, &saved_, &QLabel::hide);
    // Checked once a second: the note comes within a second of the picture
    // growing old, without a timer per picture.
    ageTimer_.setInterval(1000);
    connect(&ageTimer_, &QTimer::timeout, this, [this] { UpdateAge(); });
    window.installEventFilter(this);
}

void PictureNotes::Saved(const QString& path)
{
    saved_.setText(QStringLiteral("Saved %1").arg(QDir::toNativeSeparators(QFileInfo(path).fileName())));
    saved_.setToolTip(QDir::toNativeSeparators(path));
    Place();
    saved_.show();
    saved_.raise();
    savedTimer_.start();
}

void PictureNotes::SetRecording(bool on)
{
    recording_.setVisible(on);
    recording_.raise();
    Place();
}

void PictureNotes::PictureShown()
{
    sinceShown_.start();
    shownAt_ = QDateTime::currentDateTime();
    age_.hide();
    if (!ageTimer_.isActive()) {
        ageTimer_.start();
    }
}

void PictureNotes::SetPolling(bool polling)
{
    polling_ = polling;
    UpdateAge();
}

void PictureNotes::UpdateAge()
{
    const bool old = polling_ && sinceShown_.isValid() && sinceShown_.elapsed() > kPictureAgeNoteMs;
    if (old && !age_.isVisible()) {
        age_.setText(QStringLiteral("Picture from %1").arg(shownAt_.toString(QStringLiteral("HH:mm:ss"))));
        Place();
        age_.show();
        age_.raise();
    } else if (!old) {
        age_.hide();
    }
}

// The button holds the top-left corner: the mark goes top-right, the age
// bottom-left, the saved file bottom-right.
void PictureNotes::Place()
{
    constexpr int kMargin = 6;
    const QRect area = window_.rect().adjusted(kMargin, kMargin, -kMargin, -kMargin);
    for (QLabel* note : {&saved_, &recording_, &age_}) {
        note->adjustSize();
    }
    recording_.move(area.right() - recording_.width(), area.top());
    age_.move(area.left(), area.bottom() - age_.height());
    saved_.move(area.right() - saved_.width(), area.bottom() - saved_.height());
}

bool PictureNotes::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == &window_ && event->type() == QEvent::Resize) {
        Place();
    }
    return false;
}

}  // namespace karvolen

// The picture the user keeps: taken out of the decoded state as the
// instrument shows it, and written to a file whole or not at all.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QString>

#include "form_state.h"

class QIODevice;

namespace karvolen {

// The last decoded picture: the palette indices at the width the rows were
// decoded with, top row first, with the current colours. Null before there is
// a width to take it at.
QImage TakePicture(const FormState& st);

// A name in `folder` that carries the date and time to the second, made
// unique with "-2", "-3", ... against files that are there already.
QString SuggestedPicturePath(const QString& folder, const QDateTime& when,
                             const QString& suffix = QStringLiteral("png"));

// Writes `picture` in the format its suffix names, PNG without a known one;
// an existing file of that name stays as it was unless the write completes.
// Returns why it failed, empty on success.
QString WritePicture(const QImage& picture, const QString& path);

// Writes `picture` to an open `device` in `format` ("png", "bmp"), flushed.
// Returns why it failed, empty on success.
QString WritePicture(const QImage& picture, QIODevice& device, const QByteArray& format);

}  // namespace karvolen

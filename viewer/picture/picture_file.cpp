#include "picture_file.h"

#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <algorithm>
#include <cstring>

namespace karvolen {

QImage TakePicture(const FormState& st)
{
    const int width = st.ImageWidth;
    if (width <= 0 || static_cast<int64_t>(width) * kPictureHeight > kBufferSize) {
        return {};
    }
    QImage picture(width, kPictureHeight, QImage::Format_Indexed8);
    QList<QRgb> colours(wire::kColourCount);
    std::transform(st.FrameInfo.bmiColors.begin(), st.FrameInfo.bmiColors.end(), colours.begin(), Argb);
    picture.setColorTable(colours);
    // The buffer holds the bottom row first.
    for (int y = 0; y < kPictureHeight; ++y) {
        std::memcpy(picture.scanLine(y), st.PixelBuffer.data() + static_cast<size_t>(kPictureHeight - 1 - y) * width,
                    static_cast<size_t>(width));
    }
    return picture;
}

QString SuggestedPicturePath(const QString& folder, const QDateTime& when, const QString& suffix)
{
    const QString stem = QStringLiteral("quellbar-") + when.toString(QStringLiteral("yyyy-MM-dd-HHmmss"));
    const QDir dir(folder);
    QString name = stem + '.' + suffix;
    for (int n = 2; dir.exists(name); ++n) {
        name = stem + QStringLiteral("-%1.").arg(n) + suffix;
    }
    return dir.filePath(name);
}

namespace {
QByteArray FormatFor(const QString& path)
{
    const QByteArray suffix = QFileInfo(path).suffix().toLower().toLatin1();
    return !suffix.isEmpty() && QImageWriter::supportedImageFormats().contains(suffix) ? suffix
                                                                                       : QByteArrayLiteral("png");
}
}  // namespace

QString WritePicture(const QImage& picture, QIODevice& device, const QByteArray& format)
{
    QImageWriter writer(&device, format);
    return writer.write(picture) ? QString() : writer.errorString();
}

QString WritePicture(const QImage& picture, const QString& path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return file.errorString();
    }
    QString why = WritePicture(picture, file, FormatFor(path));
    // A write refused only at the last flush (a full disk, a file size limit)
    // does not fail the commit: it would keep a cut file.
    if (why.isEmpty() && !file.flush()) {
        why = file.errorString();
    }
    if (!why.isEmpty()) {
        file.cancelWriting();
        return why;
    }
    return file.commit() ? QString() : file.errorString();
}

}  // namespace karvolen

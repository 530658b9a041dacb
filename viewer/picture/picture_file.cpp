#include "picture_file.h"

#include <QDir>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>
#include <cstring>

namespace karvolen {

QImage TakePicture(const FormState& st)
{
    const int width = st.ImageWidth;
    if (width <= 0 || static_cast<int64_t>(width) * kPictureHeight > kBufferSize) {
        return {};
    }
    QImage picture(width, kPictureHeight, QImage::Format_Indexed8);
    QList<QRgb> colours;
    colours.reserve(static_cast<qsizetype>(st.FrameInfo.bmiColors.size()));
    for (const RgbQuad& q : st.FrameInfo.bmiColors) {
        colours.push_back(Argb(q));
    }
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
    if (!writer.write(picture)) {
        return writer.errorString();
    }
    return {};
}

QString WritePicture(const QImage& picture, const QString& path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return file.errorString();
    }
    if (QString why = WritePicture(picture, file, FormatFor(path)); !why.isEmpty()) {
        file.cancelWriting();
        return why;
    }
    // A write refused only at the last flush (a full disk, a file size limit)
    // does not fail the commit: it would keep a cut file.
    if (!file.flush()) {
        const QString why = file.errorString();
        file.cancelWriting();
        return why;
    }
    if (!file.commit()) {
        return file.errorString();
    }
    return {};
}

}  // namespace karvolen

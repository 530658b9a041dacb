#include "picture_commands.h"

#include <QClipboard>
#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QStandardPaths>
#include <QTimer>
#include <QVersionNumber>
#include <algorithm>
#include <memory>
#include <vector>

#include "picture_file.h"

namespace karvolen {

using wire::kPictureHeight;

namespace {
// The picture for the clipboard, top row first, with its own colours.
QImage TakePicture(const ShownPicture& shown)
{
    if (shown.width <= 0 || shown.pixels.size() < static_cast<size_t>(shown.width) * kPictureHeight) {
        return {};
    }
    QImage picture(shown.width, kPictureHeight, QImage::Format_Indexed8);
    QList<QRgb> colours(wire::kColourCount);
    std::transform(shown.palette.begin(), shown.palette.end(), colours.begin(), Argb);
    picture.setColorTable(colours);
    // The pixels hold the bottom row first.
    for (int y = 0; y < kPictureHeight; ++y) {
        std::copy_n(shown.pixels.begin() + static_cast<ptrdiff_t>(kPictureHeight - 1 - y) * shown.width, shown.width,
                    picture.scanLine(y));
    }
    return picture;
}

// A picture of its own: Save As writes the one shown when it was asked for.
struct HeldPicture {
    explicit HeldPicture(const ShownPicture& shown)
        : pixels(shown.pixels.begin(), shown.pixels.begin() + static_cast<ptrdiff_t>(shown.width) * kPictureHeight),
          width(shown.width)
    {
        std::copy(shown.palette.begin(), shown.palette.end(), palette.begin());
    }
    ShownPicture View() const { return {pixels, width, palette}; }

    std::vector<uint8_t> pixels;
    int width;
    std::array<RgbQuad, wire::kColourCount> palette{};
};

std::string FileName(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The platform's keys for `key`, with `own` added where the platform has none
// of its own (light desktops lack several).
QList<QKeySequence> KeysFor(QKeySequence::StandardKey key, const QKeySequence& own)
{
    QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    if (!keys.contains(own)) {
        keys.push_front(own);
    }
    return keys;
}
}  // namespace

void AddWindowAction(QWidget& window, QAction& action, const QList<QKeySequence>& keys)
{
    action.setShortcuts(keys);
    action.setShortcutContext(Qt::WindowShortcut);
    action.setShortcutVisibleInContextMenu(true);
    window.addAction(&action);
}

PictureCommands::PictureCommands(QWidget& window, PictureView& view, QAction& startStop, Host host)
    : QObject(&window), window_(window), view_(view), host_(std::move(host)), fitGroup_(this), notes_(window)
{
    const auto add = [this](const QString& text, const QList<QKeySequence>& keys, auto handler) {
        auto* action = new QAction(text, this);
        AddWindowAction(window_, *action, keys);
        connect(action, &QAction::triggered, this, handler);
        return action;
    };

    copy_ =
        add(QStringLiteral("Copy Picture"), QKeySequence::keyBindings(QKeySequence::Copy), [this] { CopyPicture(); });
    save_ = add(QStringLiteral("Save Picture"), KeysFor(QKeySequence::Save, QKeySequence(Qt::CTRL | Qt::Key_S)),
                [this] { SavePicture(); });
    saveAs_ =
        add(QStringLiteral("Save Picture As\u2026"),
            KeysFor(QKeySequence::SaveAs, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S)), [this] { SavePictureAs(); });
    record_ = add(QStringLiteral("Record\u2026"), {QKeySequence(Qt::CTRL | Qt::Key_R)}, [this] { Record(); });
    record_->setCheckable(true);
    for (QAction* a : {copy_, save_, saveAs_, record_}) {
        a->setEnabled(false);
    }

    struct Fit {
        geometry::FitMode mode;
        QString text;
        Qt::Key key;
    };
    const Fit fits[] = {{geometry::FitMode::Stretch, QStringLiteral("Stretch to Window"), Qt::Key_1},
                        {geometry::FitMode::KeepAspect, QStringLiteral("Keep Aspect Ratio"), Qt::Key_2},
                        {geometry::FitMode::IntegerZoom, QStringLiteral("Integer Zoom"), Qt::Key_3}};
    for (const Fit& fit : fits) {
        QAction* a =
            add(fit.text, {QKeySequence(Qt::CTRL | fit.key)}, [this, mode = fit.mode] { view_.SetFitMode(mode); });
        a->setCheckable(true);
        a->setChecked(fit.mode == view_.FitMode());
        fitGroup_.addAction(a);
        fit_[static_cast<int>(fit.mode)] = a;
    }

    fullScreen_ = add(QStringLiteral("Full Screen"), KeysFor(QKeySequence::FullScreen, QKeySequence(Qt::Key_F11)),
                      [this] { SetFullScreen(!window_.isFullScreen()); });
    fullScreen_->setCheckable(true);
    // Escape belongs to the window only while it is full screen.
    leaveFullScreen_ = add(QString(), {QKeySequence(Qt::Key_Escape)}, [this] { SetFullScreen(false); });
    leaveFullScreen_->setEnabled(false);
    add(QString(), {QKeySequence(Qt::Key_Menu), QKeySequence(Qt::SHIFT | Qt::Key_F10)},
        [this] { ShowContextMenu(view_.mapToGlobal(view_.rect().center())); });

    menu_.addAction(&startStop);
    menu_.addSeparator();
    menu_.addAction(copy_);
    menu_.addAction(save_);
    menu_.addAction(saveAs_);
    menu_.addAction(record_);
    menu_.addSeparator();
    menu_.addActions(fitGroup_.actions());
    menu_.addSeparator();
    menu_.addAction(fullScreen_);

    view_.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&view_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { ShowContextMenu(view_.mapToGlobal(pos)); });
}

void PictureCommands::PictureShown(const ShownPicture& frame)
{
    for (QAction* a : {copy_, save_, saveAs_, record_}) {
        a->setEnabled(true);
    }
    lastFrame_ = frame;
    notes_.PictureShown();
    AddToRecording(frame);
}

void PictureCommands::CloseDialog()
{
    if (dialog_ != nullptr) {
        dialog_->reject();
    }
}

void PictureCommands::WindowStateChanged()
{
    fullScreen_->setChecked(window_.isFullScreen());
    leaveFullScreen_->setEnabled(window_.isFullScreen());
}

QString PictureCommands::SaveFolder() const
{
    // This run's last folder while it is there, else the Pictures folder.
    for (const QString& folder :
         {lastSaveFolder_, QStandardPaths::writableLocation(QStandardPaths::PicturesLocation)}) {
        if (!folder.isEmpty() && QDir(folder).exists()) {
            return folder;
        }
    }
    return QDir::homePath();
}

void PictureCommands::SavePicture()
{
    if (!save_->isEnabled() || !host_.mayOpenDialog()) {
        return;
    }
    const QString path = QFile::decodeName(picture::SuggestedPath(FileName(SaveFolder()), std::time(nullptr)).c_str());
    // A file that appeared meanwhile under that name stays.
    if (Write(host_.takePicture(), path, false)) {
        notes_.Saved(path);
    }
}

void PictureCommands::SavePictureAs()
{
    if (saveAs_->isEnabled()) {
        // Taken now: pictures that arrive while the user chooses do not change it.
        const auto picture = std::make_shared<const HeldPicture>(host_.takePicture());
        // The dialog has asked before replacing a file.
        ChooseFile(kTitleSavePicture, {QStringLiteral("PNG image (*.png)"), QStringLiteral("BMP image (*.bmp)")},
                   QStringLiteral("png"), [this, picture](const QString& path) { Write(picture->View(), path, true); });
    }
}

void PictureCommands::Record()
{
    if (Recording()) {
        StopRecording();
    } else if (lastFrame_) {
        ChooseFile(kTitleRecord, {QStringLiteral("GIF animation (*.gif)")}, QStringLiteral("gif"),
                   [this](const QString& path) { StartRecording(path); });
    }
    record_->setChecked(Recording());
}

void PictureCommands::StartRecording(const QString& path)
{
    if (path.isEmpty() || !host_.mayOpenDialog()) {
        return;
    }
    // The dialog has asked before replacing a file. The recording opens
    // with the picture on screen.
    recording_.emplace(FileName(path), record::Existing::kReplace);
    ShownPicture whole = *lastFrame_;
    whole.firstRow = 0;
    whole.rowCount = kPictureHeight;
    const record::Result r = recording_->Add(whole, host_.clock->Now());
    if (!r.ok()) {
        recording_.reset();
        host_.showError(kMsgCannotRecord.arg(QDir::toNativeSeparators(path), QString::fromStdString(r.reason)));
        return;
    }
    recordPath_ = path;
    record_->setChecked(true);
    notes_.SetRecording(true);
    lastSaveFolder_ = QFileInfo(path).absolutePath();
}

void PictureCommands::AddToRecording(const ShownPicture& frame)
{
    if (!Recording()) {
        return;
    }
    const record::Result r = recording_->Add(frame, host_.clock->Now());
    if (r.status == record::Result::Status::kWriteFailed) {
        // The recorder has closed the file, whole up to the last frame. The
        // box opens once this picture's cycle has ended.
        const QString text =
            kMsgCannotRecord.arg(QDir::toNativeSeparators(recordPath_), QString::fromStdString(r.reason));
        EndRecording();
        QTimer::singleShot(0, this, [this, text] { host_.showError(text); });
    }
}

void PictureCommands::StopRecording()
{
    if (!Recording()) {
        return;
    }
    // A file cut at its close (a full disk, a quota, NFS) is not a recording
    // that ended well.
    const record::Result r = recording_->Finish(host_.clock->Now());
    const QString text = kMsgCannotRecord.arg(QDir::toNativeSeparators(recordPath_), QString::fromStdString(r.reason));
    EndRecording();
    if (r.ok()) {
        return;
    }
    // At the exit nobody may be there to answer a box.
    if (host_.mayOpenDialog()) {
        host_.showError(text);
    } else {
        qWarning().noquote() << text;
    }
}

void PictureCommands::EndRecording()
{
    recording_.reset();
    recordPath_.clear();
    record_->setChecked(false);
    notes_.SetRecording(false);
}

void PictureCommands::ChooseFile(const QString& title, const QStringList& filters, const QString& suffix,
                                 std::function<void(const QString&)> chosen)
{
    // One dialog at a time.
    if (dialog_ != nullptr || choosing_ || !host_.mayOpenDialog()) {
        return;
    }
    const QString suggested = QFile::decodeName(
        picture::SuggestedPath(FileName(SaveFolder()), std::time(nullptr), suffix.toStdString()).c_str());
    if (host_.chooseSaveFile) {
        choosing_ = true;
        const QString path = host_.chooseSaveFile(suggested);
        choosing_ = false;
        chosen(path);
        return;
    }

    // Not modal and without a loop of its own: the fetch cycle runs on, a
    // drain that let this handler in is not held up, and a close request
    // still reaches the window. Transient for the window; the desktop's own
    // chooser where the platform theme offers one.
    auto* dialog = new QFileDialog(&window_, title);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Before 6.5 Qt hands the portal no handle of a Wayland window, and the
    // desktop's chooser would open loose: Qt's own dialog stays attached.
    if (QGuiApplication::platformName() == QLatin1String("wayland") && QLibraryInfo::version() < QVersionNumber(6, 5)) {
        dialog->setOption(QFileDialog::DontUseNativeDialog);
    }
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilters(filters);
    dialog->setDefaultSuffix(suffix);
    // The suffix follows the chosen type: "PNG image (*.png)" gives png.
    connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString& filter) {
        dialog->setDefaultSuffix(filter.section(QStringLiteral("*."), 1).chopped(1));
    });
    dialog->setDirectory(QFileInfo(suggested).absolutePath());
    dialog->selectFile(QFileInfo(suggested).fileName());
    connect(dialog, &QFileDialog::fileSelected, this, std::move(chosen));
    dialog_ = dialog;
    dialog->show();
}

bool PictureCommands::Write(const ShownPicture& picture, const QString& path, bool overwrite)
{
    if (path.isEmpty() || !host_.mayOpenDialog()) {
        return false;
    }
    // The dialog adds the chosen type's suffix; a name typed without one is a PNG.
    const std::optional<picture::Format> format =
        QFileInfo(path).suffix().isEmpty() ? picture::Format::kPng : picture::FormatOf(FileName(path));
    const std::string why =
        format ? picture::WriteFile(picture, FileName(path), *format, overwrite) : std::string(picture::kUnknownFormat);
    if (!why.empty()) {
        host_.showError(kMsgCannotSave.arg(QDir::toNativeSeparators(path), QString::fromStdString(why)));
        return false;
    }
    lastSaveFolder_ = QFileInfo(path).absolutePath();
    return true;
}

void PictureCommands::CopyPicture()
{
    if (copy_->isEnabled()) {
        QGuiApplication::clipboard()->setImage(TakePicture(host_.takePicture()));
    }
}

void PictureCommands::SetFullScreen(bool on)
{
    if (on == window_.isFullScreen()) {
        return;
    }
    if (on) {
        beforeFullScreen_ = window_.windowState();
        window_.setWindowState(beforeFullScreen_ | Qt::WindowFullScreen);
    } else {
        // The platform puts back the size and place the window had.
        window_.setWindowState(beforeFullScreen_ & ~Qt::WindowFullScreen);
    }
}

void PictureCommands::ShowContextMenu(const QPoint& globalPos)
{
    // A popup, not a loop of its own; it never touches the button.
    if (host_.mayOpenDialog()) {
        menu_.popup(globalPos);
    }
}

}  // namespace karvolen

#include "form1.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <cmath>

#include "../decode/decode.h"
#include "picture_file.h"

namespace karvolen {

Form1::Form1(Form1Services services, QWidget* parent)
    : QWidget(parent), svc_(std::move(services)), cmdstop_(kCaptionStop, this), image1_(this), fitGroup_(this)
{
    setWindowTitle(QStringLiteral("Form1"));
    resize(kDesignClientWidth, kDesignClientHeight);

    tim1_.setInterval(kTimerInterval);
    tim1_.setSingleShot(false);
    connect(&tim1_, &QTimer::timeout, this, [this] { Tim1_Timer(); });

    image1_.setGeometry(0, 0, kDesignClientWidth, kPictureHeight);
    image1_.onClick = [this] { Image1_Click(); };
    // The picture holds the keyboard focus whenever the button cannot.
    image1_.setFocusPolicy(Qt::StrongFocus);

    cmdstop_.setGeometry(kButtonLeft, kButtonTop, kButtonWidth, kButtonHeight);
    cmdstop_.raise();
    connect(&cmdstop_, &QPushButton::clicked, this, [this] { Cmdstop_Click(); });

    CreateActions();
}

Form1::~Form1() = default;

void Form1::CreateActions()
{
    // Window-wide keys that reach the actions whatever holds the focus; the
    // context menu shows the same actions with their keys.
    const auto add = [this](const QString& text, const QList<QKeySequence>& keys, auto handler) {
        auto* action = new QAction(text, this);
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        action->setShortcutVisibleInContextMenu(true);
        connect(action, &QAction::triggered, this, handler);
        addAction(action);
        return action;
    };

    // P: Space and Return on the picture are a click on it, and desktops keep
    // their own keys to modifier combinations, F1, F10, Print and media keys.
    startStopAction_ = add(cmdstop_.text(), {QKeySequence(Qt::Key_P)}, [this] { Cmdstop_Click(); });
    copyAction_ =
        add(QStringLiteral("Copy Picture"), QKeySequence::keyBindings(QKeySequence::Copy), [this] { CopyPicture(); });
    saveAction_ = add(QStringLiteral("Save Picture\u2026"), QKeySequence::keyBindings(QKeySequence::Save),
                      [this] { SavePicture(); });
    copyAction_->setEnabled(false);
    saveAction_->setEnabled(false);

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
            add(fit.text, {QKeySequence(Qt::CTRL | fit.key)}, [this, mode = fit.mode] { image1_.SetFitMode(mode); });
        a->setCheckable(true);
        a->setChecked(fit.mode == image1_.FitMode());
        fitGroup_.addAction(a);
        fitActions_[static_cast<int>(fit.mode)] = a;
    }

    QList<QKeySequence> fullScreenKeys{QKeySequence(Qt::Key_F11)};
    for (const QKeySequence& k : QKeySequence::keyBindings(QKeySequence::FullScreen)) {
        if (!fullScreenKeys.contains(k)) {
            fullScreenKeys.push_back(k);
        }
    }
    fullScreenAction_ = add(QStringLiteral("Full Screen"), fullScreenKeys, [this] { SetFullScreen(!isFullScreen()); });
    fullScreenAction_->setCheckable(true);
    // Escape belongs to the window only while it is full screen.
    leaveFullScreenAction_ = add(QString(), {QKeySequence(Qt::Key_Escape)}, [this] { SetFullScreen(false); });
    leaveFullScreenAction_->setEnabled(false);
    add(QString(), {QKeySequence(Qt::Key_Menu), QKeySequence(Qt::SHIFT | Qt::Key_F10)},
        [this] { ShowContextMenu(image1_.mapToGlobal(image1_.rect().center())); });

    menu_.addAction(startStopAction_);
    menu_.addSeparator();
    menu_.addAction(copyAction_);
    menu_.addAction(saveAction_);
    menu_.addSeparator();
    menu_.addActions(fitGroup_.actions());
    menu_.addSeparator();
    menu_.addAction(fullScreenAction_);

    image1_.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&image1_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { ShowContextMenu(image1_.mapToGlobal(pos)); });
}

QAction& Form1::FitAction(geometry::FitMode mode) { return *fitActions_[static_cast<int>(mode)]; }

int Form1::Box(const QString& text, const QString& title, int style)
{
    ++boxDepth_;
    const int answer = svc_.boxes->Show(isVisible() ? this : nullptr, text, title, style);
    --boxDepth_;
    return answer;
}

bool Form1::Form_Load()
{
    if (!svc_.lockPath.isEmpty()) {
        lock_ = std::make_unique<QLockFile>(svc_.lockPath);
        // A lock is stale only when its owner has died, never by age.
        lock_->setStaleLockTime(0);
        if (!lock_->tryLock(0)) {
            lock_.reset();
            Box(kMsgDoubly, kTitleStartUpError, MB_ICONERROR);
            return false;
        }
    }

    st_.TransferBusy = kFalse;
    st_.ImageWidth = static_cast<int16_t>(std::nearbyint(scaleWidth_));
    st_.AppliedWidth = 0;

    int32_t r = 0;
    try {
        r = svc_.link->OpenCom();
    } catch (const LinkUnavailable&) {
        Box(kMsgNoDriver, kTitleDriverError, MB_ICONERROR);
        return false;
    }
    if (r < 0) {
        Box(kMsgCannotConnect, kTitleCommunicationError, MB_ICONERROR);
        return false;
    }

    std::copy_n(wire::kRequestText, wire::kRequestSize, st_.CommandBytes.begin());
    InitFrameInfo(st_.FrameInfo.bmiHeader);

    module1_.HookWindow(this);
    DoGet();
    return true;
}

void Form1::SetPic1Width(int width)
{
    if (width <= 0) {
        pic1_ = QImage();
        return;
    }
    pic1_ = QImage(width, kPictureHeight, QImage::Format_RGB32);
    ClearPic1();
}

void Form1::ClearPic1()
{
    if (!pic1_.isNull()) {
        pic1_.fill(palette().window().color());
    }
}

void Form1::CloseLink()
{
    try {
        svc_.link->CloseCom();
    } catch (const LinkUnavailable&) {
        // No CloseCom to call: nothing can be open through this library.
    }
}

void Form1::SetCmdstopVisible(bool visible)
{
    // A hidden button that kept the focus would still take Space and Return.
    if (!visible && focusWidget() == &cmdstop_) {
        image1_.setFocus(Qt::OtherFocusReason);
    }
    cmdstop_.setVisible(visible);
}

void Form1::SetCmdstopCaption(const QString& caption)
{
    cmdstop_.setText(caption);
    startStopAction_->setText(caption);
}

void Form1::DoGet()
{
    SetCmdstopVisible(false);
    SetCmdstopCaption(kCaptionStop);
    setWindowTitle(kTitleCommunicating);
    tim1_.start();
}

void Form1::DoStop()
{
    tim1_.stop();
    st_.RequestMode = kModeWhole;
    SetCmdstopCaption(kCaptionStart);
    setWindowTitle(kTitlePaused);
}

void Form1::Cmdstop_Click()
{
    if (tim1_.isActive()) {
        DoStop();
    } else {
        st_.RequestMode = kModeWhole;
        DoGet();
    }
}

void Form1::Image1_Click() { SetCmdstopVisible(!cmdstop_.isVisible()); }

void Form1::SetTimerEnabled(bool enabled)
{
    if (enabled) {
        tim1_.start();
    } else {
        tim1_.stop();
    }
}

void Form1::ProcessEvents() { QCoreApplication::processEvents(); }

void Form1::Tim1_Timer()
{
    // A tick while a cycle is suspended beneath us (its drain yields to the
    // event loop) must not start a second cycle inside the first.
    if (cycleRunning_ || unloaded_) {
        return;
    }
    cycleRunning_ = true;
    const fetch::FetchResult result = fetch::ReceiveScreen(st_, *svc_.link, *this, *svc_.clock);
    if (result.ending == fetch::Ending::Complete && !unloaded_) {
        PresentFrame(result.received);
    }
    cycleRunning_ = false;

    // An exit confirmed while the cycle was transferring completes now.
    if (exitConfirmed_ && !unloaded_) {
        Form_Unload();
        close();
    }
}

void Form1::PresentFrame(int32_t received)
{
    const decode::DecodeResult d = decode::DecodeReply(st_, received);
    if (d.refused) {
        // Headers that cannot lie in the buffer: keep the picture, keep polling.
        tim1_.start();
        return;
    }
    if (d.fullFrame) {
        if (d.widthChanged) {
            FitWindowToImage(st_.ImageWidth);
        }
        ClearPic1();
        if (!isVisible()) {
            show();
        }
    }

    int32_t lines = 0;
    if (!pic1_.isNull()) {
        lines = decode::SetDIBitsToDevice(reinterpret_cast<uint32_t*>(pic1_.bits()), pic1_.width(), pic1_.height(),
                                          static_cast<int32_t>(pic1_.bytesPerLine() / 4), st_.FrameInfo,
                                          st_.PixelBuffer.data());
    }
    if (lines == 0) {
        Box(kMsgDrawingError, kTitleError, MB_ICONERROR);
        return;
    }
    image1_.SetPicture(pic1_);
    copyAction_->setEnabled(true);
    saveAction_->setEnabled(true);
    tim1_.start();
}

void Form1::CommunicationFailure(const std::string& message) { CommunicationFailure(QString::fromStdString(message)); }

void Form1::CommunicationFailure(const QString& message)
{
    Box(message, kTitleCommunicationError, MB_ICONERROR);
    if (unloaded_) {
        return;  // the program ended while the message was open
    }
    st_.RequestMode = kModeWhole;
    SetCmdstopCaption(kCaptionStart);
    setWindowTitle(kTitleFailure);
    SetCmdstopVisible(true);
    CloseLink();
    if (!isVisible()) {
        close();
    }
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (unloaded_) {
        event->accept();
        return;
    }
    // The question is already open, or the exit is already under way.
    if (exitAsked_ || exitConfirmed_) {
        event->ignore();
        return;
    }
    // The save dialog goes first, so that the question is the only dialog.
    if (saveDialog_ != nullptr) {
        saveDialog_->reject();
    }
    exitAsked_ = true;
    const int answer = Box(kMsgExit, kAppTitle, MB_OKCANCEL);
    exitAsked_ = false;
    // A termination signal ended the program, or began its exit, meanwhile.
    if (answer == IDCANCEL || exitConfirmed_ || unloaded_) {
        event->ignore();
        return;
    }
    if (BeginExit()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void Form1::Terminate()
{
    if (unloaded_ || exitConfirmed_) {
        return;
    }
    // Nobody is there to answer an open box (the exit question, a message)
    // or the save dialog.
    if (QWidget* box = QApplication::activeModalWidget()) {
        box->close();
    }
    if (saveDialog_ != nullptr) {
        saveDialog_->reject();
    }
    BeginExit();
}

bool Form1::BeginExit()
{
    module1_.UnhookWindow(this);
    tim1_.stop();
    setWindowTitle(kTitleStopping);
    exitConfirmed_ = true;
    if (st_.TransferBusy != kFalse) {
        // A cycle is suspended beneath this handler and cannot resume while we
        // wait here; it completes the exit when it ends.
        return false;
    }
    Form_Unload();
    return true;
}

void Form1::Form_Unload()
{
    unloaded_ = true;
    tim1_.stop();
    CloseLink();
    lock_.reset();
    if (svc_.endProgram) {
        svc_.endProgram(0);
    }
}

void Form1::SavePicture()
{
    // One dialog at a time: none beside a message box, the exit question or
    // another save.
    if (!saveAction_->isEnabled() || saveDialog_ != nullptr || choosingFile_ || boxDepth_ > 0 || exitAsked_ ||
        exitConfirmed_ || unloaded_) {
        return;
    }
    // Taken now: pictures that arrive while the user chooses do not change it.
    const QImage picture = TakePicture(st_);
    QString folder = lastSaveFolder_;
    if (folder.isEmpty()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        if (!QDir(folder).exists()) {
            folder = QDir::homePath();
        }
    }
    const QString suggested = SuggestedPicturePath(folder, QDateTime::currentDateTime());
    if (svc_.chooseSaveFile) {
        choosingFile_ = true;
        const QString path = svc_.chooseSaveFile(suggested);
        choosingFile_ = false;
        FinishSave(picture, path);
        return;
    }

    // Not modal and without a loop of its own: the fetch cycle runs on, a
    // drain that let this handler in is not held up, and a close request
    // still reaches the window.
    auto* dialog = new QFileDialog(this, kTitleSavePicture);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilters({QStringLiteral("PNG image (*.png)"), QStringLiteral("BMP image (*.bmp)")});
    dialog->setDefaultSuffix(QStringLiteral("png"));
    connect(dialog, &QFileDialog::filterSelected, dialog, [dialog](const QString& filter) {
        dialog->setDefaultSuffix(filter.contains(QLatin1String("*.bmp")) ? QStringLiteral("bmp")
                                                                         : QStringLiteral("png"));
    });
    dialog->setDirectory(QFileInfo(suggested).absolutePath());
    dialog->selectFile(QFileInfo(suggested).fileName());
    connect(dialog, &QFileDialog::fileSelected, this,
            [this, picture](const QString& path) { FinishSave(picture, path); });
    saveDialog_ = dialog;
    dialog->show();
}

void Form1::FinishSave(const QImage& picture, const QString& path)
{
    if (path.isEmpty() || unloaded_ || exitConfirmed_) {
        return;
    }
    const QString why = WritePicture(picture, path);
    if (!why.isEmpty()) {
        Box(kMsgCannotSave.arg(QDir::toNativeSeparators(path), why), kTitleError, MB_ICONERROR);
        return;
    }
    lastSaveFolder_ = QFileInfo(path).absolutePath();
}

void Form1::CopyPicture()
{
    if (copyAction_->isEnabled()) {
        QGuiApplication::clipboard()->setImage(TakePicture(st_));
    }
}

void Form1::SetFullScreen(bool on)
{
    if (on == isFullScreen()) {
        return;
    }
    if (on) {
        beforeFullScreen_ = windowState();
        setWindowState(beforeFullScreen_ | Qt::WindowFullScreen);
    } else {
        // The platform puts back the size and place the window had.
        setWindowState(beforeFullScreen_ & ~Qt::WindowFullScreen);
    }
}

void Form1::ShowContextMenu(const QPoint& globalPos)
{
    // A popup, not a loop of its own; it never touches the button.
    if (!unloaded_ && boxDepth_ == 0) {
        menu_.popup(globalPos);
    }
}

void Form1::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Form_Resize();
}

void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        fullScreenAction_->setChecked(isFullScreen());
        leaveFullScreenAction_->setEnabled(isFullScreen());
        Form_Resize();
    }
}

void Form1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Form_Resize();
}

}  // namespace karvolen

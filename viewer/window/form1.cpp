#include "form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLockFile>
#include <cmath>

#include "decode.h"

namespace karvolen {

Form1::Form1(Form1Services services, QWidget* parent)
    : QWidget(parent), svc_(std::move(services)), poller_(*svc_.link, *svc_.clock), cmdstop_(kCaptionStop, this), image1_(this),
      startStop_(kCaptionStop, this),
      commands_(*this, image1_, startStop_,
                {[this] {
                     const FormState& st = poller_.Buffers();
                     return ShownPicture{st.PixelBuffer, st.ImageWidth, st.FrameInfo.bmiColors};
                 },
                 [this] { return life_ == Life::Running && boxDepth_ == 0; },
                 [this](const QString& text) { Box(text, kTitleError, MB_ICONERROR); }, svc_.chooseSaveFile,
                 svc_.clock})
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

    // P: Space and Return on the picture are a click on it, and desktops keep
    // their own keys to modifier combinations, F1, F10, Print and media keys.
    AddWindowAction(*this, startStop_, {QKeySequence(Qt::Key_P)});
    connect(&startStop_, &QAction::triggered, this, [this] { Cmdstop_Click(); });
}

Form1::~Form1() = default;

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

    const poll::Connection c = poller_.Connect(static_cast<int16_t>(std::nearbyint(scaleWidth_)));
    if (c.outcome == poll::Connection::Outcome::kNoDriver) {
        Box(kMsgNoDriver, kTitleDriverError, MB_ICONERROR);
        return false;
    }
    if (c.outcome == poll::Connection::Outcome::kCannotConnect) {
        QString text = kMsgCannotConnect;
        // The cable is fine when one of our own programs has the Quellbar.
        if (const std::optional<std::string> holder = c.InUse() ? poll::LikelyHolder() : std::nullopt) {
            text += kMsgHeldBy.arg(QString::fromStdString(*holder));
        }
        Box(text, kTitleCommunicationError, MB_ICONERROR);
        return false;
    }
    poller_.AddWatcher(*this);

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

void Form1::SetCmdstopVisible(bool visible)
{
    // A hidden button that kept the focus would still take Space and Return.
    if (!visible && focusWidget() == &cmdstop_) {
        image1_.setFocus(Qt::OtherFocusReason);
    }
    cmdstop_.setVisible(visible);
}

void Form1::SetTitle(const QString& title)
{
    setWindowTitle(title);
    commands_.Notes().SetPolling(title == kTitleCommunicating);
    poller_.SetState(title == kTitleCommunicating ? poll::PollingState::kCommunicating
                     : title == kTitlePaused      ? poll::PollingState::kPaused
                     : title == kTitleFailure     ? poll::PollingState::kFailure
                                                  : poll::PollingState::kStopping);
}

void Form1::SetCmdstopCaption(const QString& caption)
{
    cmdstop_.setText(caption);
    startStop_.setText(caption);
}

void Form1::DoGet()
{
    SetCmdstopVisible(false);
    SetCmdstopCaption(kCaptionStop);
    SetTitle(kTitleCommunicating);
    tim1_.start();
}

void Form1::DoStop()
{
    tim1_.stop();
    poller_.RequestWhole();
    SetCmdstopCaption(kCaptionStart);
    SetTitle(kTitlePaused);
}

void Form1::Cmdstop_Click()
{
    if (tim1_.isActive()) {
        DoStop();
    } else {
        poller_.RequestWhole();
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
    if (cycleRunning_ || life_ == Life::Ended) {
        return;
    }
    cycleRunning_ = true;
    const fetch::FetchResult result = poller_.Receive(*this);
    if (result.ending == fetch::Ending::Complete && life_ != Life::Ended) {
        PresentFrame(result.received);
    }
    cycleRunning_ = false;

    // An exit confirmed while the cycle was transferring completes now.
    if (life_ == Life::Exiting) {
        Form_Unload();
        close();
    }
}

void Form1::PresentFrame(int32_t received)
{
    const decode::DecodeResult d = poller_.Decode(received);
    const FormState& st = poller_.Buffers();
    if (d.refused) {
        // Headers that cannot lie in the buffer: keep the picture, keep polling.
        tim1_.start();
        return;
    }
    if (d.fullFrame) {
        if (d.widthChanged) {
            FitWindowToImage(st.ImageWidth);
        }
        ClearPic1();
        if (!isVisible()) {
            show();
        }
    }

    int32_t lines = 0;
    if (!pic1_.isNull()) {
        lines =
            decode::SetDIBitsToDevice(reinterpret_cast<uint32_t*>(pic1_.bits()), pic1_.width(), pic1_.height(),
                                      static_cast<int32_t>(pic1_.bytesPerLine() / 4), st.FrameInfo, st.PixelBuffer);
    }
    if (lines == 0) {
        Box(kMsgDrawingError, kTitleError, MB_ICONERROR);
        return;
    }
    image1_.SetPicture(pic1_);
    tim1_.start();
    poller_.Show(d);
}

void Form1::PictureShown(const ShownPicture& picture) { commands_.PictureShown(picture); }

void Form1::CommunicationFailure(const std::string& message) { CommunicationFailure(QString::fromStdString(message)); }

void Form1::CommunicationFailure(const QString& message)
{
    Box(message, kTitleCommunicationError, MB_ICONERROR);
    if (life_ == Life::Ended) {
        return;  // the program ended while the message was open
    }
    poller_.RequestWhole();
    SetCmdstopCaption(kCaptionStart);
    SetTitle(kTitleFailure);
    SetCmdstopVisible(true);
    poller_.Close();
    if (!isVisible()) {
        close();
    }
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (life_ == Life::Ended) {
        event->accept();
        return;
    }
    // The question is already open, or the exit is already under way.
    if (life_ != Life::Running) {
        event->ignore();
        return;
    }
    // The save dialog goes first, so that the question is the only dialog.
    commands_.CloseDialog();
    life_ = Life::AskingToExit;
    const int answer = Box(kMsgExit, kAppTitle, MB_OKCANCEL);
    // A termination signal ended the program, or began its exit, meanwhile.
    if (life_ != Life::AskingToExit) {
        event->ignore();
        return;
    }
    life_ = Life::Running;
    if (answer == IDCANCEL || !BeginExit()) {
        event->ignore();
        return;
    }
    event->accept();
}

void Form1::Terminate()
{
    if (life_ == Life::Exiting || life_ == Life::Ended) {
        return;
    }
    // Nobody is there to answer an open box (the exit question, a message)
    // or the save dialog.
    if (QWidget* box = QApplication::activeModalWidget()) {
        box->close();
    }
    commands_.CloseDialog();
    BeginExit();
}

bool Form1::BeginExit()
{
    module1_.UnhookWindow(this);
    tim1_.stop();
    SetTitle(kTitleStopping);
    life_ = Life::Exiting;
    if (poller_.Transferring()) {
        // A cycle is suspended beneath this handler and cannot resume while we
        // wait here; it completes the exit when it ends.
        return false;
    }
    Form_Unload();
    return true;
}

void Form1::Form_Unload()
{
    life_ = Life::Ended;
    commands_.StopRecording();
    tim1_.stop();
    poller_.Close();
    lock_.reset();
    if (svc_.endProgram) {
        svc_.endProgram(0);
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
        commands_.WindowStateChanged();
        Form_Resize();
    }
}

void Form1::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Form_Resize();
}

}  // namespace karvolen

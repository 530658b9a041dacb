#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLockFile>
#include <cmath>

#include "decode.h"
#include "shared_feed.h"

namespace karvolen {

MainWindow::MainWindow(MainWindowServices services, QWidget* parent)
    : QWidget(parent), svc_(std::move(services)), poller_(*svc_.link, *svc_.clock), stopButton_(kCaptionStop, this),
      view_(this), startStop_(kCaptionStop, this),
      commands_(*this, view_, startStop_,
                {[this] {
                     const PollState& st = poller_.Buffers();
                     return ShownPicture{st.pixels, st.imageWidth, st.frameInfo.bmiColors};
                 },
                 [this] { return life_ == Life::Running && boxDepth_ == 0; },
                 [this](const QString& text) { Box(text, kTitleError, MB_ICONERROR); }, svc_.chooseSaveFile,
                 svc_.clock})
{
    setWindowTitle(QStringLiteral("Form1"));
    resize(kDesignClientWidth, kDesignClientHeight);

    pollTimer_.setInterval(kTimerInterval);
    pollTimer_.setSingleShot(false);
    connect(&pollTimer_, &QTimer::timeout, this, [this] { PollTimerTick(); });

    view_.setGeometry(0, 0, kDesignClientWidth, kPictureHeight);
    view_.onClick = [this] { PictureClicked(); };
    // The picture holds the keyboard focus whenever the button cannot.
    view_.setFocusPolicy(Qt::StrongFocus);

    stopButton_.setGeometry(kButtonLeft, kButtonTop, kButtonWidth, kButtonHeight);
    stopButton_.raise();
    connect(&stopButton_, &QPushButton::clicked, this, [this] { StopButtonClicked(); });

    // P: Space and Return on the picture are a click on it, and desktops keep
    // their own keys to modifier combinations, F1, F10, Print and media keys.
    AddWindowAction(*this, startStop_, {QKeySequence(Qt::Key_P)});
    connect(&startStop_, &QAction::triggered, this, [this] { StopButtonClicked(); });
}

MainWindow::~MainWindow() = default;

int MainWindow::Box(const QString& text, const QString& title, int style)
{
    ++boxDepth_;
    const int answer = svc_.boxes->Show(isVisible() ? this : nullptr, text, title, style);
    --boxDepth_;
    return answer;
}

bool MainWindow::Start()
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

    const poll::Connection c = poller_.Connect(static_cast<int16_t>(std::nearbyint(logicalWidth_)));
    if (c.outcome == poll::Connection::Outcome::kNoDriver) {
        Box(kMsgNoDriver, kTitleDriverError, MB_ICONERROR);
        return false;
    }
    if (c.outcome == poll::Connection::Outcome::kCannotConnect) {
        QString text = kMsgCannotConnect;
        // The cable is fine when one of our own programs has the Quellbar.
        if (const std::optional<std::string> holder = c.InUse() ? feed::CurrentOwner() : std::nullopt) {
            text += kMsgHeldBy.arg(QString::fromStdString(*holder));
        }
        Box(text, kTitleCommunicationError, MB_ICONERROR);
        return false;
    }
    poller_.AddWatcher(*this);

    minimumSizeHook_.HookWindow(this);
    StartPolling();
    return true;
}

void MainWindow::SetSurfaceWidth(int width)
{
    if (width <= 0) {
        surface_ = QImage();
        return;
    }
    surface_ = QImage(width, kPictureHeight, QImage::Format_RGB32);
    ClearSurface();
}

void MainWindow::ClearSurface()
{
    if (!surface_.isNull()) {
        surface_.fill(palette().window().color());
    }
}

void MainWindow::SetStopButtonVisible(bool visible)
{
    // A hidden button that kept the focus would still take Space and Return.
    if (!visible && focusWidget() == &stopButton_) {
        view_.setFocus(Qt::OtherFocusReason);
    }
    stopButton_.setVisible(visible);
}

void MainWindow::SetTitle(const QString& title)
{
    setWindowTitle(title);
    commands_.Notes().SetPolling(title == kTitleCommunicating);
    poller_.SetState(title == kTitleCommunicating ? poll::PollingState::kCommunicating
                     : title == kTitlePaused      ? poll::PollingState::kPaused
                     : title == kTitleFailure     ? poll::PollingState::kFailure
                                                  : poll::PollingState::kStopping);
}

void MainWindow::SetStopButtonCaption(const QString& caption)
{
    stopButton_.setText(caption);
    startStop_.setText(caption);
}

void MainWindow::StartPolling()
{
    SetStopButtonVisible(false);
    SetStopButtonCaption(kCaptionStop);
    SetTitle(kTitleCommunicating);
    pollTimer_.start();
}

void MainWindow::StopPolling()
{
    pollTimer_.stop();
    poller_.RequestWhole();
    SetStopButtonCaption(kCaptionStart);
    SetTitle(kTitlePaused);
}

void MainWindow::StopButtonClicked()
{
    if (pollTimer_.isActive()) {
        StopPolling();
    } else {
        poller_.RequestWhole();
        StartPolling();
    }
}

void MainWindow::PictureClicked() { SetStopButtonVisible(!stopButton_.isVisible()); }

void MainWindow::SetTimerEnabled(bool enabled)
{
    if (enabled) {
        pollTimer_.start();
    } else {
        pollTimer_.stop();
    }
}

void MainWindow::ProcessEvents() { QCoreApplication::processEvents(); }

void MainWindow::PollTimerTick()
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
        Unload();
        close();
    }
}

void MainWindow::PresentFrame(int32_t received)
{
    const decode::DecodeResult d = poller_.Decode(received);
    const PollState& st = poller_.Buffers();
    if (d.refused) {
        // Headers that cannot lie in the buffer: keep the picture, keep polling.
        pollTimer_.start();
        return;
    }
    if (d.fullFrame) {
        if (d.widthChanged) {
            FitWindowToPicture(st.imageWidth);
        }
        ClearSurface();
        if (!isVisible()) {
            show();
        }
    }

    int32_t lines = 0;
    if (!surface_.isNull()) {
        lines = decode::DrawPicture(reinterpret_cast<uint32_t*>(surface_.bits()), surface_.width(), surface_.height(),
                                    static_cast<int32_t>(surface_.bytesPerLine() / 4), st.frameInfo, st.pixels);
    }
    if (lines == 0) {
        Box(kMsgDrawingError, kTitleError, MB_ICONERROR);
        return;
    }
    view_.SetPicture(surface_);
    pollTimer_.start();
    poller_.Show(d);
}

void MainWindow::PictureShown(const ShownPicture& picture) { commands_.PictureShown(picture); }

void MainWindow::CommunicationFailure(const std::string& message)
{
    CommunicationFailure(QString::fromStdString(message));
}

void MainWindow::CommunicationFailure(const QString& message)
{
    Box(message, kTitleCommunicationError, MB_ICONERROR);
    if (life_ == Life::Ended) {
        return;  // the program ended while the message was open
    }
    poller_.RequestWhole();
    SetStopButtonCaption(kCaptionStart);
    SetTitle(kTitleFailure);
    SetStopButtonVisible(true);
    poller_.Close();
    if (!isVisible()) {
        close();
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
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

void MainWindow::Terminate()
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

bool MainWindow::BeginExit()
{
    minimumSizeHook_.UnhookWindow(this);
    pollTimer_.stop();
    SetTitle(kTitleStopping);
    life_ = Life::Exiting;
    if (poller_.Transferring()) {
        // A cycle is suspended beneath this handler and cannot resume while we
        // wait here; it completes the exit when it ends.
        return false;
    }
    Unload();
    return true;
}

void MainWindow::Unload()
{
    life_ = Life::Ended;
    commands_.StopRecording();
    pollTimer_.stop();
    poller_.Close();
    lock_.reset();
    if (svc_.endProgram) {
        svc_.endProgram(0);
    }
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    LayOut();
}

void MainWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        commands_.WindowStateChanged();
        LayOut();
    }
}

void MainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    LayOut();
}

}  // namespace karvolen

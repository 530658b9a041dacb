// The viewer's one window: start-up, polling switch, failure state and exit.
#pragma once

#include <QAction>
#include <QImage>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "fetch_cycle.h"
#include "geometry/minimum_size_hook.h"
#include "link_api.h"
#include "message_boxes.h"
#include "picture_commands.h"
#include "picture_view.h"
#include "poll_state.h"
#include "poller.h"

class QLockFile;

namespace karvolen {

inline const QString kAppTitle = QStringLiteral("Karvolen Remote Screen Software");
inline const QString kTitleCommunicating = kAppTitle + QStringLiteral(" - Communicating -");
inline const QString kTitlePaused = kAppTitle + QStringLiteral(" - Paused -");
inline const QString kTitleFailure = kAppTitle + QStringLiteral(" - Communication failure -");
inline const QString kTitleStopping = QStringLiteral("Stopping ...");
inline const QString kCaptionStop = QStringLiteral("STOP");
inline const QString kCaptionStart = QStringLiteral("START");

inline const QString kMsgDoubly = QStringLiteral("Cannot run Karvolen Remote Screen Software doubly.");
inline const QString kMsgNoDriver = QString::fromStdString(fetch::kMsgNoDriver);
inline const QString kMsgCannotConnect = QString::fromStdString(fetch::kMsgCannotConnect);
// Added to the connect message when one of our own programs holds the Quellbar.
inline const QString kMsgHeldBy = QStringLiteral("\r\n\r\nIt is in use by %1.");
inline const QString kMsgExit = QStringLiteral("Exit application?");
inline const QString kMsgDrawingError = QStringLiteral("Drawing error");

inline const QString kTitleStartUpError = QStringLiteral("Start up error");
inline const QString kTitleDriverError = QStringLiteral("error");
inline const QString kTitleCommunicationError = QStringLiteral("Communication Error");
inline const QString kTitleError = QStringLiteral("Error");

inline constexpr int kTimerInterval = fetch::kPollIntervalMs;
inline constexpr int kDesignClientWidth = 800;
inline constexpr int kDesignClientHeight = 481;
// StopButton's place in client pixels; the desktop scripts click it there.
inline constexpr int kButtonLeft = 4;
inline constexpr int kButtonTop = 4;
inline constexpr int kButtonWidth = 73;
inline constexpr int kButtonHeight = 49;

// What the window needs from the process around it.
struct MainWindowServices {
    LinkApi* link = nullptr;
    MessageBoxes* boxes = nullptr;
    fetch::Clock* clock = nullptr;
    // Ends the program with a status (after the close handlers have run).
    std::function<void(int)> endProgram;
    // Path of the single-instance lock; empty: no instance check.
    QString lockPath;
    // Where to save a picture, asked from the suggested path; empty: not at
    // all. Unset: a file dialog, which lets polling go on while it is open.
    std::function<QString(const QString& suggested)> chooseSaveFile;
};

class MainWindow : public QWidget, private fetch::FetchHost, private poll::Watcher {
    Q_OBJECT

public:
    explicit MainWindow(MainWindowServices services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Start-up. False: the program must end without showing the window.
    bool Start();

    void StartPolling();
    void StopPolling();
    void StopButtonClicked();
    void PictureClicked();
    void PollTimerTick();
    // The exit as confirmed, without the question: for termination signals.
    void Terminate();

    // The geometry of the picture area.
    void FitWindowToPicture(int16_t width);
    void LayOut();
    float LogicalWidth() override { return logicalWidth_; }
    float LogicalHeight() const { return logicalHeight_; }

    PollState& State() { return poller_.Buffers(); }
    poll::Poller& Poller() { return poller_; }
    QTimer& PollTimer() { return pollTimer_; }
    QPushButton& StopButton() { return stopButton_; }
    PictureView& View() { return view_; }
    const QImage& Surface() const { return surface_; }
    MinimumSizeHook& Hook() { return minimumSizeHook_; }
    PictureCommands& Commands() { return commands_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Where the window is between start-up and the end of the program.
    enum class Life {
        Running,
        AskingToExit,  // the exit question is open
        Exiting,       // confirmed; completes once no cycle transfers
        Ended,         // unloaded: the program is ending
    };

    // FetchHost
    void SetTimerEnabled(bool enabled) override;
    void ProcessEvents() override;
    void CommunicationFailure(const std::string& message) override;
    // poll::Watcher
    void PictureShown(const ShownPicture& picture) override;

    void CommunicationFailure(const QString& message);
    void PresentFrame(int32_t received);
    // The confirmed exit's steps; true once the program has been unloaded,
    // false while it waits for a transfer to end.
    bool BeginExit();
    void Unload();
    void SetStopButtonVisible(bool visible);
    void SetStopButtonCaption(const QString& caption);
    void SetTitle(const QString& title);
    // Surface is always 480 rows high; a width of 0 or less leaves no surface.
    void SetSurfaceWidth(int width);
    // The logical scale for a picture `imageWidth` pixels wide.
    void SetScale(int imageWidth);
    void ClearSurface();
    int Box(const QString& text, const QString& title, int style);

    MainWindowServices svc_;
    poll::Poller poller_;
    QTimer pollTimer_;
    QPushButton stopButton_;
    PictureView view_;
    QImage surface_;
    MinimumSizeHook minimumSizeHook_;
    std::unique_ptr<QLockFile> lock_;
    QAction startStop_;  // P, and the menu's mirror of the button
    PictureCommands commands_;

    float logicalWidth_ = kDesignClientWidth;
    float logicalHeight_ = kDesignClientHeight;

    Life life_ = Life::Running;
    bool cycleRunning_ = false;  // a fetch cycle is on the stack
    int boxDepth_ = 0;           // message boxes open
};

}  // namespace karvolen

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
#include "form_state.h"
#include "geometry/module1.h"
#include "image_view.h"
#include "link_api.h"
#include "message_boxes.h"
#include "picture_commands.h"
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
// Cmdstop's place in client pixels; the desktop scripts click it there.
inline constexpr int kButtonLeft = 4;
inline constexpr int kButtonTop = 4;
inline constexpr int kButtonWidth = 73;
inline constexpr int kButtonHeight = 49;

// What the window needs from the process around it.
struct Form1Services {
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

class Form1 : public QWidget, private fetch::FetchHost, private poll::Watcher {
    Q_OBJECT

public:
    explicit Form1(Form1Services services, QWidget* parent = nullptr);
    ~Form1() override;

    // Start-up. False: the program must end without showing the window.
    bool Form_Load();

    void DoGet();
    void DoStop();
    void Cmdstop_Click();
    void Image1_Click();
    void Tim1_Timer();
    // The exit as confirmed, without the question: for termination signals.
    void Terminate();

    // The geometry of the picture area.
    void FitWindowToImage(int16_t width);
    void Form_Resize();
    float ScaleWidth() override { return scaleWidth_; }
    float ScaleHeight() const { return scaleHeight_; }

    FormState& State() { return poller_.Buffers(); }
    poll::Poller& Poller() { return poller_; }
    QTimer& Tim1() { return tim1_; }
    QPushButton& Cmdstop() { return cmdstop_; }
    ImageView& Image1() { return image1_; }
    const QImage& Pic1() const { return pic1_; }
    Module1& Hook() { return module1_; }
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
    void Form_Unload();
    void SetCmdstopVisible(bool visible);
    void SetCmdstopCaption(const QString& caption);
    void SetTitle(const QString& title);
    // Pic1 is always 480 rows high; a width of 0 or less leaves no surface.
    void SetPic1Width(int width);
    // The logical scale for a picture `imageWidth` pixels wide.
    void SetScale(int imageWidth);
    void ClearPic1();
    int Box(const QString& text, const QString& title, int style);

    Form1Services svc_;
    poll::Poller poller_;
    QTimer tim1_;
    QPushButton cmdstop_;
    ImageView image1_;
    QImage pic1_;
    Module1 module1_;
    std::unique_ptr<QLockFile> lock_;
    QAction startStop_;  // P, and the menu's mirror of the button
    PictureCommands commands_;

    float scaleWidth_ = kDesignClientWidth;
    float scaleHeight_ = kDesignClientHeight;

    Life life_ = Life::Running;
    bool cycleRunning_ = false;  // a fetch cycle is on the stack
    int boxDepth_ = 0;           // message boxes open
};

}  // namespace karvolen

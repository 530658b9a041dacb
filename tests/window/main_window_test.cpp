#include <gif_lib.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

#include "feed_publisher.h"
#include "feed_socket.h"
#include "link_binding.h"
#include "picture_file.h"
#include "window/application.h"
#include "window/termination_signals.h"
#include "window_fakes.h"

namespace karvolen {
namespace {

using testing::FakeBoxes;
using testing::FakeQuellbar;
using testing::Pump;
using Boxes = std::vector<testing::ShownBox>;

// What the user sees of the polling: the title, the button's text and whether it shows, and whether the timer runs.
struct Look {
    QString title, button;
    bool shown, polling;
    bool operator==(const Look&) const = default;
};

void PrintTo(const Look& l, std::ostream* os)
{
    *os << l.title.toStdString() << " / " << l.button.toStdString() << (l.shown ? " shown" : " hidden")
        << (l.polling ? ", polling" : ", not polling");
}

Look LookOf(MainWindow& f) { return {f.windowTitle(), f.StopButton().text(), f.StopButton().isVisible(), f.PollTimer().isActive()}; }

class MainWindowTest : public ::testing::Test {
protected:
    MainWindowServices Services(FakeQuellbar& q)
    {
        return {&q, &boxes, &q.clock, [this](int status) { ended.push_back(status); }, {}, {}};
    }
    MainWindowServices Services() { return Services(link); }
    // A started window, shown as main() shows it.
    std::unique_ptr<MainWindow> Started(const MainWindowServices& s)
    {
        auto f = std::make_unique<MainWindow>(s);
        EXPECT_TRUE(f->Start());
        f->show();
        Pump(20);
        return f;
    }
    std::unique_ptr<MainWindow> Started() { return Started(Services()); }

    FakeQuellbar link;
    FakeBoxes boxes;
    std::vector<int> ended;
};

TEST_F(MainWindowTest, StartsCommunicatingWithTheButtonHidden)
{
    auto f = Started();
    EXPECT_EQ(LookOf(*f), (Look{kTitleCommunicating, "STOP", false, true}));
    EXPECT_EQ(f->PollTimer().interval(), 1000);
    EXPECT_TRUE(f->Hook().Hooked());
    const auto& st = f->State();
    EXPECT_EQ(std::string(st.request.begin(), st.request.end()), "BMP? 0\r\n");
    EXPECT_EQ(st.imageWidth, 800);
    EXPECT_EQ(st.laidOutWidth, 0);
    EXPECT_FALSE(st.transferBusy);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(MainWindowTest, StartUpFailuresEndWithTheirMessageAndNoWindow)
{
    // The feed's folder this test's own: nobody feeds there yet.
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    link.openResult = -4;
    {
        MainWindow f(Services());
        EXPECT_FALSE(f.Start());
        EXPECT_FALSE(f.isVisible());
        EXPECT_FALSE(f.PollTimer().isActive());
    }
    EXPECT_EQ(boxes.shown, (Boxes{{"Cannot connect to the Quellbar\r\n\r\nCheck the following items\r\n"
                                   " Is the Quellbar connected to the PC through a USB cable?\r\n"
                                   " Is the Quellbar configured in Video Output mode?",
                                   "Communication Error", MB_ICONERROR}}));

    // Held by a capture of ours, which feeds its pictures: the same box, and
    // which program holds it.
    const feed::PathResult path = feed::FeedSocketPath();
    const auto holder = feed::FeedPublisher::Start(path.path, "karvolen-capture").publisher;
    ASSERT_TRUE(holder);
    link.openResult = -5;
    boxes.shown.clear();
    {
        MainWindow f(Services());
        EXPECT_FALSE(f.Start());
    }
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              kMsgCannotConnect + QStringLiteral("\r\n\r\nIt is in use by karvolen-capture (process %1).").arg(getpid()));

    MarlexLink missing("libkarvolen-no-such-library.so");
    boxes.shown.clear();
    {
        auto s = Services();
        s.link = &missing;
        MainWindow f(s);
        EXPECT_FALSE(f.Start());
    }
    EXPECT_EQ(boxes.shown,
              (Boxes{{"USB Driver not found\r\n\r\nUse the instructions in the manual to install the USB driver",
                      "error", MB_ICONERROR}}));
    EXPECT_TRUE(ended.empty()) << "no close handler runs on a start-up failure";
}

TEST_F(MainWindowTest, SecondInstanceIsRefusedBeforeTheLinkIsTouchedAndStaleLocksDoNotBlock)
{
    QTemporaryDir dir;
    const QString lockPath = dir.filePath("viewer.lock");

    // A lock left by an instance that died: taken, never released.
    const pid_t child = fork();
    if (child == 0) {
        QLockFile held(lockPath);
        _exit(held.tryLock(0) ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not take the lock";
    ASSERT_TRUE(QFile::exists(lockPath));

    auto s1 = Services();
    s1.lockPath = lockPath;
    MainWindow first(s1);
    ASSERT_TRUE(first.Start());
    EXPECT_TRUE(boxes.shown.empty());

    FakeQuellbar otherLink;
    auto s2 = Services(otherLink);
    s2.lockPath = lockPath;
    MainWindow second(s2);
    EXPECT_FALSE(second.Start());
    EXPECT_EQ(boxes.shown,
              (Boxes{{"Cannot run Karvolen Remote Screen Software doubly.", "Start up error", MB_ICONERROR}}));
    EXPECT_EQ(otherLink.opens, 0);
    EXPECT_TRUE(first.PollTimer().isActive());
}

TEST_F(MainWindowTest, ButtonAndPictureSwitchBetweenStates)
{
    auto f = Started();
    f->PictureClicked();
    EXPECT_TRUE(f->StopButton().isVisible());

    f->State().requestMode = kModeLineDelta;
    f->StopButtonClicked();  // timer on: pause
    EXPECT_EQ(LookOf(*f), (Look{kTitlePaused, "START", true, false}));
    EXPECT_EQ(f->State().requestMode, kModeWhole);

    f->PictureClicked();
    EXPECT_FALSE(f->StopButton().isVisible());
    f->PictureClicked();
    EXPECT_TRUE(f->StopButton().isVisible());

    f->StopButtonClicked();  // timer off: restart
    EXPECT_EQ(LookOf(*f), (Look{kTitleCommunicating, "STOP", false, true}));
}

void PressKey(MainWindow& f, Qt::Key key) { QTest::keyClick(f.focusWidget() != nullptr ? f.focusWidget() : &f, key); }

TEST_F(MainWindowTest, KeyboardReachesTheButtonOnlyWhileItIsShown)
{
    auto f = Started();
    f->View().setFocus();
    PressKey(*f, Qt::Key_Space);  // on the picture: a click
    ASSERT_TRUE(f->StopButton().isVisible());
    PressKey(*f, Qt::Key_Tab);
    ASSERT_EQ(f->focusWidget(), &f->StopButton()) << "Tab reaches the shown button";
    PressKey(*f, Qt::Key_Space);
    EXPECT_EQ(f->windowTitle(), kTitlePaused);

    // Hidden by a click on the picture while it had the focus.
    f->PictureClicked();
    EXPECT_NE(f->focusWidget(), &f->StopButton());
    PressKey(*f, Qt::Key_Space);  // shows it again, does not press it
    EXPECT_EQ(f->windowTitle(), kTitlePaused);
    EXPECT_TRUE(f->StopButton().isVisible());
    PressKey(*f, Qt::Key_Return);
    EXPECT_FALSE(f->StopButton().isVisible());
    PressKey(*f, Qt::Key_Tab);
    EXPECT_NE(f->focusWidget(), &f->StopButton()) << "Tab skips the hidden button";
    EXPECT_EQ(f->windowTitle(), kTitlePaused);
}

TEST_F(MainWindowTest, TerminationSignalsEndInOrderWithoutTheQuestion)
{
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        ended.clear();
        boxes.shown.clear();
        auto f = Started();
        TerminationSignals route([&f](int) { f->Terminate(); });
        ASSERT_TRUE(route.Installed());
        raise(signo);
        Pump(50);
        EXPECT_EQ(ended, std::vector<int>{0}) << signo;
        EXPECT_TRUE(boxes.shown.empty()) << "no question";
        EXPECT_EQ(LookOf(*f), (Look{kTitleStopping, "STOP", false, false}));
        EXPECT_FALSE(f->Hook().Hooked());
        EXPECT_FALSE(link.open);
    }

    // With the exit question open, the signal answers for nobody: it exits.
    ended.clear();
    auto f = Started();
    TerminationSignals route([&f](int) { f->Terminate(); });
    boxes.onShow = [](const testing::ShownBox&) {
        raise(SIGTERM);
        Pump(50);
    };
    boxes.answers = {IDCANCEL};
    f->close();
    EXPECT_EQ(ended, std::vector<int>{0});
    EXPECT_FALSE(link.open);
}

TEST(MessageBoxTest, BoxIsAtLeastAsWideAsItsTitle)
{
    int width = 0;
    int titleWidth = 0;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        QFont bold = box->font();
        bold.setBold(true);
        titleWidth = QFontMetrics(bold).horizontalAdvance(box->windowTitle());
        width = box->width();
        box->button(QMessageBox::Cancel)->click();
    });
    QtMessageBoxes boxes;
    EXPECT_EQ(boxes.Show(nullptr, kMsgExit, kAppTitle, MB_OKCANCEL), IDCANCEL);
    EXPECT_GT(titleWidth, 0);
    EXPECT_GE(width, titleWidth + 3 * QFontMetrics(QApplication::font()).height());
}

// Docks find the icon and name through the app id: the entry of that name
// must start this program and name an icon of that name.
TEST(ApplicationTest, AppIdIsTheInstalledDesktopEntry)
{
    ASSERT_TRUE(QApplication::windowIcon().isNull());
    ConfigureApplication();
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    EXPECT_EQ(QGuiApplication::desktopFileName(), kDesktopEntryName);
    QFile entry(QStringLiteral(KARVOLEN_SOURCE_DIR "/packaging/") + kDesktopEntryName + ".desktop");
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(entry.readAll()).split('\n');
    EXPECT_TRUE(lines.contains("Exec=karvolen-viewer"));
    EXPECT_TRUE(lines.contains("Icon=" + kDesktopEntryName));
}

// The desktop scripts click the button at the place its constants give.
TEST_F(MainWindowTest, ButtonSitsWhereTheDesktopScriptsClick)
{
    auto f = Started();
    EXPECT_EQ(f->StopButton().geometry(), QRect(kButtonLeft, kButtonTop, kButtonWidth, kButtonHeight));
    f->resize(300, 200);
    Pump();
    EXPECT_EQ(f->StopButton().geometry(), QRect(kButtonLeft, kButtonTop, kButtonWidth, kButtonHeight));
}

std::vector<uint8_t> FileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.readAll();
    return {bytes.begin(), bytes.end()};
}

QImage ScreenImage(const quellbar::Screen& s)
{
    QImage image(s.width, 480, QImage::Format_Indexed8);
    for (int c = 0; c < 256; ++c) image.setColor(c, 0xFF000000u | s.palette[static_cast<size_t>(c)]);
    for (int y = 0; y < 480; ++y)
        std::memcpy(image.scanLine(y), &s.pixels[static_cast<size_t>((479 - y) * s.width)], s.width);
    return image;
}

TEST_F(MainWindowTest, TicksFetchWholeThenLineDeltaPictures)
{
    auto f = Started();
    f->PollTimerTick();
    ASSERT_EQ(link.requests.size(), 1u);
    EXPECT_EQ(link.requests[0], "BMP? 0\r\n");
    EXPECT_EQ(f->State().requestMode, kModeLineDelta);
    EXPECT_TRUE(f->PollTimer().isActive());
    f->PollTimerTick();
    f->PollTimerTick();
    EXPECT_EQ(link.requests[2], "BMP? 2\r\n");

    // The picture shown is the instrument's third picture, top row first.
    quellbar::ScreenGenerator expected(800, 7);
    for (int i = 0; i < 2; ++i) expected.Next();
    const QImage& shown = f->View().Picture();
    EXPECT_EQ(shown, ScreenImage(expected.Next()).convertToFormat(shown.format()));
}

TEST_F(MainWindowTest, SavedAndCopiedPicturesAreTheDecodedOneAndAFailedWriteLeavesNoFile)
{
    QTemporaryDir dir;
    for (int width : {640, 800}) {
        FakeQuellbar quellbar("seed=7;width=" + std::to_string(width));
        quellbar::ScreenGenerator expected(width, 7);  // one picture a tick
        QString answer;
        std::function<void()> whileAsked = [] {};
        MainWindowServices svc = Services(quellbar);
        svc.chooseSaveFile = [&](const QString&) {
            whileAsked();
            return answer;
        };
        auto f = Started(svc);
        EXPECT_FALSE(f->Commands().SaveAction().isEnabled() || f->Commands().CopyAction().isEnabled())
            << "no picture yet";
        f->PollTimerTick();  // whole
        answer = dir.filePath(QStringLiteral("whole %1.png").arg(width));
        f->Commands().SavePictureAs();
        EXPECT_EQ(QImage(answer), ScreenImage(expected.Next())) << "a palette PNG of the picture";
        // The bytes the capture writes of the same picture, in either format.
        const ShownPicture shown{f->State().pixels, f->State().imageWidth, f->State().frameInfo.bmiColors};
        EXPECT_TRUE(FileBytes(answer) == picture::Encode(shown, picture::Format::kPng));
        answer = dir.filePath(QStringLiteral("whole %1.BMP").arg(width));
        f->Commands().SavePictureAs();
        EXPECT_TRUE(FileBytes(answer) == picture::Encode(shown, picture::Format::kBmp));

        // After a line delta, with one more arriving while the user chooses.
        // No suffix: PNG.
        f->PollTimerTick();
        const QImage asked = ScreenImage(expected.Next());
        whileAsked = [&] { f->PollTimerTick(); };
        answer = dir.filePath(QStringLiteral("Bild ä %1").arg(width));
        f->Commands().SavePictureAs();
        EXPECT_EQ(QImage(answer, "png"), asked);
        f->Commands().CopyPicture();
        EXPECT_EQ(QGuiApplication::clipboard()->image(), ScreenImage(expected.Next()));

        // Quick saves go beside the last save, each under a name of its own,
        // and say where; with that folder gone, into the Pictures folder.
        const QDir pictures(dir.filePath(QStringLiteral("Pictures")));
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        QFile dirs(dir.filePath(QStringLiteral("user-dirs.dirs")));
        ASSERT_TRUE(pictures.mkpath(".") && dirs.open(QIODevice::WriteOnly));
        dirs.write("XDG_PICTURES_DIR=\"" + pictures.path().toUtf8() + "\"\n");
        dirs.close();
        QDir last(dir.filePath(QStringLiteral("last %1").arg(width)));
        ASSERT_TRUE(last.mkpath("."));
        answer = last.filePath(QStringLiteral("asked.png"));
        whileAsked = [] {};
        f->Commands().SavePictureAs();
        f->Commands().SavePicture();
        f->Commands().SavePicture();
        const QStringList quick = last.entryList({QStringLiteral("quellbar-*.png")});
        ASSERT_EQ(quick.size(), 2);
        for (const QString& name : quick) EXPECT_EQ(QImage(last.filePath(name)), QImage(answer)) << name.toStdString();
        EXPECT_TRUE(f->Commands().Notes().SavedNote().isVisible());
        EXPECT_TRUE(f->Commands().Notes().SavedNote().text().startsWith(QStringLiteral("Saved quellbar-")));
        ASSERT_TRUE(last.removeRecursively());
        f->Commands().SavePicture();
        EXPECT_EQ(pictures.entryList({QStringLiteral("quellbar-*.png")}).size(), width == 640 ? 1 : 2);
        // A full disk: the box says so, and no cut file is left.
        boxes.shown.clear();
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY}, small{1000, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &small);
        f->Commands().SavePicture();
        setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_EQ(pictures.entryList(QDir::Files).size(), width == 640 ? 1 : 2);
        ASSERT_EQ(boxes.shown.size(), 1u);
        EXPECT_TRUE(boxes.shown[0].text.endsWith("File too large")) << boxes.shown[0].text.toStdString();

        // A folder that vanished: no file, one box that says why, and no
        // dialog on top of it.
        answer = dir.filePath(QStringLiteral("gone/picture.png"));
        boxes.shown.clear();
        boxes.onShow = [&](const testing::ShownBox&) { f->Commands().SavePictureAs(); };
        f->Commands().SavePictureAs();
        boxes.onShow = nullptr;
        EXPECT_FALSE(QFileInfo::exists(answer));
        EXPECT_EQ(boxes.shown, (Boxes{{kMsgCannotSave.arg(answer, QStringLiteral("No such file or directory")),
                                       kTitleError, MB_ICONERROR}}));
        // A type the window does not write: refused, saying why.
        answer = dir.filePath(QStringLiteral("picture.gif"));
        boxes.shown.clear();
        f->Commands().SavePictureAs();
        EXPECT_FALSE(QFileInfo::exists(answer));
        EXPECT_EQ(boxes.shown,
                  (Boxes{{kMsgCannotSave.arg(answer, QStringLiteral("Only PNG and BMP pictures are written")),
                          kTitleError, MB_ICONERROR}}));
    }
}

// Every picture shown from the start of a recording on, through a pause, to
// the exit, which completes the file; the mark shows while it runs.
TEST_F(MainWindowTest, RecordingKeepsEveryShownPictureUntilTheExit)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run.gif"));
    MainWindowServices svc = Services();
    svc.chooseSaveFile = [&](const QString& suggested) {
        EXPECT_TRUE(suggested.endsWith(".gif"));
        return path;
    };
    auto f = Started(svc);
    PictureCommands& c = f->Commands();
    c.Record();
    EXPECT_FALSE(c.Recording()) << "nothing to record before the first picture";
    f->PollTimerTick();
    c.Record();
    EXPECT_TRUE(c.Recording() && c.RecordAction().isChecked() && c.Notes().RecordingMark().isVisible());
    const QImage first = f->View().Picture();
    f->PollTimerTick();
    f->StopButtonClicked();
    f->StopButtonClicked();
    f->PollTimerTick();
    boxes.answers = {IDOK};
    f->close();
    EXPECT_FALSE(c.Recording() || c.Notes().RecordingMark().isVisible());

    GifFileType* gif = DGifOpenFileName(QFile::encodeName(path).constData(), nullptr);
    ASSERT_NE(gif, nullptr);
    ASSERT_EQ(DGifSlurp(gif), GIF_OK);
    EXPECT_EQ(gif->ImageCount, 3) << "the picture on screen, then two changed ones";
    EXPECT_EQ(QSize(gif->SWidth, gif->SHeight), first.size());
    const QImage indices = ScreenImage(quellbar::ScreenGenerator(800, 7).Next());
    for (int y = 0; y < 480; ++y)
        ASSERT_EQ(std::memcmp(gif->SavedImages[0].RasterBits + y * 800, indices.constScanLine(y), 800), 0) << y;
    DGifCloseFile(gif, nullptr);
}

// A recording whose end the file cannot take (a full disk) says so; the
// pictures before it stay a readable GIF.
TEST_F(MainWindowTest, RecordingCutAtItsEndShowsTheBox)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cut.gif"));
    MainWindowServices svc = Services();
    svc.chooseSaveFile = [&](const QString&) { return path; };
    auto f = Started(svc);
    f->PollTimerTick();
    f->Commands().Record();
    ASSERT_TRUE(f->Commands().Recording());
    // Longer than one frame can last: the end needs frames of its own.
    link.clock.now += 1000.0;
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY},
        full{static_cast<rlim_t>(QFileInfo(path).size()), RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &full);
    f->Commands().Record();
    setrlimit(RLIMIT_FSIZE, &unlimited);
    EXPECT_FALSE(f->Commands().Recording() || f->Commands().RecordAction().isChecked());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.startsWith(kMsgCannotRecord.arg(path, QString())));
    EXPECT_TRUE(boxes.shown[0].text.endsWith(QStringLiteral("File too large"))) << boxes.shown[0].text.toStdString();
    EXPECT_EQ(boxes.shown[0].title, kTitleError);
    GifFileType* gif = DGifOpenFileName(QFile::encodeName(path).constData(), nullptr);
    ASSERT_NE(gif, nullptr);
    EXPECT_EQ(DGifSlurp(gif), GIF_OK);
    EXPECT_EQ(gif->ImageCount, 1);
    DGifCloseFile(gif, nullptr);
}

// Communicating, Paused, Communication failure (in full screen), each with the
// button hidden and shown: the key does what the click does, a right click
// opens the menu and leaves the button alone.
TEST_F(MainWindowTest, StartStopKeyIsTheButtonsClickAndTheMenuNeverTogglesIt)
{
    for (int state = 0; state < 6; ++state) {
        std::tuple<Look, bool, int32_t> after[2];  // the menu entry says what the button says
        for (int byKey : {0, 1}) {
            FakeQuellbar quellbar;
            if (state >= 4) {
                ASSERT_EQ(quellbar.Model().Inject("noreply"), "");
            }
            auto f = Started(Services(quellbar));
            if (state >= 4) f->Commands().SetFullScreen(true);
            f->PollTimerTick();
            if (state / 2 == 1) f->StopButtonClicked();
            if (f->StopButton().isVisible() != (state % 2 == 1)) f->PictureClicked();
            ASSERT_EQ(f->windowTitle(), state >= 4 ? kTitleFailure : state >= 2 ? kTitlePaused : kTitleCommunicating);
            QTest::mouseClick(f->windowHandle(), Qt::RightButton, {}, QPoint(300, 200));
            EXPECT_EQ(f->StopButton().isVisible(), state % 2 == 1);
            EXPECT_EQ(QApplication::activePopupWidget(), &f->Commands().ContextMenu());
            EXPECT_EQ(f->Commands().ContextMenu().actions().first()->text(), f->StopButton().text());
            f->Commands().ContextMenu().close();
            f->activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(f.get()));
            byKey != 0 ? QTest::keyClick(f.get(), Qt::Key_P) : f->StopButtonClicked();
            after[byKey] = {LookOf(*f), f->Commands().ContextMenu().actions().first()->text() == f->StopButton().text(),
                            f->State().requestMode};
            if (state != 0) continue;
            // The fit modes: one choice, Stretch at start, set on View.
            EXPECT_EQ(f->View().FitMode(), geometry::FitMode::Stretch);
            f->Commands().FitAction(geometry::FitMode::IntegerZoom).trigger();
            EXPECT_EQ(f->View().FitMode(), geometry::FitMode::IntegerZoom);
            EXPECT_FALSE(f->Commands().FitAction(geometry::FitMode::Stretch).isChecked());
        }
        EXPECT_EQ(after[1], after[0]) << "state " << state;
    }
}

TEST_F(MainWindowTest, FailureStateAndRestart)
{
    auto f = Started();
    f->PollTimerTick();
    ASSERT_EQ(link.Model().Inject("noreply"), "");
    f->PollTimerTick();
    EXPECT_EQ(boxes.shown, (Boxes{{"Can't get the image from the Quellbar\r\n\r\nCheck the USB cable",
                                   "Communication Error", MB_ICONERROR}}));
    EXPECT_EQ(LookOf(*f), (Look{kTitleFailure, "START", true, false}));
    EXPECT_FALSE(link.open);
    EXPECT_EQ(f->State().requestMode, kModeWhole);
    EXPECT_TRUE(f->isVisible());

    // START: one tick re-opens the link, the next asks for a whole picture.
    f->StopButtonClicked();
    EXPECT_EQ(LookOf(*f), (Look{kTitleCommunicating, "STOP", false, true}));
    const size_t before = link.requests.size();
    f->PollTimerTick();
    EXPECT_TRUE(link.open);
    EXPECT_EQ(link.requests.size(), before);
    f->PollTimerTick();
    EXPECT_EQ(link.requests.back(), "BMP? 0\r\n");
}

TEST_F(MainWindowTest, DrawingErrorStopsPollingButKeepsTheStateShown)
{
    auto f = Started();
    f->State().requestMode = kModeLineDelta;  // a delta before any picture: nothing to draw on
    f->PollTimerTick();
    EXPECT_EQ(boxes.shown, (Boxes{{"Drawing error", "Error", MB_ICONERROR}}));
    EXPECT_EQ(LookOf(*f), (Look{kTitleCommunicating, "STOP", false, false}));
    f->StopButtonClicked();
    EXPECT_TRUE(f->PollTimer().isActive());
    EXPECT_EQ(f->State().requestMode, kModeWhole);
}

TEST_F(MainWindowTest, ReplyWhoseHeadersCannotFitKeepsThePictureAndPolls)
{
    auto f = Started();
    f->PollTimerTick();
    const QImage before = f->View().Picture();
    ASSERT_EQ(link.Model().Inject("badoffset"), "");
    f->PollTimerTick();
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(LookOf(*f), (Look{kTitleCommunicating, "STOP", false, true}));
    EXPECT_EQ(f->View().Picture(), before);

    // Still "Communicating", but the picture grows old: a note says since
    // when, until a new picture comes; a paused window needs none.
    const QLabel& age = f->Commands().Notes().AgeNote();
    const QString shownAt = QTime::currentTime().addSecs(-1).toString("HH:mm:ss");
    f->PollTimer().stop();
    Pump(kPictureAgeNoteMs + 1200);
    EXPECT_TRUE(age.isVisible());
    EXPECT_GE(age.text(), "Picture from " + shownAt);
    EXPECT_EQ(f->windowTitle(), kTitleCommunicating);
    f->StopPolling();
    EXPECT_FALSE(age.isVisible());
    f->StopButtonClicked();
    EXPECT_TRUE(age.isVisible());
    f->PollTimerTick();
    EXPECT_FALSE(age.isVisible());
}

TEST_F(MainWindowTest, ExitAsksAndCancelChangesNothing)
{
    auto f = Started();
    boxes.answers = {IDCANCEL};
    EXPECT_FALSE(f->close());
    EXPECT_EQ(boxes.shown, (Boxes{{"Exit application?", "Karvolen Remote Screen Software", MB_OKCANCEL}}));
    EXPECT_EQ(LookOf(*f), (Look{kTitleCommunicating, "STOP", false, true}));
    EXPECT_TRUE(f->Hook().Hooked());
    EXPECT_TRUE(ended.empty());

    boxes.answers = {IDOK};
    EXPECT_TRUE(f->close());
    EXPECT_EQ(LookOf(*f), (Look{kTitleStopping, "STOP", false, false}));
    EXPECT_FALSE(f->Hook().Hooked());
    EXPECT_FALSE(link.open);
    EXPECT_EQ(ended, std::vector<int>{0});
}

TEST_F(MainWindowTest, CloseDuringTheDrainWaitsForTheCycleAndNestedTicksDoNothing)
{
    auto f = Started();
    f->PollTimerTick();
    ASSERT_EQ(link.Model().Inject("nosig:40000"), "");
    const size_t writes = link.requests.size();
    const int drainRead = static_cast<int>(link.reads.size()) + 3;  // first read, one drain block, then this one
    link.onRead = [&](int n) {
        if (n == drainRead) {
            EXPECT_TRUE(f->State().transferBusy);
            f->StopButtonClicked();  // finds the timer off: resumes polling
            f->PollTimerTick();     // a tick inside the suspended cycle
            EXPECT_EQ(link.requests.size(), writes + 1) << "no second cycle inside the first";
            boxes.answers = {IDOK};
            f->close();
            EXPECT_TRUE(ended.empty()) << "the program ends only when no cycle transfers";
            EXPECT_EQ(f->windowTitle(), kTitleStopping);
        }
    };
    f->PollTimerTick();
    EXPECT_EQ(ended, std::vector<int>{0});
    EXPECT_FALSE(link.open);
    EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(MainWindowTest, FailureWhileHiddenAsksToExit)
{
    auto f = Started();
    f->hide();
    ASSERT_EQ(link.Model().Inject("noreply"), "");
    boxes.answers = {IDOK, IDCANCEL};
    f->PollTimerTick();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "Exit application?");
    EXPECT_TRUE(ended.empty());
    EXPECT_FALSE(f->isVisible());
    EXPECT_FALSE(f->PollTimer().isActive());
    EXPECT_FALSE(link.open);
}

TEST_F(MainWindowTest, LayoutFollowsThePictureWidthAndScaleSurvivesResizes)
{
    ASSERT_EQ(link.Model().Configure("width=640"), "");
    auto f = Started();
    f->PollTimerTick();
    Pump();
    EXPECT_EQ(f->size(), QSize(640, 480));
    EXPECT_EQ(f->LogicalWidth(), 640.0f);
    EXPECT_EQ(f->Surface().width(), 640);
    EXPECT_EQ(f->State().frameInfo.bmiHeader.biWidth, 640);

    f->resize(1000, 700);
    Pump();
    EXPECT_EQ(f->LogicalWidth(), 640.0f);
    EXPECT_EQ(f->LogicalHeight(), 480.0f);
    EXPECT_EQ(f->View().geometry(), QRect(0, 0, 1000, 700));

    // Same width again: the window keeps the size the user gave it.
    f->StopButtonClicked();
    f->StopButtonClicked();
    f->PollTimerTick();
    Pump();
    EXPECT_EQ(f->size(), QSize(1000, 700));
}

TEST_F(MainWindowTest, WidthChangeWhileMaximizedWaitsForLayoutButNotForDrawing)
{
    ASSERT_EQ(link.Model().Configure("width=640"), "");
    auto f = Started();
    f->PollTimerTick();
    f->showMaximized();
    Pump();
    ASSERT_TRUE(f->isMaximized());
    const QSize maximized = f->size();

    ASSERT_EQ(link.Model().Configure("width=800"), "");
    f->State().requestMode = kModeWhole;
    f->PollTimerTick();
    Pump();
    EXPECT_EQ(f->size(), maximized);
    EXPECT_EQ(f->State().laidOutWidth, 800);
    EXPECT_EQ(f->State().frameInfo.bmiHeader.biWidth, 800) << "drawn with the width it was decoded with";
    EXPECT_EQ(f->View().Picture().width(), 800);
    EXPECT_EQ(f->View().geometry(), QRect(QPoint(0, 0), maximized));
}

TEST_F(MainWindowTest, MinimizedWindowKeepsItsScaleAndTheHookKeepsAMinimumSize)
{
    auto f = Started();
    // The offscreen platform's frame is equal on every side, as shadows
    // would be: none of it is counted, and the client keeps 100 x 100.
    EXPECT_EQ(f->minimumSize(), QSize(100, 100));
    f->resize(40, 30);
    Pump();
    EXPECT_EQ(f->size(), QSize(100, 100));
    f->resize(150, 120);
    Pump();
    EXPECT_EQ(f->size(), QSize(150, 120));
    // A platform that offers less than the minimum, as a Wayland compositor
    // may during a drag, does not get it.
    f->windowHandle()->resize(16, 1);
    Pump();
    EXPECT_EQ(f->size(), QSize(100, 100));

    f->showMinimized();
    Pump();
    f->State().imageWidth = 640;
    f->LayOut();
    EXPECT_EQ(f->LogicalWidth(), 800.0f);
}

}  // namespace
}  // namespace karvolen

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

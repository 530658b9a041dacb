// karvolen-viewer: shows the Quellbar's screen live.
#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <csignal>
#include <cstdio>

#include "application.h"
#include "link_binding.h"
#include "main_window.h"
#include "shared_feed.h"
#include "termination_signals.h"

int main(int argc, char** argv)
{
    // A file size limit (ulimit -f) fails a save or a recording with EFBIG,
    // told in a box, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // Save As through the desktop's file chooser (the XDG desktop portal's)
    // where one runs; without a portal Qt shows its own dialog. A theme the
    // user names wins.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORMTHEME")) {
        qputenv("QT_QPA_PLATFORMTHEME", "xdgdesktopportal");
    }
    QApplication app(argc, argv);
    karvolen::ConfigureApplication();

    karvolen::MarlexLink link;
    karvolen::QtMessageBoxes boxes;
    karvolen::fetch::SteadyClock clock;

    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) {
        runtime = QDir::tempPath();
    }

    karvolen::MainWindowServices services;
    services.link = &link;
    services.boxes = &boxes;
    services.clock = &clock;
    services.endProgram = [](int status) { QCoreApplication::exit(status); };
    services.lockPath = runtime + QStringLiteral("/karvolen-viewer.lock");

    karvolen::MainWindow form(services);
    if (!form.Start()) {
        return 1;
    }
    // What the window shows, for karvolen-capture and other readers of this user.
    const karvolen::feed::SharedFeed::StartResult shared =
        karvolen::feed::SharedFeed::Start(form.Poller(), "karvolen-viewer");
    if (!shared.feed) {
        std::fprintf(stderr, "karvolen-viewer: the picture is not shared with other programs: %s\n",
                     shared.error.c_str());
    }
    // Logging out, Ctrl+C or a closed terminal: the exit without its question.
    karvolen::TerminationSignals termination([&form](int) { form.Terminate(); });
    form.show();
    return QApplication::exec();
}

// karvolen-viewer: shows the Quellbar's screen live.
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QPixmap>
#include <QStandardPaths>

#include "form1.h"
#include "karvolen_icon.xpm"
#include "link_binding.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The window's own exit path ends the program, also while it is hidden.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(QIcon(QPixmap(karvolen_icon_xpm)));

    karvolen::MarlexLink link;
    karvolen::QtMessageBoxes boxes;
    karvolen::fetch::SteadyClock clock;

    QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) {
        runtime = QDir::tempPath();
    }

    karvolen::Form1Services services;
    services.link = &link;
    services.boxes = &boxes;
    services.clock = &clock;
    services.endProgram = [](int status) { QCoreApplication::exit(status); };
    services.lockPath = runtime + QStringLiteral("/karvolen-viewer.lock");

    karvolen::Form1 form(services);
    if (!form.Form_Load()) {
        return 1;
    }
    form.show();
    return QApplication::exec();
}

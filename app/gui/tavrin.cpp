// The windowed program: the main window on Qt's event loop, with the main
// thread's queue of calls served from that loop. A video file named on the
// command line ("Open with" of the desktop) goes into the video box as
// "Add Video" puts it there.
#include <QApplication>
#include <QIcon>
#include <QStringList>

#include "app/gui/main_window.h"
#include "app/gui/qt_dispatcher.h"
#include "media/runtime/main_thread.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QLatin1String(tavrin::kApplicationTitle));
    // The installed menu entry and icon carry this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("tavrin"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("tavrin")));
    tavrin::InitMainThread();
    tavrin::InstallQtDispatcher();
    int status = 0;
    {
        tavrin::TfrmMain window;
        window.show();
        // Qt has taken its own options out of the arguments by now.
        const QStringList arguments = QApplication::arguments();
        if (arguments.size() > 1) {
            window.AddVideoFile(arguments.at(1));
        }
        status = QApplication::exec();
    }
    tavrin::SetMainThreadDispatcher(nullptr);
    tavrin::ShutdownMainThread();
    return status;
}

// The windowed program: the main window on Qt's event loop, with the main
// thread's queue of calls served from that loop.
#include <QApplication>

#include "app/gui/main_window.h"
#include "app/gui/qt_dispatcher.h"
#include "media/runtime/main_thread.h"

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QLatin1String(tavrin::kApplicationTitle));
    tavrin::InitMainThread();
    tavrin::InstallQtDispatcher();
    int status = 0;
    {
        tavrin::TfrmMain window;
        window.show();
        status = QApplication::exec();
    }
    tavrin::SetMainThreadDispatcher(nullptr);
    tavrin::ShutdownMainThread();
    return status;
}

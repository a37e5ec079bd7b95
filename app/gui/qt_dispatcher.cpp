#include "app/gui/qt_dispatcher.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>
#include <memory>

namespace tavrin {

void TQtDispatcher::Wake() {
    if (wake_posted_.exchange(true)) {
        return;
    }
    QCoreApplication* const app = QCoreApplication::instance();
    if (app == nullptr) {
        wake_posted_ = false;
        return;
    }
    // Posting an event wakes a loop that waits in WaitForEvents() as well. The
    // wake-up may outlive this dispatcher when another one is installed.
    QMetaObject::invokeMethod(
        app,
        [weak = weak_from_this()] {
            if (const auto self = weak.lock()) {
                self->RunWakeUp();
            }
        },
        Qt::QueuedConnection);
}

void TQtDispatcher::RunWakeUp() {
    wake_posted_ = false;
    in_wake_up_ = true;
    ProcessMessages();
    in_wake_up_ = false;
}

void TQtDispatcher::ProcessEvents() {
    // The wake-up was posted by Qt's loop, which processes the events itself
    // when the wake-up returns.
    if (in_wake_up_) {
        return;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TQtDispatcher::WaitForEvents(std::chrono::milliseconds timeout) {
    // The timer's event ends the wait when nothing else arrives.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(timeout);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void InstallQtDispatcher() {
    SetMainThreadDispatcher(std::make_shared<TQtDispatcher>());
}

}  // namespace tavrin

// The main thread's queue served from Qt's event loop: a worker's call runs on
// the main thread while the loop runs or while the main thread waits, and the
// widgets' own events keep flowing during such a wait.
#include <QApplication>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <thread>

#include "app/gui/qt_dispatcher.h"
#include "media/runtime/main_thread.h"

using namespace tavrin;

class QtDispatcherTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        InitMainThread();
        InstallQtDispatcher();
    }

    void cleanupTestCase() {
        SetMainThreadDispatcher(nullptr);
        ShutdownMainThread();
    }

    void workerCallRunsOnMainThreadInsideEventLoop() {
        std::atomic<bool> ranOnMain{false};
        std::thread worker([&] { RunInMainThread([&] { ranOnMain = IsMainThread(); }); });
        QTRY_VERIFY_WITH_TIMEOUT(ranOnMain.load(), 5000);
        worker.join();
    }

    void waitOnMainThreadKeepsTimersAndCallsFlowing() {
        int ticks = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(5);
        std::atomic<int> callsRun{0};
        std::thread worker([&] {
            for (int i = 0; i < 20; ++i) {
                RunInMainThread([&] { ++callsRun; });
            }
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((callsRun < 20 || ticks < 3) && std::chrono::steady_clock::now() < deadline) {
            WaitForMessages(std::chrono::milliseconds(50));
        }
        worker.join();
        QCOMPARE(callsRun.load(), 20);
        QVERIFY(ticks >= 3);
    }

    void waitEndsAtItsTimeoutWhenNothingArrives() {
        const auto start = std::chrono::steady_clock::now();
        WaitForMessages(std::chrono::milliseconds(30));
        QVERIFY(std::chrono::steady_clock::now() - start >= std::chrono::milliseconds(25));
    }
};

QTEST_MAIN(QtDispatcherTest)
#include "qt_dispatcher_test.moc"

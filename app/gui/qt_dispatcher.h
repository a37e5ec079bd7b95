// Serves the main thread's queue of calls from Qt's event loop: a call handed
// over by a worker wakes the loop, which runs it; a wait on the main thread
// (a merge's wait loop, a Stop with waiting) keeps Qt's events flowing, so the
// windows stay responsive while it waits.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "media/runtime/main_thread.h"

namespace tavrin {

class TQtDispatcher final : public TMainThreadDispatcher,
                            public std::enable_shared_from_this<TQtDispatcher> {
public:
    // Any thread: posts one wake-up to the application object; wake-ups that
    // arrive before it has run are folded into it.
    void Wake() override;
    // Main thread: processes Qt's pending events. A nested call (an event
    // handler that itself waits) processes them again; a call made while the
    // dispatcher runs its own wake-up only runs the queued calls.
    void ProcessEvents() override;
    // Main thread: blocks in Qt's event loop until an event arrives or the
    // timeout passes.
    void WaitForEvents(std::chrono::milliseconds timeout) override;

private:
    void RunWakeUp();

    std::atomic<bool> wake_posted_{false};
    // Main thread only.
    bool in_wake_up_ = false;
};

// Installs a TQtDispatcher for the main thread; call after QApplication exists
// and InitMainThread() has run on the same thread.
void InstallQtDispatcher();

}  // namespace tavrin

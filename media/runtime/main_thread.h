// The main thread and its queue of calls handed over by other threads.
//
// The main thread is the thread that called InitMainThread(); nothing else is
// ever taken for it. Until InitMainThread() has run (and after
// ShutdownMainThread()), no thread is the main thread: IsMainThread() is false
// everywhere and RunInMainThread() from any thread raises FFmpegException.
// Every wait on the main thread keeps calling ProcessMessages() (or
// WaitForMessages()), otherwise threads that hand it calls stay blocked.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace tavrin {

// Declares the calling thread the main thread. Calling it again from the same
// thread has no effect; from another thread while a main thread is declared it
// raises FFmpegException.
void InitMainThread();
// The main thread stops serving: queued calls still run here, then the
// process has no main thread until InitMainThread() is called again.
// Callers waiting afterwards get FFmpegException. Only the main thread may
// call it; elsewhere it has no effect.
void ShutdownMainThread();

bool MainThreadInitialised();
bool IsMainThread();

// Runs fn on the main thread: directly when called there, otherwise queued and
// the caller blocks until the main thread has run it. An exception thrown by
// fn is raised again in the calling thread.
void RunInMainThread(const std::function<void()>& fn);
// As RunInMainThread, but returns false without running fn when no main
// thread serves calls.
bool TryRunInMainThread(const std::function<void()>& fn);

// True when `thread` is the calling thread, or the calling thread (the main
// thread) is running a call that `thread` handed over and waits for. Locks
// held by `thread` may then be taken over: it cannot run until the call ends.
bool ActsFor(std::thread::id thread);

// On the main thread: runs every queued call, then lets the dispatcher process
// the platform's pending events. Returns the number of queued calls run.
// On other threads there is nothing to process and it returns 0.
int ProcessMessages();
// On the main thread: waits up to timeout for a queued call or a wake-up, then
// processes messages. On other threads: sleeps for timeout. Returns the number
// of queued calls run.
int WaitForMessages(std::chrono::milliseconds timeout);
// Any thread: makes a main thread that waits in WaitForMessages() return.
void WakeMainThread();

// Connects the queue to an event loop. The built-in dispatcher serves the
// command-line programs and the tests; a windowed program installs its own.
class TMainThreadDispatcher {
public:
    virtual ~TMainThreadDispatcher() = default;
    // Any thread: a call was queued or a wake-up was asked for; a waiting main
    // thread must return from WaitForEvents() soon (and, on an event loop,
    // call ProcessMessages()).
    virtual void Wake() = 0;
    // Main thread, at the end of ProcessMessages(): process pending platform
    // events.
    virtual void ProcessEvents() = 0;
    // Main thread: block until Wake() or a platform event, at most timeout.
    virtual void WaitForEvents(std::chrono::milliseconds timeout) = 0;
};

// Installs a dispatcher; null restores the built-in one.
void SetMainThreadDispatcher(std::shared_ptr<TMainThreadDispatcher> dispatcher);

}  // namespace tavrin

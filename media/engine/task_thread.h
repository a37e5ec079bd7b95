// The threads of a transcoding task: the worker that runs it
// (TConvertThread), the thread that delivers the termination notice of a task
// cancelled before it ran (TDoTerminateThread), the manual-reset events a
// controlling thread waits on, and the hold that pauses the worker between two
// loop steps.
//
// Both thread classes free themselves when their work ends. They keep the
// task's control block alive until they have signalled their end, so a task
// may be destroyed as soon as a wait on its events has returned.
//
// Threads and fields: a TTaskControl is shared by the controlling thread,
// the worker and the notice thread, and every field of it is guarded by its
// mutex (the events guard themselves). A TConvertThread's fields are set
// before its thread exists and only read afterwards.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace tavrin {

class TCustomFFmpeg;
class TConvertThread;

// Worker priorities, mapped to per-thread nice values: idle 19, lowest 10,
// lower 5, normal 0, higher -5, highest -10, time critical -20. Raising
// above normal needs privileges; without them the thread stays at normal.
enum TThreadPriority : int {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical,
};

// The nice value a priority maps to.
int NiceValueOf(TThreadPriority priority);

// A manual-reset event: stays signalled until Reset.
class TEvent {
public:
    explicit TEvent(bool signalled) : signalled_(signalled) {}

    void Set();
    void Reset();
    bool IsSet() const;
    // True when the event is (or becomes) signalled within timeout.
    bool WaitFor(std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool signalled_;
};

// Waits for `event` without time limit. On the main thread the wait is cut
// into slices of 20 ms, and between two slices the calls other threads
// handed to the main thread and the pending messages are processed, so that
// a thread blocked in delivering an event to the main thread can finish.
void WaitPumping(const TEvent& event);

// The thread and hold state of one task, shared with its threads.
struct TTaskControl {
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    bool suspended = false;            // a created worker waits for Resume
    bool held = false;                 // Pause holds the worker between two steps
    bool termination_pending = false;  // a TDoTerminateThread will deliver the notice
    std::thread::id worker_id;         // the worker while it exists
    std::thread::id notice_thread_id;  // the TDoTerminateThread while it delivers
    TConvertThread* thread = nullptr;  // forgotten when the notice is delivered
    // Not signalled while a worker exists (from its creation to the end of Run).
    TEvent ThreadDone{true};
    // Not signalled while a TDoTerminateThread delivers the notice.
    TEvent TerminationDone{true};
};

std::shared_ptr<TTaskControl> MakeTaskControl();

// The worker of a task. Created suspended by TCustomFFmpeg::Start; Resume
// lets it run the task and it frees itself when Run has ended. The pointer
// Start returns may be used only up to Resume.
class TConvertThread {
    struct Key {
        explicit Key() = default;
    };

public:
    TConvertThread(Key, TCustomFFmpeg& task, std::shared_ptr<TTaskControl> control,
                   TThreadPriority priority);

    TCustomFFmpeg& Task() const { return task_; }
    TThreadPriority Priority() const { return priority_; }
    // Lets the suspended worker run; no effect once it runs.
    void Resume();

private:
    friend class TCustomFFmpeg;
    // Creates the suspended thread, which owns the object from then on.
    static TConvertThread* Create(TCustomFFmpeg& task, std::shared_ptr<TTaskControl> control,
                                  TThreadPriority priority);
    void Body();

    TCustomFFmpeg& task_;
    std::shared_ptr<TTaskControl> control_;
    TThreadPriority priority_;
};

// Delivers the termination notice of a task that never ran, on a thread of
// its own; created running, frees itself at the end.
class TDoTerminateThread {
public:
    static void Create(TCustomFFmpeg& task, std::shared_ptr<TTaskControl> control);
};

}  // namespace tavrin

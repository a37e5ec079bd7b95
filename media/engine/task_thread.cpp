// Running a task on its own worker thread, and stopping, pausing, resuming
// and cancelling it from the controlling thread.
#include "media/engine/task_thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <string>
#include <system_error>

#include "media/engine/custom_ffmpeg.h"
#include "media/runtime/logger.h"
#include "media/runtime/main_thread.h"

namespace tavrin {
namespace {

constexpr std::chrono::milliseconds kPumpSlice{20};

void ApplyPriority(TThreadPriority priority) {
    if (priority == tpNormal) {
        return;
    }
    // Linux keeps a nice value per thread; raising it back above normal
    // needs privileges, and failing to is not an error.
    const auto thread_id = static_cast<id_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, thread_id, NiceValueOf(priority));
}

}  // namespace

int NiceValueOf(TThreadPriority priority) {
    switch (priority) {
        case tpIdle:
            return 19;
        case tpLowest:
            return 10;
        case tpLower:
            return 5;
        case tpNormal:
            return 0;
        case tpHigher:
            return -5;
        case tpHighest:
            return -10;
        case tpTimeCritical:
            return -20;
    }
    return 0;
}

// --- TEvent ----------------------------------------------------------------

void TEvent::Set() {
    const std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = true;
    // Notified under the lock: a waiter that returns may free the event's
    // owner, and this thread must not touch it afterwards.
    changed_.notify_all();
}

void TEvent::Reset() {
    const std::lock_guard<std::mutex> guard(mutex_);
    signalled_ = false;
}

bool TEvent::IsSet() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    return signalled_;
}

bool TEvent::WaitFor(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return signalled_; });
}

void WaitPumping(const TEvent& event) {
    while (!event.WaitFor(kPumpSlice)) {
        if (IsMainThread()) {
            ProcessMessages();
        }
    }
}

std::shared_ptr<TTaskControl> MakeTaskControl() {
    return std::make_shared<TTaskControl>();
}

// --- TConvertThread --------------------------------------------------------

TConvertThread::TConvertThread(Key, TCustomFFmpeg& task, std::shared_ptr<TTaskControl> control,
                               TThreadPriority priority)
    : task_(task), control_(std::move(control)), priority_(priority) {}

TConvertThread* TConvertThread::Create(TCustomFFmpeg& task, std::shared_ptr<TTaskControl> control,
                                       TThreadPriority priority) {
    // Cleared before the thread exists, so that a wait that starts now
    // already waits for it.
    control->ThreadDone.Reset();
    {
        const std::lock_guard<std::mutex> guard(control->mutex);
        control->suspended = true;
    }
    auto owned = std::make_unique<TConvertThread>(Key{}, task, control, priority);
    TConvertThread* thread = owned.get();
    {
        const std::lock_guard<std::mutex> guard(control->mutex);
        control->thread = thread;
    }
    try {
        std::thread([self = std::move(owned)] { self->Body(); }).detach();
    } catch (const std::system_error&) {
        const std::lock_guard<std::mutex> guard(control->mutex);
        control->thread = nullptr;
        control->suspended = false;
        control->ThreadDone.Set();
        return nullptr;
    }
    return thread;
}

void TConvertThread::Resume() {
    // The worker may end and free this object as soon as the lock is
    // released; only the shared control block is touched from here on.
    const std::shared_ptr<TTaskControl> control = control_;
    const std::lock_guard<std::mutex> guard(control->mutex);
    control->suspended = false;
    control->changed.notify_all();
}

void TConvertThread::Body() {
    const std::shared_ptr<TTaskControl> control = control_;
    {
        std::unique_lock<std::mutex> lock(control->mutex);
        control->worker_id = std::this_thread::get_id();
        control->changed.wait(lock, [&control] { return !control->suspended; });
    }
    ApplyPriority(priority_);
    try {
        task_.Run();
    } catch (const std::exception& error) {
        // Run catches its own failures; this only keeps the end signalled.
        Log(&task_, llQuiet, error.what());
    } catch (...) {
        Log(&task_, llQuiet, "Unknown error in the task's thread");
    }
    {
        const std::lock_guard<std::mutex> guard(control->mutex);
        control->worker_id = std::thread::id();
    }
    // From here on the task may be gone.
    control->ThreadDone.Set();
}

// --- TDoTerminateThread ----------------------------------------------------

void TDoTerminateThread::Create(TCustomFFmpeg& task, std::shared_ptr<TTaskControl> control) {
    const auto deliver = [&task, control] {
        try {
            task.DeliverTermination();
        } catch (const std::exception& error) {
            Log(&task, llQuiet, error.what());
        }
        {
            const std::lock_guard<std::mutex> guard(control->mutex);
            control->termination_pending = false;
            control->notice_thread_id = std::thread::id();
        }
        control->TerminationDone.Set();
    };
    try {
        std::thread([deliver, control] {
            {
                const std::lock_guard<std::mutex> guard(control->mutex);
                control->notice_thread_id = std::this_thread::get_id();
            }
            deliver();
        }).detach();
    } catch (const std::system_error&) {
        // Without a thread the notice is still delivered, on this one.
        deliver();
    }
}

// --- Control operations of the task ------------------------------------------

void TCustomFFmpeg::Start() {
    Start(false, tpNormal);
}

TConvertThread* TCustomFFmpeg::Start(bool use_thread, TThreadPriority priority) {
    {
        const std::lock_guard<std::mutex> guard(control_->mutex);
        if (running_ || terminated_ || control_->termination_pending) {
            return nullptr;
        }
    }
    const char* missing = nullptr;
    if (output_files.empty()) {
        missing = "At least one output file must be specified";
    } else if (input_files.empty()) {
        missing = "At least one input file must be specified";
    }
    if (missing != nullptr) {
        try {
            Cleanup();
        } catch (const std::exception& error) {
            Log(this, llQuiet, error.what());
        }
        RecordError(missing);
        DeliverTermination();
        return nullptr;
    }
    {
        const std::lock_guard<std::mutex> guard(control_->mutex);
        running_ = true;
        terminated_ = false;
    }
    AbortRequested = false;
    finished_ = false;
    if (!use_thread) {
        Run();
        return nullptr;
    }
    TConvertThread* thread = TConvertThread::Create(*this, control_, priority);
    if (thread == nullptr) {
        RecordError("Cannot create the task's thread");
        DeliverTermination();
    }
    return thread;
}

void TCustomFFmpeg::DeliverTermination() {
    {
        const std::lock_guard<std::mutex> guard(control_->mutex);
        running_ = false;
        terminated_ = true;
        control_->thread = nullptr;
    }
    if (TerminateCallback) {
        TerminateCallback(*this);
    }
}

void TCustomFFmpeg::Stop(bool wait) {
    AbortRequested = true;
    {
        // A held or not yet resumed worker must run to see the request.
        const std::lock_guard<std::mutex> guard(control_->mutex);
        control_->held = false;
        control_->suspended = false;
        control_->changed.notify_all();
        // The worker itself (a handler of its own events) cannot wait for
        // its end.
        if (control_->worker_id == std::this_thread::get_id()) {
            return;
        }
    }
    if (wait) {
        WaitPumping(control_->ThreadDone);
    }
}

void TCustomFFmpeg::Cancel(bool wait) {
    bool running = false;
    bool deliver = false;
    {
        const std::lock_guard<std::mutex> guard(control_->mutex);
        running = running_;
        if (!running && !terminated_ && !control_->termination_pending) {
            control_->termination_pending = true;
            control_->TerminationDone.Reset();
            deliver = true;
        }
        if (control_->notice_thread_id == std::this_thread::get_id()) {
            wait = false;
        }
    }
    if (running) {
        Stop(wait);
        return;
    }
    if (deliver) {
        TDoTerminateThread::Create(*this, control_);
    }
    if (wait) {
        WaitPumping(control_->TerminationDone);
    }
}

void TCustomFFmpeg::Pause() {
    const std::lock_guard<std::mutex> guard(control_->mutex);
    if (!control_->ThreadDone.IsSet()) {
        control_->held = true;
    }
}

void TCustomFFmpeg::Resume() {
    const std::lock_guard<std::mutex> guard(control_->mutex);
    control_->held = false;
    control_->changed.notify_all();
}

bool TCustomFFmpeg::Paused() const {
    const std::lock_guard<std::mutex> guard(control_->mutex);
    return control_->held;
}

void TCustomFFmpeg::WaitWhilePaused() {
    std::unique_lock<std::mutex> lock(control_->mutex);
    control_->changed.wait(lock, [this] { return !control_->held || AbortRequested; });
}

void TCustomFFmpeg::EndTaskThreads() {
    Stop(true);
    bool on_notice_thread = false;
    {
        const std::lock_guard<std::mutex> guard(control_->mutex);
        on_notice_thread = control_->notice_thread_id == std::this_thread::get_id();
    }
    if (!on_notice_thread) {
        WaitPumping(control_->TerminationDone);
    }
}

}  // namespace tavrin

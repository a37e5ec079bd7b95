#include "media/runtime/main_thread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {

namespace {

// Wakes on a condition variable; platform events do not exist here.
class BuiltInDispatcher final : public TMainThreadDispatcher {
public:
    void Wake() override {
        {
            std::lock_guard lock(mutex_);
            woken_ = true;
        }
        wake_.notify_all();
    }
    void ProcessEvents() override {}
    void WaitForEvents(std::chrono::milliseconds timeout) override {
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, timeout, [this] { return woken_; });
        woken_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
};

// A call handed to the main thread; it lives on the waiting caller's stack.
struct QueuedCall {
    const std::function<void()>* fn;
    std::thread::id caller;
    std::exception_ptr error;
    bool done = false;
};

// The threads whose calls the calling thread is running, innermost last.
thread_local std::vector<std::thread::id> t_acting_for;

class ActingFor {
public:
    explicit ActingFor(std::thread::id caller) { t_acting_for.push_back(caller); }
    ~ActingFor() { t_acting_for.pop_back(); }
    ActingFor(const ActingFor&) = delete;
    ActingFor& operator=(const ActingFor&) = delete;
};

class MainThreadQueue {
public:
    void Init() {
        const auto self = std::this_thread::get_id();
        std::lock_guard lock(mutex_);
        if (serving_ && main_id_ != self) {
            throw FFmpegException("The main thread is already declared by another thread.");
        }
        main_id_ = self;
        serving_ = true;
        main_id_atomic_.store(self);
    }

    void Shutdown() {
        if (!IsMain()) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            serving_ = false;
            main_id_atomic_.store(std::thread::id());
        }
        // Calls queued before the shutdown are still served.
        RunQueued();
    }

    bool Serving() {
        std::lock_guard lock(mutex_);
        return serving_;
    }

    bool IsMain() const { return main_id_atomic_.load() == std::this_thread::get_id(); }

    // False when no main thread serves calls (fn has not run then).
    bool Run(const std::function<void()>& fn) {
        if (IsMain()) {
            fn();
            return true;
        }
        QueuedCall call{&fn, std::this_thread::get_id(), nullptr, false};
        {
            std::unique_lock lock(mutex_);
            if (!serving_) {
                return false;
            }
            queue_.push_back(&call);
        }
        Dispatcher()->Wake();
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&call] { return call.done; });
        if (call.error) {
            std::rethrow_exception(call.error);
        }
        return true;
    }

    int RunQueued() {
        int count = 0;
        for (;;) {
            QueuedCall* call = nullptr;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) {
                    break;
                }
                call = queue_.front();
                queue_.pop_front();
            }
            std::exception_ptr error;
            try {
                const ActingFor acting(call->caller);
                (*call->fn)();
            } catch (...) {
                error = std::current_exception();
            }
            {
                // Set and notify under the lock: the caller may leave (and
                // its record die) as soon as it sees done.
                std::lock_guard lock(mutex_);
                call->error = std::move(error);  // the caller holds the only reference
                call->done = true;
                done_.notify_all();
            }
            ++count;
        }
        return count;
    }

    bool HasQueued() {
        std::lock_guard lock(mutex_);
        return !queue_.empty();
    }

    std::shared_ptr<TMainThreadDispatcher> Dispatcher() {
        std::lock_guard lock(mutex_);
        return dispatcher_;
    }

    void SetDispatcher(std::shared_ptr<TMainThreadDispatcher> dispatcher) {
        if (!dispatcher) {
            dispatcher = std::make_shared<BuiltInDispatcher>();
        }
        std::lock_guard lock(mutex_);
        dispatcher_ = std::move(dispatcher);
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<QueuedCall*> queue_;
    std::thread::id main_id_;
    std::atomic<std::thread::id> main_id_atomic_;
    bool serving_ = false;
    std::shared_ptr<TMainThreadDispatcher> dispatcher_ = std::make_shared<BuiltInDispatcher>();
};

MainThreadQueue& Queue() {
    static MainThreadQueue queue;
    return queue;
}

}  // namespace

void InitMainThread() {
    Queue().Init();
}

void ShutdownMainThread() {
    Queue().Shutdown();
}

bool MainThreadInitialised() {
    return Queue().Serving();
}

bool IsMainThread() {
    return Queue().IsMain();
}

void RunInMainThread(const std::function<void()>& fn) {
    if (!Queue().Run(fn)) {
        throw FFmpegException(
            "No main thread serves calls: the program has not called InitMainThread().");
    }
}

bool TryRunInMainThread(const std::function<void()>& fn) {
    return Queue().Run(fn);
}

int ProcessMessages() {
    MainThreadQueue& queue = Queue();
    if (!queue.IsMain()) {
        return 0;
    }
    const int count = queue.RunQueued();
    queue.Dispatcher()->ProcessEvents();
    return count;
}

int WaitForMessages(std::chrono::milliseconds timeout) {
    MainThreadQueue& queue = Queue();
    if (!queue.IsMain()) {
        std::this_thread::sleep_for(timeout);
        return 0;
    }
    if (!queue.HasQueued()) {
        queue.Dispatcher()->WaitForEvents(timeout);
    }
    return ProcessMessages();
}

bool ActsFor(std::thread::id thread) {
    if (thread == std::this_thread::get_id()) {
        return true;
    }
    return std::find(t_acting_for.begin(), t_acting_for.end(), thread) != t_acting_for.end();
}

void WakeMainThread() {
    Queue().Dispatcher()->Wake();
}

void SetMainThreadDispatcher(std::shared_ptr<TMainThreadDispatcher> dispatcher) {
    Queue().SetDispatcher(std::move(dispatcher));
}

}  // namespace tavrin

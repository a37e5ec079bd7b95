#include "media/runtime/event_handler.h"

#include <chrono>

#include "media/runtime/main_thread.h"

namespace tavrin {

namespace {
// How long the main thread serves its queue between two looks at the lock.
constexpr std::chrono::milliseconds kMainThreadPoll{1};
}  // namespace

void THandlerLock::lock() {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(mutex_);
    while (depth_ > 0 && owner_ != self && !ActsFor(owner_)) {
        if (IsMainThread()) {
            // The holder may be waiting for a call it handed to this thread.
            guard.unlock();
            WaitForMessages(kMainThreadPoll);
            guard.lock();
        } else {
            released_.wait(guard);
        }
    }
    if (depth_ == 0) {
        owner_ = self;
    }
    ++depth_;
}

void THandlerLock::unlock() {
    const std::lock_guard<std::mutex> guard(mutex_);
    if (--depth_ == 0) {
        owner_ = std::thread::id();
        released_.notify_all();
    }
}

}  // namespace tavrin

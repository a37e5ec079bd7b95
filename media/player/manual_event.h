// A manual-reset event: stays set until reset; waits return at once while set.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tavrin {

class TManualEvent {
public:
    explicit TManualEvent(bool initially_set) : set_(initially_set) {}

    void Set() {
        {
            const std::lock_guard lock(mutex_);
            set_ = true;
        }
        changed_.notify_all();
    }
    void Reset() {
        const std::lock_guard lock(mutex_);
        set_ = false;
    }
    bool IsSet() const {
        const std::lock_guard lock(mutex_);
        return set_;
    }
    // True when set within the timeout.
    bool Wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return set_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool set_;
};

}  // namespace tavrin

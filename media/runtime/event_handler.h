// A component's event handler that the application may assign or clear on
// any thread while the component's threads deliver events through it.
//
// Assigning and delivering take the same lock, and a delivery holds it until
// the handler returns: once an assignment has returned, the handler it
// replaced is never called again. The lock is re-entrant (a handler may
// assign its own event), and the main thread may take it over from a holder
// whose call it is running (ActsFor), so a handler that hands work to the
// main thread never dead-locks with the main thread assigning the event. A
// main thread that waits for the lock keeps serving queued calls.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace tavrin {

// Re-entrant lock of the rules above.
class THandlerLock {
public:
    void lock();
    void unlock();

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::thread::id owner_;
    int depth_ = 0;
};

// `Function` is the event's std::function type.
template <typename Function>
class TEventHandler {
public:
    TEventHandler() = default;
    TEventHandler(const TEventHandler&) = delete;
    TEventHandler& operator=(const TEventHandler&) = delete;

    // Waits for a delivery under way to end, then installs `handler`.
    TEventHandler& operator=(Function handler) {
        Function replaced;
        {
            const std::lock_guard<THandlerLock> guard(lock_);
            replaced = std::exchange(handler_, std::move(handler));
        }
        // Destroyed outside the lock: its captures may do anything.
        return *this;
    }
    TEventHandler& operator=(std::nullptr_t) { return *this = Function(); }

    explicit operator bool() const {
        const std::lock_guard<THandlerLock> guard(lock_);
        return static_cast<bool>(handler_);
    }
    // A copy of the handler installed now.
    Function Get() const {
        const std::lock_guard<THandlerLock> guard(lock_);
        return handler_;
    }
    // Lets a caller keep the installed handler to chain it from a new one.
    operator Function() const { return Get(); }

    // Calls the installed handler, holding the lock until it returns; false
    // when none is installed. A copy is called, so the handler may replace
    // itself.
    template <typename... CallArgs>
    bool Invoke(CallArgs&&... args) const {
        const std::lock_guard<THandlerLock> guard(lock_);
        const Function current = handler_;
        if (!current) {
            return false;
        }
        current(std::forward<CallArgs>(args)...);
        return true;
    }

private:
    mutable THandlerLock lock_;
    Function handler_;
};

}  // namespace tavrin

#include "media/engine/engine_locks.h"

#include <chrono>

#include "media/engine/hooks.h"
#include "media/runtime/main_thread.h"

namespace tavrin {

std::mutex& PreviewLock() {
    // Created on first use and alive until the process ends, like the
    // engine module that owns it.
    static std::mutex lock;
    return lock;
}

std::unique_lock<std::mutex> LockPreview() {
    std::unique_lock<std::mutex> lock(PreviewLock(), std::defer_lock);
    if (!IsMainThread()) {
        lock.lock();
        return lock;
    }
    // Lock order: a task thread holds PreviewLock and then waits for the main
    // thread (painting the preview, or an OnPreviewBitmap event delivered
    // there). The main thread therefore never blocks on PreviewLock: it keeps
    // running the queued calls until the lock is free.
    while (!lock.try_lock()) {
        WaitForMessages(std::chrono::milliseconds(1));
    }
    return lock;
}

}  // namespace tavrin

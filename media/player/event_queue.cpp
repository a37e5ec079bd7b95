#include "media/player/event_queue.h"

namespace tavrin {

namespace {

int Next(int index) {
    return (index + 1) % (TPlayerEventQueue::kCapacity + 1);
}

}  // namespace

void TPlayerEventQueue::Post(TPlayerEventKind kind, int64_t value) {
    {
        const std::lock_guard lock(mutex_);
        if (EmptyLocked() || ring_[write_].kind != kind || kind == TPlayerEventKind::Key) {
            write_ = Next(write_);
            if (write_ == read_) {
                read_ = Next(read_);  // full: the oldest entry goes
            }
        }
        ring_[write_] = {kind, value};
        signalled_ = true;
    }
    signal_changed_.notify_all();
}

std::optional<TPlayerEvent> TPlayerEventQueue::Take() {
    const std::lock_guard lock(mutex_);
    if (EmptyLocked()) {
        signalled_ = false;
        return std::nullopt;
    }
    read_ = Next(read_);
    const TPlayerEvent event = ring_[read_];
    if (EmptyLocked()) {
        signalled_ = false;
    }
    return event;
}

void TPlayerEventQueue::Clear() {
    {
        const std::lock_guard lock(mutex_);
        read_ = write_ = 0;
        ring_ = {};
        signalled_ = true;
    }
    signal_changed_.notify_all();
}

bool TPlayerEventQueue::WaitSignal(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return signal_changed_.wait_for(lock, timeout, [this] { return signalled_; });
}

void TPlayerEventQueue::Signal() {
    {
        const std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    signal_changed_.notify_all();
}

}  // namespace tavrin

// The player's event ring: 10 entries of {kind, value}. A new event of the
// same kind as the newest queued one replaces it, so a host that does not
// keep up sees the latest position and the latest state; when the ring is
// full the oldest entry goes. Any thread posts; the event thread takes.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

namespace tavrin {

// Key events (tavrin-play's keys in the player's own window) never collapse:
// every key press counts.
enum class TPlayerEventKind : int32_t { Position = 1, State = 2, Quit = 3, Key = 4 };

struct TPlayerEvent {
    TPlayerEventKind kind;
    int64_t value;  // microseconds for positions, the TPlayState for states
};

class TPlayerEventQueue {
public:
    static constexpr int kCapacity = 10;

    void Post(TPlayerEventKind kind, int64_t value);
    // The oldest event, or nothing when the queue is empty.
    std::optional<TPlayerEvent> Take();
    // Drops every entry and signals.
    void Clear();
    // Waits up to timeout for the signal (set by Post and Clear, reset when
    // Take empties the queue). True when signalled.
    bool WaitSignal(std::chrono::milliseconds timeout);
    // Wakes a waiter without posting (to end the event thread).
    void Signal();

private:
    bool EmptyLocked() const { return read_ == write_; }

    mutable std::mutex mutex_;
    std::condition_variable signal_changed_;
    bool signalled_ = false;
    // One slot more than the ring holds, so that a full ring differs from an
    // empty one; entries live in (read_, write_].
    std::array<TPlayerEvent, kCapacity + 1> ring_{};
    int read_ = 0;
    int write_ = 0;
};

}  // namespace tavrin

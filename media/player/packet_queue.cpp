#include "media/player/packet_queue.h"

#include "media/runtime/ff_api.h"

namespace tavrin {

int TPacketQueue::Put(AVPacket* packet) {
    PacketPtr copy(ff.av_packet_alloc());
    if (!copy) {
        ff.av_packet_unref(packet);
        return -1;
    }
    ff.av_packet_move_ref(copy.get(), packet);
    return Append({std::move(copy), false, 0});
}

int TPacketQueue::PutEndPacket(int stream_index) {
    PacketPtr empty(ff.av_packet_alloc());
    if (!empty) {
        return -1;
    }
    empty->stream_index = stream_index;
    return Append({std::move(empty), false, 0});
}

int TPacketQueue::PutFlush() {
    return Append({nullptr, true, 0});
}

int TPacketQueue::Append(TQueuedPacket entry) {
    {
        const std::lock_guard lock(mutex_);
        if (aborted_.load()) {
            return -1;
        }
        if (entry.flush) {
            ++serial_;
        }
        entry.serial = serial_.load();
        size_ += kEntryOverhead + (entry.packet ? entry.packet->size : 0);
        entries_.push_back(std::move(entry));
    }
    changed_.notify_all();
    return 0;
}

int TPacketQueue::Get(TQueuedPacket& out, bool block) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (aborted_.load()) {
            return -1;
        }
        if (!entries_.empty()) {
            out = std::move(entries_.front());
            entries_.pop_front();
            size_ -= kEntryOverhead + (out.packet ? out.packet->size : 0);
            return 1;
        }
        if (!block) {
            return 0;
        }
        changed_.wait(lock);
    }
}

void TPacketQueue::Flush() {
    const std::lock_guard lock(mutex_);
    entries_.clear();
    size_ = 0;
}

void TPacketQueue::Abort() {
    {
        const std::lock_guard lock(mutex_);
        aborted_ = true;
    }
    changed_.notify_all();
}

void TPacketQueue::Start() {
    {
        const std::lock_guard lock(mutex_);
        aborted_ = false;
    }
    PutFlush();
}

int TPacketQueue::Count() const {
    const std::lock_guard lock(mutex_);
    return static_cast<int>(entries_.size());
}

int64_t TPacketQueue::Size() const {
    const std::lock_guard lock(mutex_);
    return size_;
}

}  // namespace tavrin

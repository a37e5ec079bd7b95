// A queue of demuxed packets between the read thread (the only producer) and
// one decoder (audio callback, video or subtitle thread). Each entry carries
// the queue's serial at the time it was queued; queuing the flush marker
// starts a new serial, so consumers can tell packets from before a seek.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/packet.h>
}

#include "media/common/ff_handles.h"

namespace tavrin {

// A packet taken from a queue: the flush marker (no packet), or a packet,
// which may be empty (no data) to make the decoder drain at the end.
struct TQueuedPacket {
    PacketPtr packet;
    bool flush = false;
    int serial = 0;
};

class TPacketQueue {
public:
    // Bookkeeping size counted per entry on top of the packet's data.
    static constexpr int kEntryOverhead = 80;

    TPacketQueue() = default;
    ~TPacketQueue() { Flush(); }
    TPacketQueue(const TPacketQueue&) = delete;
    TPacketQueue& operator=(const TPacketQueue&) = delete;

    // Takes the packet's content (references it); -1 when aborted or out of
    // memory, and the packet is dropped then.
    int Put(AVPacket* packet);
    // An empty packet for the stream: the decoder drains on it.
    int PutEndPacket(int stream_index);
    // The flush marker; starts a new serial.
    int PutFlush();
    // 1 with the oldest entry, 0 when empty and not blocking, -1 when aborted.
    int Get(TQueuedPacket& out, bool block);
    void Flush();
    void Abort();
    // Clears the abort flag and queues the flush marker.
    void Start();

    bool Aborted() const { return aborted_.load(); }
    int Serial() const { return serial_.load(); }
    int Count() const;
    int64_t Size() const;

private:
    int Append(TQueuedPacket entry);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<TQueuedPacket> entries_;
    int64_t size_ = 0;
    std::atomic<bool> aborted_{true};
    std::atomic<int> serial_{0};
};

}  // namespace tavrin

// The data path of a transcoding task: reading and time-stamp correction,
// decoding into the filtergraphs, draining the graphs, video
// synchronisation, encoding, stream copy and muxing, and the switch from one
// joined input to the next. The task loop calls these steps; each takes the
// task's records first so that it does not depend on the loop's class.
//
// Fatal errors are raised through TCustomFFmpegOpt::RaiseError
// (FFmpegException, text in LastError). Everything runs on the task's thread.
//
// Engine fields used here live in the transcoding context: JoinIndex,
// FirstActiveStream / LastActiveStream, the byte and dup/drop counters,
// subtitle_out, OpenedEncoders / OpenedDecoders, the reused packets, and per
// stream the join flags, last_pts / last_dts, flushed, mux_last_dts and
// mux_end_pts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

// --- Process-wide lock and the opened-codec lists ----------------------------

// Held for every change to, and every walk of, any task's OpenedEncoders and
// OpenedDecoders; shared by all tasks of the process.
inline std::mutex& CodecListLock() {
    static std::mutex lock;
    return lock;
}

// Adds at the head / removes by reference, under CodecListLock().
inline void AddOpenedEncoder(TCustomFFmpegOpt& task, OutputStream& ost) {
    const std::lock_guard<std::mutex> guard(CodecListLock());
    task.OpenedEncoders.push_front(&ost);
}
inline void RemoveOpenedEncoder(TCustomFFmpegOpt& task, OutputStream& ost) {
    const std::lock_guard<std::mutex> guard(CodecListLock());
    task.OpenedEncoders.remove(&ost);
}
inline void AddOpenedDecoder(TCustomFFmpegOpt& task, InputStream& ist) {
    const std::lock_guard<std::mutex> guard(CodecListLock());
    task.OpenedDecoders.push_front(&ist);
}
inline void RemoveOpenedDecoder(TCustomFFmpegOpt& task, InputStream& ist) {
    const std::lock_guard<std::mutex> guard(CodecListLock());
    task.OpenedDecoders.remove(&ist);
}

// --- Stream helpers ------------------------------------------------------------

// Position of `ost` in task.output_streams.
std::size_t OutputStreamIndex(const TCustomFFmpegOpt& task, const OutputStream& ost);

// The stream that owns what a joined clone shares (codec context, bitstream
// filters, pass log, filtered frame, muxer stamps); `ost` itself outside a
// join.
OutputStream& StreamOwner(TCustomFFmpegOpt& task, OutputStream& ost);

// The encoder context of `ost` (its owner's in a join); may be null.
AVCodecContext* EncoderContext(TCustomFFmpegOpt& task, OutputStream& ost);

// The muxer context `ost` writes into (the first output file's in a join).
AVFormatContext* MuxerOf(TCustomFFmpegOpt& task, const OutputStream& ost);

// The muxer's current dts of `ost` in microseconds: the last dts written
// for its muxer stream, INT64_MIN before the first packet. For choosing the
// stream that lags most.
std::int64_t MuxerCurrentDtsMicroseconds(TCustomFFmpegOpt& task, OutputStream& ost);

// Debug texts of a time stamp: the decimal value or "NOPTS", and the value
// in seconds ("%.6g" of stamp x time base) or "NOPTS".
std::string TimestampText(std::int64_t stamp);
std::string TimeText(std::int64_t stamp, AVRational time_base);

// --- Reading and joined inputs (input_reading.cpp) ---------------------------

// Reads and handles one packet of input file `file_index`. 0 after a packet
// was handled or a joined input was switched, -11 (AVERROR(EAGAIN)) when the
// input has nothing now or has just ended, else a negative error code.
int read_input_packet(TCustomFFmpegOpt& task, int file_index);

// Warns once per new stream index about a stream that appeared after opening.
void warn_new_stream(TCustomFFmpegOpt& task, int file_index, const AVPacket& packet);

// Ends joined input `file_index` and activates the next group.
void switch_joined_input(TCustomFFmpegOpt& task, int file_index);

// Closes and reopens the encoders that all joined groups share.
void reopen_shared_encoders(TCustomFFmpegOpt& task);

// Recomputes FirstActiveStream / LastActiveStream from JoinIndex.
void set_active_streams(TCustomFFmpegOpt& task);

inline bool IsActiveStream(const TCustomFFmpegOpt& task, std::size_t index) {
    return static_cast<std::int64_t>(index) >= task.FirstActiveStream &&
           static_cast<std::int64_t>(index) <= task.LastActiveStream;
}

// --- Decoding into filtergraphs (decoding.cpp) --------------------------------

// Decodes one packet (null drains the decoder) and hands it to the copy path
// of every active stream-copy output it feeds. 0 or a decoder's negative code.
int decode_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet);

// True when `ost` takes packets of `ist` now.
bool feeds_output(const TCustomFFmpegOpt& task, const InputStream& ist, const OutputStream& ost);

// Sleeps while `ist` runs ahead of the wall clock (-re).
void emulate_rate(const TCustomFFmpegOpt& task, InputStream& ist);

// Bitmap subtitles drawn into the video filters.
void sub2video_draw(TCustomFFmpegOpt& task, InputStream& ist, const AVSubtitle* subtitle);
void sub2video_push(TCustomFFmpegOpt& task, InputStream& ist, std::int64_t pts);
void sub2video_refresh(TCustomFFmpegOpt& task, InputStream& ist, std::int64_t pts);
void sub2video_finish(TCustomFFmpegOpt& task, InputStream& ist);

// --- Filtering (filtering.cpp) ---------------------------------------------------

// Takes every frame the sinks of the active streams hold and encodes it.
// 0, or -12 when a frame record cannot be allocated.
int drain_filters(TCustomFFmpegOpt& task);

// --- Encoding (encoding.cpp, video_sync.cpp) ------------------------------------

void encode_video_frame(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                        AVFrame* frame);
void encode_audio_frame(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                        AVFrame* frame);
void encode_subtitle(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                     InputStream& ist, AVSubtitle& subtitle);

// Drains, once each, the encoders of the active output streams.
void drain_encoders(TCustomFFmpegOpt& task);

// As drain_encoders at the switch to a joined task's next input: the
// fixed-frame-size audio encoders are left running, so that their carried
// samples continue into the next input (see CarriesAudioAcrossJoin).
void drain_encoders_for_next_input(TCustomFFmpegOpt& task);

// True for the audio encoders of a joined task that take whole frames only:
// they run on from one joined input to the next, and the samples that do not
// fill a frame at the end of an input wait for the next input, so that the
// joined audio has no gap and no padding between the inputs.
bool CarriesAudioAcrossJoin(const TCustomFFmpegOpt& task, const AVCodecContext* enc);

// Video synchronisation decision for one filtered frame: how often it is
// written and where the output frame counter goes. Methods: 0 passthrough,
// 1 constant rate, 2 variable rate, 255 drop; -1 (automatic) must be
// resolved first with ResolveVideoSyncMethod.
struct VideoSyncDecision {
    std::int64_t nb_frames = 1;
    std::int64_t output_counter = 0;
    bool unknown_method = false;
};
VideoSyncDecision DecideVideoSync(int method, double sync_ipts, std::int64_t output_counter,
                                  double duration);
int ResolveVideoSyncMethod(int method, int output_format_flags);

// --- Stream copy and muxing (muxing.cpp) -------------------------------------------

void copy_stream_packet(TCustomFFmpegOpt& task, InputStream& ist, OutputStream& ost,
                        const AVPacket& packet);

// Writes `packet` (whose payload it takes over) through the bitstream filters.
void mux_packet(TCustomFFmpegOpt& task, AVFormatContext* muxer, AVPacket* packet,
                OutputStream& ost);

void finish_output_stream(TCustomFFmpegOpt& task, OutputStream& ost);
bool within_recording_time(TCustomFFmpegOpt& task, OutputStream& ost);

// "<output file>: <reason>" for a write to `muxer` that failed with `code`.
std::string OutputFileError(const AVFormatContext* muxer, int code);

// Writes the trailer of `muxer`; then, after the final report has read its
// size, close_output_file closes its file. A write error on the way (a full
// disk, a short write, a failing close) is raised with the system's reason:
// a file whose end was never written must not pass as finished.
void finish_output_file(TCustomFFmpegOpt& task, AVFormatContext* muxer);
void close_output_file(TCustomFFmpegOpt& task, AVFormatContext* muxer);

// Initialises the bitstream filter chain of `ost` (its owner's in a join)
// from the muxer stream's parameters and hands the chain's output parameters
// back to the stream. Call it before the header is written; mux_packet does
// it itself for a chain that is not ready. 0 or a negative code (logged).
int init_bitstream_filters(TCustomFFmpegOpt& task, OutputStream& ost);

// The stamp rule of a joined task: a stamp not above the last one written
// becomes last + 1; `last` takes the result. No timestamp passes unchanged.
inline std::int64_t KeepIncreasing(std::int64_t stamp, std::int64_t& last) {
    if (stamp == kNoTimestamp) {
        return stamp;
    }
    if (last != kNoTimestamp && last >= stamp) {
        stamp = last + 1;
    }
    last = stamp;
    return stamp;
}

}  // namespace tavrin

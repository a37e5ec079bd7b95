// The play state record: everything about one opened file, shared by the
// player's threads. One exists per open file; none while stopped.
#pragma once

#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "media/common/ff_handles.h"
#include "media/player/packet_queue.h"

namespace tavrin {

// Sample rate, channel count and layout, sample format.
struct TAudioParams {
    int sample_rate = 0;
    int channels = 0;
    uint64_t channel_mask = 0;
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
};

inline constexpr double kNoSyncThreshold = 10.0;  // seconds
inline constexpr int kAudioDiffAverageCount = 20;
inline constexpr int kVisualisationSamples = 524288;
inline constexpr int64_t kMaxQueueBytes = 15 * 1024 * 1024;
inline constexpr int kMinQueuedPackets = 5;

enum TSyncMode : int { syncAudio = 0, syncVideo = 1, syncExternal = 2 };

// A filter graph turning decoded pictures into even-sized planar YUV 4:2:0,
// and what it was built for.
struct TVideoFilter {
    FilterGraphPtr graph;
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    int width = 0;
    int height = 0;
    int format = -1;
    int serial = -1;
};

// A queued picture: its YUV 4:2:0 frame (owned), time and serial.
inline constexpr int kPictureSlots = 4;
inline constexpr int kPicturesWaiting = 2;
struct TPicture {
    FramePtr frame;
    double pts = 0;
    int64_t pos = -1;
    int serial = 0;
    double sample_aspect = 0;
};

// A decoded bitmap subtitle (its palettes in YUV with alpha), its time in
// seconds and the subtitle queue's serial it came with. Owns what the
// decoder allocated while held.
inline constexpr int kSubtitleSlots = 4;
struct TSubtitle {
    TSubtitle() = default;
    ~TSubtitle() { Free(); }
    TSubtitle(const TSubtitle&) = delete;
    TSubtitle& operator=(const TSubtitle&) = delete;
    void Free();

    AVSubtitle subtitle{};
    bool held = false;
    double pts = 0;
    int serial = 0;
};

struct TPlayback {
    // Set once by the read thread before the open status turns 1; read-only
    // for every thread afterwards (until the close).
    AVFormatContext* format_context = nullptr;
    std::string file_name;
    bool realtime = false;
    bool image2 = false;
    bool capture = false;
    int64_t start_time = 0;  // µs, 0 when unknown
    int64_t duration = -1;   // µs, -1 when unknown
    double max_frame_duration = 3600.0;
    int show_mode = 0;  // 1 video, 2 audio visualisation
    bool seek_by_bytes = false;

    // Open status: 0 pending, 1 opened, -1 failed, -2 failed and cleaned up.
    std::atomic<int> open_status{0};
    std::thread read_thread;

    // Host thread requests, read by the read thread at each loop pass.
    std::atomic<bool> abort_request{false};
    std::atomic<bool> closing{false};  // Stop was asked: no more sound
    std::atomic<bool> paused{false};
    bool last_paused = false;  // read thread only
    std::atomic<bool> seek_request{false};
    std::atomic<int> seek_flags{0};
    std::atomic<int64_t> seek_target{0};
    std::atomic<int64_t> seek_relative{0};
    std::atomic<int> read_pause_result{0};
    std::atomic<bool> reading{false};

    // End of file: logged once per file (again after a seek), and the queues
    // ran dry after it.
    bool eof_message_shown = false;    // read thread only
    bool error_message_shown = false;  // read thread only
    std::atomic<bool> drained{false};
    std::atomic<bool> end_reported{false};

    std::mutex continue_read_mutex;
    std::condition_variable continue_read;

    TPacketQueue audio_queue;
    TPacketQueue video_queue;
    TPacketQueue subtitle_queue;

    // Streams; written by the read thread before the open status turns 1.
    int audio_stream_index = -1;
    int video_stream_index = -1;
    int subtitle_stream_index = -1;
    AVStream* audio_stream = nullptr;
    CodecContextPtr audio_decoder;
    bool audio_device_open = false;
    int64_t audio_stream_duration = -1;  // µs

    // Audio path, SDL's audio thread only (set up before the device starts).
    TAudioParams audio_target;
    TAudioParams audio_source;
    int audio_hw_buffer_size = 0;
    TQueuedPacket audio_packet;         // the packet being decoded
    bool audio_packet_pending = false;  // sent to the decoder, frames may follow
    bool audio_flush_complete = false;
    FramePtr audio_frame;
    ResamplerPtr resampler;
    std::vector<uint8_t> resample_buffer;
    const uint8_t* audio_buffer = nullptr;
    int audio_buffer_size = 0;
    int audio_buffer_index = 0;
    // Silence sent since the last decoded sound: it pushes that sound out of
    // the device's buffers, so the clock may reach the end.
    int64_t silence_after_sound = 0;
    double audio_clock = NAN;  // seconds, the end of the last decoded piece
    int audio_clock_serial_local = -1;
    double audio_diff_cumulative = 0;
    double audio_diff_coefficient = 0;
    int audio_diff_count = 0;
    double audio_diff_threshold = 0;
    // The samples sent, for the waveform: written by the audio callback,
    // read by the play thread.
    std::mutex visualisation_mutex;
    std::vector<int16_t> visualisation{};  // ring of kVisualisationSamples
    int visualisation_index = 0;

    // Clocks: written by their owner thread, read by all.
    std::atomic<double> audio_decoded_end{NAN};  // the audio clock, for other threads
    std::atomic<double> audio_current_pos{NAN};
    std::atomic<double> audio_current_pos_drift{0};
    std::atomic<int> audio_clock_serial{-1};
    std::atomic<int64_t> audio_callback_time{0};
    std::atomic<int> audio_write_buffer_size{0};
    std::atomic<double> video_current_pos{0};
    std::atomic<double> video_current_pos_drift{0};
    std::atomic<int> video_clock_serial{-1};
    std::atomic<double> external_clock{NAN};
    std::atomic<double> external_clock_drift{0};
    std::atomic<int64_t> external_clock_time{0};
    std::atomic<double> external_clock_speed{1.0};
    TSyncMode sync_mode = syncAudio;

    // Video: the decoder and filter graph belong to the video thread.
    AVStream* video_stream = nullptr;
    CodecContextPtr video_decoder;
    std::thread video_thread;
    double frame_duration = 0.04;  // from the frame rate
    TVideoFilter filter;
    bool video_flushed = false;

    // The picture queue: the video thread produces, the refresh consumes.
    std::mutex picture_mutex;
    std::condition_variable picture_changed;
    std::array<TPicture, kPictureSlots> pictures;
    int picture_read = 0;
    int picture_write = 0;
    int picture_count = 0;

    // Subtitles: the decoder belongs to the subtitle thread; the ring is
    // guarded by subtitle_mutex (the thread queues, the refresh frees).
    AVStream* subtitle_stream = nullptr;
    CodecContextPtr subtitle_decoder;
    std::thread subtitle_thread;
    std::mutex subtitle_mutex;
    std::condition_variable subtitle_changed;
    std::array<TSubtitle, kSubtitleSlots> subtitles;
    int subtitle_read = 0;
    int subtitle_write = 0;
    int subtitle_count = 0;
    bool subtitles_closing = false;

    // Refresh loop (play thread).
    std::atomic<bool> force_refresh{false};
    double last_visualisation_time = 0;
    double frame_timer = 0;
    double frame_last_pts = NAN;
    double frame_last_duration = 0;
    std::atomic<bool> seek_happened{false};  // set by the reader, the first picture after shows
    FramePtr last_shown;                     // the picture on screen, for redraws
    double last_shown_aspect = 0;
    std::atomic<int> first_frame_paused{0};      // opened paused: show the first picture
    std::atomic<bool> seek_while_paused{false};  // show the first picture after it
};

// Wall clock in seconds, for the clocks.
double NowSeconds();

}  // namespace tavrin

// The transcoding context: everything one transcoding task keeps while its
// files are parsed, opened and transcoded. The option layer fills it, the
// engine reads and updates it and frees it at the end of the task.
//
// Records hold their library handles through owning pointers whose deleters
// call the bound entries, so releasing a record releases what it owns.
// Collections are vectors of owned records: records are appended in creation
// order and never reordered, so an index stays valid for the task's life.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "media/common/ff_handles.h"
#include "media/options/option_entry.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"

namespace tavrin {

class TCustomFFmpegOpt;
struct OptionGroup;
class TFFOptions;

// The libraries' marker for a missing time value.
inline constexpr std::int64_t kNoTimestamp = INT64_MIN;

// ---------------------------------------------------------------------------
// Option records. SpecifierValue and SpecifierList come with the option rows.

// One selected input stream, or one filtergraph output, for the output file.
struct StreamMap {
    std::int32_t disabled = 0;
    std::int32_t file_index = 0;
    std::int32_t stream_index = 0;
    std::int32_t sync_file_index = 0;
    std::int32_t sync_stream_index = 0;
    std::string link_label;  // "[label]" maps: the filtergraph output label
};

// One -map_channel entry; file_idx, stream_idx and channel_idx all -1 mean a
// muted channel, out_file_idx / out_stream_idx -1 mean any.
struct AudioChannelMap {
    std::int32_t file_idx = 0;
    std::int32_t stream_idx = 0;
    std::int32_t channel_idx = 0;
    std::int32_t out_file_idx = 0;
    std::int32_t out_stream_idx = 0;
};

// The options of one input or output file while it is opened. Lives on the
// caller's stack for one opening: made for a task, it resets the task's option
// parser for the file, and its end frees the parser's groups, whatever the
// outcome of the opening. Fields start at their initial values
// (recording_time, stop_time, size_limit INT64_MAX, mux_delay 0.7,
// chapters_source INT_MAX, start_time 0) and free what they hold themselves.
struct OptionsContext {
    // A context without a parser (group null): options are written into its
    // fields only.
    OptionsContext() = default;
    // Resets the task's option parser and points `group` at its current group.
    explicit OptionsContext(TCustomFFmpegOpt& task);
    OptionsContext(const OptionsContext&) = delete;
    OptionsContext& operator=(const OptionsContext&) = delete;
    // Moving hands over the parser's groups: a context assigned over another
    // frees the groups the other held, unless it now holds the same ones.
    OptionsContext(OptionsContext&&) noexcept = default;
    OptionsContext& operator=(OptionsContext&&) noexcept = default;
    ~OptionsContext() = default;

    OptionGroup* group = nullptr;

    std::int64_t start_time = 0;
    std::string format;
    SpecifierList codec_names;
    SpecifierList audio_channels;
    SpecifierList audio_sample_rate;
    SpecifierList frame_rates;
    SpecifierList frame_sizes;
    SpecifierList pixel_formats;
    std::int64_t input_ts_offset = 0;
    std::int32_t native_rate = 0;
    SpecifierList ts_scale;
    SpecifierList dump_attachment;
    std::vector<StreamMap> stream_maps;
    std::vector<AudioChannelMap> channel_maps;
    std::int32_t manual_global_metadata = 0;
    std::int32_t manual_stream_metadata = 0;
    std::int32_t manual_chapter_metadata = 0;
    std::vector<std::string> attachments;
    std::int32_t chapters_source = INT_MAX;
    std::int64_t recording_time = INT64_MAX;
    std::int64_t stop_time = INT64_MAX;
    std::int64_t size_limit = INT64_MAX;
    float mux_preload = 0;
    float mux_delay = 0.7f;
    std::int32_t shortest = 0;
    std::int32_t video_disable = 0;
    std::int32_t audio_disable = 0;
    std::int32_t subtitle_disable = 0;
    std::int32_t data_disable = 0;
    std::vector<std::int32_t> stream_ids;
    SpecifierList metadata;
    SpecifierList max_frames;
    SpecifierList bitstream_filters;
    SpecifierList codec_tags;
    SpecifierList sample_formats;
    SpecifierList qscale;
    SpecifierList forced_key_frames;
    SpecifierList force_fps;
    SpecifierList aspect_ratios;
    SpecifierList rc_overrides;
    SpecifierList intra_matrices;
    SpecifierList inter_matrices;
    SpecifierList top_field_first;
    SpecifierList metadata_map;
    SpecifierList copy_initial_nonkeyframes;
    SpecifierList copy_before_start;
    SpecifierList filters;
    SpecifierList reinit_filter;
    SpecifierList fix_sub_duration;
    SpecifierList passes;
    SpecifierList pass_log_prefixes;
    SpecifierList guess_layout_max;

private:
    // Frees the parser's groups when the context that uses them ends.
    class GroupsRelease {
    public:
        GroupsRelease() = default;
        explicit GroupsRelease(TFFOptions& options) : options_(&options) {}
        ~GroupsRelease() { Release(); }
        GroupsRelease(const GroupsRelease&) = delete;
        GroupsRelease& operator=(const GroupsRelease&) = delete;
        GroupsRelease(GroupsRelease&& other) noexcept
            : options_(std::exchange(other.options_, nullptr)) {}
        GroupsRelease& operator=(GroupsRelease&& other) noexcept;

    private:
        void Release();
        TFFOptions* options_ = nullptr;
    };
    GroupsRelease groups_release_;
};

// ---------------------------------------------------------------------------
// Records of opened files, streams and filtergraphs.

struct InputFilter;
struct OutputFilter;
struct FilterGraph;

struct InputFile {
    InputFormatContextPtr ctx;
    std::int32_t at_end = 0;
    std::int32_t try_again = 0;
    std::int32_t first_stream = 0;  // index in input_streams of the first stream
    std::int64_t ts_offset = 0;     // added to every timestamp read, microseconds
    std::int32_t stream_count = 0;
    std::int32_t streams_warned = 0;
    std::int32_t native_rate = 0;
    // -t / -to on the input, microseconds: reading ends once a packet's
    // corrected time passes time_origin + recording_time. time_origin is the
    // corrected time of the input's start and moves with a join's offset.
    std::int64_t recording_time = INT64_MAX;
    std::int64_t time_origin = 0;
    std::int32_t limit_reached = 0;
    // Opened at -ss: decoding starts at the key frame before the seek point,
    // and what decodes before time_origin is not part of the output.
    std::int32_t seeked = 0;
};

struct InputStream {
    InputStream();
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    std::int32_t file_index = 0;
    AVStream* stream = nullptr;  // owned by the file's format context
    // The decoding context, filled from and into the stream's parameters.
    CodecContextPtr codec_ctx;
    std::int32_t discard = 1;
    std::int32_t decode_users = 0;
    const AVCodec* decoder = nullptr;
    FramePtr decoded_frame;
    std::int64_t start = 0;
    std::int64_t next_dts = 0;
    std::int64_t dts = 0;
    std::int64_t next_pts = 0;
    std::int64_t pts = 0;
    std::int32_t wrap_corrected = 0;
    std::int64_t filter_rescale_remainder = kNoTimestamp;
    double ts_scale = 1.0;
    std::int32_t at_start = 0;
    std::int32_t first_ts_seen = 0;
    std::int32_t multi_packet_warned = 0;
    Dictionary decoder_options;
    AVRational forced_frame_rate{0, 0};
    std::int32_t top_field_first = -1;
    std::int32_t guess_layout_max = INT_MAX;
    std::int32_t last_height = 0;
    std::int32_t last_width = 0;
    std::int32_t last_pix_fmt = 0;
    std::int32_t last_sample_fmt = 0;
    std::int32_t last_sample_rate = 0;
    std::int32_t last_channels = 0;
    AVChannelLayout last_channel_layout{};
    std::int32_t fix_sub_duration = 0;
    struct PreviousSubtitle {
        std::int32_t got_output = 0;
        std::int32_t result = 0;
        AVSubtitle subtitle{};
    } prev_sub;
    struct Sub2Video {
        std::int64_t last_pts = 0;
        std::int64_t end_pts = 0;
        FramePtr frame;  // the canvas
        std::int32_t w = 0;
        std::int32_t h = 0;
    } sub2video;
    // The libraries keep their own frame pools; only the flag remains.
    std::int32_t direct_rendering = 0;
    std::vector<InputFilter*> filters;  // owned by their filtergraphs
    std::int32_t reinit_filter = -1;
    std::int32_t hook_frame_number = 0;
    std::int32_t eof_flushed = 0;
    std::int32_t decoder_closed = 0;
    std::int32_t freed = 0;
    // Engine data path: the decoder answered with a frame on its last call
    // (draining goes on while it does).
    std::int32_t last_decode_produced = 0;
};

struct OutputFile {
    OutputFormatContextPtr ctx;  // shared by every clone of a joined output
    Dictionary muxer_options;
    std::int32_t first_stream = 0;  // index in output_streams of the first stream
    std::int64_t recording_time = INT64_MAX;
    std::int64_t start_time = 0;
    std::int64_t size_limit = INT64_MAX;
    std::int32_t shortest = 0;
};

// Number of output channels a -map_channel list may describe.
inline constexpr int kMaxChannelMap = 32;

struct OutputStream {
    OutputStream();
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    std::int32_t file_index = 0;
    std::int32_t index = 0;  // index inside the output format context
    std::int32_t source_index = -1;
    AVStream* stream = nullptr;  // owned by the output format context
    // The encoding context, copied into the stream's parameters.
    CodecContextPtr codec_ctx;
    std::int32_t needs_encoding = 0;
    std::int32_t frame_number = 0;
    InputStream* sync_stream = nullptr;
    std::int64_t output_counter = 0;
    std::int64_t first_pts = 0;
    std::vector<BsfContextPtr> bitstream_filters;  // in the order written
    const AVCodec* encoder = nullptr;
    std::int64_t max_frames = INT64_MAX;
    FramePtr filtered_frame;
    AVRational frame_rate{0, 0};
    std::int32_t force_fps = 0;
    std::int32_t top_field_first = -1;
    float frame_aspect_ratio = 0;
    std::vector<std::int64_t> forced_key_times;
    std::int32_t forced_key_count = 0;
    std::int32_t forced_key_index = 0;
    std::string forced_key_spec;
    ExprPtr forced_key_expr;
    std::vector<double> forced_key_expr_values;
    std::array<std::int32_t, kMaxChannelMap> channel_map{};
    std::int32_t channel_map_count = 0;
    std::string pass_log_prefix;
    StdioFilePtr pass_log_file;
    OutputFilter* filter = nullptr;  // owned by its filtergraph
    std::string filter_desc;
    std::int64_t sws_flags = 0;
    Dictionary encoder_options;
    Dictionary audio_resampler_options;
    Dictionary resample_options;
    std::int32_t finished = 0;
    std::int32_t unavailable = 0;
    std::int32_t stream_copy = 0;
    std::string attachment_filename;
    std::int32_t copy_initial_nonkeyframes = 0;
    std::int32_t copy_before_start = -1;
    std::int32_t keep_pixel_format = 0;
    std::int32_t saved_codec_id = 0;
    Dictionary saved_encoder_options;
    std::int32_t saved_max_b_frames = 0;
    std::int32_t join_done = 0;
    std::int32_t flushed = 0;
    std::int64_t last_pts = kNoTimestamp;
    std::int64_t last_dts = kNoTimestamp;
    std::int32_t encoder_opened = 0;
    std::int32_t encoder_closed = 0;
    // The encoder's statistics of its latest coded picture (the quality side
    // data of its packets): quality in lambda units, picture type, squared
    // error per plane, and the errors summed over the run for the final PSNR.
    struct CodedPicture {
        bool present = false;
        std::int32_t quality = 0;
        std::int32_t picture_type = 0;
        std::array<std::uint64_t, 4> error{};
        std::array<std::uint64_t, 4> error_sum{};
    } coded_picture;
    // Engine data path, kept on the stream that owns the muxer stream (the
    // first group of a join): the last dts handed to the muxer and the end
    // of the latest packet written (pts + duration), both in the muxer
    // stream's time base, no timestamp before the first packet. The muxer of
    // this library generation no longer shows its running stamps.
    std::int64_t mux_last_dts = kNoTimestamp;
    std::int64_t mux_end_pts = kNoTimestamp;
    // The bitstream filter chain was initialised with the stream's parameters.
    std::int32_t bitstream_filters_ready = 0;
    // Joined task, fixed-size audio encoder: samples that wait for the next
    // joined input to fill a whole encoder frame (owner stream only).
    FramePtr join_carry;
    std::int32_t join_carry_samples = 0;
};

struct InputFilter {
    AVFilterContext* filter = nullptr;  // owned by the graph
    InputStream* input_stream = nullptr;
    FilterGraph* graph = nullptr;
    std::string name;
};

struct OutputFilter {
    AVFilterContext* filter = nullptr;  // owned by the graph
    OutputStream* output_stream = nullptr;
    FilterGraph* graph = nullptr;
    std::string name;
    // The parser's description of this unconnected output pad, kept until an
    // output stream is attached to it. Store one element detached from the
    // parser's list (its `next` cleared): freeing an element frees the chain.
    FilterInOutPtr pending_output;
};

struct FilterGraph {
    std::int32_t index = 0;
    std::string description;  // empty for a simple graph
    FilterGraphPtr graph;
    std::int32_t reconfiguration = 0;
    std::vector<std::unique_ptr<InputFilter>> inputs;
    std::vector<std::unique_ptr<OutputFilter>> outputs;
};

// ---------------------------------------------------------------------------
// The task object's option layer.

// Called once per input file between opening it and probing its streams.
using BeforeFindStreamInfoHandler = std::function<void(TCustomFFmpegOpt& task, AVFormatContext*)>;

// Asked before an output file that already exists is opened for writing;
// false keeps the file and fails the output. Without a handler the file is
// replaced, as the encoder component's callers expect.
using ReplaceExistingOutputHandler =
    std::function<bool(TCustomFFmpegOpt& task, const std::string& file_name)>;

// Most entries a task's option table may hold, its terminating row included.
inline constexpr std::size_t kOptionTableCapacity = 193;

class TCustomFFmpegOpt {
public:
    TCustomFFmpegOpt();
    virtual ~TCustomFFmpegOpt();
    TCustomFFmpegOpt(const TCustomFFmpegOpt&) = delete;
    TCustomFFmpegOpt& operator=(const TCustomFFmpegOpt&) = delete;

    // --- Global option values: defaults at construction, never reset
    // between the files of one task.
    std::string vstats_file;
    float audio_drift_threshold = 0.1f;
    float dts_delta_threshold = 10;
    float dts_error_threshold = 3600 * 30;
    std::int32_t volume = 256;
    std::int32_t audio_sync_method = 0;
    std::int32_t video_sync_method = -1;  // automatic; 0, 1, 2 or 255 otherwise
    std::int32_t deinterlace = 0;
    std::int32_t hex_dump = 0;
    std::int32_t packet_dump = 0;
    std::int32_t copy_timestamps = 0;
    std::int32_t copy_time_base = -1;
    std::int32_t debug_timestamps = 0;
    std::int32_t exit_on_error = 0;
    std::int32_t show_stats = -1;
    std::int32_t qp_histogram = 0;
    std::int32_t bits_per_raw_sample = 0;
    std::int32_t all_intra = 0;
    std::int32_t overwrite_output = 0;
    std::int32_t never_overwrite = 0;
    std::int32_t discard_threshold = 0;
    std::int32_t intra_dc_precision = 8;
    std::int32_t compute_psnr = 0;
    IOContextPtr progress_output;
    // The -vstats file, opened on the first video statistics line.
    StdioFilePtr vstats_output;
    // Written by -isync, which is kept for compatibility and does nothing.
    std::int32_t isync = 0;

    // --- Collections, in creation order.
    std::vector<std::unique_ptr<InputStream>> input_streams;
    std::vector<std::unique_ptr<InputFile>> input_files;
    std::vector<std::unique_ptr<OutputStream>> output_streams;
    std::vector<std::unique_ptr<OutputFile>> output_files;
    std::vector<std::unique_ptr<FilterGraph>> filtergraphs;

    // --- Option machinery.
    TFFOptions& Options() { return *options_; }
    // The option table; empty until BuildOptionTable fills it.
    std::vector<OptionEntry>& OptionTable() { return option_table_; }
    const std::vector<OptionEntry>& OptionTable() const { return option_table_; }
    bool OptionTableBuilt() const { return !option_table_.empty(); }

    // --- Control fields.
    bool StrictOptions = true;
    bool Joined = false;
    std::int32_t JoinStreamCount = 0;
    // Written by the controlling thread, read by the worker and inside
    // blocking library calls: atomic so that the unlocked reads are defined.
    std::atomic<bool> AbortRequested{false};
    std::atomic<std::int32_t> ReadTimeout{30000};         // milliseconds, <= 0 disables
    std::atomic<std::int32_t> WriteTimeout{30000};        // milliseconds, <= 0 disables
    std::atomic<std::int64_t> ReadStartTime{INT64_MAX};   // INT64_MAX = not armed
    std::atomic<std::int64_t> WriteStartTime{INT64_MAX};  // INT64_MAX = not armed
    std::int64_t InputDuration = -1;
    std::int64_t TotalDuration = -1;
    std::string LastError;
    BeforeFindStreamInfoHandler OnBeforeFindStreamInfo;
    ReplaceExistingOutputHandler OnReplaceExistingOutput;

    // --- Engine state of a run (reading, decoding, encoding, muxing).
    std::int32_t JoinIndex = 0;          // input file whose output group is active
    std::int32_t FirstActiveStream = 0;  // inclusive range of active output streams
    std::int32_t LastActiveStream = -1;
    std::int64_t video_size = 0;  // bytes written per media type
    std::int64_t audio_size = 0;
    std::int64_t subtitle_size = 0;
    std::int64_t extra_size = 0;  // extradata of the opened encoders
    std::int32_t frames_duplicated = 0;
    std::int32_t frames_dropped = 0;
    bool dup_drop_changed = false;
    std::vector<std::uint8_t> subtitle_out;  // encoded subtitle buffer, sized at first use
    // Opened codecs, newest first; every change holds CodecListLock().
    std::list<OutputStream*> OpenedEncoders;
    std::list<InputStream*> OpenedDecoders;
    // Packets reused for every read and every encoder output of the run.
    PacketPtr read_packet;
    PacketPtr work_packet;

    // The interrupt callbacks to install on input and output format contexts
    // and on I/O opened for reading or writing; their opaque is this task.
    AVIOInterruptCB InputInterrupt() const;
    AVIOInterruptCB OutputInterrupt() const;
    // 1 = abort the blocking operation, 0 = continue. See the log texts
    // "reading/writing broken", "connecting/reading timeout" and
    // "connecting/writing timeout".
    int CheckReadInterrupt() const;
    int CheckWriteInterrupt() const;
    // Re-arm the time-outs just before a blocking operation starts.
    void ArmReadTimer();
    void ArmWriteTimer();

    // --- Failure styles.
    // Raised: logs at fatal level, stores in LastError, throws FFmpegException.
    [[noreturn]] void RaiseError(const std::string& message);
    [[noreturn]] void RaiseErrorFmt(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Returned: stores in LastError, logs at `level`, returns `code`
    // (a negative library code, or -1 for the system's own failures).
    int ReturnError(int code, const std::string& message, TLogLevel level = llFatal);

    // --- Engine hook options ("vhook", "VideoHookBitsPixel"); the engine
    // layer overrides them. The option layer alone does not run hooks.
    virtual int OptVideoHook(const char* name, const char* argument);
    virtual int OptVideoHookBitsPixel(const char* name, const char* argument);

private:
    std::unique_ptr<TFFOptions> options_;
    std::vector<OptionEntry> option_table_;
};

// Current wall-clock time in microseconds, as used for the time-outs.
std::int64_t WallClockMicroseconds();

}  // namespace tavrin

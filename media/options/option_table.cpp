#include "media/options/option_table.h"

#include <cassert>
#include <optional>

#include "media/options/ff_options.h"
#include "media/options/file_options.h"
#include "media/options/value_parsers.h"
#include "media/runtime/logger.h"

namespace tavrin {

namespace {

// --- Simple handler kinds ------------------------------------------------------

// An option of the command-line tool that has no meaning for a task: logged
// and skipped.
int IgnoredOption(const TCustomFFmpegOpt& task, const std::string& name) {
    const std::string message = "options \"" + name + "\" not supported, ignore";
    Log(&task, llWarning, message);
    SetPendingErrorText(message);
    return 0;
}

// An option a task cannot honour: fails the file in a strict task.
int UnsupportedOption(const TCustomFFmpegOpt& task, const std::string& name) {
    const std::string message = "options \"" + name + "\" not supported";
    Log(&task, llError, message);
    SetPendingErrorText(message);
    return AVERROR(EINVAL);
}

int RemovedOption(const TCustomFFmpegOpt& task, const std::string& name) {
    const std::string message =
        "Option \"" + name +
        "\" was removed. If you are looking for an option to preserve the quality (which is not "
        "what -" +
        name + " was for), use -qscale 0 or an equivalent quality factor option.";
    Log(&task, llWarning, message);
    SetPendingErrorText(message);
    return AVERROR(EINVAL);
}

// Runs another option of the table with the same argument. A positive
// "argument consumed" answer of ParseOption is a success here.
int ForwardOption(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& target,
                  const std::string& arg) {
    const int result = ParseOption(ctx, target, arg, OptionTableOf(task));
    return result < 0 ? result : 0;
}

// "vtag" -> "tag:v", "absf" -> "bsf:a": the old one-letter-prefixed names.
int RewrittenName(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                  const std::string& arg) {
    if (name.empty()) {
        return AVERROR(EINVAL);
    }
    return ForwardOption(task, ctx, name.substr(1) + ":" + name.front(), arg);
}

// "-b" and "-profile": without a stream type they mean video, with a warning.
int AmbiguousCodecOption(const TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                         const std::string& arg, const char* plain, const char* warning) {
    if (ctx == nullptr || ctx->group == nullptr) {
        return AVERROR(EINVAL);
    }
    std::string key = name;
    if (name == plain) {
        Log(&task, llWarning, warning);
        key = std::string(plain) + ":v";
    }
    const int result =
        ff.av_dict_set(ctx->group->codec_opts.Address(), key.c_str(), arg.c_str(), 0);
    return result < 0 ? result : 0;
}

int AmbiguousQscale(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                    const std::string& arg) {
    if (name == "qscale") {
        Log(&task, llWarning, "Please use -q:a or -q:v, -qscale is ambiguous");
        return ForwardOption(task, ctx, "q:v", arg);
    }
    return ForwardOption(task, ctx, "q" + name.substr(6), arg);
}

int DeprecatedOption(TCustomFFmpegOpt& task, const char* warning, const char* new_name,
                     const std::string& arg) {
    Log(&task, llWarning, warning);
    return task.Options().OptDefault(new_name, arg);
}

// --- Building the rows ----------------------------------------------------------

class TableBuilder {
public:
    explicit TableBuilder(TCustomFFmpegOpt& task) : task_(task), rows_(task.OptionTable()) {}

    // A global row writing a task-level value.
    void Global(const char* name, std::uint32_t flags, void* value, const char* help,
                const char* arg_name = "") {
        OptionEntry& row = Add(name, flags, help, arg_name);
        row.global = value;
    }

    // A row writing a field of the options context (Offset or Spec).
    void Field(const char* name, std::uint32_t flags, ContextField field, const char* help,
               const char* arg_name = "") {
        OptionEntry& row = Add(name, flags, help, arg_name);
        row.field = field;
    }

    // A row running a handler with the task.
    template <typename Function>
    void Handler(const char* name, std::uint32_t flags, Function handler, const char* help,
                 const char* arg_name = "") {
        OptionEntry& row = Add(name, flags, help, arg_name);
        TCustomFFmpegOpt* task = &task_;
        row.handler = [task, handler](OptionsContext* ctx, const std::string& option,
                                      const std::string& value) {
            return handler(*task, ctx, option, value);
        };
    }

    void End() { rows_.emplace_back(); }

private:
    OptionEntry& Add(const char* name, std::uint32_t flags, const char* help,
                     const char* arg_name) {
        assert(rows_.size() + 1 < kOptionTableCapacity);
        OptionEntry& row = rows_.emplace_back();
        row.name = name;
        row.flags = flags;
        row.help = help;
        row.arg_name = arg_name;
        return row;
    }

    TCustomFFmpegOpt& task_;
    std::vector<OptionEntry>& rows_;
};

using Task = TCustomFFmpegOpt;
using Ctx = OptionsContext*;
using Str = const std::string&;

auto Ignored() {
    return [](Task& task, Ctx, Str name, Str) { return IgnoredOption(task, name); };
}
auto Unsupported() {
    return [](Task& task, Ctx, Str name, Str) { return UnsupportedOption(task, name); };
}
auto Removed() {
    return [](Task& task, Ctx, Str name, Str) { return RemovedOption(task, name); };
}
auto Accepted() {
    return [](Task&, Ctx, Str, Str) { return 0; };
}
auto Forward(const char* target) {
    return [target](Task& task, Ctx ctx, Str, Str arg) {
        return ForwardOption(task, ctx, target, arg);
    };
}
auto Rewritten() {
    return &RewrittenName;
}
auto LogLevel() {
    return [](Task&, Ctx, Str name, Str arg) { return OptLogLevel(name, arg); };
}
auto PresetFile() {
    return [](Task& task, Ctx ctx, Str name, Str arg) {
        return ApplyPresetFile(task, ctx, name, arg);
    };
}

}  // namespace

void BuildOptionTable(TCustomFFmpegOpt& task) {
    if (task.OptionTableBuilt()) {
        return;
    }
    using enum OptionEntry::Flag;
    TableBuilder t(task);

    t.Handler("L", Exit, Ignored(), "show license");
    t.Handler("h", Exit, Ignored(), "show help", "topic");
    t.Handler("?", Exit, Ignored(), "show help", "topic");
    t.Handler("help", Exit, Ignored(), "show help", "topic");
    t.Handler("-help", Exit, Ignored(), "show help", "topic");
    t.Handler("version", Exit, Ignored(), "show version");
    t.Handler("formats", Exit, Ignored(), "show available formats");
    t.Handler("codecs", Exit, Ignored(), "show available codecs");
    t.Handler("decoders", Exit, Ignored(), "show available decoders");
    t.Handler("encoders", Exit, Ignored(), "show available encoders");
    t.Handler("bsfs", Exit, Ignored(), "show available bit stream filters");
    t.Handler("protocols", Exit, Ignored(), "show available protocols");
    t.Handler("filters", Exit, Ignored(), "show available filters");
    t.Handler("pix_fmts", Exit, Ignored(), "show available pixel formats");
    t.Handler("layouts", Exit, Ignored(), "show standard channel layouts");
    t.Handler("sample_fmts", Exit, Ignored(), "show available audio sample formats");
    t.Handler("loglevel", HasArg, LogLevel(), "set libav* logging level", "loglevel");
    t.Handler("v", HasArg, LogLevel(), "set libav* logging level", "loglevel");
    t.Handler("report", 0, Unsupported(), "generate a report");
    t.Handler("max_alloc", HasArg, &OptMaxAlloc, "set maximum size of a single allocated block",
              "bytes");
    t.Handler("cpuflags", HasArg, &OptCpuFlags, "force specific cpu flags", "flags");
    t.Field("f", HasArg | String | Offset, ContextFieldOf<&OptionsContext::format>, "force format",
            "fmt");
    t.Global("y", Bool, &task.overwrite_output, "overwrite output files");
    t.Global("n", Bool, &task.never_overwrite, "do not overwrite output files");
    t.Field("c", HasArg | String | Spec, ContextFieldOf<&OptionsContext::codec_names>, "codec name",
            "codec");
    t.Field("codec", HasArg | String | Spec, ContextFieldOf<&OptionsContext::codec_names>,
            "codec name", "codec");
    t.Handler("pre", Exit, Unsupported(), "preset name", "preset");
    t.Handler("map", HasArg | Expert | PerFile, &OptMap, "set input stream mapping",
              "[-]input_file_id[:stream_specifier][,sync_file_id[:stream_specifier]]");
    t.Handler("map_channel", HasArg | Expert | PerFile, &OptMapChannel,
              "map an audio channel from one stream to another",
              "file.stream.channel[:syncfile.syncstream]");
    t.Field("map_metadata", HasArg | String | Spec, ContextFieldOf<&OptionsContext::metadata_map>,
            "set metadata information of outfile from infile",
            "outfile[,metadata]:infile[,metadata]");
    t.Field("map_chapters", HasArg | Expert | Int | Offset,
            ContextFieldOf<&OptionsContext::chapters_source>, "set chapters mapping",
            "input_file_index");
    t.Field("t", HasArg | Offset | Time, ContextFieldOf<&OptionsContext::recording_time>,
            "record or transcode \"duration\" seconds of audio/video", "duration");
    t.Field("t_microsecond", HasArg | Int64 | Offset,
            ContextFieldOf<&OptionsContext::recording_time>,
            "record or transcode \"duration\" seconds of audio/video", "duration");
    t.Field("to", HasArg | Offset | Time, ContextFieldOf<&OptionsContext::stop_time>,
            "record or transcode stop time", "time_stop");
    t.Field("to_microsecond", HasArg | Int64 | Offset, ContextFieldOf<&OptionsContext::stop_time>,
            "record or transcode stop time", "time_stop");
    t.Field("fs", HasArg | Int64 | Offset, ContextFieldOf<&OptionsContext::size_limit>,
            "set the limit file size in bytes", "limit_size");
    t.Field("ss", HasArg | Offset | Time, ContextFieldOf<&OptionsContext::start_time>,
            "set the start time offset", "time_off");
    t.Field("ss_microsecond", HasArg | Int64 | Offset, ContextFieldOf<&OptionsContext::start_time>,
            "set the start time offset", "time_off");
    t.Field("itsoffset", HasArg | Expert | Offset | Time,
            ContextFieldOf<&OptionsContext::input_ts_offset>, "set the input ts offset",
            "time_off");
    t.Field("itsoffset_microsecond", HasArg | Expert | Int64 | Offset,
            ContextFieldOf<&OptionsContext::input_ts_offset>, "set the input ts offset",
            "time_off");
    t.Field("itsscale", HasArg | Expert | Spec | Double, ContextFieldOf<&OptionsContext::ts_scale>,
            "set the input ts scale", "scale");
    t.Handler("timestamp", HasArg | PerFile, &OptRecordingTimestamp,
              "set the recording timestamp (\"now\" to set the current time)", "time");
    t.Field("metadata", HasArg | String | Spec, ContextFieldOf<&OptionsContext::metadata>,
            "add metadata", "string=string");
    t.Handler("dframes", HasArg | Expert | PerFile, Forward("frames:d"),
              "set the number of data frames to record", "number");
    t.Handler("benchmark", Exit, Unsupported(), "add timings for benchmarking");
    t.Handler("benchmark_all", Exit, Unsupported(), "add timings for each task");
    t.Handler("progress", HasArg | Expert, &OptProgress,
              "write program-readable progress information", "url");
    t.Handler("stdin", Exit, Unsupported(), "enable or disable interaction on standard input");
    t.Handler("timelimit", Exit, Unsupported(), "set max runtime in seconds", "limit");
    t.Global("dump", Bool | Expert, &task.packet_dump, "dump each input packet");
    t.Global("hex", Bool | Expert, &task.hex_dump, "when dumping packets, also dump the payload");
    t.Field("re", Bool | Expert | Offset, ContextFieldOf<&OptionsContext::native_rate>,
            "read input at native frame rate");
    t.Handler("target", HasArg | PerFile, &OptTarget,
              "specify target file type (\"vcd\", \"svcd\", \"dvd\", \"dv\", \"dv50\", "
              "\"pal-vcd\", \"ntsc-svcd\", ...)",
              "type");
    t.Handler("vsync", HasArg | Expert, &OptVideoSync, "video sync method");
    t.Global("async", HasArg | Expert | Int, &task.audio_sync_method, "audio sync method");
    t.Global("adrift_threshold", HasArg | Expert | Float, &task.audio_drift_threshold,
             "audio drift threshold", "threshold");
    t.Global("copyts", Bool | Expert, &task.copy_timestamps, "copy timestamps");
    t.Global("copytb", HasArg | Expert | Int, &task.copy_time_base,
             "copy input stream time base when stream copying", "mode");
    t.Field("shortest", Bool | Expert | Offset, ContextFieldOf<&OptionsContext::shortest>,
            "finish encoding within shortest input");
    t.Global("dts_delta_threshold", HasArg | Expert | Float, &task.dts_delta_threshold,
             "timestamp discontinuity delta threshold", "threshold");
    t.Global("dts_error_threshold", HasArg | Expert | Float, &task.dts_error_threshold,
             "timestamp error delta threshold", "threshold");
    t.Global("xerror", Bool | Expert, &task.exit_on_error, "exit on error", "error");
    t.Field("copyinkf", Bool | Expert | Spec,
            ContextFieldOf<&OptionsContext::copy_initial_nonkeyframes>,
            "copy initial non-keyframes");
    t.Field("copypriorss", HasArg | Expert | Int | Spec,
            ContextFieldOf<&OptionsContext::copy_before_start>,
            "copy or discard frames before start time");
    t.Field("frames", HasArg | Int64 | Spec, ContextFieldOf<&OptionsContext::max_frames>,
            "set the number of frames to record", "number");
    t.Field("tag", HasArg | Expert | String | Spec, ContextFieldOf<&OptionsContext::codec_tags>,
            "force codec tag/fourcc", "fourcc/tag");
    t.Field("q", HasArg | Expert | Spec | Double, ContextFieldOf<&OptionsContext::qscale>,
            "use fixed quality scale (VBR)", "q");
    t.Handler("qscale", HasArg | Expert | PerFile, &AmbiguousQscale,
              "use fixed quality scale (VBR)", "q");
    t.Handler(
        "profile", HasArg | Expert | PerFile,
        [](Task& task, Ctx ctx, Str name, Str arg) {
            return AmbiguousCodecOption(task, ctx, name, arg, "profile",
                                        "Please use -profile:a or -profile:v, -profile is "
                                        "ambiguous");
        },
        "set profile", "profile");
    t.Field("filter", HasArg | String | Spec, ContextFieldOf<&OptionsContext::filters>,
            "set stream filtergraph", "filter_graph");
    t.Field("reinit_filter", HasArg | Int | Spec, ContextFieldOf<&OptionsContext::reinit_filter>,
            "reinit filtergraph on input parameter changes");
    t.Handler("filter_complex", HasArg | Expert, &OptFilterComplex, "create a complex filtergraph",
              "graph_description");
    t.Global("stats", Bool, &task.show_stats, "print progress report during encoding");
    t.Handler("attach", HasArg | Expert | PerFile, &OptAttach,
              "add an attachment to the output file", "filename");
    t.Field("dump_attachment", HasArg | Expert | String | Spec,
            ContextFieldOf<&OptionsContext::dump_attachment>, "extract an attachment into a file",
            "filename");
    // The second timestamp-debugging row carries the name under which the
    // option is known, so that it can be reached at all (see decisions).
    t.Global("debug_ts", Bool | Expert, &task.debug_timestamps, "print timestamp debugging info");
    t.Handler("vframes", HasArg | Video | PerFile, Forward("frames:v"),
              "set the number of video frames to record", "number");
    t.Field("r", HasArg | String | Video | Spec, ContextFieldOf<&OptionsContext::frame_rates>,
            "set frame rate (Hz value, fraction or abbreviation)", "rate");
    t.Field("s", HasArg | String | Video | Subtitle | Spec,
            ContextFieldOf<&OptionsContext::frame_sizes>, "set frame size (WxH or abbreviation)",
            "size");
    t.Field("aspect", HasArg | String | Video | Spec,
            ContextFieldOf<&OptionsContext::aspect_ratios>,
            "set aspect ratio (4:3, 16:9 or 1.3333, 1.7777)", "aspect");
    t.Field("pix_fmt", HasArg | Expert | String | Video | Spec,
            ContextFieldOf<&OptionsContext::pixel_formats>, "set pixel format", "format");
    t.Global("bits_per_raw_sample", HasArg | Video | Int, &task.bits_per_raw_sample,
             "set the number of bits per raw sample", "number");
    t.Global("intra", Bool | Expert | Video, &task.all_intra, "deprecated use -g 1");
    t.Field("vn", Bool | Video | Offset, ContextFieldOf<&OptionsContext::video_disable>,
            "disable video");
    t.Global("vdt", HasArg | Expert | Video | Int, &task.discard_threshold, "discard threshold",
             "n");
    t.Field("rc_override", HasArg | Expert | String | Video | Spec,
            ContextFieldOf<&OptionsContext::rc_overrides>,
            "rate control override for specific intervals", "override");
    t.Handler("vcodec", HasArg | Video | PerFile, Forward("codec:v"),
              "force video codec (\"copy\" to copy stream)", "codec");
    t.Handler("sameq", Expert | Video, Removed(), "Removed");
    t.Handler("same_quant", Expert | Video, Removed(), "Removed");
    t.Handler("timecode", HasArg | Video | PerFile, &OptTimecode, "set initial TimeCode value.",
              "hh:mm:ss[:;.]ff");
    t.Field("pass", HasArg | Video | Int | Spec, ContextFieldOf<&OptionsContext::passes>,
            "select the pass number (1 to 3)", "n");
    t.Field("passlogfile", HasArg | Expert | String | Video | Spec,
            ContextFieldOf<&OptionsContext::pass_log_prefixes>,
            "select two pass log file name prefix", "prefix");
    t.Handler("deinterlace", Expert | Video, &OptDeinterlace,
              "this option is deprecated, use the yadif filter instead");
    t.Global("psnr", Bool | Expert | Video, &task.compute_psnr,
             "calculate PSNR of compressed frames");
    t.Handler("vstats", Expert | Video, &OptVstats, "dump video coding statistics to file");
    t.Handler("vstats_file", HasArg | Expert | Video, &OptVstatsFile,
              "dump video coding statistics to file", "file");
    t.Handler("vf", HasArg | Video | PerFile, Forward("filter:v"), "set video filters",
              "filter_graph");
    t.Field("intra_matrix", HasArg | Expert | String | Video | Spec,
            ContextFieldOf<&OptionsContext::intra_matrices>, "specify intra matrix coeffs",
            "matrix");
    t.Field("inter_matrix", HasArg | Expert | String | Video | Spec,
            ContextFieldOf<&OptionsContext::inter_matrices>, "specify inter matrix coeffs",
            "matrix");
    t.Field("top", HasArg | Expert | Video | Int | Spec,
            ContextFieldOf<&OptionsContext::top_field_first>, "top=1/bottom=0/auto=-1 field first");
    t.Global("dc", HasArg | Expert | Video | Int, &task.intra_dc_precision, "intra_dc_precision",
             "precision");
    t.Handler("vtag", HasArg | Expert | Video | PerFile, Rewritten(), "force video tag/fourcc",
              "fourcc/tag");
    t.Global("qphist", Bool | Expert | Video, &task.qp_histogram, "show QP histogram");
    t.Field("force_fps", Bool | Expert | Video | Spec, ContextFieldOf<&OptionsContext::force_fps>,
            "force the selected framerate, disable the best supported framerate selection");
    t.Handler("streamid", HasArg | Expert | Video | PerFile, &OptStreamId,
              "set the value of an outfile streamid", "streamIndex:value");
    t.Field("force_key_frames", HasArg | Expert | String | Video | Spec,
            ContextFieldOf<&OptionsContext::forced_key_frames>,
            "force key frames at specified timestamps", "timestamps");
    t.Handler(
        "b", HasArg | Video | PerFile,
        [](Task& task, Ctx ctx, Str name, Str arg) {
            return AmbiguousCodecOption(task, ctx, name, arg, "b",
                                        "Please use -b:a or -b:v, -b is ambiguous");
        },
        "video bitrate (please use -b:v)", "bitrate");
    t.Handler("aframes", HasArg | Audio | PerFile, Forward("frames:a"),
              "set the number of audio frames to record", "number");
    t.Handler("aq", HasArg | Audio | PerFile, Forward("q:a"), "set audio quality (codec-specific)",
              "quality");
    t.Field("ar", HasArg | Audio | Int | Spec, ContextFieldOf<&OptionsContext::audio_sample_rate>,
            "set audio sampling rate (in Hz)", "rate");
    t.Field("ac", HasArg | Audio | Int | Spec, ContextFieldOf<&OptionsContext::audio_channels>,
            "set number of audio channels", "channels");
    t.Field("an", Bool | Audio | Offset, ContextFieldOf<&OptionsContext::audio_disable>,
            "disable audio");
    t.Handler("acodec", HasArg | Audio | PerFile, Forward("codec:a"),
              "force audio codec (\"copy\" to copy stream)", "codec");
    t.Handler("atag", HasArg | Expert | Audio | PerFile, Rewritten(), "force audio tag/fourcc",
              "fourcc/tag");
    t.Global("vol", HasArg | Audio | Int, &task.volume, "change audio volume (256=normal)",
             "volume");
    t.Field("sample_fmt", HasArg | Expert | String | Audio | Spec,
            ContextFieldOf<&OptionsContext::sample_formats>, "set sample format", "format");
    t.Handler("channel_layout", HasArg | Expert | Audio | PerFile, &OptChannelLayout,
              "set channel layout", "layout");
    t.Handler("af", HasArg | Audio | PerFile, Forward("filter:a"), "set audio filters",
              "filter_graph");
    t.Field("guess_layout_max", HasArg | Expert | Audio | Int | Spec,
            ContextFieldOf<&OptionsContext::guess_layout_max>,
            "set the maximum number of channels to try to guess the channel layout");
    t.Field("sn", Bool | Subtitle | Offset, ContextFieldOf<&OptionsContext::subtitle_disable>,
            "disable subtitle");
    t.Handler("scodec", HasArg | Subtitle | PerFile, Forward("codec:s"),
              "force subtitle codec (\"copy\" to copy stream)", "codec");
    t.Handler("stag", HasArg | Expert | Subtitle | PerFile, Rewritten(),
              "force subtitle tag/fourcc", "fourcc/tag");
    t.Field("fix_sub_duration", Bool | Expert | Subtitle | Spec,
            ContextFieldOf<&OptionsContext::fix_sub_duration>, "fix subtitles duration");
    t.Handler(
        "vc", HasArg | Expert | Video,
        [](Task& task, Ctx, Str, Str arg) {
            return DeprecatedOption(task, "This option is deprecated, use -channel.", "channel",
                                    arg);
        },
        "deprecated, use -channel", "channel");
    t.Handler(
        "tvstd", HasArg | Expert | Video,
        [](Task& task, Ctx, Str, Str arg) {
            return DeprecatedOption(task, "This option is deprecated, use -standard.", "standard",
                                    arg);
        },
        "deprecated, use -standard", "standard");
    t.Global("isync", Bool | Expert, &task.isync, "this option is deprecated and does nothing");
    t.Field("muxdelay", HasArg | Expert | Float | Offset,
            ContextFieldOf<&OptionsContext::mux_delay>, "set the maximum demux-decode delay",
            "seconds");
    t.Field("muxpreload", HasArg | Expert | Float | Offset,
            ContextFieldOf<&OptionsContext::mux_preload>, "set the initial demux-decode delay",
            "seconds");
    t.Field("bsf", HasArg | Expert | String | Spec,
            ContextFieldOf<&OptionsContext::bitstream_filters>,
            "A comma-separated list of bitstream filters", "bitstream_filters");
    t.Handler("absf", HasArg | Expert | Audio | PerFile, Rewritten(), "deprecated",
              "audio bitstream_filters");
    t.Handler("vbsf", HasArg | Expert | Video | PerFile, Rewritten(), "deprecated",
              "video bitstream_filters");
    t.Handler("apre", HasArg | Expert | Audio | PerFile, PresetFile(),
              "set the audio options to the indicated preset", "preset");
    t.Handler("vpre", HasArg | Expert | Video | PerFile, PresetFile(),
              "set the video options to the indicated preset", "preset");
    t.Handler("spre", HasArg | Expert | Subtitle | PerFile, PresetFile(),
              "set the subtitle options to the indicated preset", "preset");
    t.Handler("fpre", HasArg | Expert | PerFile, PresetFile(),
              "set options from indicated preset file", "filename");
    t.Handler("dcodec", HasArg | Expert | Data | PerFile, Forward("codec:d"),
              "force data codec (\"copy\" to copy stream)", "codec");
    t.Field("dn", Bool | Video | Offset, ContextFieldOf<&OptionsContext::data_disable>,
            "disable data");
    t.Handler(
        "vhook", HasArg | Expert | Video,
        [](Task& task, Ctx, Str name, Str arg) {
            return task.OptVideoHook(name.c_str(), arg.c_str());
        },
        "insert video processing module", "module");
    t.Handler(
        "VideoHookBitsPixel", HasArg | Expert | Video,
        [](Task& task, Ctx, Str name, Str arg) {
            return task.OptVideoHookBitsPixel(name.c_str(), arg.c_str());
        },
        "VideoHookBitsPixel", "bpp");
    t.Handler("TimeStart", HasArg | Expert | PerFile, &OptTimeStart, "TimeStart");
    t.Handler("timestart", HasArg | Expert | PerFile, &OptTimeStart, "timestart");
    t.Handler("TimeLength", HasArg | Expert | PerFile, &OptTimeLength, "TimeLength");
    t.Handler("timelength", HasArg | Expert | PerFile, &OptTimeLength, "timelength");
    // Names the encoder component writes into an output's options text; it
    // acts on its own record flags, so they only have to parse.
    t.Handler("AudioInputHook", Exit, Accepted(), "AudioInputHook");
    t.Handler("AudioOutputHook", Exit, Accepted(), "AudioOutputHook");
    t.Handler("VideoInputHook", Exit, Accepted(), "VideoInputHook");
    t.Handler("VideoOutputHook", Exit, Accepted(), "VideoOutputHook");
    t.Handler("FrameInputHook", Exit, Accepted(), "FrameInputHook");
    t.Handler("FrameOutputHook", Exit, Accepted(), "FrameOutputHook");
    t.Handler("Join", Exit, Accepted(), "Join");
    t.End();
    assert(task.OptionTable().size() == kOptionTableRows + 1);
}

const OptionEntry* OptionTableOf(TCustomFFmpegOpt& task) {
    BuildOptionTable(task);
    return task.OptionTable().data();
}

}  // namespace tavrin

#include "media/options/filtergraph_setup.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "media/options/output_stream.h"
#include "media/options/stream_options.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

bool NameTaken(const AVFilterGraph* graph, const std::string& name) {
    for (unsigned i = 0; i < graph->nb_filters; ++i) {
        const char* taken = graph->filters[i]->name;
        if (taken != nullptr && name == taken) {
            return true;
        }
    }
    return false;
}

// `base`, or `base` with " #n" appended when a filter of the graph already
// carries that name (two inputs of one graph fed by the same stream, ...).
std::string UniqueFilterName(const AVFilterGraph* graph, const std::string& base) {
    std::string name = base;
    for (int n = 2; NameTaken(graph, name); ++n) {
        name = base + " #" + std::to_string(n);
    }
    return name;
}

// Creates and initialises a filter of the graph; 0 or a negative code.
int CreateFilter(AVFilterGraph* graph, const char* filter_name, const std::string& instance,
                 const std::string& args, AVFilterContext** result) {
    const AVFilter* filter = ff.avfilter_get_by_name(filter_name);
    if (filter == nullptr) {
        return AVERROR_FILTER_NOT_FOUND;
    }
    const std::string name = UniqueFilterName(graph, instance);
    return ff.avfilter_graph_create_filter(result, filter, name.c_str(),
                                           args.empty() ? nullptr : args.c_str(), nullptr, graph);
}

AVMediaType InputPadType(const AVFilterInOut* in) {
    return ff.avfilter_pad_get_type(in->filter_ctx->input_pads, in->pad_idx);
}

AVMediaType OutputPadType(const AVFilterInOut* out) {
    return ff.avfilter_pad_get_type(out->filter_ctx->output_pads, out->pad_idx);
}

// "key=value:key=value" of a dictionary, empty for none.
std::string JoinOptions(const AVDictionary* dict) {
    std::string text;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = ff.av_dict_get(dict, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        if (!text.empty()) {
            text += ':';
        }
        text += std::string(entry->key) + "=" + entry->value;
    }
    return text;
}

void MarkStreamUsed(InputStream& ist) {
    ist.discard = 0;
    ++ist.decode_users;
    ist.stream->discard = AVDISCARD_DEFAULT;
}

bool IsJpegEncoder(const AVCodec* encoder) {
    return encoder->id == AV_CODEC_ID_MJPEG || encoder->id == AV_CODEC_ID_LJPEG;
}

bool IsLimitedRangeYuv(AVPixelFormat format) {
    return format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUV422P ||
           format == AV_PIX_FMT_YUV444P;
}

// The pixel formats the encoder takes, in its order of preference; empty when
// it does not say. The JPEG encoders have lists of their own: in unofficial
// mode the ones below; otherwise their own lists without the limited-range
// YUV formats, which they list but refuse unless compliance is unofficial.
std::vector<AVPixelFormat> EncoderPixelFormats(const AVCodecContext* codec_ctx,
                                               const AVCodec* encoder) {
    if (encoder == nullptr || encoder->pix_fmts == nullptr) {
        return {};
    }
    const bool unofficial = codec_ctx != nullptr && codec_ctx->strict_std_compliance < 0;
    if (unofficial && encoder->id == AV_CODEC_ID_MJPEG) {
        return {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P};
    }
    if (unofficial && encoder->id == AV_CODEC_ID_LJPEG) {
        return {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUV420P,
                AV_PIX_FMT_YUV422P,  AV_PIX_FMT_YUV444P,  AV_PIX_FMT_BGRA};
    }
    std::vector<AVPixelFormat> formats;
    for (const AVPixelFormat* p = encoder->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
        if (!IsJpegEncoder(encoder) || !IsLimitedRangeYuv(*p)) {
            formats.push_back(*p);
        }
    }
    return formats;
}

// --- Input chains -----------------------------------------------------------------

// The filters that show the stream's pictures as its display matrix asks:
// none, a transpose for a quarter turn, or both flips for a half turn.
std::vector<std::pair<const char*, std::string>> RotationFilters(const InputStream& ist) {
    const auto* matrix = reinterpret_cast<const std::int32_t*>(
        ff.av_stream_get_side_data(ist.stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (matrix == nullptr) {
        return {};
    }
    // The matrix turns counter-clockwise; the picture is turned back.
    double theta = -ff.av_display_rotation_get(matrix);
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    if (std::fabs(theta - 90) < 1) {
        return {{"transpose", "clock"}};
    }
    if (std::fabs(theta - 180) < 1) {
        return {{"hflip", ""}, {"vflip", ""}};
    }
    if (std::fabs(theta - 270) < 1) {
        return {{"transpose", "cclock"}};
    }
    return {};
}

int ConfigureInputVideoFilter(TCustomFFmpegOpt& task, FilterGraph& fg, InputFilter& ifilter,
                              AVFilterInOut* in) {
    InputStream& ist = *ifilter.input_stream;
    AVFilterGraph* graph = fg.graph.get();
    const AVCodecContext* codec_ctx = ist.codec_ctx.get();
    const bool forced = ist.forced_frame_rate.num != 0 && ist.forced_frame_rate.den != 0;

    const AVRational tb = forced ? av_inv_q(ist.forced_frame_rate) : ist.stream->time_base;
    AVRational fr = forced ? ist.forced_frame_rate : ist.stream->r_frame_rate;
    if (!forced && codec_ctx != nullptr && codec_ctx->ticks_per_frame > 1 &&
        codec_ctx->time_base.num > 0) {
        const AVRational codec_fr{codec_ctx->time_base.den,
                                  codec_ctx->time_base.num * codec_ctx->ticks_per_frame};
        if (codec_fr.num > 0 && codec_fr.den > 0 && fr.num > 0 && fr.den > 0 &&
            av_q2d(codec_fr) < 0.7 * av_q2d(fr)) {
            int num = 0;
            int den = 0;
            const AVRational avg = ist.stream->avg_frame_rate;
            ff.av_reduce(&num, &den, static_cast<std::int64_t>(avg.num) * fr.den,
                         static_cast<std::int64_t>(avg.den) * fr.num, INT_MAX);
            const double ratio = den != 0 ? static_cast<double>(num) / den : 0.0;
            if (std::abs(1.0 - ratio) > 0.1) {
                fr = codec_fr;
            }
        }
    }

    if (ist.stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
        const int prepared = PrepareSub2Video(task, ist);
        if (prepared < 0) {
            return prepared;
        }
    }

    AVRational sar = ist.stream->sample_aspect_ratio;
    if (sar.num == 0 && codec_ctx != nullptr) {
        sar = codec_ctx->sample_aspect_ratio;
    }
    if (sar.den == 0) {
        sar = AVRational{0, 1};
    }

    // The scaler flags of the old buffer source are no longer an option of
    // it: the graph's scale_sws_opts carry them.
    std::string args = StringPrintf(
        "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", ist.last_width,
        ist.last_height, ist.last_pix_fmt, tb.num, tb.den, sar.num, sar.den);
    if (fr.num != 0 && fr.den != 0) {
        args += StringPrintf(":frame_rate=%d/%d", fr.num, fr.den);
    }
    const std::string source_name = StringPrintf("graph %d input from stream %d:%d", fg.index,
                                                 ist.file_index, ist.stream->index);
    int result = CreateFilter(graph, "buffer", source_name, args, &ifilter.filter);
    if (result < 0) {
        return result;
    }

    AVFilterContext* last = ifilter.filter;
    if (forced) {
        AVFilterContext* setpts = nullptr;
        result = CreateFilter(graph, "setpts",
                              StringPrintf("force CFR for input from stream %d:%d", ist.file_index,
                                           ist.stream->index),
                              "N", &setpts);
        if (result < 0) {
            return result;
        }
        result = ff.avfilter_link(last, 0, setpts, 0);
        if (result < 0) {
            return result;
        }
        last = setpts;
    }
    // A picture to be shown turned (a phone video's display matrix) is turned
    // here, so that the encoded output is the right way up.
    if (ist.stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        for (const auto& [filter_name, filter_args] : RotationFilters(ist)) {
            AVFilterContext* turn = nullptr;
            result = CreateFilter(graph, filter_name,
                                  StringPrintf("%s for input stream %d:%d", filter_name,
                                               ist.file_index, ist.stream->index),
                                  filter_args, &turn);
            if (result < 0) {
                return result;
            }
            result = ff.avfilter_link(last, 0, turn, 0);
            if (result < 0) {
                return result;
            }
            last = turn;
        }
    }
    return ff.avfilter_link(last, 0, in->filter_ctx, static_cast<unsigned>(in->pad_idx));
}

int ConfigureInputAudioFilter(TCustomFFmpegOpt& task, FilterGraph& fg, InputFilter& ifilter,
                              AVFilterInOut* in) {
    InputStream& ist = *ifilter.input_stream;
    AVFilterGraph* graph = fg.graph.get();
    const AVCodecParameters* par = ist.stream->codecpar;
    const AVCodecContext* codec_ctx = ist.codec_ctx.get();
    const int sample_rate = codec_ctx != nullptr ? codec_ctx->sample_rate : par->sample_rate;
    const int sample_format = codec_ctx != nullptr ? codec_ctx->sample_fmt : par->format;
    const AVChannelLayout& layout = codec_ctx != nullptr ? codec_ctx->ch_layout : par->ch_layout;
    const char* format_name = ff.av_get_sample_fmt_name(static_cast<AVSampleFormat>(sample_format));

    std::string args = StringPrintf("time_base=%d/%d:sample_rate=%d:sample_fmt=%s", 1, sample_rate,
                                    sample_rate, format_name != nullptr ? format_name : "none");
    if (layout.order == AV_CHANNEL_ORDER_NATIVE && layout.u.mask != 0) {
        args +=
            StringPrintf(":channel_layout=0x%" PRIx64, static_cast<std::uint64_t>(layout.u.mask));
    } else {
        args += StringPrintf(":channels=%d", layout.nb_channels);
    }
    const std::string source_name = StringPrintf("graph %d input from stream %d:%d", fg.index,
                                                 ist.file_index, ist.stream->index);
    int result = CreateFilter(graph, "abuffer", source_name, args, &ifilter.filter);
    if (result < 0) {
        return result;
    }

    // The chain is built from the graph input backwards.
    AVFilterContext* first = in->filter_ctx;
    unsigned first_pad = static_cast<unsigned>(in->pad_idx);
    auto insert_front = [&](const char* filter_name, const char* option,
                            const std::string& filter_args) -> int {
        LogFmt(&task, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", option,
               filter_name, filter_args.c_str());
        AVFilterContext* helper = nullptr;
        const std::string name = StringPrintf("graph %d %s for input stream %d:%d", fg.index,
                                              filter_name, ist.file_index, ist.stream->index);
        int code = CreateFilter(graph, filter_name, name, filter_args, &helper);
        if (code < 0) {
            return code;
        }
        code = ff.avfilter_link(helper, 0, first, first_pad);
        if (code < 0) {
            return code;
        }
        first = helper;
        first_pad = 0;
        return 0;
    };

    if (task.audio_sync_method > 0) {
        std::string sync_args = StringPrintf("async=%d", task.audio_sync_method);
        if (std::abs(task.audio_drift_threshold - 0.1f) > 1e-6f) {
            sync_args += StringPrintf(":min_hard_comp=%f", task.audio_drift_threshold);
        }
        if (fg.reconfiguration == 0) {
            sync_args += ":first_pts=0";
        }
        result = insert_front("aresample", "-async", sync_args);
        if (result < 0) {
            return result;
        }
    }
    if (task.volume != 256) {
        Log(&task, llWarning, "-vol has been deprecated. Use the volume audio filter instead.\n");
        result = insert_front("volume", "-vol", StringPrintf("%f", task.volume / 256.0));
        if (result < 0) {
            return result;
        }
    }
    return ff.avfilter_link(ifilter.filter, 0, first, first_pad);
}

// --- Output chains ------------------------------------------------------------------

int ConfigureOutputVideoFilter(TCustomFFmpegOpt& /*task*/, FilterGraph& fg, OutputFilter& ofilter,
                               AVFilterInOut* out) {
    OutputStream& ost = *ofilter.output_stream;
    AVFilterGraph* graph = fg.graph.get();
    int result = CreateFilter(graph, "buffersink",
                              StringPrintf("output stream %d:%d", ost.file_index, ost.index), "",
                              &ofilter.filter);
    if (result < 0) {
        return result;
    }
    AVFilterContext* last = out->filter_ctx;
    unsigned last_pad = static_cast<unsigned>(out->pad_idx);
    auto append = [&](const char* filter_name, const std::string& name,
                      const std::string& args) -> int {
        AVFilterContext* helper = nullptr;
        int code = CreateFilter(graph, filter_name, name, args, &helper);
        if (code < 0) {
            return code;
        }
        code = ff.avfilter_link(last, last_pad, helper, 0);
        if (code < 0) {
            return code;
        }
        last = helper;
        last_pad = 0;
        return 0;
    };

    const AVCodecContext* codec_ctx = ost.codec_ctx.get();
    if (codec_ctx->width != 0 || codec_ctx->height != 0) {
        result = append("scale",
                        StringPrintf("scaler for output stream %d:%d", ost.file_index, ost.index),
                        StringPrintf("%d:%d:flags=0x%X", codec_ctx->width, codec_ctx->height,
                                     static_cast<unsigned>(ost.sws_flags)));
        if (result < 0) {
            return result;
        }
    }
    if (const std::optional<std::string> formats = ChoosePixelFormats(ost)) {
        result =
            append("format",
                   StringPrintf("pixel format for output stream %d:%d", ost.file_index, ost.index),
                   *formats);
        if (result < 0) {
            return result;
        }
    }
    return ff.avfilter_link(last, last_pad, ofilter.filter, 0);
}

int ConfigureOutputAudioFilter(TCustomFFmpegOpt& task, FilterGraph& fg, OutputFilter& ofilter,
                               AVFilterInOut* out) {
    OutputStream& ost = *ofilter.output_stream;
    AVFilterGraph* graph = fg.graph.get();
    AVCodecContext* codec_ctx = ost.codec_ctx.get();

    const AVFilter* sink_filter = ff.avfilter_get_by_name("abuffersink");
    const std::string sink_name =
        UniqueFilterName(graph, StringPrintf("output stream %d:%d", ost.file_index, ost.index));
    ofilter.filter = ff.avfilter_graph_alloc_filter(graph, sink_filter, sink_name.c_str());
    if (ofilter.filter == nullptr) {
        return AVERROR(ENOMEM);
    }
    int result = ff.av_opt_set_int(ofilter.filter, "all_channel_counts", 1, AV_OPT_SEARCH_CHILDREN);
    if (result >= 0) {
        result = ff.avfilter_init_str(ofilter.filter, nullptr);
    }
    if (result < 0) {
        return result;
    }

    AVFilterContext* last = out->filter_ctx;
    unsigned last_pad = static_cast<unsigned>(out->pad_idx);
    auto append = [&](const char* filter_name, const std::string& name,
                      const std::string& args) -> int {
        AVFilterContext* helper = nullptr;
        int code = CreateFilter(graph, filter_name, name, args, &helper);
        if (code < 0) {
            return code;
        }
        code = ff.avfilter_link(last, last_pad, helper, 0);
        if (code < 0) {
            return code;
        }
        last = helper;
        last_pad = 0;
        return 0;
    };

    if (ost.channel_map_count > 0) {
        AVChannelLayout layout{};
        ff.av_channel_layout_default(&layout, ost.channel_map_count);
        std::string args =
            StringPrintf("0x%" PRIx64, layout.order == AV_CHANNEL_ORDER_NATIVE
                                           ? static_cast<std::uint64_t>(layout.u.mask)
                                           : std::uint64_t{0});
        ff.av_channel_layout_uninit(&layout);
        for (int i = 0; i < ost.channel_map_count; ++i) {
            const int source = ost.channel_map[static_cast<std::size_t>(i)];
            if (source != -1) {
                // The pan filter of this library generation separates its
                // terms with "|".
                args += StringPrintf("|c%d=c%d", i, source);
            }
        }
        LogFmt(&task, llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", "-map_channel",
               "pan", args.c_str());
        result = append("pan", "pan", args);
        if (result < 0) {
            return result;
        }
    }

    if (codec_ctx->ch_layout.nb_channels > 0 &&
        codec_ctx->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        const int channels = codec_ctx->ch_layout.nb_channels;
        ff.av_channel_layout_uninit(&codec_ctx->ch_layout);
        ff.av_channel_layout_default(&codec_ctx->ch_layout, channels);
    }

    const std::optional<std::string> formats = ChooseSampleFormats(ost);
    const std::optional<std::string> rates = ChooseSampleRates(ost);
    const std::optional<std::string> layouts = ChooseChannelLayouts(ost);
    if (formats || rates || layouts) {
        std::string args;
        auto add = [&args](const char* key, const std::optional<std::string>& list) {
            if (list) {
                if (!args.empty()) {
                    args += ':';
                }
                args += std::string(key) + "=" + *list;
            }
        };
        add("sample_fmts", formats);
        add("sample_rates", rates);
        add("channel_layouts", layouts);
        result = append(
            "aformat",
            StringPrintf("audio format for output stream %d:%d", ost.file_index, ost.index), args);
        if (result < 0) {
            return result;
        }
    }
    return ff.avfilter_link(last, last_pad, ofilter.filter, 0);
}

}  // namespace

// --- Graphs -------------------------------------------------------------------------

FilterGraph& InitSimpleFilterGraph(TCustomFFmpegOpt& task, InputStream& ist, OutputStream& ost) {
    std::unique_ptr<FilterGraph> fg;
    std::unique_ptr<InputFilter> ifilter;
    std::unique_ptr<OutputFilter> ofilter;
    try {
        fg = std::make_unique<FilterGraph>();
        ifilter = std::make_unique<InputFilter>();
        ofilter = std::make_unique<OutputFilter>();
        ist.filters.reserve(ist.filters.size() + 1);
    } catch (const std::bad_alloc&) {
        task.RaiseError("av_mallocz() failed");
    }
    fg->index = static_cast<std::int32_t>(task.filtergraphs.size());
    ofilter->output_stream = &ost;
    ofilter->graph = fg.get();
    ost.filter = ofilter.get();
    ifilter->input_stream = &ist;
    ifilter->graph = fg.get();
    ist.filters.push_back(ifilter.get());
    fg->outputs.push_back(std::move(ofilter));
    fg->inputs.push_back(std::move(ifilter));
    task.filtergraphs.push_back(std::move(fg));
    return *task.filtergraphs.back();
}

int ConfigureComplexFilters(TCustomFFmpegOpt& task) {
    for (std::size_t i = 0; i < task.filtergraphs.size(); ++i) {
        FilterGraph& fg = *task.filtergraphs[i];
        if (!fg.graph) {
            const int result = ConfigureFilterGraph(task, fg);
            if (result < 0) {
                return result;
            }
        }
    }
    return 0;
}

int ConfigureFilterGraph(TCustomFFmpegOpt& task, FilterGraph& fg) {
    const bool simple = fg.description.empty();
    if (simple && (fg.outputs.empty() || fg.outputs[0]->output_stream == nullptr)) {
        return AVERROR(EINVAL);
    }
    const std::string text = simple ? fg.outputs[0]->output_stream->filter_desc : fg.description;
    const bool first_time = !fg.graph && fg.reconfiguration == 0;

    fg.graph.reset(ff.avfilter_graph_alloc());
    if (!fg.graph) {
        return AVERROR(ENOMEM);
    }
    AVFilterGraph* graph = fg.graph.get();

    if (simple) {
        const OutputStream& ost = *fg.outputs[0]->output_stream;
        const std::string sws = StringPrintf("flags=0x%X", static_cast<unsigned>(ost.sws_flags));
        graph->scale_sws_opts = ff.av_strdup(sws.c_str());
        if (graph->scale_sws_opts == nullptr) {
            return AVERROR(ENOMEM);
        }
        // The resampler of this library generation is the one "aresample"
        // uses; the old resample options join its options.
        std::string swr = JoinOptions(ost.audio_resampler_options.Get());
        const std::string resample = JoinOptions(ost.resample_options.Get());
        if (!resample.empty()) {
            swr += (swr.empty() ? "" : ":") + resample;
        }
        if (!swr.empty()) {
            const int result = ff.av_opt_set(graph, "aresample_swr_opts", swr.c_str(), 0);
            if (result < 0) {
                return result;
            }
        }
    }

    AVFilterInOut* raw_inputs = nullptr;
    AVFilterInOut* raw_outputs = nullptr;
    int result = ff.avfilter_graph_parse2(graph, text.c_str(), &raw_inputs, &raw_outputs);
    FilterInOutPtr inputs(raw_inputs);
    FilterInOutPtr outputs(raw_outputs);
    if (result < 0) {
        return result;
    }

    if (simple && (!inputs || inputs->next != nullptr || !outputs || outputs->next != nullptr)) {
        LogFmt(&task, llError,
               "Simple filtergraph \"%s\" does not have exactly one input and output.\n",
               text.c_str());
        return AVERROR(EINVAL);
    }

    if (!simple && first_time) {
        for (AVFilterInOut* cur = inputs.get(); cur != nullptr; cur = cur->next) {
            InitInputFilter(task, fg, cur);
        }
    }

    std::size_t i = 0;
    for (AVFilterInOut* cur = inputs.get(); cur != nullptr; cur = cur->next, ++i) {
        if (i >= fg.inputs.size()) {
            return AVERROR(EINVAL);
        }
        result = ConfigureInputFilter(task, fg, *fg.inputs[i], cur);
        if (result < 0) {
            return result;
        }
    }

    if (simple || !first_time) {
        i = 0;
        for (AVFilterInOut* cur = outputs.get(); cur != nullptr; cur = cur->next, ++i) {
            if (i >= fg.outputs.size() || fg.outputs[i]->output_stream == nullptr) {
                return AVERROR(EINVAL);
            }
            result = ConfigureOutputFilter(task, fg, *fg.outputs[i], cur);
            if (result < 0) {
                return result;
            }
        }
        result = ff.avfilter_graph_config(graph, nullptr);
        if (result < 0) {
            return result;
        }
    } else {
        while (outputs) {
            FilterInOutPtr detached(outputs.release());
            outputs.reset(detached->next);
            detached->next = nullptr;
            std::unique_ptr<OutputFilter> ofilter;
            try {
                ofilter = std::make_unique<OutputFilter>();
                fg.outputs.reserve(fg.outputs.size() + 1);
            } catch (const std::bad_alloc&) {
                task.RaiseError("av_mallocz() failed");
            }
            ofilter->graph = &fg;
            ofilter->pending_output = std::move(detached);
            fg.outputs.push_back(std::move(ofilter));
        }
    }
    fg.reconfiguration = 1;
    return 0;
}

void InitInputFilter(TCustomFFmpegOpt& task, FilterGraph& fg, AVFilterInOut* in) {
    const AVMediaType type = InputPadType(in);
    if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) {
        task.RaiseError("Only video and audio filters supported currently.");
    }

    InputStream* chosen = nullptr;
    if (in->name != nullptr) {
        char* rest = nullptr;
        const long file_index = std::strtol(in->name, &rest, 0);
        if (file_index < 0 || file_index >= static_cast<long>(task.input_files.size())) {
            task.RaiseErrorFmt("Invalid file index %d in filtergraph description %s.",
                               static_cast<int>(file_index), fg.description.c_str());
        }
        const InputFile& file = *task.input_files[static_cast<std::size_t>(file_index)];
        AVFormatContext* s = file.ctx.get();
        const char* specifier = rest;
        if (*specifier == ':') {
            ++specifier;
        }
        for (int i = 0; i < file.stream_count && s != nullptr; ++i) {
            AVStream* st = s->streams[i];
            const AVMediaType stream_type = st->codecpar->codec_type;
            if (stream_type != type &&
                !(type == AVMEDIA_TYPE_VIDEO && stream_type == AVMEDIA_TYPE_SUBTITLE)) {
                continue;
            }
            if (CheckStreamSpecifier(s, st, specifier) == 1) {
                chosen = task.input_streams[static_cast<std::size_t>(file.first_stream + i)].get();
                break;
            }
        }
        if (chosen == nullptr) {
            task.RaiseErrorFmt(
                "Stream specifier \"%s\" in filtergraph description %s matches no "
                "streams",
                specifier, fg.description.c_str());
        }
    } else {
        for (const std::unique_ptr<InputStream>& ist : task.input_streams) {
            if (ist->stream->codecpar->codec_type == type && ist->discard != 0) {
                chosen = ist.get();
                break;
            }
        }
        if (chosen == nullptr) {
            task.RaiseErrorFmt(
                "Cannot find a matching stream for unlabeled input pad %d on "
                "filter %s",
                in->pad_idx, in->filter_ctx->name);
        }
    }

    MarkStreamUsed(*chosen);
    std::unique_ptr<InputFilter> ifilter;
    try {
        ifilter = std::make_unique<InputFilter>();
        fg.inputs.reserve(fg.inputs.size() + 1);
        chosen->filters.reserve(chosen->filters.size() + 1);
    } catch (const std::bad_alloc&) {
        task.RaiseError("av_mallocz() failed");
    }
    ifilter->input_stream = chosen;
    ifilter->graph = &fg;
    chosen->filters.push_back(ifilter.get());
    fg.inputs.push_back(std::move(ifilter));
}

int InitOutputFilter(TCustomFFmpegOpt& task, OutputFilter& ofilter, OptionsContext& ctx,
                     AVFormatContext* oc) {
    AVFilterInOut* out = ofilter.pending_output.get();
    if (out == nullptr) {
        task.RaiseError("Error configuring filter.");
    }
    OutputStream* ost = nullptr;
    switch (OutputPadType(out)) {
        case AVMEDIA_TYPE_VIDEO:
            ost = &NewVideoStream(task, ctx, oc, -1);
            break;
        case AVMEDIA_TYPE_AUDIO:
            ost = &NewAudioStream(task, ctx, oc, -1);
            break;
        default:
            task.RaiseError("Only video and audio filters are supported currently.");
    }
    ost->source_index = -1;
    ost->filter = &ofilter;
    ofilter.output_stream = ost;
    if (ost->stream_copy != 0) {
        task.RaiseErrorFmt(
            "Streamcopy requested for output stream %d:%d, which is fed from a complex "
            "filtergraph. Filtering and streamcopy cannot be used together.",
            ost->file_index, ost->index);
    }
    if (ConfigureOutputFilter(task, *ofilter.graph, ofilter, out) < 0) {
        task.RaiseError("Error configuring filter.");
    }
    ofilter.pending_output.reset();
    return 0;
}

std::string DescribeFilterLink(const AVFilterInOut* pad, bool is_input) {
    const AVFilterContext* filter = pad->filter_ctx;
    const unsigned pad_count = is_input ? filter->nb_inputs : filter->nb_outputs;
    std::string name = filter->name != nullptr ? filter->name : "";
    if (pad_count > 1) {
        const AVFilterPad* pads = is_input ? filter->input_pads : filter->output_pads;
        const char* pad_name = ff.avfilter_pad_get_name(pads, pad->pad_idx);
        name += ":";
        name += pad_name != nullptr ? pad_name : "";
    }
    return name;
}

int ConfigureInputFilter(TCustomFFmpegOpt& task, FilterGraph& fg, InputFilter& ifilter,
                         AVFilterInOut* in) {
    ifilter.name = DescribeFilterLink(in, true);
    switch (InputPadType(in)) {
        case AVMEDIA_TYPE_VIDEO:
            return ConfigureInputVideoFilter(task, fg, ifilter, in);
        case AVMEDIA_TYPE_AUDIO:
            return ConfigureInputAudioFilter(task, fg, ifilter, in);
        default:
            task.RaiseError("Never occur");
    }
}

int ConfigureOutputFilter(TCustomFFmpegOpt& task, FilterGraph& fg, OutputFilter& ofilter,
                          AVFilterInOut* out) {
    ofilter.name = DescribeFilterLink(out, false);
    switch (OutputPadType(out)) {
        case AVMEDIA_TYPE_VIDEO:
            return ConfigureOutputVideoFilter(task, fg, ofilter, out);
        case AVMEDIA_TYPE_AUDIO:
            return ConfigureOutputAudioFilter(task, fg, ofilter, out);
        default:
            task.RaiseError("Never occur");
    }
}

int PrepareSub2Video(TCustomFFmpegOpt& task, InputStream& ist) {
    AVCodecContext* codec_ctx = ist.codec_ctx.get();
    int w = codec_ctx != nullptr ? codec_ctx->width : ist.stream->codecpar->width;
    int h = codec_ctx != nullptr ? codec_ctx->height : ist.stream->codecpar->height;
    if (w == 0 || h == 0) {
        w = 0;
        h = 0;
        const InputFile& file = *task.input_files[static_cast<std::size_t>(ist.file_index)];
        for (int i = 0; i < file.stream_count; ++i) {
            const InputStream& other =
                *task.input_streams[static_cast<std::size_t>(file.first_stream + i)];
            const AVCodecParameters* par = other.stream->codecpar;
            if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
                w = std::max(w, par->width);
                h = std::max(h, par->height);
            }
        }
        if (w == 0 || h == 0) {
            w = std::max(w, 720);
            h = std::max(h, 576);
        }
        LogFmt(&task, llInfo, "sub2video: using %dx%d canvas\n", w, h);
    }
    ist.sub2video.w = w;
    ist.sub2video.h = h;
    ist.last_width = w;
    ist.last_height = h;
    ist.last_pix_fmt = AV_PIX_FMT_RGB32;
    if (codec_ctx != nullptr) {
        codec_ctx->width = w;
        codec_ctx->height = h;
        codec_ctx->pix_fmt = AV_PIX_FMT_RGB32;
    }

    FramePtr canvas(ff.av_frame_alloc());
    if (!canvas) {
        return AVERROR(ENOMEM);
    }
    canvas->width = w;
    canvas->height = h;
    canvas->format = AV_PIX_FMT_RGB32;
    if (ff.av_frame_get_buffer(canvas.get(), 32) < 0) {
        return AVERROR(ENOMEM);
    }
    for (int y = 0; y < h; ++y) {
        std::memset(canvas->data[0] + static_cast<std::ptrdiff_t>(y) * canvas->linesize[0], 0,
                    static_cast<std::size_t>(w) * 4);
    }
    ist.sub2video.frame = std::move(canvas);
    return 0;
}

// --- Format lists -------------------------------------------------------------------

AVPixelFormat ChoosePixelFormat(const AVCodecContext* codec_ctx, const AVCodec* encoder,
                                AVPixelFormat format) {
    const std::vector<AVPixelFormat> list = EncoderPixelFormats(codec_ctx, encoder);
    if (list.empty()) {
        return format;
    }
    const AVPixFmtDescriptor* descriptor = ff.av_pix_fmt_desc_get(format);
    const int has_alpha = descriptor != nullptr ? (descriptor->nb_components % 2 == 0) : 0;
    AVPixelFormat best = AV_PIX_FMT_NONE;
    for (const AVPixelFormat candidate : list) {
        best = ff.av_find_best_pix_fmt_of_2(best, candidate, format, has_alpha, nullptr);
        if (candidate == format) {
            return format;
        }
    }
    if (format != AV_PIX_FMT_NONE) {
        const char* requested = ff.av_get_pix_fmt_name(format);
        const char* chosen = ff.av_get_pix_fmt_name(best);
        LogFmt(nullptr, llWarning,
               "Incompatible pixel format \"%s\" for codec \"%s\", auto-selecting format \"%s\"\n",
               requested != nullptr ? requested : "none", encoder->name,
               chosen != nullptr ? chosen : "none");
    }
    return best;
}

std::optional<std::string> ChoosePixelFormats(OutputStream& ost) {
    const AVCodecContext* codec_ctx = ost.codec_ctx.get();
    if (ost.keep_pixel_format != 0) {
        if (ost.filter != nullptr && ost.filter->graph != nullptr && ost.filter->graph->graph) {
            ff.avfilter_graph_set_auto_convert(ost.filter->graph->graph.get(),
                                               AVFILTER_AUTO_CONVERT_NONE);
        }
        if (codec_ctx->pix_fmt == AV_PIX_FMT_NONE) {
            return std::nullopt;
        }
        return std::string(ff.av_get_pix_fmt_name(codec_ctx->pix_fmt));
    }
    if (codec_ctx->pix_fmt != AV_PIX_FMT_NONE) {
        const AVPixelFormat chosen = ChoosePixelFormat(codec_ctx, ost.encoder, codec_ctx->pix_fmt);
        const char* name = ff.av_get_pix_fmt_name(chosen);
        return name != nullptr ? std::optional<std::string>(name) : std::nullopt;
    }
    const std::vector<AVPixelFormat> list = EncoderPixelFormats(codec_ctx, ost.encoder);
    if (list.empty()) {
        return std::nullopt;
    }
    std::string names;
    for (const AVPixelFormat format : list) {
        names += (names.empty() ? "" : "|") + std::string(ff.av_get_pix_fmt_name(format));
    }
    return names;
}

std::optional<std::string> ChooseSampleFormats(const OutputStream& ost) {
    const AVCodecContext* codec_ctx = ost.codec_ctx.get();
    if (codec_ctx->sample_fmt != AV_SAMPLE_FMT_NONE) {
        const char* name = ff.av_get_sample_fmt_name(codec_ctx->sample_fmt);
        return name != nullptr ? std::optional<std::string>(name) : std::nullopt;
    }
    if (ost.encoder == nullptr || ost.encoder->sample_fmts == nullptr) {
        return std::nullopt;
    }
    std::string names;
    for (const AVSampleFormat* p = ost.encoder->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p) {
        names += (names.empty() ? "" : "|") + std::string(ff.av_get_sample_fmt_name(*p));
    }
    return names;
}

std::optional<std::string> ChooseSampleRates(const OutputStream& ost) {
    const AVCodecContext* codec_ctx = ost.codec_ctx.get();
    if (codec_ctx->sample_rate != 0) {
        return std::to_string(codec_ctx->sample_rate);
    }
    if (ost.encoder == nullptr || ost.encoder->supported_samplerates == nullptr) {
        return std::nullopt;
    }
    std::string rates;
    for (const int* p = ost.encoder->supported_samplerates; *p != 0; ++p) {
        rates += (rates.empty() ? "" : "|") + std::to_string(*p);
    }
    return rates;
}

std::optional<std::string> ChooseChannelLayouts(const OutputStream& ost) {
    const AVCodecContext* codec_ctx = ost.codec_ctx.get();
    const AVChannelLayout& layout = codec_ctx->ch_layout;
    if (layout.nb_channels > 0 && layout.order == AV_CHANNEL_ORDER_NATIVE) {
        return StringPrintf("0x%" PRIx64, static_cast<std::uint64_t>(layout.u.mask));
    }
    if (ost.encoder == nullptr || ost.encoder->ch_layouts == nullptr) {
        return std::nullopt;
    }
    std::string layouts;
    for (const AVChannelLayout* p = ost.encoder->ch_layouts; p->nb_channels != 0; ++p) {
        if (p->order == AV_CHANNEL_ORDER_NATIVE) {
            layouts += (layouts.empty() ? "" : "|") +
                       StringPrintf("0x%" PRIx64, static_cast<std::uint64_t>(p->u.mask));
        }
    }
    return layouts.empty() ? std::nullopt : std::optional<std::string>(layouts);
}

void ChooseSampleFormat(AVCodecContext* codec_ctx, const AVCodec* encoder) {
    if (encoder == nullptr || encoder->sample_fmts == nullptr) {
        return;
    }
    const AVSampleFormat requested = codec_ctx->sample_fmt;
    for (const AVSampleFormat* p = encoder->sample_fmts; *p != AV_SAMPLE_FMT_NONE; ++p) {
        if (*p == requested) {
            return;
        }
    }
    const AVSampleFormat first = encoder->sample_fmts[0];
    if ((encoder->capabilities & AV_CODEC_CAP_LOSSLESS) != 0 && requested != AV_SAMPLE_FMT_NONE &&
        ff.av_get_bytes_per_sample(first) < ff.av_get_bytes_per_sample(requested)) {
        Log(nullptr, llError, "Conversion will not be lossless.\n");
    }
    const char* requested_name = ff.av_get_sample_fmt_name(requested);
    if (requested_name != nullptr) {
        LogFmt(nullptr, llWarning,
               "Incompatible sample format \"%s\" for codec \"%s\", auto-selecting format \"%s\"\n",
               requested_name, encoder->name, ff.av_get_sample_fmt_name(first));
    }
    codec_ctx->sample_fmt = first;
}

}  // namespace tavrin

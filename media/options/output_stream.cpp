#include "media/options/output_stream.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "media/options/ff_options.h"
#include "media/options/file_options.h"
#include "media/options/input_file.h"
#include "media/options/stream_options.h"

namespace tavrin {

namespace {

// Rate-control quantiser per quality unit of the encoders' global quality.
constexpr double kQp2Lambda = 118.0;

const SpecifierValue* Match(TCustomFFmpegOpt& task, AVFormatContext* oc, const OutputStream& ost,
                            const SpecifierList& list) {
    return MatchPerStreamOption(task, oc, ost.stream, list);
}

const std::string* MatchString(TCustomFFmpegOpt& task, AVFormatContext* oc, const OutputStream& ost,
                               const SpecifierList& list) {
    const SpecifierValue* value = Match(task, oc, ost, list);
    return value != nullptr ? &value->str : nullptr;
}

CodecContextPtr NewCodecContext(TCustomFFmpegOpt& task, const AVCodec* encoder, AVMediaType type) {
    CodecContextPtr codec_ctx(ff.avcodec_alloc_context3(encoder));
    if (!codec_ctx) {
        task.RaiseError("av_mallocz() failed");
    }
    codec_ctx->codec_type = type;
    return codec_ctx;
}

// A -tag value: a number in C notation (0x.., 0.., decimal), else its first
// four bytes as a little-endian value. Missing bytes of a shorter text count
// as zero.
std::uint32_t ParseCodecTag(const std::string& text) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 0);
    if (!text.empty() && end != nullptr && *end == '\0') {
        return static_cast<std::uint32_t>(number);
    }
    std::uint32_t tag = 0;
    for (std::size_t i = 0; i < 4 && i < text.size(); ++i) {
        tag |= static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])) << (8 * i);
    }
    return tag;
}

void AddBitstreamFilters(TCustomFFmpegOpt& task, OutputStream& ost, const std::string& list) {
    std::string_view rest = list;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string name(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (name.empty()) {
            continue;  // "a,,b" and a trailing "," name no filter
        }
        const AVBitStreamFilter* filter = ff.av_bsf_get_by_name(name.c_str());
        if (filter == nullptr) {
            task.RaiseErrorFmt("Unknown bitstream filter \"%s\"", name.c_str());
        }
        AVBSFContext* bsf = nullptr;
        if (ff.av_bsf_alloc(filter, &bsf) < 0) {
            task.RaiseError("av_mallocz() failed");
        }
        ost.bitstream_filters.emplace_back(bsf);
    }
}

// The scaler flags the file's scaler options hold.
std::int64_t ScalerFlags(const OptionGroup* group) {
    std::int64_t flags = SWS_BICUBIC;
    if (group != nullptr && group->sws_opts != nullptr) {
        ff.av_opt_get_int(group->sws_opts.get(), "sws_flags", 0, &flags);
    }
    return flags;
}

void CopyDictionary(Dictionary& target, const AVDictionary* source) {
    target.Reset();
    if (source != nullptr) {
        ff.av_dict_copy(target.Address(), source, 0);
    }
}

void ParseRateControlOverrides(TCustomFFmpegOpt& task, AVCodecContext* codec_ctx,
                               const std::string& text) {
    std::string_view rest = text;
    int count = 0;
    while (true) {
        const std::size_t slash = rest.find('/');
        const std::string piece(rest.substr(0, slash));
        int start = 0;
        int end = 0;
        int q = 0;
        if (std::sscanf(piece.c_str(), "%d,%d,%d", &start, &end, &q) != 3) {
            task.RaiseError("error parsing rc_override");
        }
        void* grown = ff.av_realloc(codec_ctx->rc_override,
                                    sizeof(RcOverride) * static_cast<std::size_t>(count + 1));
        if (grown == nullptr) {
            task.RaiseError("av_mallocz() failed");
        }
        codec_ctx->rc_override = static_cast<RcOverride*>(grown);
        RcOverride& entry = codec_ctx->rc_override[count];
        entry.start_frame = start;
        entry.end_frame = end;
        if (q > 0) {
            entry.qscale = q;
            entry.quality_factor = 1.0f;
        } else {
            entry.qscale = 0;
            entry.quality_factor = static_cast<float>(-q) / 100.0f;
        }
        ++count;
        codec_ctx->rc_override_count = count;
        if (slash == std::string_view::npos) {
            break;
        }
        rest = rest.substr(slash + 1);
    }
}

std::uint16_t* NewMatrix(TCustomFFmpegOpt& task, const char* what) {
    auto* matrix = static_cast<std::uint16_t*>(ff.av_mallocz(sizeof(std::uint16_t) * 64));
    if (matrix == nullptr) {
        task.RaiseErrorFmt("Could not allocate memory for %s matrix.", what);
    }
    return matrix;
}

}  // namespace

void ChooseEncoder(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                   OutputStream& ost) {
    const AVMediaType type = ost.codec_ctx->codec_type;
    const std::string* name = MatchString(task, oc, ost, ctx.codec_names);
    if (name == nullptr) {
        const AVCodecID id = ff.av_guess_codec(oc->oformat, nullptr, oc->url, nullptr, type);
        ost.codec_ctx->codec_id = id;
        ost.encoder = ff.avcodec_find_encoder(id);
    } else if (*name == "copy") {
        ost.stream_copy = 1;
        ost.encoder = nullptr;
    } else {
        ost.encoder = FindCodec(task, *name, type, true);
        ost.codec_ctx->codec_id = ost.encoder->id;
    }
    ost.stream->codecpar->codec_id = ost.codec_ctx->codec_id;
}

OutputStream& NewOutputStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                              AVMediaType type, int source_index) {
    AVStream* st = ff.avformat_new_stream(oc, nullptr);
    if (st == nullptr) {
        task.RaiseError("Could not alloc stream.");
    }
    const int k = static_cast<int>(oc->nb_streams) - 1;
    if (k < static_cast<int>(ctx.stream_ids.size())) {
        st->id = ctx.stream_ids[static_cast<std::size_t>(k)];
    }
    // Stream specifiers of the per-stream options match on the type.
    st->codecpar->codec_type = type;

    std::unique_ptr<OutputStream> record;
    try {
        record = std::make_unique<OutputStream>();
    } catch (const std::bad_alloc&) {
        task.RaiseError("av_mallocz() failed");
    }
    OutputStream& ost = *record;
    ost.file_index = static_cast<std::int32_t>(task.output_files.size());
    ost.index = k;
    ost.stream = st;
    ost.last_pts = kNoTimestamp;
    ost.last_dts = kNoTimestamp;
    ost.codec_ctx = NewCodecContext(task, nullptr, type);
    task.output_streams.push_back(std::move(record));

    ChooseEncoder(task, ctx, oc, ost);
    const OptionGroup* group = ctx.group;
    ost.encoder_options.Reset(FilterCodecOptions(
        group != nullptr ? group->codec_opts.Get() : nullptr,
        ost.encoder != nullptr ? ost.encoder->id : AV_CODEC_ID_NONE, oc, st, ost.encoder));

    // Start from the encoder's defaults; the codec guessed for a format
    // without a registered encoder is kept for the stream parameters.
    const AVCodecID codec_id = ost.codec_ctx->codec_id;
    ost.codec_ctx = NewCodecContext(task, ost.encoder, type);
    ost.codec_ctx->codec_id = codec_id;

    ost.max_frames = INT64_MAX;
    if (const SpecifierValue* frames = Match(task, oc, ost, ctx.max_frames)) {
        ost.max_frames = frames->i64;
    }
    ost.copy_before_start = -1;
    if (const SpecifierValue* prior = Match(task, oc, ost, ctx.copy_before_start)) {
        ost.copy_before_start = prior->i;
    }
    if (const std::string* filters = MatchString(task, oc, ost, ctx.bitstream_filters)) {
        AddBitstreamFilters(task, ost, *filters);
    }
    if (const std::string* tag = MatchString(task, oc, ost, ctx.codec_tags)) {
        ost.codec_ctx->codec_tag = ParseCodecTag(*tag);
    }
    double qscale = -1;
    if (const SpecifierValue* q = Match(task, oc, ost, ctx.qscale)) {
        qscale = q->dbl;
    }
    if (qscale >= 0) {
        ost.codec_ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ost.codec_ctx->global_quality = static_cast<int>(kQp2Lambda * qscale);
    }
    if ((oc->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        ost.codec_ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }

    ost.sws_flags = ScalerFlags(group);
    CopyDictionary(ost.audio_resampler_options, group != nullptr ? group->swr_opts.Get() : nullptr);
    if (ost.encoder != nullptr && ff.av_get_exact_bits_per_sample(ost.encoder->id) == 24) {
        ff.av_dict_set(ost.audio_resampler_options.Address(), "output_sample_bits", "24", 0);
    }
    CopyDictionary(ost.resample_options, group != nullptr ? group->resample_opts.Get() : nullptr);

    ost.source_index = source_index;
    if (source_index >= 0) {
        InputStream& ist = *task.input_streams.at(static_cast<std::size_t>(source_index));
        ost.sync_stream = &ist;
        ist.discard = 0;
        ist.stream->discard = AVDISCARD_DEFAULT;
    }
    return ost;
}

void ParseMatrixCoefficients(TCustomFFmpegOpt& task, std::uint16_t* target,
                             const std::string& text) {
    const char* p = text.c_str();
    for (int i = 0; i < 64; ++i) {
        target[i] = static_cast<std::uint16_t>(std::atoi(p));
        if (i == 63) {
            break;
        }
        p = std::strchr(p, ',');
        if (p == nullptr) {
            task.RaiseErrorFmt("Syntax error in matrix \"%s\" at coeff %d", text.c_str(), i);
        }
        ++p;
    }
}

OutputStream& NewVideoStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                             int source_index) {
    OutputStream& ost = NewOutputStream(task, ctx, oc, AVMEDIA_TYPE_VIDEO, source_index);
    AVCodecContext* video = ost.codec_ctx.get();

    if (const std::string* rate = MatchString(task, oc, ost, ctx.frame_rates)) {
        if (ff.av_parse_video_rate(&ost.frame_rate, rate->c_str()) < 0) {
            task.RaiseErrorFmt("Invalid framerate value: %s", rate->c_str());
        }
    }
    if (ost.stream_copy != 0) {
        if (const SpecifierValue* keyframes = Match(task, oc, ost, ctx.copy_initial_nonkeyframes)) {
            ost.copy_initial_nonkeyframes = keyframes->i;
        }
        return ost;
    }

    if (const std::string* size = MatchString(task, oc, ost, ctx.frame_sizes)) {
        if (ff.av_parse_video_size(&video->width, &video->height, size->c_str()) < 0) {
            task.RaiseErrorFmt("Invalid frame size: %s.", size->c_str());
        }
    }
    if (const std::string* aspect = MatchString(task, oc, ost, ctx.aspect_ratios)) {
        AVRational ratio{0, 0};
        if (ff.av_parse_ratio(&ratio, aspect->c_str(), 255, 0, nullptr) < 0 || ratio.num <= 0 ||
            ratio.den <= 0) {
            task.RaiseErrorFmt("Invalid aspect ratio: %s", aspect->c_str());
        }
        ost.frame_aspect_ratio = static_cast<float>(av_q2d(ratio));
    }
    video->bits_per_raw_sample = task.bits_per_raw_sample;

    if (const std::string* format = MatchString(task, oc, ost, ctx.pixel_formats)) {
        std::string name = *format;
        if (!name.empty() && name.front() == '+') {
            ost.keep_pixel_format = 1;
            name.erase(0, 1);
        }
        if (!name.empty()) {
            video->pix_fmt = ff.av_get_pix_fmt(name.c_str());
            if (video->pix_fmt == AV_PIX_FMT_NONE) {
                task.RaiseErrorFmt("Unknown pixel format requested: %s.", name.c_str());
            }
        }
    }
    ost.stream->sample_aspect_ratio = video->sample_aspect_ratio;
    if (task.all_intra != 0) {
        video->gop_size = 0;
    }

    if (const std::string* intra = MatchString(task, oc, ost, ctx.intra_matrices)) {
        video->intra_matrix = NewMatrix(task, "intra");
        ParseMatrixCoefficients(task, video->intra_matrix, *intra);
    }
    if (const std::string* inter = MatchString(task, oc, ost, ctx.inter_matrices)) {
        video->inter_matrix = NewMatrix(task, "inter");
        ParseMatrixCoefficients(task, video->inter_matrix, *inter);
    }
    if (const std::string* overrides = MatchString(task, oc, ost, ctx.rc_overrides)) {
        ParseRateControlOverrides(task, video, *overrides);
    }
    video->intra_dc_precision = task.intra_dc_precision - 8;
    if (task.compute_psnr != 0) {
        video->flags |= AV_CODEC_FLAG_PSNR;
    }

    if (const SpecifierValue* pass = Match(task, oc, ost, ctx.passes)) {
        if ((pass->i & 1) != 0) {
            video->flags |= AV_CODEC_FLAG_PASS1;
            ff.av_dict_set(ost.encoder_options.Address(), "flags", "+pass1", AV_DICT_APPEND);
        }
        if ((pass->i & 2) != 0) {
            video->flags |= AV_CODEC_FLAG_PASS2;
            ff.av_dict_set(ost.encoder_options.Address(), "flags", "+pass2", AV_DICT_APPEND);
        }
    }
    if (const std::string* prefix = MatchString(task, oc, ost, ctx.pass_log_prefixes)) {
        ost.pass_log_prefix = *prefix;
    }
    if (const std::string* keys = MatchString(task, oc, ost, ctx.forced_key_frames)) {
        ost.forced_key_spec = *keys;
    }
    if (const SpecifierValue* force = Match(task, oc, ost, ctx.force_fps)) {
        ost.force_fps = force->i;
    }
    ost.top_field_first = -1;
    if (const SpecifierValue* top = Match(task, oc, ost, ctx.top_field_first)) {
        ost.top_field_first = top->i;
    }
    const std::string* filter = MatchString(task, oc, ost, ctx.filters);
    ost.filter_desc = filter != nullptr ? *filter : "null";
    return ost;
}

OutputStream& NewAudioStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                             int source_index) {
    OutputStream& ost = NewOutputStream(task, ctx, oc, AVMEDIA_TYPE_AUDIO, source_index);
    AVCodecContext* audio = ost.codec_ctx.get();
    audio->codec_type = AVMEDIA_TYPE_AUDIO;
    if (ost.stream_copy != 0) {
        return ost;
    }

    if (const SpecifierValue* channels = Match(task, oc, ost, ctx.audio_channels)) {
        // The resampler makes at most 64 channels; 0 leaves the count as it is.
        constexpr int kMostChannels = 64;
        if (channels->i < 0 || channels->i > kMostChannels) {
            task.RaiseErrorFmt("The value for -ac (%d) is out of range: from 0 to %d channels",
                               channels->i, kMostChannels);
        }
        ff.av_channel_layout_uninit(&audio->ch_layout);
        audio->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        audio->ch_layout.nb_channels = channels->i;
    }
    if (const std::string* format = MatchString(task, oc, ost, ctx.sample_formats)) {
        audio->sample_fmt = ff.av_get_sample_fmt(format->c_str());
        if (audio->sample_fmt == AV_SAMPLE_FMT_NONE) {
            task.RaiseErrorFmt("Invalid sample format \"%s\"", format->c_str());
        }
    }
    if (const SpecifierValue* rate = Match(task, oc, ost, ctx.audio_sample_rate)) {
        audio->sample_rate = rate->i;
    }
    const std::string* filter = MatchString(task, oc, ost, ctx.filters);
    ost.filter_desc = filter != nullptr ? *filter : "anull";

    const InputStream* source =
        source_index >= 0 ? task.input_streams[static_cast<std::size_t>(source_index)].get()
                          : nullptr;
    for (const AudioChannelMap& map : ctx.channel_maps) {
        const bool muted = map.file_idx == -1;
        const bool from_source = source != nullptr && map.file_idx == source->file_index &&
                                 map.stream_idx == source->stream->index;
        if ((muted || from_source) &&
            (map.out_file_idx == -1 || map.out_file_idx == ost.file_index) &&
            (map.out_stream_idx == -1 || map.out_stream_idx == ost.index)) {
            if (ost.channel_map_count < kMaxChannelMap) {
                ost.channel_map[static_cast<std::size_t>(ost.channel_map_count++)] =
                    map.channel_idx;
            } else {
                LogFmt(&task, llFatal, "Max channel mapping for output %d.%d reached",
                       ost.file_index, ost.index);
            }
        }
    }
    return ost;
}

OutputStream& NewSubtitleStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                                int source_index) {
    OutputStream& ost = NewOutputStream(task, ctx, oc, AVMEDIA_TYPE_SUBTITLE, source_index);
    ost.codec_ctx->codec_type = AVMEDIA_TYPE_SUBTITLE;
    if (const SpecifierValue* keyframes = Match(task, oc, ost, ctx.copy_initial_nonkeyframes)) {
        ost.copy_initial_nonkeyframes = keyframes->i;
    }
    if (ost.stream_copy == 0) {
        if (const std::string* size = MatchString(task, oc, ost, ctx.frame_sizes)) {
            if (ff.av_parse_video_size(&ost.codec_ctx->width, &ost.codec_ctx->height,
                                       size->c_str()) < 0) {
                task.RaiseErrorFmt("Invalid frame size: %s.", size->c_str());
            }
        }
    }
    return ost;
}

OutputStream& NewDataStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                            int source_index) {
    OutputStream& ost = NewOutputStream(task, ctx, oc, AVMEDIA_TYPE_DATA, source_index);
    if (ost.stream_copy == 0) {
        task.RaiseError("Data stream encoding not supported yet (only streamcopy)");
    }
    return ost;
}

OutputStream& NewAttachmentStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                                  int source_index) {
    OutputStream& ost = NewOutputStream(task, ctx, oc, AVMEDIA_TYPE_ATTACHMENT, source_index);
    ost.stream_copy = 1;
    return ost;
}

}  // namespace tavrin

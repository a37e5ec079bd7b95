#include "media/engine/transcode_setup.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "media/common/error_text.h"
#include "media/common/text_helpers.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/engine_locks.h"
#include "media/engine/pipeline.h"
#include "media/options/filtergraph_setup.h"
#include "media/options/input_file.h"
#include "media/options/join.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/logger.h"
#include "media/runtime/string_format.h"

namespace tavrin {
namespace {

constexpr int kNoStreamsFlag = AVFMT_NOSTREAMS;
constexpr std::uint32_t kTimecodeTag = MakeTag('t', 'm', 'c', 'd');
constexpr const char* kCheckLogHint =
    "Please check error log message(reported by REVaduzi) to find out more detail information.";

std::size_t OwningFileCount(const TCustomFFmpegOpt& task) {
    return task.Joined ? std::min<std::size_t>(task.output_files.size(), 1)
                       : task.output_files.size();
}

// The codec context of output stream `index` (its first-group owner's in a
// join).
AVCodecContext* OutputCodec(TCustomFFmpegOpt& task, std::size_t index) {
    return JoinOwnerOf(task, index).codec_ctx.get();
}

// The decoding context of `ist`, made from the stream's parameters when the
// option layer left none.
AVCodecContext* InputCodec(InputStream& ist) {
    if (!ist.codec_ctx) {
        CodecContextPtr made(ff.avcodec_alloc_context3(ist.decoder));
        if (!made) {
            return nullptr;
        }
        if (ff.avcodec_parameters_to_context(made.get(), ist.stream->codecpar) < 0) {
            return nullptr;
        }
        ist.codec_ctx = std::move(made);
    }
    return ist.codec_ctx.get();
}

// The threads rule of every codec opening: "mjpeg" always runs with one
// thread, anything else gets "auto" unless the user chose.
void SetThreads(Dictionary& options, const AVCodec* codec) {
    if (codec != nullptr && std::strcmp(codec->name, "mjpeg") == 0) {
        ff.av_dict_set(options.Address(), "threads", "1", 0);
    }
    if (ff.av_dict_get(options.Get(), "threads", nullptr, 0) == nullptr) {
        ff.av_dict_set(options.Address(), "threads", "auto", 0);
    }
}

bool IsOneOf(const char* name, std::initializer_list<const char*> names) {
    if (name == nullptr) {
        return false;
    }
    for (const char* candidate : names) {
        if (std::strcmp(name, candidate) == 0) {
            return true;
        }
    }
    return false;
}

// The output time base of a copied stream.
AVRational CopyTimeBase(const TCustomFFmpegOpt& task, const AVFormatContext* oc,
                        const InputStream& ist, const AVCodecContext* icodec, AVCodecContext* codec,
                        const OutputStream& ost) {
    const AVStream* ist_stream = ist.stream;
    const AVRational ist_tb = ist_stream->time_base;
    const AVRational icodec_tb = icodec->time_base;
    const int tpf = icodec->ticks_per_frame;
    const AVRational r_fps = ist_stream->r_frame_rate;
    const AVRational avg_fps = ist_stream->avg_frame_rate;
    const int copy_tb = task.copy_time_base;
    AVRational tb = ist_tb;

    const char* format_name = oc->oformat->name;
    if (std::strcmp(format_name, "avi") == 0) {
        if ((copy_tb < 0 && av_q2d(r_fps) >= av_q2d(avg_fps) &&
             0.5 / av_q2d(r_fps) > av_q2d(ist_tb) && 0.5 / av_q2d(r_fps) > av_q2d(icodec_tb) &&
             av_q2d(ist_tb) < 0.002 && av_q2d(icodec_tb) < 0.002) ||
            copy_tb == 2) {
            tb = AVRational{r_fps.den, 2 * r_fps.num};
            codec->ticks_per_frame = 2;
        } else if ((copy_tb < 0 && tpf * av_q2d(icodec_tb) > 2 * av_q2d(ist_tb) &&
                    av_q2d(ist_tb) < 0.002) ||
                   copy_tb == 0) {
            tb = AVRational{icodec_tb.num * tpf, icodec_tb.den * 2};
            codec->ticks_per_frame = 2;
        }
    } else if ((oc->oformat->flags & AVFMT_VARIABLE_FPS) == 0 &&
               !IsOneOf(format_name, {"mov", "mp4", "3gp", "3g2", "psp", "ipod", "f4v"})) {
        if ((copy_tb < 0 && icodec_tb.den != 0 && tpf * av_q2d(icodec_tb) > av_q2d(ist_tb) &&
             av_q2d(ist_tb) < 0.002) ||
            copy_tb == 0) {
            tb = AVRational{icodec_tb.num * tpf, icodec_tb.den};
        }
    }
    if (codec->codec_tag == kTimecodeTag && icodec_tb.num > 0 && icodec_tb.num < icodec_tb.den &&
        icodec_tb.den < 121 * icodec_tb.num) {
        tb = icodec_tb;
    }
    if (ost.frame_rate.num != 0) {
        tb = av_inv_q(ost.frame_rate);
    }
    // A rule fed by a time base the decoder never filled keeps the stream's.
    if (tb.num <= 0 || tb.den <= 0) {
        tb = ist_tb;
    }
    ff.av_reduce(&tb.num, &tb.den, tb.num, tb.den, std::numeric_limits<int>::max());
    return tb;
}

struct SetupFailure {
    int code = 0;
    std::string text;  // logged after the stream mapping
};

// Stream copy of output stream `index`. 0 or a negative code with LastError.
int PrepareCopy(TCustomFFmpeg& task, std::size_t index, OutputStream& ost, InputStream& ist,
                AVCodecContext* codec) {
    AVFormatContext* oc = OutputContextOf(task, static_cast<std::size_t>(ost.file_index));
    AVCodecContext* icodec = InputCodec(ist);
    if (icodec == nullptr) {
        task.LastError = "av_mallocz() failed";
        return AVERROR(ENOMEM);
    }
    const std::int64_t padded =
        static_cast<std::int64_t>(icodec->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE;
    if (padded > std::numeric_limits<int>::max()) {
        task.LastError = "icodec.extradata_size is invalid (too large)";
        return AVERROR(EINVAL);
    }

    codec->codec_id = icodec->codec_id;
    codec->codec_type = icodec->codec_type;
    if (codec->codec_tag == 0) {
        const AVCodecTag* const* tags = oc->oformat->codec_tag;
        unsigned int found_tag = 0;
        if (tags == nullptr || ff.av_codec_get_id(tags, icodec->codec_tag) == codec->codec_id ||
            ff.av_codec_get_tag2(tags, icodec->codec_id, &found_tag) == 0) {
            codec->codec_tag = icodec->codec_tag;
        }
    }
    codec->bit_rate = icodec->bit_rate;
    codec->rc_max_rate = icodec->rc_max_rate;
    codec->rc_buffer_size = icodec->rc_buffer_size;
    codec->field_order = icodec->field_order;
    ff.av_freep(&codec->extradata);
    codec->extradata_size = 0;
    codec->extradata = static_cast<std::uint8_t*>(ff.av_mallocz(static_cast<std::size_t>(padded)));
    if (codec->extradata == nullptr) {
        task.LastError = "av_mallocz() failed";
        return AVERROR(ENOMEM);
    }
    if (icodec->extradata_size > 0) {
        std::memcpy(codec->extradata, icodec->extradata,
                    static_cast<std::size_t>(icodec->extradata_size));
    }
    codec->extradata_size = icodec->extradata_size;
    codec->bits_per_coded_sample = icodec->bits_per_coded_sample;

    codec->time_base = CopyTimeBase(task, oc, ist, icodec, codec, ost);
    ost.stream->time_base = codec->time_base;

    switch (codec->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            if (task.volume != 256) {
                task.LastError = "-acodec copy and -vol are incompatible (frames are not decoded)";
                return AVERROR(EINVAL);
            }
            if (task.AudioInputHook || task.AudioOutputHook) {
                task.LastError =
                    "-acodec copy and AudioHook are incompatible (frames are not decoded)";
                return AVERROR(EINVAL);
            }
            ff.av_channel_layout_uninit(&codec->ch_layout);
            ff.av_channel_layout_copy(&codec->ch_layout, &icodec->ch_layout);
            codec->sample_rate = icodec->sample_rate;
            codec->frame_size = icodec->frame_size;
            codec->audio_service_type = icodec->audio_service_type;
            codec->block_align = icodec->block_align;
            if ((codec->block_align == 1 || codec->block_align == 1152 ||
                 codec->block_align == 576) &&
                codec->codec_id == AV_CODEC_ID_MP3) {
                codec->block_align = 0;
            }
            if (codec->codec_id == AV_CODEC_ID_AC3) {
                codec->block_align = 0;
            }
            break;
        case AVMEDIA_TYPE_VIDEO: {
            if (task.VideoInputHook || task.VideoOutputHook) {
                task.LastError =
                    "-vcodec copy and VideoHook are incompatible (frames are not decoded)";
                return AVERROR(EINVAL);
            }
            if (task.FrameInputHook || task.FrameOutputHook) {
                task.LastError =
                    "-vcodec copy and FrameHook are incompatible (frames are not decoded)";
                return AVERROR(EINVAL);
            }
            if (task.VideoHookModulesPresent) {
                task.LastError =
                    "-vcodec copy and -vhook are incompatible (frames are not decoded)";
                return AVERROR(EINVAL);
            }
            if (task.PreviewFlags() != 0) {
                task.LastError =
                    "-vcodec copy and PostHooks are incompatible (frames are not decoded)";
                return AVERROR(EINVAL);
            }
            codec->pix_fmt = icodec->pix_fmt;
            codec->width = icodec->width;
            codec->height = icodec->height;
            codec->has_b_frames = icodec->has_b_frames;
            if (codec->sample_aspect_ratio.num == 0) {
                AVRational sar{0, 1};
                if (ist.stream->sample_aspect_ratio.num != 0) {
                    sar = ist.stream->sample_aspect_ratio;
                } else if (icodec->sample_aspect_ratio.num != 0) {
                    sar = icodec->sample_aspect_ratio;
                }
                codec->sample_aspect_ratio = sar;
                ost.stream->sample_aspect_ratio = sar;
            }
            ost.stream->avg_frame_rate = ist.stream->avg_frame_rate;
            break;
        }
        case AVMEDIA_TYPE_SUBTITLE:
            codec->width = icodec->width;
            codec->height = icodec->height;
            break;
        case AVMEDIA_TYPE_DATA:
            // A timecode track is written at its source's frame rate.
            ost.stream->avg_frame_rate = ist.stream->avg_frame_rate;
            break;
        case AVMEDIA_TYPE_ATTACHMENT:
            break;
        default:
            task.LastError = "invalid codec_type of output stream";
            return -1;
    }
    (void)index;
    // A copied picture keeps how it is to be shown (a phone video's rotation).
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
        std::size_t size = 0;
        const std::uint8_t* matrix =
            ff.av_stream_get_side_data(ist.stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
        if (matrix != nullptr) {
            std::uint8_t* copy =
                ff.av_stream_new_side_data(ost.stream, AV_PKT_DATA_DISPLAYMATRIX, size);
            if (copy == nullptr) {
                task.LastError = "av_mallocz() failed";
                return AVERROR(ENOMEM);
            }
            std::memcpy(copy, matrix, size);
        }
    }
    const int result = ff.avcodec_parameters_from_context(ost.stream->codecpar, codec);
    if (result < 0) {
        task.LastError = ErrorText(result);
        return result;
    }
    return 0;
}

// Builds the simple filtergraph of an encoded audio or video stream. A
// joined clone owns no codec context: its graph is built against the
// encoder it shares with its first-group stream, then handed to the clone.
void BuildSimpleFilterGraph(TCustomFFmpeg& task, std::size_t index, OutputStream& ost,
                            InputStream& ist) {
    FilterGraph& fg = InitSimpleFilterGraph(task, ist, ost);
    OutputFilter& ofilter = *fg.outputs.front();
    OutputStream& owner = JoinOwnerOf(task, index);
    ofilter.output_stream = &owner;
    int result = 0;
    try {
        result = ConfigureFilterGraph(task, fg);
    } catch (...) {
        ofilter.output_stream = &ost;
        throw;
    }
    ofilter.output_stream = &ost;
    if (result < 0) {
        task.RaiseError("Error opening filters!");
    }
}

// Two-pass statistics of an encoded stream. 0 or a negative code (text in
// LastError, logged at fatal level).
int PrepareTwoPass(TCustomFFmpeg& task, std::size_t index, OutputStream& ost,
                   AVCodecContext* codec) {
    if ((codec->flags & (AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_PASS2)) == 0) {
        return 0;
    }
    const std::string name =
        PassLogFileName(ost.pass_log_prefix.empty() ? "zozovadod2pass" : ost.pass_log_prefix,
                        static_cast<int>(index));
    if (ost.encoder != nullptr && std::strcmp(ost.encoder->name, "libx264") == 0) {
        ff.av_dict_set(ost.encoder_options.Address(), "stats", name.c_str(),
                       AV_DICT_DONT_OVERWRITE);
        return 0;
    }
    if ((codec->flags & AV_CODEC_FLAG_PASS2) != 0) {
        std::vector<char> content;
        const int read = ReadWholeFile(name, content);
        if (read < 0) {
            const std::string reason =
                StringPrintf("Error reading log file \"%s\" for pass-2 encoding", name.c_str());
            if (read == AVERROR(ENOMEM)) {
                return task.ReturnError(AVERROR(ENOMEM),
                                        "Could not allocate file buffer: " + reason);
            }
            return task.ReturnError(-1, reason);
        }
        ff.av_freep(&codec->stats_in);
        codec->stats_in = static_cast<char*>(ff.av_mallocz(content.size() + 1));
        if (codec->stats_in == nullptr) {
            return task.ReturnError(
                AVERROR(ENOMEM),
                "Could not allocate file buffer: " +
                    StringPrintf("Error reading log file \"%s\" for pass-2 encoding",
                                 name.c_str()));
        }
        std::memcpy(codec->stats_in, content.data(), content.size());
    }
    if ((codec->flags & AV_CODEC_FLAG_PASS1) != 0) {
        ost.pass_log_file.reset(std::fopen(name.c_str(), "wb"));
        if (!ost.pass_log_file) {
            return task.ReturnError(
                -1, StringPrintf("Cannot write log file %s for pass-1 encoding", name.c_str()));
        }
    }
    return 0;
}

// Encoder-side preparation of output stream `index`. 0, a negative code with
// LastError, or a code with `failure` filled (logged after the mapping).
int PrepareEncoding(TCustomFFmpeg& task, std::size_t index, OutputStream& ost, InputStream* ist,
                    AVCodecContext* codec, SetupFailure& failure) {
    if (ost.encoder == nullptr) {
        ost.encoder = ff.avcodec_find_encoder(codec->codec_id);
        if (ost.encoder == nullptr) {
            failure.text =
                StringPrintf("Encoder (codec %s) not found for output stream #%d:%d",
                             ff.avcodec_get_name(codec->codec_id), ost.file_index, ost.index);
            failure.code = AVERROR(EINVAL);
            return failure.code;
        }
    }
    if (ist != nullptr) {
        ++ist->decode_users;
    }
    ost.needs_encoding = 1;

    const AVMediaType type = codec->codec_type;
    if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && ost.filter == nullptr &&
        ist != nullptr) {
        BuildSimpleFilterGraph(task, index, ost, *ist);
    }
    AVFilterContext* sink = ost.filter != nullptr ? ost.filter->filter : nullptr;
    AVFormatContext* oc = OutputContextOf(task, static_cast<std::size_t>(ost.file_index));

    if (type == AVMEDIA_TYPE_VIDEO && ost.frame_rate.num == 0) {
        if (sink != nullptr) {
            ost.frame_rate = ff.av_buffersink_get_frame_rate(sink);
        }
        if (ost.frame_rate.num == 0 && ist != nullptr) {
            ost.frame_rate = ist->forced_frame_rate;
        }
        if (ost.frame_rate.num == 0 || ost.frame_rate.den == 0) {
            ost.frame_rate = (ist != nullptr && ist->stream->r_frame_rate.num != 0)
                                 ? ist->stream->r_frame_rate
                                 : AVRational{25, 1};
        }
        if (ost.encoder->supported_framerates != nullptr && ost.force_fps == 0) {
            const int nearest =
                ff.av_find_nearest_q_idx(ost.frame_rate, ost.encoder->supported_framerates);
            ost.frame_rate = ost.encoder->supported_framerates[nearest];
        }
    }

    switch (type) {
        case AVMEDIA_TYPE_AUDIO:
            if (sink != nullptr) {
                codec->sample_fmt = static_cast<AVSampleFormat>(ff.av_buffersink_get_format(sink));
                codec->sample_rate = ff.av_buffersink_get_sample_rate(sink);
                AVChannelLayout layout{};
                if (ff.av_buffersink_get_ch_layout(sink, &layout) >= 0) {
                    // -ac asks a count the filters could not make (one with
                    // no standard layout): refused, not quietly changed.
                    const int wanted = codec->ch_layout.nb_channels;
                    if (&JoinOwnerOf(task, index) == &ost && wanted > 0 &&
                        layout.nb_channels != wanted) {
                        ff.av_channel_layout_uninit(&layout);
                        return task.ReturnError(
                            AVERROR(EINVAL),
                            StringPrintf("Cannot make %d audio channels for output stream #%d:%d: "
                                         "no channel layout of that count is known, give one "
                                         "with -channel_layout",
                                         wanted, ost.file_index, ost.index));
                    }
                    ff.av_channel_layout_uninit(&codec->ch_layout);
                    codec->ch_layout = layout;
                }
            }
            codec->time_base = AVRational{1, codec->sample_rate > 0 ? codec->sample_rate : 1};
            break;
        case AVMEDIA_TYPE_VIDEO: {
            codec->time_base = av_inv_q(ost.frame_rate);
            if (sink != nullptr && (codec->time_base.num == 0 || codec->time_base.den == 0)) {
                codec->time_base = ff.av_buffersink_get_time_base(sink);
            }
            const bool variable = (oc->oformat->flags & AVFMT_VARIABLE_FPS) != 0;
            if (av_q2d(codec->time_base) < 0.001 &&
                (task.video_sync_method == 1 || (task.video_sync_method == -1 && !variable))) {
                ff.av_log(oc, AV_LOG_WARNING,
                          "Frame rate very high for a muxer not efficiently supporting it.\n"
                          "Please consider specifying a lower framerate, a different muxer or "
                          "-vsync 2\n");
            }
            for (std::int64_t& time : ost.forced_key_times) {
                time = ff.av_rescale_q(time, AV_TIME_BASE_Q, codec->time_base);
            }
            if (sink != nullptr) {
                codec->width = ff.av_buffersink_get_w(sink);
                codec->height = ff.av_buffersink_get_h(sink);
                codec->pix_fmt = static_cast<AVPixelFormat>(ff.av_buffersink_get_format(sink));
            }
            AVRational sar{0, 1};
            if (ost.frame_aspect_ratio != 0 && codec->width > 0) {
                sar = ff.av_d2q(ost.frame_aspect_ratio * codec->height / codec->width, 255);
            } else if (sink != nullptr) {
                sar = ff.av_buffersink_get_sample_aspect_ratio(sink);
            }
            codec->sample_aspect_ratio = sar;
            ost.stream->sample_aspect_ratio = sar;
            const AVCodecContext* icodec = ist != nullptr ? InputCodec(*ist) : nullptr;
            if (icodec == nullptr || codec->width != icodec->width ||
                codec->height != icodec->height || codec->pix_fmt != icodec->pix_fmt) {
                codec->bits_per_raw_sample = task.bits_per_raw_sample;
            }
            if (!ost.forced_key_spec.empty()) {
                const std::string& spec = ost.forced_key_spec;
                if (spec.rfind("expr:", 0) == 0) {
                    static const char* const kNames[] = {
                        "n", "n_forced", "prev_forced_n", "prev_forced_t", "t", nullptr};
                    AVExpr* expr = nullptr;
                    const int parsed = ff.av_expr_parse(&expr, spec.c_str() + 5, kNames, nullptr,
                                                        nullptr, nullptr, nullptr, 0, nullptr);
                    if (parsed < 0) {
                        LogFmt(&task, llError, "Invalid force_key_frames expression \"%s\"",
                               spec.c_str() + 5);
                        return parsed;
                    }
                    ost.forced_key_expr.reset(expr);
                    const double nan = std::numeric_limits<double>::quiet_NaN();
                    ost.forced_key_expr_values = {0, 0, nan, nan, 0};
                } else {
                    parse_key_frame_times(task, spec, ost, codec);
                }
            }
            break;
        }
        case AVMEDIA_TYPE_SUBTITLE:
            codec->time_base = AVRational{1, 1000};
            if (codec->width == 0 && ist != nullptr) {
                if (const AVCodecContext* icodec = InputCodec(*ist)) {
                    codec->width = icodec->width;
                    codec->height = icodec->height;
                }
            }
            break;
        default:
            task.LastError = "invalid codec_type of output stream";
            return -1;
    }
    return PrepareTwoPass(task, index, ost, codec);
}

// Opens the encoder of output stream `index`. 0, a code with `failure`
// filled, or a raised failure.
int OpenEncoder(TCustomFFmpeg& task, std::size_t index, OutputStream& ost, SetupFailure& failure) {
    AVCodecContext* codec = OutputCodec(task, index);
    InputStream* ist = get_source_stream(task, ost);
    if (ist != nullptr && codec->codec_type == AVMEDIA_TYPE_SUBTITLE) {
        // A text subtitle decoder makes its header (the styles every
        // subtitle encoder starts from) only when it opens.
        const int opened = open_input_decoder(task, ost.source_index, failure.text);
        if (opened < 0) {
            failure.code = opened;
            return opened;
        }
    }
    if (ist != nullptr && ist->codec_ctx && ist->codec_ctx->subtitle_header != nullptr) {
        const int size = ist->codec_ctx->subtitle_header_size;
        ff.av_freep(&codec->subtitle_header);
        codec->subtitle_header = static_cast<std::uint8_t*>(
            ff.av_mallocz(static_cast<std::size_t>(std::max(size, 0)) + 1));
        if (codec->subtitle_header == nullptr) {
            failure.text = "av_malloc failed";
            failure.code = AVERROR(ENOMEM);
            return failure.code;
        }
        std::memcpy(codec->subtitle_header, ist->codec_ctx->subtitle_header,
                    static_cast<std::size_t>(std::max(size, 0)));
        codec->subtitle_header_size = size;
    }
    if (task.Joined) {
        ost.saved_codec_id = codec->codec_id;
        ost.saved_max_b_frames = codec->max_b_frames;
        ost.saved_encoder_options.Reset();
        if (ost.encoder_options.Get() != nullptr) {
            ff.av_dict_copy(ost.saved_encoder_options.Address(), ost.encoder_options.Get(), 0);
        }
    }
    SetThreads(ost.encoder_options, ost.encoder);
    const int opened = ff.avcodec_open2(codec, ost.encoder, ost.encoder_options.Address());
    if (opened < 0) {
        if (opened == AVERROR_EXPERIMENTAL) {
            task.RaiseError("abort codec experimental");
        }
        failure.text = StringPrintf(
            "Error while opening encoder for output stream #%d:%d (%s) - maybe incorrect "
            "parameters such as bit_rate, rate, width or height. %s",
            ost.file_index, ost.index, MediaTypeName(codec->codec_type).c_str(), kCheckLogHint);
        failure.code = opened;
        return opened;
    }
    ost.encoder_opened = 1;
    if (codec->codec_type == AVMEDIA_TYPE_AUDIO &&
        (ost.encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) == 0 &&
        ost.filter != nullptr && ost.filter->filter != nullptr) {
        ff.av_buffersink_set_frame_size(ost.filter->filter,
                                        static_cast<unsigned>(codec->frame_size));
    }
    AddOpenedEncoder(task, ost);
    CheckOptionsConsumed(task, ost.encoder_options.Get());
    if (task.Joined) {
        ost.encoder_options = std::move(ost.saved_encoder_options);
    }
    if (codec->bit_rate > 0 && codec->bit_rate < 1000) {
        Log(&task, llWarning,
            "The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s");
    }
    task.extra_size += codec->extradata_size;

    // The muxer learns the encoder's parameters through the stream.
    const int copied = ff.avcodec_parameters_from_context(ost.stream->codecpar, codec);
    if (copied < 0) {
        failure.text = ErrorText("avcodec_parameters_from_context", copied);
        failure.code = copied;
        return copied;
    }
    ost.stream->time_base = codec->time_base;
    if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
        ost.stream->avg_frame_rate = ost.frame_rate;
    }
    // What the encoder tells the container (buffer sizes and rates the
    // program stream muxer sizes its multiplex by).
    for (int k = 0; k < codec->nb_coded_side_data; ++k) {
        const AVPacketSideData& side = codec->coded_side_data[k];
        if (std::uint8_t* data = ff.av_stream_new_side_data(ost.stream, side.type, side.size)) {
            std::memcpy(data, side.data, side.size);
        }
    }
    return 0;
}

// Whether the stream's decoder is open already (a subtitle encoder's source
// opens before the other decoders).
bool DecoderOpened(TCustomFFmpegOpt& task, const InputStream& ist) {
    const std::lock_guard<std::mutex> guard(CodecListLock());
    return std::find(task.OpenedDecoders.begin(), task.OpenedDecoders.end(), &ist) !=
           task.OpenedDecoders.end();
}

}  // namespace

std::string PassLogFileName(const std::string& prefix, int stream_index) {
    std::string name = StringPrintf("%s-%d.log", prefix.c_str(), stream_index);
    if (name.size() > 1023) {
        name.resize(1023);
    }
    return name;
}

InputStream* get_source_stream(TCustomFFmpegOpt& task, const OutputStream& ost) {
    if (ost.source_index < 0 ||
        static_cast<std::size_t>(ost.source_index) >= task.input_streams.size()) {
        return nullptr;
    }
    return task.input_streams[static_cast<std::size_t>(ost.source_index)].get();
}

void close_output_encoder(TCustomFFmpegOpt& task, OutputStream& ost) {
    const std::size_t index = OutputStreamIndex(task, ost);
    if (AVCodecContext* codec = OutputCodec(task, index)) {
        ff.av_freep(&codec->stats_in);
        ff.avcodec_close(codec);
    }
    ost.encoder_closed = 1;
    RemoveOpenedEncoder(task, ost);
}

int open_input_decoder(TCustomFFmpegOpt& task, int index, std::string& error) {
    InputStream& ist = *task.input_streams.at(static_cast<std::size_t>(index));
    if (ist.decode_users != 0 && !DecoderOpened(task, ist)) {
        if (ist.decoder == nullptr) {
            error = StringPrintf("Decoder (codec %s) not found for input stream #%d:%d",
                                 ff.avcodec_get_name(ist.stream->codecpar->codec_id),
                                 ist.file_index, ist.stream->index);
            return AVERROR(EINVAL);
        }
        ist.direct_rendering =
            ((ist.decoder->capabilities & AV_CODEC_CAP_DR1) != 0 && task.deinterlace == 0) ? 1 : 0;
        AVCodecContext* codec = InputCodec(ist);
        if (codec == nullptr) {
            error = StringPrintf("Error while opening decoder for input stream #%d:%d",
                                 ist.file_index, ist.stream->index);
            return AVERROR(ENOMEM);
        }
        if (codec->pkt_timebase.num == 0) {
            codec->pkt_timebase = ist.stream->time_base;
        }
        SetThreads(ist.decoder_options, ist.decoder);
        const int opened = ff.avcodec_open2(codec, ist.decoder, ist.decoder_options.Address());
        if (opened < 0) {
            if (opened == AVERROR_EXPERIMENTAL) {
                task.RaiseError("abort codec experimental");
            }
            error = StringPrintf("Error while opening decoder for input stream #%d:%d",
                                 ist.file_index, ist.stream->index);
            return opened;
        }
        AddOpenedDecoder(task, ist);
        CheckOptionsConsumed(task, ist.decoder_options.Get());
    }
    ist.next_pts = kNoTimestamp;
    ist.next_dts = kNoTimestamp;
    ist.at_start = 1;
    return 0;
}

void parse_key_frame_times(TCustomFFmpegOpt& task, const std::string& spec, OutputStream& ost,
                           AVCodecContext* codec) {
    std::vector<std::int64_t> times;
    try {
        times.reserve(1 + static_cast<std::size_t>(std::count(spec.begin(), spec.end(), ',')));
        std::size_t start = 0;
        while (start <= spec.size()) {
            std::size_t end = spec.find(',', start);
            if (end == std::string::npos) {
                end = spec.size();
            }
            const std::string entry = spec.substr(start, end - start);
            if (entry.rfind("chapters", 0) == 0) {
                const std::string offset_text = entry.substr(8);
                const std::int64_t offset =
                    offset_text.empty() ? 0 : ParseTime("force_key_frames", offset_text, true);
                const std::int64_t offset_in_tb =
                    ff.av_rescale_q(offset, AV_TIME_BASE_Q, codec->time_base);
                const AVFormatContext* oc =
                    OutputContextOf(task, static_cast<std::size_t>(ost.file_index));
                if (oc != nullptr) {
                    if (times.size() + oc->nb_chapters >=
                        static_cast<std::size_t>(std::numeric_limits<int>::max())) {
                        throw std::bad_alloc();
                    }
                    for (unsigned c = 0; c < oc->nb_chapters; ++c) {
                        const AVChapter* chapter = oc->chapters[c];
                        times.push_back(
                            ff.av_rescale_q(chapter->start, chapter->time_base, codec->time_base) +
                            offset_in_tb);
                    }
                }
            } else {
                times.push_back(ff.av_rescale_q(ParseTime("force_key_frames", entry, true),
                                                AV_TIME_BASE_Q, codec->time_base));
            }
            start = end + 1;
        }
    } catch (const std::bad_alloc&) {
        throw FFmpegException("Could not allocate forced key frames array.");
    } catch (const std::length_error&) {
        throw FFmpegException("Could not allocate forced key frames array.");
    }
    std::sort(times.begin(), times.end());
    ost.forced_key_times = std::move(times);
    ost.forced_key_count = static_cast<std::int32_t>(ost.forced_key_times.size());
    ost.forced_key_index = 0;
}

void print_stream_mapping(TCustomFFmpegOpt& task) {
    for (std::size_t i = 0; i < OwningFileCount(task); ++i) {
        AVFormatContext* oc = task.output_files[i]->ctx.get();
        if (oc != nullptr) {
            ff.av_dump_format(oc, static_cast<int>(i), oc->url, 1);
        }
    }
    Log(&task, llInfo, "Stream mapping:");
    const bool several_graphs = task.filtergraphs.size() > 1;
    for (const auto& ist : task.input_streams) {
        for (const InputFilter* ifilter : ist->filters) {
            if (ifilter->graph == nullptr || ifilter->graph->description.empty()) {
                continue;
            }
            std::string line = StringPrintf(
                "  Stream #%d:%d (%s) -> %s", ist->file_index, ist->stream->index,
                ist->decoder != nullptr ? ist->decoder->name : "?", ifilter->name.c_str());
            if (several_graphs) {
                line += StringPrintf(" (graph %d)", ifilter->graph->index);
            }
            Log(&task, llInfo, line);
        }
    }
    for (std::size_t i = 0; i < task.output_streams.size(); ++i) {
        OutputStream& ost = *task.output_streams[i];
        const int file_index = task.Joined ? 0 : ost.file_index;
        if (!ost.attachment_filename.empty()) {
            Log(&task, llInfo,
                StringPrintf("  File %s -> Stream #%d:%d", ost.attachment_filename.c_str(),
                             file_index, ost.index));
            continue;
        }
        const char* encoder_name = ost.encoder != nullptr ? ost.encoder->name : "?";
        if (ost.filter != nullptr && ost.filter->graph != nullptr &&
            !ost.filter->graph->description.empty()) {
            std::string line = StringPrintf("  %s", ost.filter->name.c_str());
            if (several_graphs) {
                line += StringPrintf(" (graph %d)", ost.filter->graph->index);
            }
            line += StringPrintf(" -> Stream #%d:%d (%s)", file_index, ost.index, encoder_name);
            Log(&task, llInfo, line);
            continue;
        }
        const InputStream* ist = get_source_stream(task, ost);
        std::string line;
        if (ist != nullptr) {
            line = StringPrintf("  Stream #%d:%d -> #%d:%d", ist->file_index, ist->stream->index,
                                file_index, ost.index);
            if (ost.sync_stream != nullptr && ost.sync_stream != ist) {
                line += StringPrintf(" [sync #%d:%d]", ost.sync_stream->file_index,
                                     ost.sync_stream->stream->index);
            }
        } else {
            line = StringPrintf("  Stream -> #%d:%d", file_index, ost.index);
        }
        if (ost.stream_copy != 0) {
            line += " (copy)";
        } else {
            line += StringPrintf(
                " (%s", ist != nullptr && ist->decoder != nullptr ? ist->decoder->name : "?");
            line += StringPrintf(" -> %s)", encoder_name);
        }
        const AVCodecContext* codec = OutputCodec(task, i);
        line += StringPrintf(
            " (%s)",
            MediaTypeName(codec != nullptr ? codec->codec_type : AVMEDIA_TYPE_UNKNOWN).c_str());
        Log(&task, llInfo, line);
    }
}

void log_sdp(TCustomFFmpegOpt& task) {
    std::vector<AVFormatContext*> contexts;
    try {
        for (std::size_t i = 0; i < OwningFileCount(task); ++i) {
            contexts.push_back(task.output_files[i]->ctx.get());
        }
    } catch (const std::bad_alloc&) {
        task.RaiseError("av_malloc failed");
    }
    std::vector<char> sdp(16384, '\0');
    ff.av_sdp_create(contexts.data(), static_cast<int>(contexts.size()), sdp.data(),
                     static_cast<int>(sdp.size()));
    std::string text(sdp.data());
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    Log(&task, llInfo, "SDP:\n" + text);
}

int transcode_init(TCustomFFmpeg& task) {
    SetupFailure failure;
    bool want_sdp = true;

    // Start stamps of the inputs read at their native rate.
    for (const auto& file : task.input_files) {
        if (file->native_rate == 0) {
            continue;
        }
        const std::int64_t now = ff.av_gettime();
        for (int s = 0; s < file->stream_count; ++s) {
            task.input_streams[static_cast<std::size_t>(file->first_stream + s)]->start = now;
        }
    }

    // Every output needs a stream unless its format carries none.
    for (std::size_t i = 0; i < task.output_files.size(); ++i) {
        AVFormatContext* oc = OutputContextOf(task, i);
        if (oc != nullptr && oc->nb_streams == 0 && (oc->oformat->flags & kNoStreamsFlag) == 0) {
            ff.av_dump_format(oc, static_cast<int>(i), oc->url, 1);
            return task.ReturnError(
                AVERROR(EINVAL),
                StringPrintf("Output file #%d does not contain any stream", static_cast<int>(i)),
                llError);
        }
    }

    // The complex filtergraphs the option layer built.
    for (const auto& fg : task.filtergraphs) {
        if (fg->graph) {
            const int result = ff.avfilter_graph_config(fg->graph.get(), nullptr);
            if (result < 0) {
                return result;
            }
        }
    }

    // Per-stream preparation. In a join the clones of every group run too:
    // they share their codec context, so what is prepared last stays there.
    for (std::size_t i = 0; i < task.output_streams.size() && failure.code == 0; ++i) {
        OutputStream& ost = *task.output_streams[i];
        if (!ost.attachment_filename.empty()) {
            // Muxers read the attached bytes from the stream's parameters.
            if (i < OwningStreamCount(task)) {
                const int result =
                    ff.avcodec_parameters_from_context(ost.stream->codecpar, ost.codec_ctx.get());
                if (result < 0) {
                    failure.text = ErrorText("avcodec_parameters_from_context", result);
                    failure.code = result;
                }
            }
            continue;
        }
        AVCodecContext* codec = OutputCodec(task, i);
        InputStream* ist = get_source_stream(task, ost);
        if (codec == nullptr) {
            task.RaiseError("Output stream without codec context");
        }
        if (ist != nullptr) {
            ost.stream->disposition = ist->stream->disposition;
            if (const AVCodecContext* icodec = InputCodec(*ist)) {
                codec->bits_per_raw_sample = icodec->bits_per_raw_sample;
                codec->chroma_sample_location = icodec->chroma_sample_location;
            }
        }
        if (ost.stream_copy != 0) {
            if (ist == nullptr || ost.filter != nullptr) {
                task.RaiseError("Stream copy without a source or with filters attached");
            }
            const int result = PrepareCopy(task, i, ost, *ist, codec);
            if (result < 0) {
                return result;
            }
            continue;
        }
        const int result = PrepareEncoding(task, i, ost, ist, codec, failure);
        if (result < 0 && failure.code == 0) {
            // Failures whose text is already logged or kept in LastError.
            return result;
        }
    }

    // Open the encoders: in a join only those of the first group, which
    // every later group shares.
    const std::size_t owners = OwningStreamCount(task);
    if (failure.code == 0) {
        for (std::size_t i = 0; i < task.output_streams.size(); ++i) {
            OutputStream& ost = *task.output_streams[i];
            if (i >= owners) {
                continue;
            }
            if (ost.needs_encoding == 0) {
                if (ost.encoder_options.Get() != nullptr) {
                    ff.av_opt_set_dict(OutputCodec(task, i), ost.encoder_options.Address());
                }
                continue;
            }
            if (OpenEncoder(task, i, ost, failure) < 0) {
                break;
            }
        }
    }

    // Open the decoders; a failure closes the encoders opened above.
    if (failure.code == 0) {
        for (std::size_t i = 0; i < task.input_streams.size(); ++i) {
            std::string error;
            const int result = open_input_decoder(task, static_cast<int>(i), error);
            if (result < 0) {
                for (std::size_t o = 0; o < owners; ++o) {
                    OutputStream& ost = *task.output_streams[o];
                    if (ost.encoder_opened != 0 && ost.encoder_closed == 0) {
                        close_output_encoder(task, ost);
                    }
                }
                failure.code = result;
                failure.text = error;
                break;
            }
        }
    }

    // Programs with at least one used stream are read, the others skipped.
    if (failure.code == 0) {
        for (const auto& file : task.input_files) {
            AVFormatContext* ic = file->ctx.get();
            if (ic == nullptr) {
                continue;
            }
            for (unsigned p = 0; p < ic->nb_programs; ++p) {
                AVProgram* program = ic->programs[p];
                AVDiscard discard = AVDISCARD_ALL;
                for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
                    const int index =
                        file->first_stream + static_cast<int>(program->stream_index[k]);
                    if (index >= 0 && static_cast<std::size_t>(index) < task.input_streams.size() &&
                        task.input_streams[static_cast<std::size_t>(index)]->discard == 0) {
                        discard = AVDISCARD_DEFAULT;
                        break;
                    }
                }
                program->discard = discard;
            }
        }
    }

    // Bitstream filters may change what the muxer is told about a stream,
    // so their chains start before the headers are written.
    if (failure.code == 0) {
        for (std::size_t i = 0; i < owners; ++i) {
            OutputStream& ost = *task.output_streams[i];
            if (!ost.bitstream_filters.empty()) {
                const int result = init_bitstream_filters(task, ost);
                if (result < 0) {
                    failure.code = result;
                    failure.text = ErrorText("Could not initialize the bitstream filters", result);
                    break;
                }
            }
        }
    }

    // Headers: a joined output has one muxer.
    if (failure.code == 0) {
        for (std::size_t i = 0; i < OwningFileCount(task); ++i) {
            OutputFile& file = *task.output_files[i];
            AVFormatContext* oc = file.ctx.get();
            if (oc == nullptr) {
                continue;
            }
            oc->interrupt_callback = task.OutputInterrupt();
            task.ArmWriteTimer();
            const int written = ff.avformat_write_header(oc, file.muxer_options.Address());
            if (written < 0) {
                failure.text = StringPrintf(
                    "Could not write header for output file #%d (incorrect codec "
                    "parameters ?): %s",
                    static_cast<int>(i), ErrorText(written).c_str());
                failure.code = AVERROR(EINVAL);
                // A header the disk would not take is not a codec problem:
                // the task's message is the file's and the system's reason.
                if (oc->pb != nullptr && oc->pb->error < 0) {
                    task.LastError = OutputFileError(oc, oc->pb->error);
                }
                break;
            }
            if (std::strcmp(oc->oformat->name, "rtp") != 0) {
                want_sdp = false;
            }
        }
    }

    print_stream_mapping(task);
    if (failure.code != 0) {
        if (!failure.text.empty()) {
            Log(&task, llError, failure.text);
        }
        return failure.code;
    }
    if (want_sdp) {
        log_sdp(task);
    }
    return 0;
}

}  // namespace tavrin

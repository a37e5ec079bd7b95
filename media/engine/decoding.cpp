#include "media/engine/decoding.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "media/common/error_text.h"
#include "media/engine/hooks.h"
#include "media/options/filtergraph_setup.h"

namespace tavrin {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

std::size_t InputStreamIndex(const TCustomFFmpegOpt& task, const InputStream& ist) {
    const InputFile& file = *task.input_files.at(static_cast<std::size_t>(ist.file_index));
    return static_cast<std::size_t>(file.first_stream + ist.stream->index);
}

// Hands `frame` to every filter input of the stream; the last one takes the
// frame's reference, the others get their own.
int PushToFilters(InputStream& ist, AVFrame* frame) {
    const std::size_t count = ist.filters.size();
    for (std::size_t i = 0; i < count; ++i) {
        int flags = AV_BUFFERSRC_FLAG_PUSH;
        if (i + 1 < count) {
            flags |= AV_BUFFERSRC_FLAG_KEEP_REF;
        }
        const int result = ff.av_buffersrc_add_frame_flags(ist.filters[i]->filter, frame, flags);
        if (result < 0) {
            return result;
        }
    }
    ff.av_frame_unref(frame);
    return 0;
}

// How many decoding errors a drain reports before it gives up on the frames
// the decoder still holds.
constexpr int kMaxDrainErrors = 32;

void SignalEndOfStream(InputStream& ist) {
    for (InputFilter* ifilter : ist.filters) {
        if (ifilter->filter != nullptr) {
            // A source that ended already stays ended; nothing to report.
            [[maybe_unused]] const int result =
                ff.av_buffersrc_add_frame_flags(ifilter->filter, nullptr, AV_BUFFERSRC_FLAG_PUSH);
        }
    }
}

// A decoding error met while draining (`packet` null). A damaged end of file
// must neither lose the frames the decoder still holds nor keep the end of
// the stream from the filters, which would wait for it for ever: true while
// the drain should go on; once it gives up the filters are told the end.
bool GoOnDrainingAfter(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet, int error,
                       int& errors) {
    if (packet != nullptr) {
        return false;
    }
    LogFmt(&task, llWarning, "Error while decoding stream #%d:%d: %s", ist.file_index,
           ist.stream->index, ErrorText(error).c_str());
    if (++errors < kMaxDrainErrors) {
        return true;
    }
    SignalEndOfStream(ist);
    return false;
}

// Rebuilds every graph the stream feeds; audio sinks of fixed-size encoders
// get their frame size again.
void ReconfigureFilters(TCustomFFmpegOpt& task, InputStream& ist) {
    for (InputFilter* ifilter : ist.filters) {
        FilterGraph& fg = *ifilter->graph;
        if (ConfigureFilterGraph(task, fg) < 0) {
            task.RaiseError("Error reinitializing filters!");
        }
        for (const std::unique_ptr<OutputFilter>& ofilter : fg.outputs) {
            OutputStream* ost = ofilter->output_stream;
            if (ost == nullptr || ofilter->filter == nullptr) {
                continue;
            }
            const AVCodecContext* enc = EncoderContext(task, *ost);
            if (enc != nullptr && enc->codec != nullptr && enc->codec_type == AVMEDIA_TYPE_AUDIO &&
                (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) == 0 &&
                enc->frame_size > 0) {
                ff.av_buffersink_set_frame_size(ofilter->filter,
                                                static_cast<unsigned>(enc->frame_size));
            }
        }
    }
}

std::string LayoutText(const AVChannelLayout& layout) {
    char text[64] = "";
    ff.av_channel_layout_describe(&layout, text, sizeof(text));
    return text;
}

const char* SampleFormatName(int format) {
    const char* name = ff.av_get_sample_fmt_name(static_cast<AVSampleFormat>(format));
    return name != nullptr ? name : "none";
}

const char* PixelFormatName(int format) {
    const char* name = ff.av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return name != nullptr ? name : "none";
}

void CheckAudioParameterChange(TCustomFFmpegOpt& task, InputStream& ist, AVFrame* frame) {
    AVCodecContext* dec = ist.codec_ctx.get();
    // A decoder that names no layout follows the one guessed for the stream.
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC &&
        dec->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC &&
        dec->ch_layout.nb_channels == frame->ch_layout.nb_channels) {
        ff.av_channel_layout_copy(&frame->ch_layout, &dec->ch_layout);
    }
    const bool changed =
        frame->format != ist.last_sample_fmt || dec->ch_layout.nb_channels != ist.last_channels ||
        ff.av_channel_layout_compare(&frame->ch_layout, &ist.last_channel_layout) != 0 ||
        frame->sample_rate != ist.last_sample_rate;
    if (!changed) {
        return;
    }
    if (dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        const int channels = dec->ch_layout.nb_channels;
        if (channels > ist.guess_layout_max) {
            task.RaiseErrorFmt("Unable to find default channel layout for Input Stream #%d.%d",
                               ist.file_index, ist.stream->index);
        }
        ff.av_channel_layout_uninit(&dec->ch_layout);
        ff.av_channel_layout_default(&dec->ch_layout, channels);
    }
    ff.av_channel_layout_copy(&frame->ch_layout, &dec->ch_layout);

    LogFmt(&task, llInfo,
           "Input stream #%d:%d frame changed from rate:%d fmt:%s ch:%d chl:%s to rate:%d fmt:%s "
           "ch:%d chl:%s",
           ist.file_index, ist.stream->index, ist.last_sample_rate,
           SampleFormatName(ist.last_sample_fmt), ist.last_channels,
           LayoutText(ist.last_channel_layout).c_str(), frame->sample_rate,
           SampleFormatName(frame->format), dec->ch_layout.nb_channels,
           LayoutText(frame->ch_layout).c_str());
    ist.last_sample_fmt = frame->format;
    ist.last_channels = dec->ch_layout.nb_channels;
    ff.av_channel_layout_uninit(&ist.last_channel_layout);
    ff.av_channel_layout_copy(&ist.last_channel_layout, &frame->ch_layout);
    ist.last_sample_rate = frame->sample_rate;
    // The graph's source takes the decoder's current format.
    dec->sample_rate = frame->sample_rate;
    dec->sample_fmt = static_cast<AVSampleFormat>(frame->format);
    ReconfigureFilters(task, ist);
}

void CheckVideoParameterChange(TCustomFFmpegOpt& task, InputStream& ist, const AVFrame* frame) {
    if (frame->width == ist.last_width && frame->height == ist.last_height &&
        frame->format == ist.last_pix_fmt) {
        return;
    }
    LogFmt(&task, llInfo,
           "Input stream #%d:%d frame changed from size:%dx%d fmt:%s to size:%dx%d fmt:%s",
           ist.file_index, ist.stream->index, ist.last_width, ist.last_height,
           PixelFormatName(ist.last_pix_fmt), frame->width, frame->height,
           PixelFormatName(frame->format));
    ist.last_width = frame->width;
    ist.last_height = frame->height;
    ist.last_pix_fmt = frame->format;
    if (ist.reinit_filter != 0) {
        ReconfigureFilters(task, ist);
    }
}

bool AllocateDecodedFrame(InputStream& ist) {
    if (!ist.decoded_frame) {
        ist.decoded_frame.reset(ff.av_frame_alloc());
    }
    return static_cast<bool>(ist.decoded_frame);
}

// Sends the packet (null drains); a decoder that was drained already takes
// nothing more and is not an error.
int SendToDecoder(AVCodecContext* dec, const AVPacket* packet) {
    const int result = ff.avcodec_send_packet(dec, packet);
    return result == AVERROR_EOF ? 0 : result;
}

// The seek point of the stream's input in `tb`; none when the input was not
// opened at -ss.
std::optional<std::int64_t> SeekPoint(const TCustomFFmpegOpt& task, const InputStream& ist,
                                      AVRational tb) {
    const InputFile& file = *task.input_files.at(static_cast<std::size_t>(ist.file_index));
    if (file.seeked == 0) {
        return std::nullopt;
    }
    return ff.av_rescale_q(file.time_origin, kMicroseconds, tb);
}

// Cuts the samples of `frame` (stamped in 1/sample_rate) that lie before
// `start`: 1 when samples remain, 0 when the whole frame lies before it.
int CutSamplesBefore(AVFrame* frame, std::optional<std::int64_t> start) {
    if (!start || frame->pts == kNoTimestamp || frame->pts >= *start) {
        return 1;
    }
    const std::int64_t skip = *start - frame->pts;
    if (skip >= frame->nb_samples) {
        ff.av_frame_unref(frame);
        return 0;
    }
    FramePtr cut(ff.av_frame_alloc());
    if (!cut) {
        return AVERROR(ENOMEM);
    }
    cut->format = frame->format;
    cut->sample_rate = frame->sample_rate;
    cut->nb_samples = frame->nb_samples - static_cast<int>(skip);
    int result = ff.av_channel_layout_copy(&cut->ch_layout, &frame->ch_layout);
    if (result >= 0) {
        result = ff.av_frame_get_buffer(cut.get(), 0);
    }
    if (result >= 0) {
        result = ff.av_frame_copy_props(cut.get(), frame);
    }
    if (result < 0) {
        return result;
    }
    ff.av_samples_copy(cut->extended_data, frame->extended_data, 0, static_cast<int>(skip),
                       cut->nb_samples, frame->ch_layout.nb_channels,
                       static_cast<AVSampleFormat>(frame->format));
    cut->pts = frame->pts + skip;
    ff.av_frame_unref(frame);
    ff.av_frame_move_ref(frame, cut.get());
    return 1;
}

// A video frame that starts before the seek point is left out, as a whole.
bool BeforeSeekPoint(const TCustomFFmpegOpt& task, const InputStream& ist, const AVFrame* frame) {
    const std::optional<std::int64_t> start = SeekPoint(task, ist, ist.stream->time_base);
    return start && frame->pts != kNoTimestamp && frame->pts < *start;
}

enum class RectResult { kDrawn, kNotBitmap, kOverflow };

RectResult DrawRect(std::uint8_t* canvas, int linesize, int width, int height,
                    const AVSubtitleRect& rect) {
    if (rect.type != SUBTITLE_BITMAP) {
        return RectResult::kNotBitmap;
    }
    return DrawSubtitleRect(canvas, linesize, width, height, rect) ? RectResult::kDrawn
                                                                   : RectResult::kOverflow;
}

}  // namespace

// --- Time and rate helpers ----------------------------------------------------

std::int64_t VideoFrameDuration(const InputStream& ist, std::int64_t packet_duration) {
    if (packet_duration > 0) {
        return ff.av_rescale_q(packet_duration, ist.stream->time_base, kMicroseconds);
    }
    AVRational rate{0, 1};
    if (ist.codec_ctx && ist.codec_ctx->framerate.num > 0 && ist.codec_ctx->framerate.den > 0) {
        rate = ist.codec_ctx->framerate;
    } else if (ist.stream->avg_frame_rate.num > 0 && ist.stream->avg_frame_rate.den > 0) {
        rate = ist.stream->avg_frame_rate;
    } else if (ist.stream->r_frame_rate.num > 0 && ist.stream->r_frame_rate.den > 0) {
        rate = ist.stream->r_frame_rate;
    }
    if (rate.num <= 0) {
        return 0;
    }
    return 1000000LL * rate.den / rate.num;
}

bool feeds_output(const TCustomFFmpegOpt& task, const InputStream& ist, const OutputStream& ost) {
    if (ost.source_index < 0 ||
        static_cast<std::size_t>(ost.source_index) != InputStreamIndex(task, ist)) {
        return false;
    }
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));
    return file.start_time == 0 || ist.pts >= file.start_time;
}

void emulate_rate(const TCustomFFmpegOpt& task, InputStream& ist) {
    const InputFile& file = *task.input_files.at(static_cast<std::size_t>(ist.file_index));
    if (file.native_rate == 0) {
        return;
    }
    const std::int64_t target = ist.dts;
    const std::int64_t elapsed = ff.av_gettime() - ist.start;
    if (target > elapsed) {
        ff.av_usleep(static_cast<unsigned>(std::min<std::int64_t>(target - elapsed, UINT_MAX)));
    }
}

// --- Decoders -------------------------------------------------------------------

int decode_audio_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet,
                        bool& got_output) {
    got_output = false;
    if (!AllocateDecodedFrame(ist)) {
        return AVERROR(ENOMEM);
    }
    AVCodecContext* dec = ist.codec_ctx.get();
    AVFrame* frame = ist.decoded_frame.get();
    int result = SendToDecoder(dec, packet);
    if (result < 0) {
        if (packet == nullptr) {
            SignalEndOfStream(ist);
        }
        return result;
    }
    std::int64_t packet_pts = packet != nullptr ? packet->pts : kNoTimestamp;
    int frames = 0;
    int drain_errors = 0;
    for (;;) {
        result = ff.avcodec_receive_frame(dec, frame);
        if (result == AVERROR(EAGAIN)) {
            return 0;
        }
        if (result == AVERROR_EOF) {
            if (packet == nullptr) {
                SignalEndOfStream(ist);
            }
            return 0;
        }
        if (result < 0) {
            if (GoOnDrainingAfter(task, ist, packet, result, drain_errors)) {
                continue;
            }
            return result;
        }
        if (frame->sample_rate <= 0) {
            ff.av_log(dec, AV_LOG_ERROR, "Sample rate %d invalid\n", frame->sample_rate);
            ff.av_frame_unref(frame);
            return AVERROR_INVALIDDATA;
        }
        if (frame->nb_samples < 1) {
            ff.av_frame_unref(frame);
            task.RaiseErrorFmt("the decoder \"%s\" return bad result.", dec->codec->name);
        }
        if (frames > 0 && packet != nullptr) {
            // Several frames came out of one packet.
            LogFmt(&task, ist.multi_packet_warned != 0 ? llVerbose : llWarning,
                   "Multiple frames in a packet from stream %d", packet->stream_index);
            ist.multi_packet_warned = 1;
        }
        ++frames;
        got_output = true;
        ist.pts = ist.next_pts;
        ist.dts = ist.next_dts;
        const std::int64_t frame_time = 1000000LL * frame->nb_samples / frame->sample_rate;
        ist.next_pts += frame_time;
        ist.next_dts += frame_time;

        if (TCustomFFmpeg* engine = EngineTaskOf(task);
            engine != nullptr && engine->AudioInputHook) {
            engine->run_audio_hook(engine->AudioInputHook, frame, ist.pts);
        }
        emulate_rate(task, ist);
        CheckAudioParameterChange(task, ist, frame);

        std::int64_t stamp = ist.dts;
        AVRational stamp_tb = kMicroseconds;
        if (frame->pts != kNoTimestamp) {
            stamp = frame->pts;
            stamp_tb = ist.stream->time_base;
            packet_pts = kNoTimestamp;
        } else if (packet_pts != kNoTimestamp) {
            stamp = packet_pts;
            stamp_tb = ist.stream->time_base;
            packet_pts = kNoTimestamp;
        }
        const AVRational sample_tb{1, frame->sample_rate};
        frame->pts = ff.av_rescale_delta(stamp_tb, stamp, sample_tb, frame->nb_samples,
                                         &ist.filter_rescale_remainder, sample_tb);
        const int kept = CutSamplesBefore(frame, SeekPoint(task, ist, sample_tb));
        if (kept < 0) {
            ff.av_frame_unref(frame);
            return kept;
        }
        if (kept == 0) {
            continue;
        }
        if (PushToFilters(ist, frame) < 0) {
            ff.av_frame_unref(frame);
            task.RaiseError("Failed to inject frame into filter network");
        }
    }
}

int decode_video_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet,
                        bool& got_output) {
    got_output = false;
    if (!AllocateDecodedFrame(ist)) {
        return AVERROR(ENOMEM);
    }
    AVCodecContext* dec = ist.codec_ctx.get();
    AVFrame* frame = ist.decoded_frame.get();
    int result = 0;
    if (packet != nullptr) {
        // The decoder sees the predicted decoding time when the packet has none.
        AVPacket sent = *packet;
        sent.dts = ist.dts != kNoTimestamp
                       ? ff.av_rescale_q(ist.dts, kMicroseconds, ist.stream->time_base)
                       : kNoTimestamp;
        result = SendToDecoder(dec, &sent);
    } else {
        result = SendToDecoder(dec, nullptr);
    }
    if (result < 0) {
        if (packet == nullptr) {
            SignalEndOfStream(ist);
        }
        return result;
    }
    const std::int64_t duration = VideoFrameDuration(ist, packet != nullptr ? packet->duration : 0);
    int drain_errors = 0;
    for (;;) {
        result = ff.avcodec_receive_frame(dec, frame);
        if (result == AVERROR(EAGAIN)) {
            break;
        }
        if (result == AVERROR_EOF) {
            if (packet == nullptr) {
                SignalEndOfStream(ist);
            }
            break;
        }
        if (result < 0) {
            if (GoOnDrainingAfter(task, ist, packet, result, drain_errors)) {
                continue;
            }
            return result;
        }
        got_output = true;
        if (ist.top_field_first >= 0) {
            frame->top_field_first = ist.top_field_first;
        }
        const std::int64_t best_effort = frame->best_effort_timestamp;
        if (best_effort != kNoTimestamp) {
            frame->pts = best_effort;
            ist.pts = ff.av_rescale_q(best_effort, ist.stream->time_base, kMicroseconds);
            ist.next_pts = ist.pts;
        }
        if (task.debug_timestamps != 0) {
            const AVRational tb = ist.stream->time_base;
            LogFmt(&task, llInfo,
                   "decoder -> ist_index:%d type:video frame_pts:%s frame_pts_time:%s "
                   "best_effort_ts:%lld best_effort_ts_time:%s keyframe:%d frame_type:%d ",
                   ist.stream->index, TimestampText(frame->pts).c_str(),
                   TimeText(frame->pts, tb).c_str(), static_cast<long long>(best_effort),
                   TimeText(best_effort, tb).c_str(), frame->key_frame,
                   static_cast<int>(frame->pict_type));
        }
        if (TCustomFFmpeg* engine = EngineTaskOf(task)) {
            engine->pre_process_video_frame(ist, frame);
        }
        emulate_rate(task, ist);
        if (ist.stream->sample_aspect_ratio.num != 0) {
            frame->sample_aspect_ratio = ist.stream->sample_aspect_ratio;
        }
        CheckVideoParameterChange(task, ist, frame);
        if (BeforeSeekPoint(task, ist, frame)) {
            ff.av_frame_unref(frame);
        } else if (PushToFilters(ist, frame) < 0) {
            ff.av_frame_unref(frame);
            task.RaiseError("Failed to inject frame into filter network");
        }
        ist.next_pts += duration;
        if (packet == nullptr) {
            ist.next_dts =
                ist.dts != kNoTimestamp && duration != 0 ? ist.next_dts + duration : kNoTimestamp;
        }
    }
    if (packet != nullptr) {
        ist.next_dts =
            ist.dts != kNoTimestamp && duration != 0 ? ist.next_dts + duration : kNoTimestamp;
    }
    return 0;
}

int decode_subtitle_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet,
                           bool& got_output) {
    got_output = false;
    AVCodecContext* dec = ist.codec_ctx.get();
    AVPacket empty{};
    empty.pts = kNoTimestamp;
    empty.dts = kNoTimestamp;
    AVPacket sent = packet != nullptr ? *packet : empty;
    AVSubtitle subtitle{};
    int got = 0;
    int result = ff.avcodec_decode_subtitle2(dec, &subtitle, &got, &sent);
    if (result < 0 || got == 0) {
        if (packet == nullptr) {
            sub2video_finish(task, ist);
        }
        return result < 0 ? result : 0;
    }

    if (ist.fix_sub_duration != 0) {
        InputStream::PreviousSubtitle& previous = ist.prev_sub;
        if (previous.got_output != 0) {
            const std::int64_t end = (subtitle.pts - previous.subtitle.pts) * 1000 / 1000000;
            if (end < previous.subtitle.end_display_time) {
                ff.av_log(dec, AV_LOG_DEBUG, "Subtitle duration reduced from %d to %d\n",
                          static_cast<int>(previous.subtitle.end_display_time),
                          static_cast<int>(end));
                previous.subtitle.end_display_time = static_cast<std::uint32_t>(end);
            }
        }
        std::swap(got, previous.got_output);
        std::swap(result, previous.result);
        std::swap(subtitle, previous.subtitle);
    }

    sub2video_draw(task, ist, got != 0 ? &subtitle : nullptr);
    if (got != 0 && subtitle.num_rects > 0) {
        got_output = true;
        emulate_rate(task, ist);
        for (std::int64_t i = std::max<std::int64_t>(task.FirstActiveStream, 0);
             i <= task.LastActiveStream &&
             i < static_cast<std::int64_t>(task.output_streams.size());
             ++i) {
            OutputStream& ost = *task.output_streams[static_cast<std::size_t>(i)];
            if (feeds_output(task, ist, ost) && ost.needs_encoding != 0) {
                encode_subtitle(task, MuxerOf(task, ost), ost, ist, subtitle);
            }
        }
    }
    ff.avsubtitle_free(&subtitle);
    return result < 0 ? result : 0;
}

int decode_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet) {
    const AVStream* st = ist.stream;
    const AVMediaType type = st->codecpar->codec_type;
    AVCodecContext* dec = ist.codec_ctx.get();

    if (ist.first_ts_seen == 0) {
        ist.dts = 0;
        if (st->avg_frame_rate.num != 0 && dec != nullptr) {
            ist.dts = std::llrint(-static_cast<double>(dec->has_b_frames) * 1000000.0 /
                                  av_q2d(st->avg_frame_rate));
        }
        ist.pts = 0;
        if (packet != nullptr && packet->pts != kNoTimestamp && ist.decode_users == 0) {
            ist.dts += ff.av_rescale_q(packet->pts, st->time_base, kMicroseconds);
            ist.pts = ist.dts;
        }
        ist.first_ts_seen = 1;
    }
    if (ist.next_dts == kNoTimestamp) {
        ist.next_dts = ist.dts;
    }
    if (ist.next_pts == kNoTimestamp) {
        ist.next_pts = ist.pts;
    }
    if (packet != nullptr && packet->dts != kNoTimestamp) {
        ist.dts = ff.av_rescale_q(packet->dts, st->time_base, kMicroseconds);
        ist.next_dts = ist.dts;
        if (type != AVMEDIA_TYPE_VIDEO || ist.decode_users == 0) {
            ist.pts = ist.dts;
            ist.next_pts = ist.dts;
        }
    }

    if (ist.decode_users != 0 && dec != nullptr) {
        ist.pts = ist.next_pts;
        ist.dts = ist.next_dts;
        bool got_output = false;
        int result = -1;
        switch (type) {
            case AVMEDIA_TYPE_AUDIO:
                result = decode_audio_packet(task, ist, packet, got_output);
                break;
            case AVMEDIA_TYPE_VIDEO:
                result = decode_video_packet(task, ist, packet, got_output);
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                result = decode_subtitle_packet(task, ist, packet, got_output);
                break;
            default:
                break;
        }
        ist.last_decode_produced = got_output ? 1 : 0;
        if (result < 0) {
            return result;
        }
    } else if (ist.decode_users == 0) {
        emulate_rate(task, ist);
        ist.dts = ist.next_dts;
        if (type == AVMEDIA_TYPE_VIDEO) {
            ist.next_dts += VideoFrameDuration(ist, packet != nullptr ? packet->duration : 0);
        } else if (type == AVMEDIA_TYPE_AUDIO && st->codecpar->sample_rate > 0) {
            ist.next_dts += 1000000LL * st->codecpar->frame_size / st->codecpar->sample_rate;
        }
        ist.pts = ist.dts;
        ist.next_pts = ist.next_dts;
    }

    if (packet != nullptr) {
        const std::int64_t count = static_cast<std::int64_t>(task.output_streams.size());
        for (std::int64_t i = std::max<std::int64_t>(task.FirstActiveStream, 0);
             i <= task.LastActiveStream && i < count; ++i) {
            OutputStream& ost = *task.output_streams[static_cast<std::size_t>(i)];
            if (ost.needs_encoding != 1 && feeds_output(task, ist, ost)) {
                copy_stream_packet(task, ist, ost, *packet);
            }
        }
    }
    return 0;
}

// --- Bitmap subtitles as video -------------------------------------------------------

bool DrawSubtitleRect(std::uint8_t* canvas, int canvas_linesize, int canvas_width,
                      int canvas_height, const AVSubtitleRect& rect) {
    if (rect.x < 0 || rect.y < 0 || rect.w < 0 || rect.h < 0 || rect.x + rect.w > canvas_width ||
        rect.y + rect.h > canvas_height || rect.data[0] == nullptr || rect.data[1] == nullptr) {
        return false;
    }
    const std::uint8_t* source = rect.data[0];
    std::uint32_t palette[256];
    std::memcpy(palette, rect.data[1], sizeof(palette));
    std::uint8_t* row = canvas + static_cast<std::ptrdiff_t>(rect.y) * canvas_linesize + rect.x * 4;
    for (int y = 0; y < rect.h; ++y) {
        auto* pixel = reinterpret_cast<std::uint32_t*>(row);
        for (int x = 0; x < rect.w; ++x) {
            pixel[x] = palette[source[x]];
        }
        source += rect.linesize[0];
        row += canvas_linesize;
    }
    return true;
}

void sub2video_push(TCustomFFmpegOpt& /*task*/, InputStream& ist, std::int64_t pts) {
    AVFrame* canvas = ist.sub2video.frame.get();
    if (canvas == nullptr) {
        return;
    }
    canvas->pts = pts;
    ist.sub2video.last_pts = pts;
    for (InputFilter* ifilter : ist.filters) {
        // A graph that refuses the canvas has ended; the subtitle is simply not shown.
        [[maybe_unused]] const int result = ff.av_buffersrc_add_frame_flags(
            ifilter->filter, canvas, AV_BUFFERSRC_FLAG_KEEP_REF | AV_BUFFERSRC_FLAG_PUSH);
    }
}

void sub2video_draw(TCustomFFmpegOpt& task, InputStream& ist, const AVSubtitle* subtitle) {
    AVFrame* canvas = ist.sub2video.frame.get();
    if (canvas == nullptr) {
        return;
    }
    const AVRational tb = ist.stream->time_base;
    std::int64_t pts = 0;
    std::int64_t end = 0;
    unsigned rect_count = 0;
    if (subtitle != nullptr) {
        pts = ff.av_rescale_q(subtitle->pts + subtitle->start_display_time * 1000LL, kMicroseconds,
                              tb);
        end =
            ff.av_rescale_q(subtitle->pts + subtitle->end_display_time * 1000LL, kMicroseconds, tb);
        rect_count = subtitle->num_rects;
    } else {
        pts = ist.sub2video.end_pts;
        end = INT64_MAX;
    }
    // The filters may still hold the previous picture.
    if (ff.av_frame_make_writable(canvas) < 0) {
        return;
    }
    std::memset(
        canvas->data[0], 0,
        static_cast<std::size_t>(canvas->height) * static_cast<std::size_t>(canvas->linesize[0]));
    for (unsigned i = 0; i < rect_count; ++i) {
        switch (DrawRect(canvas->data[0], canvas->linesize[0], canvas->width, canvas->height,
                         *subtitle->rects[i])) {
            case RectResult::kNotBitmap:
                Log(&task, llWarning, "sub2video: non-bitmap subtitle");
                break;
            case RectResult::kOverflow:
                Log(&task, llWarning, "sub2video: rectangle overflowing");
                break;
            case RectResult::kDrawn:
                break;
        }
    }
    sub2video_push(task, ist, pts);
    ist.sub2video.end_pts = end;
}

void sub2video_refresh(TCustomFFmpegOpt& task, InputStream& ist, std::int64_t pts) {
    if (pts == kNoTimestamp) {
        return;
    }
    const InputFile& file = *task.input_files.at(static_cast<std::size_t>(ist.file_index));
    for (int i = 0; i < file.stream_count; ++i) {
        InputStream& other = *task.input_streams[static_cast<std::size_t>(file.first_stream + i)];
        if (!other.sub2video.frame) {
            continue;
        }
        const std::int64_t pts2 =
            ff.av_rescale_q(pts, ist.stream->time_base, other.stream->time_base) - 1;
        if (pts2 <= other.sub2video.last_pts) {
            continue;
        }
        if (pts2 >= other.sub2video.end_pts) {
            sub2video_draw(task, other, nullptr);
        }
        unsigned failed = 0;
        for (InputFilter* ifilter : other.filters) {
            failed += ff.av_buffersrc_get_nb_failed_requests(ifilter->filter);
        }
        if (failed > 0) {
            sub2video_push(task, other, pts2);
        }
    }
}

void sub2video_finish(TCustomFFmpegOpt& /*task*/, InputStream& ist) {
    SignalEndOfStream(ist);
}

}  // namespace tavrin

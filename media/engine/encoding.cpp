// Encoding filtered frames and decoded subtitles, and draining the encoders.
// Encoded packets are moved from the encoder's time base into the muxer
// stream's and, in a joined task, kept increasing across the joined inputs.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "media/common/error_text.h"
#include "media/engine/hooks.h"
#include "media/engine/pipeline.h"
#include "media/engine/progress.h"
#include "media/engine/transcode_setup.h"
#include "media/engine/video_stats.h"

namespace tavrin {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr std::size_t kSubtitleBufferSize = 1048576;

// Names of the key-frame expression values, in their order.
enum KeyFrameValue { kN, kNForced, kPrevForcedN, kPrevForcedT, kT, kKeyFrameValueCount };

AVPacket* WorkPacket(TCustomFFmpegOpt& task) {
    if (!task.work_packet) {
        task.work_packet.reset(ff.av_packet_alloc());
        if (!task.work_packet) {
            task.RaiseError("av_mallocz() failed");
        }
    }
    return task.work_packet.get();
}

void RescaleEncodedStamps(AVPacket* packet, AVRational from, AVRational to) {
    if (packet->pts != kNoTimestamp) {
        packet->pts = ff.av_rescale_q(packet->pts, from, to);
    }
    if (packet->dts != kNoTimestamp) {
        packet->dts = ff.av_rescale_q(packet->dts, from, to);
    }
    if (packet->duration > 0) {
        packet->duration = ff.av_rescale_q(packet->duration, from, to);
    }
}

// An encoder that reorders pictures gives presentation stamps that go back
// within a group of pictures; only their decoding stamps can be kept
// increasing, and a presentation stamp is kept at or after its decoding one.
bool ReordersPictures(const AVCodecContext* enc) {
    return enc->codec_type == AVMEDIA_TYPE_VIDEO &&
           (enc->max_b_frames > 0 || enc->has_b_frames > 0);
}

void KeepJoinedStampsIncreasing(TCustomFFmpegOpt& task, OutputStream& ost,
                                const AVCodecContext* enc, AVPacket* packet) {
    if (!task.Joined) {
        return;
    }
    packet->dts = KeepIncreasing(packet->dts, ost.last_dts);
    if (!ReordersPictures(enc)) {
        packet->pts = KeepIncreasing(packet->pts, ost.last_pts);
    } else if (packet->pts != kNoTimestamp && packet->dts != kNoTimestamp &&
               packet->pts < packet->dts) {
        packet->pts = packet->dts;
    }
}

void WritePassLog(OutputStream& owner, const AVCodecContext* enc) {
    if (owner.pass_log_file && enc->stats_out != nullptr) {
        std::fputs(enc->stats_out, owner.pass_log_file.get());
    }
}

void LogEncoderStamps(TCustomFFmpegOpt& task, const char* pattern, const AVPacket& packet,
                      AVRational tb) {
    if (task.debug_timestamps != 0) {
        LogFmt(&task, llInfo, pattern, TimestampText(packet.pts).c_str(),
               TimeText(packet.pts, tb).c_str(), TimestampText(packet.dts).c_str(),
               TimeText(packet.dts, tb).c_str());
    }
}

// Whether this copy of the frame must be a key frame (-force_key_frames).
bool ForcedKeyFrame(TCustomFFmpegOpt& task, OutputStream& ost, const AVCodecContext* enc,
                    const AVFrame& frame) {
    const double pts_time =
        frame.pts != kNoTimestamp ? static_cast<double>(frame.pts) * av_q2d(enc->time_base) : NAN;
    bool forced = false;
    if (ost.forced_key_index < ost.forced_key_count && frame.pts != kNoTimestamp &&
        static_cast<std::size_t>(ost.forced_key_index) < ost.forced_key_times.size() &&
        frame.pts >= ost.forced_key_times[static_cast<std::size_t>(ost.forced_key_index)]) {
        ++ost.forced_key_index;
        forced = true;
    } else if (ost.forced_key_expr) {
        std::vector<double>& values = ost.forced_key_expr_values;
        if (values.size() < kKeyFrameValueCount) {
            values.assign(kKeyFrameValueCount, 0.0);
            values[kPrevForcedN] = NAN;
            values[kPrevForcedT] = NAN;
        }
        values[kT] = pts_time;
        const double result = ff.av_expr_eval(ost.forced_key_expr.get(), values.data(), nullptr);
        LogFmt(&task, llDebug,
               "force_key_frame: n:%f n_forced:%f prev_forced_n:%f t:%f prev_forced_t:%f -> res:%f",
               values[kN], values[kNForced], values[kPrevForcedN], values[kT], values[kPrevForcedT],
               result);
        if (result != 0.0) {
            forced = true;
            values[kPrevForcedN] = values[kN];
            values[kPrevForcedT] = values[kT];
            values[kNForced] += 1;
        }
        values[kN] += 1;
    }
    if (forced) {
        LogFmt(&task, llDebug, "Forced keyframe at time %f", pts_time);
    }
    return forced;
}

// Takes every packet the video encoder has ready and writes it.
void WriteVideoPackets(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                       OutputStream& owner, AVCodecContext* enc) {
    AVPacket* packet = WorkPacket(task);
    for (;;) {
        const int result = ff.avcodec_receive_packet(enc, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        if (result < 0) {
            task.RaiseError("Video encoding failed");
        }
        if (packet->pts == kNoTimestamp && (enc->codec->capabilities & AV_CODEC_CAP_DELAY) == 0) {
            packet->pts = ost.output_counter;
        }
        RescaleEncodedStamps(packet, enc->time_base, ost.stream->time_base);
        KeepJoinedStampsIncreasing(task, ost, enc, packet);
        LogEncoderStamps(task,
                         "encoder -> type:video pkt_pts:%s pkt_pts_time:%s pkt_dts:%s "
                         "pkt_dts_time:%s",
                         *packet, ost.stream->time_base);
        task.video_size += packet->size;
        const int frame_size = packet->size;
        note_coded_picture(ost, *packet);
        mux_packet(task, muxer, packet, ost);
        WritePassLog(owner, enc);
        if (!task.vstats_file.empty()) {
            write_video_stats(task, ost, frame_size);
        }
    }
}

void WriteAudioPackets(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                       AVCodecContext* enc) {
    AVPacket* packet = WorkPacket(task);
    for (;;) {
        const int result = ff.avcodec_receive_packet(enc, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return;
        }
        if (result < 0) {
            task.RaiseError("Audio encoding failed (avcodec_encode_audio2)");
        }
        RescaleEncodedStamps(packet, enc->time_base, ost.stream->time_base);
        KeepJoinedStampsIncreasing(task, ost, enc, packet);
        LogEncoderStamps(task,
                         "encoder . type:audio pkt_pts:%s pkt_pts_time:%s pkt_dts:%s "
                         "pkt_dts_time:%s",
                         *packet, ost.stream->time_base);
        task.audio_size += packet->size;
        mux_packet(task, muxer, packet, ost);
    }
}

// Sends the carried samples as one frame placed at the stream's sample
// position.
void SendCarriedSamples(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                        OutputStream& owner, AVCodecContext* enc) {
    AVFrame* carry = owner.join_carry.get();
    carry->nb_samples = owner.join_carry_samples;
    carry->pts = ost.output_counter;
    ost.output_counter += owner.join_carry_samples;
    owner.join_carry_samples = 0;
    if (ff.avcodec_send_frame(enc, carry) < 0) {
        task.RaiseError("Audio encoding failed (avcodec_encode_audio2)");
    }
    WriteAudioPackets(task, muxer, ost, enc);
}

// Regroups `frame` into whole encoder frames after what is carried; a short
// frame of a joined input that is not the last one stays carried for the
// next input instead of ending the encoder's stream.
void EncodeThroughCarry(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                        OutputStream& owner, AVCodecContext* enc, const AVFrame* frame) {
    const int frame_size = enc->frame_size;
    if (!owner.join_carry) {
        FramePtr carry(ff.av_frame_alloc());
        if (!carry) {
            task.RaiseError("av_mallocz() failed");
        }
        carry->format = frame->format;
        carry->sample_rate = frame->sample_rate;
        carry->nb_samples = frame_size;
        if (ff.av_channel_layout_copy(&carry->ch_layout, &frame->ch_layout) < 0 ||
            ff.av_frame_get_buffer(carry.get(), 0) < 0) {
            task.RaiseError("av_mallocz() failed");
        }
        owner.join_carry = std::move(carry);
        owner.join_carry_samples = 0;
    }
    AVFrame* carry = owner.join_carry.get();
    int offset = 0;
    int remaining = frame->nb_samples;
    while (remaining > 0) {
        // The encoder may still hold the previous frame's buffer.
        carry->nb_samples = frame_size;
        if (ff.av_frame_make_writable(carry) < 0) {
            task.RaiseError("av_mallocz() failed");
        }
        const int take = std::min(remaining, frame_size - owner.join_carry_samples);
        ff.av_samples_copy(carry->extended_data, frame->extended_data, owner.join_carry_samples,
                           offset, take, frame->ch_layout.nb_channels,
                           static_cast<AVSampleFormat>(frame->format));
        owner.join_carry_samples += take;
        offset += take;
        remaining -= take;
        if (owner.join_carry_samples == frame_size) {
            SendCarriedSamples(task, muxer, ost, owner, enc);
        }
    }
    const bool last_input =
        task.JoinIndex + 1 >= static_cast<std::int32_t>(task.input_files.size());
    if (frame->nb_samples < frame_size && last_input && owner.join_carry_samples > 0) {
        SendCarriedSamples(task, muxer, ost, owner, enc);
    }
}

}  // namespace

bool CarriesAudioAcrossJoin(const TCustomFFmpegOpt& task, const AVCodecContext* enc) {
    return task.Joined && enc != nullptr && enc->codec != nullptr &&
           enc->codec_type == AVMEDIA_TYPE_AUDIO && enc->frame_size > 1 &&
           (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) == 0;
}

void encode_video_frame(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                        AVFrame* frame) {
    OutputStream& owner = StreamOwner(task, ost);
    AVCodecContext* enc = EncoderContext(task, ost);
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));

    double duration = 0;
    if (ost.source_index >= 0 && ost.frame_rate.num != 0) {
        const InputStream& source =
            *task.input_streams.at(static_cast<std::size_t>(ost.source_index));
        if (source.stream->start_time != kNoTimestamp) {
            duration = 1 / (av_q2d(ost.frame_rate) * av_q2d(enc->time_base));
        }
    }

    const int method = ResolveVideoSyncMethod(task.video_sync_method, muxer->oformat->flags);
    // Passthrough follows the sync stream's time. A frame of that very stream
    // keeps its own: the frames a decoder releases when it is drained reach
    // this point together, after the stream's time has moved to the last one.
    const bool own_time = frame->pts != kNoTimestamp && ost.sync_stream != nullptr &&
                          ost.sync_stream == get_source_stream(task, ost);
    if (method == 0 && ost.sync_stream != nullptr && !own_time) {
        frame->pts = std::llrint(static_cast<double>(ost.sync_stream->pts - file.start_time) /
                                 1000000.0 / av_q2d(enc->time_base));
    }

    // A frame without a time is written once at the counter rather than lost.
    const double sync_ipts = frame->pts != kNoTimestamp ? static_cast<double>(frame->pts)
                                                        : static_cast<double>(ost.output_counter);
    const VideoSyncDecision decision =
        DecideVideoSync(method, sync_ipts, ost.output_counter, duration);
    if (decision.unknown_method) {
        task.RaiseError("Never occur");
    }
    ost.output_counter = decision.output_counter;
    std::int64_t nb_frames =
        std::min<std::int64_t>(decision.nb_frames, ost.max_frames - ost.frame_number);

    if (nb_frames <= 0) {
        ++task.frames_dropped;
        task.dup_drop_changed = true;
        Log(&task, llVerbose, "*** drop!");
        return;
    }
    if (nb_frames > 1) {
        if (static_cast<double>(nb_frames) > static_cast<double>(task.dts_error_threshold) * 30) {
            LogFmt(&task, llError, "%lld frame duplication too large, skipping",
                   static_cast<long long>(nb_frames - 1));
            ++task.frames_dropped;
            task.dup_drop_changed = true;
            return;
        }
        task.frames_duplicated += static_cast<std::int32_t>(nb_frames - 1);
        task.dup_drop_changed = true;
        LogFmt(&task, llVerbose, "*** %lld dup!", static_cast<long long>(nb_frames - 1));
    }

    TCustomFFmpeg* engine = EngineTaskOf(task);
    const bool interlaced_coding =
        (enc->flags & (AV_CODEC_FLAG_INTERLACED_ME | AV_CODEC_FLAG_INTERLACED_DCT)) != 0;
    // Every copy of a duplicated picture is hooked from the picture as it
    // came: a hook that changes the picture in place would otherwise work
    // again on its own result (an inversion undone on every second copy).
    FramePtr unhooked;
    if (nb_frames > 1 && engine != nullptr && engine->HasOutputHooks()) {
        unhooked.reset(ff.av_frame_clone(frame));
        if (!unhooked) {
            task.RaiseError("av_frame_clone() failed");
        }
    }
    for (std::int64_t copy = 0; copy < nb_frames; ++copy) {
        if (task.AbortRequested.load(std::memory_order_relaxed)) {
            break;
        }
        if (copy > 0 && unhooked) {
            ff.av_frame_unref(frame);
            if (ff.av_frame_ref(frame, unhooked.get()) < 0) {
                task.RaiseError("av_frame_ref() failed");
            }
        }
        frame->pts = ost.output_counter;
        if (!within_recording_time(task, ost)) {
            return;
        }
        if (interlaced_coding && ost.top_field_first != -1) {
            frame->top_field_first = ost.top_field_first;
        }
        if (frame->interlaced_frame != 0) {
            if (enc->codec_id == AV_CODEC_ID_MJPEG) {
                enc->field_order = frame->top_field_first != 0 ? AV_FIELD_TT : AV_FIELD_BB;
            } else {
                enc->field_order = frame->top_field_first != 0 ? AV_FIELD_TB : AV_FIELD_BT;
            }
        } else {
            enc->field_order = AV_FIELD_PROGRESSIVE;
        }
        frame->quality = enc->global_quality;
        frame->pict_type = AV_PICTURE_TYPE_NONE;
        if (ForcedKeyFrame(task, ost, enc, *frame)) {
            frame->pict_type = AV_PICTURE_TYPE_I;
        }
        if (engine != nullptr && (engine->HasOutputHooks() || engine->PreviewFlags() != 0)) {
            engine->run_output_hooks_and_preview(frame, enc, ost.frame_number + 1, frame->pts);
        }

        const int sent = ff.avcodec_send_frame(enc, frame);
        if (sent < 0) {
            task.RaiseError("Video encoding failed");
        }
        WriteVideoPackets(task, muxer, ost, owner, enc);
        ++ost.output_counter;
        ++ost.frame_number;
    }
}

void encode_audio_frame(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                        AVFrame* frame) {
    AVCodecContext* enc = EncoderContext(task, ost);
    if (!within_recording_time(task, ost)) {
        return;
    }
    TCustomFFmpeg* engine = EngineTaskOf(task);
    const auto run_hook = [&] {
        if (engine != nullptr && engine->AudioOutputHook) {
            const std::int64_t pts = frame->pts != kNoTimestamp
                                         ? ff.av_rescale_q(frame->pts, enc->time_base, {1, 1000000})
                                         : kNoTimestamp;
            engine->run_audio_hook(engine->AudioOutputHook, frame, pts);
        }
    };
    if (CarriesAudioAcrossJoin(task, enc)) {
        OutputStream& owner = StreamOwner(task, ost);
        const bool last_input =
            task.JoinIndex + 1 >= static_cast<std::int32_t>(task.input_files.size());
        if (owner.join_carry || (frame->nb_samples < enc->frame_size && !last_input)) {
            run_hook();
            EncodeThroughCarry(task, muxer, ost, owner, enc, frame);
            return;
        }
    }
    if (frame->pts == kNoTimestamp || task.audio_sync_method < 0) {
        frame->pts = ost.output_counter;
    }
    ost.output_counter = frame->pts + frame->nb_samples;
    run_hook();

    const int sent = ff.avcodec_send_frame(enc, frame);
    if (sent < 0) {
        task.RaiseError("Audio encoding failed (avcodec_encode_audio2)");
    }
    WriteAudioPackets(task, muxer, ost, enc);
}

void encode_subtitle(TCustomFFmpegOpt& task, AVFormatContext* muxer, OutputStream& ost,
                     InputStream& /*ist*/, AVSubtitle& subtitle) {
    if (subtitle.pts == kNoTimestamp) {
        const char* text = "Subtitle packets must have a pts";
        if (task.exit_on_error != 0) {
            task.RaiseError(text);
        }
        Log(&task, llError, text);
        return;
    }
    AVCodecContext* enc = EncoderContext(task, ost);
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));
    if (task.subtitle_out.empty()) {
        task.subtitle_out.resize(kSubtitleBufferSize);
    }

    const bool dvb = enc->codec_id == AV_CODEC_ID_DVB_SUBTITLE;
    const int copies = dvb ? 2 : 1;
    std::int64_t pts = subtitle.pts - file.start_time;
    AVPacket* packet = WorkPacket(task);
    for (int i = 0; i < copies; ++i) {
        ost.output_counter = ff.av_rescale_q(pts, kMicroseconds, enc->time_base);
        if (!within_recording_time(task, ost)) {
            return;
        }
        subtitle.pts =
            pts + ff.av_rescale_q(subtitle.start_display_time, AVRational{1, 1000}, kMicroseconds);
        subtitle.end_display_time -= subtitle.start_display_time;
        subtitle.start_display_time = 0;
        // The second DVB copy clears the screen.
        const unsigned saved_rects = subtitle.num_rects;
        if (i == 1) {
            subtitle.num_rects = 0;
        }
        const int size = ff.avcodec_encode_subtitle(
            enc, task.subtitle_out.data(), static_cast<int>(task.subtitle_out.size()), &subtitle);
        if (i == 1) {
            subtitle.num_rects = saved_rects;
        }
        if (size < 0) {
            task.RaiseError("Subtitle encoding failed");
        }
        if (ff.av_new_packet(packet, size) < 0) {
            task.RaiseError("av_mallocz() failed");
        }
        std::copy_n(task.subtitle_out.data(), size, packet->data);
        packet->pts = ff.av_rescale_q(subtitle.pts, kMicroseconds, ost.stream->time_base);
        packet->duration =
            ff.av_rescale_q(subtitle.end_display_time, AVRational{1, 1000}, ost.stream->time_base);
        if (dvb) {
            packet->pts += 90 * static_cast<std::int64_t>(i == 0 ? subtitle.start_display_time
                                                                 : subtitle.end_display_time);
        }
        packet->dts = packet->pts;
        task.subtitle_size += size;
        mux_packet(task, muxer, packet, ost);
    }
}

namespace {

void DrainActiveEncoders(TCustomFFmpegOpt& task, bool keep_joined_audio) {
    for (std::int64_t i = task.FirstActiveStream; i <= task.LastActiveStream; ++i) {
        if (i < 0 || i >= static_cast<std::int64_t>(task.output_streams.size())) {
            continue;
        }
        OutputStream& ost = *task.output_streams[static_cast<std::size_t>(i)];
        if (ost.flushed != 0) {
            continue;
        }
        ost.flushed = 1;
        if (ost.needs_encoding == 0) {
            continue;
        }
        AVCodecContext* enc = EncoderContext(task, ost);
        if (enc == nullptr || enc->codec == nullptr) {
            continue;
        }
        const AVMediaType type = enc->codec_type;
        if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) {
            continue;
        }
        if (type == AVMEDIA_TYPE_AUDIO && enc->frame_size <= 1) {
            continue;
        }
        if (keep_joined_audio && CarriesAudioAcrossJoin(task, enc)) {
            continue;  // runs on into the next joined input
        }
        const char* kind = type == AVMEDIA_TYPE_VIDEO ? "Video" : "Audio";
        OutputStream& owner = StreamOwner(task, ost);
        AVFormatContext* muxer = MuxerOf(task, ost);
        if (owner.join_carry_samples > 0) {
            SendCarriedSamples(task, muxer, ost, owner, enc);
        }
        const int sent = ff.avcodec_send_frame(enc, nullptr);
        if (sent < 0 && sent != AVERROR_EOF) {
            task.RaiseErrorFmt("%s encoding failed", kind);
        }
        AVPacket* packet = WorkPacket(task);
        for (;;) {
            const int result = ff.avcodec_receive_packet(enc, packet);
            if (result == AVERROR_EOF || result == AVERROR(EAGAIN)) {
                break;
            }
            if (result < 0) {
                task.RaiseErrorFmt("%s encoding failed", kind);
            }
            const int frame_size = packet->size;
            if (type == AVMEDIA_TYPE_VIDEO) {
                task.video_size += packet->size;
                note_coded_picture(ost, *packet);
            } else {
                task.audio_size += packet->size;
            }
            WritePassLog(owner, enc);
            RescaleEncodedStamps(packet, enc->time_base, ost.stream->time_base);
            KeepJoinedStampsIncreasing(task, ost, enc, packet);
            mux_packet(task, muxer, packet, ost);
            if (type == AVMEDIA_TYPE_VIDEO && !task.vstats_file.empty()) {
                write_video_stats(task, ost, frame_size);
            }
        }
    }
}

}  // namespace

void drain_encoders(TCustomFFmpegOpt& task) {
    DrainActiveEncoders(task, false);
}

void drain_encoders_for_next_input(TCustomFFmpegOpt& task) {
    DrainActiveEncoders(task, true);
}

}  // namespace tavrin

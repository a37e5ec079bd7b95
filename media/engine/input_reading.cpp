#include "media/engine/input_reading.h"

#include <cmath>
#include <cstdio>
#include <string>

#include "media/common/error_text.h"
#include "media/common/text_helpers.h"
#include "media/engine/decoding.h"

namespace tavrin {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

void ReportOrRaise(TCustomFFmpegOpt& task, const std::string& text) {
    if (task.exit_on_error != 0) {
        task.RaiseError(text);
    }
    Log(&task, llError, text);
}

void LogDemuxerStamps(TCustomFFmpegOpt& task, const InputFile& file, const InputStream& ist,
                      const AVPacket& packet, int global_index) {
    const AVRational tb = ist.stream->time_base;
    LogFmt(&task, llInfo,
           "demuxer -> ist_index:%d type:%s next_dts:%s next_dts_time:%s next_pts:%s "
           "next_pts_time:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s pkt_dts_time:%s off:%s "
           "off_time:%s",
           global_index, ff.av_get_media_type_string(ist.stream->codecpar->codec_type),
           TimestampText(ist.next_dts).c_str(), TimeText(ist.next_dts, kMicroseconds).c_str(),
           TimestampText(ist.next_pts).c_str(), TimeText(ist.next_pts, kMicroseconds).c_str(),
           TimestampText(packet.pts).c_str(), TimeText(packet.pts, tb).c_str(),
           TimestampText(packet.dts).c_str(), TimeText(packet.dts, tb).c_str(),
           TimestampText(file.ts_offset).c_str(), TimeText(file.ts_offset, kMicroseconds).c_str());
}

// Once per stream: moves the file's offset to the earliest stream start when
// the demuxer's own start is later, then undoes a wrap of the first stamps.
void CorrectStartAndWrap(InputFile& file, InputStream& ist, AVPacket* packet) {
    AVFormatContext* ic = file.ctx.get();
    if (ist.wrap_corrected != 0 || ic->start_time == kNoTimestamp ||
        ist.stream->pts_wrap_bits >= 64) {
        return;
    }
    if (ist.next_dts == kNoTimestamp && file.ts_offset == -ic->start_time &&
        (ic->iformat->flags & AVFMT_TS_DISCONT) != 0) {
        std::int64_t new_start = INT64_MAX;
        for (unsigned i = 0; i < ic->nb_streams; ++i) {
            const AVStream* st = ic->streams[i];
            if (st->discard == AVDISCARD_ALL || st->start_time == kNoTimestamp) {
                continue;
            }
            new_start =
                std::min(new_start, ff.av_rescale_q(st->start_time, st->time_base, kMicroseconds));
        }
        if (new_start != INT64_MAX && new_start > ic->start_time) {
            ff.av_log(ic, AV_LOG_VERBOSE, "Correcting start time by %lld\n",
                      static_cast<long long>(new_start - ic->start_time));
            file.ts_offset = -new_start;
        }
    }
    const std::int64_t start =
        ff.av_rescale_q(ic->start_time, kMicroseconds, ist.stream->time_base);
    ist.wrap_corrected = 1;
    if (CorrectTimestampWrap(start, ist.stream->pts_wrap_bits, packet->dts, packet->pts)) {
        ist.wrap_corrected = 0;
    }
}

void CorrectDiscontinuity(TCustomFFmpegOpt& task, InputFile& file, InputStream& ist,
                          AVPacket* packet) {
    if (packet->dts == kNoTimestamp || ist.next_dts == kNoTimestamp || task.copy_timestamps != 0) {
        return;
    }
    const AVRational tb = ist.stream->time_base;
    const bool is_subtitle = ist.stream->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE;
    const std::int64_t packet_dts = ff.av_rescale_q(packet->dts, tb, kMicroseconds);
    const std::int64_t delta = packet_dts - ist.next_dts;
    if ((file.ctx->iformat->flags & AVFMT_TS_DISCONT) != 0) {
        if (IsTimestampDiscontinuity(delta, task.dts_delta_threshold, is_subtitle, packet_dts,
                                     ist.pts)) {
            file.ts_offset -= delta;
            LogFmt(&task, llDebug, "timestamp discontinuity %lld, new offset= %lld",
                   static_cast<long long>(delta), static_cast<long long>(file.ts_offset));
            const std::int64_t shift = ff.av_rescale_q(delta, kMicroseconds, tb);
            packet->dts -= shift;
            if (packet->pts != kNoTimestamp) {
                packet->pts -= shift;
            }
        }
        return;
    }
    if (IsTimestampInvalid(delta, task.dts_error_threshold, is_subtitle)) {
        LogFmt(&task, llWarning, "DTS %lld, next:%lld st:%d invalid dropping",
               static_cast<long long>(packet->dts), static_cast<long long>(ist.next_dts),
               packet->stream_index);
        packet->dts = kNoTimestamp;
    }
    if (packet->pts != kNoTimestamp) {
        const std::int64_t pts_delta =
            ff.av_rescale_q(packet->pts, tb, kMicroseconds) - ist.next_dts;
        if (IsTimestampInvalid(pts_delta, task.dts_error_threshold, is_subtitle)) {
            LogFmt(&task, llWarning, "PTS %lld, next:%lld invalid dropping st:%d",
                   static_cast<long long>(packet->pts), static_cast<long long>(ist.next_dts),
                   packet->stream_index);
            packet->pts = kNoTimestamp;
        }
    }
}

// The end of an input that is not followed by a joined one: drains its
// decoders and finishes the outputs that nothing else will end.
void EndInput(TCustomFFmpegOpt& task, const InputFile& file) {
    for (int i = 0; i < file.stream_count; ++i) {
        const std::size_t index = static_cast<std::size_t>(file.first_stream + i);
        InputStream& ist = *task.input_streams[index];
        if (ist.decode_users != 0) {
            decode_packet(task, ist, nullptr);
        }
        for (const std::unique_ptr<OutputStream>& ost : task.output_streams) {
            if (ost->source_index != static_cast<std::int32_t>(index)) {
                continue;
            }
            const bool subtitle_encoder =
                ost->encoder != nullptr && ost->encoder->type == AVMEDIA_TYPE_SUBTITLE;
            if (ost->stream_copy != 0 || subtitle_encoder) {
                finish_output_stream(task, *ost);
            }
        }
    }
}

// The end of an input's packets, at its end of file or at its -t / -to:
// a joined input hands over to the next one, any other ends its streams.
int ReachEndOfInput(TCustomFFmpegOpt& task, int file_index) {
    InputFile& file = *task.input_files.at(static_cast<std::size_t>(file_index));
    const bool first_time = file.at_end == 0;
    file.at_end = 1;
    if (task.Joined && file_index + 1 < static_cast<int>(task.input_files.size())) {
        if (first_time) {
            switch_joined_input(task, file_index);
        }
        return 0;
    }
    EndInput(task, file);
    return AVERROR(EAGAIN);
}

// Whether a packet, with its stamps corrected, starts at or after the end
// the input's -t / -to sets.
bool PassesRecordingTime(const InputFile& file, const InputStream& ist, const AVPacket& packet) {
    if (file.recording_time == INT64_MAX) {
        return false;
    }
    const std::int64_t stamp = packet.dts != kNoTimestamp ? packet.dts : packet.pts;
    if (stamp == kNoTimestamp) {
        return false;
    }
    const std::int64_t time = ff.av_rescale_q(stamp, ist.stream->time_base, kMicroseconds);
    return time - file.time_origin >= file.recording_time;
}

}  // namespace

// --- Time-stamp arithmetic --------------------------------------------------------

bool CorrectTimestampWrap(std::int64_t start, int wrap_bits, std::int64_t& dts, std::int64_t& pts) {
    if (wrap_bits <= 0 || wrap_bits >= 63) {
        return false;
    }
    const std::int64_t range = std::int64_t{1} << wrap_bits;
    const std::int64_t half = std::int64_t{1} << (wrap_bits - 1);
    if (start > INT64_MAX - range) {
        return false;
    }
    bool moved = false;
    if (dts != kNoTimestamp && dts > start + half) {
        dts -= range;
        moved = true;
    }
    if (pts != kNoTimestamp && pts > start + half) {
        pts -= range;
        moved = true;
    }
    return moved;
}

std::int64_t ScaleTimestamp(std::int64_t stamp, double scale) {
    if (stamp == kNoTimestamp || scale == 1.0) {
        return stamp;
    }
    return std::llrint(static_cast<double>(stamp) * scale);
}

bool IsTimestampDiscontinuity(std::int64_t delta, double threshold_seconds, bool is_subtitle,
                              std::int64_t packet_dts_us, std::int64_t stream_pts_us) {
    const double limit = threshold_seconds * 1000000.0;
    return static_cast<double>(delta) < -limit ||
           (static_cast<double>(delta) > limit && !is_subtitle) ||
           packet_dts_us + 1 < stream_pts_us;
}

bool IsTimestampInvalid(std::int64_t delta, double threshold_seconds, bool is_subtitle) {
    const double limit = threshold_seconds * 1000000.0;
    return static_cast<double>(delta) < -limit ||
           (static_cast<double>(delta) > limit && !is_subtitle);
}

// --- Reading ------------------------------------------------------------------------

void set_active_streams(TCustomFFmpegOpt& task) {
    const std::int32_t count = static_cast<std::int32_t>(task.output_streams.size());
    if (task.Joined && task.JoinStreamCount > 0) {
        task.FirstActiveStream = task.JoinIndex * task.JoinStreamCount;
        task.LastActiveStream = task.FirstActiveStream + task.JoinStreamCount - 1;
    } else {
        task.FirstActiveStream = 0;
        task.LastActiveStream = count - 1;
    }
}

void warn_new_stream(TCustomFFmpegOpt& task, int file_index, const AVPacket& packet) {
    InputFile& file = *task.input_files.at(static_cast<std::size_t>(file_index));
    if (packet.stream_index < file.streams_warned) {
        return;
    }
    AVFormatContext* ic = file.ctx.get();
    const AVStream* st = ic->streams[packet.stream_index];
    ff.av_log(ic, AV_LOG_WARNING, "New %s stream %d:%d at pos:%lld and DTS:%ss\n",
              ff.av_get_media_type_string(st->codecpar->codec_type), file_index,
              packet.stream_index, static_cast<long long>(packet.pos),
              TimeText(packet.dts, st->time_base).c_str());
    file.streams_warned = packet.stream_index + 1;
}

int read_input_packet(TCustomFFmpegOpt& task, int file_index) {
    InputFile& file = *task.input_files.at(static_cast<std::size_t>(file_index));
    if (!task.read_packet) {
        task.read_packet.reset(ff.av_packet_alloc());
        if (!task.read_packet) {
            return AVERROR(ENOMEM);
        }
    }
    AVPacket* packet = task.read_packet.get();

    if (file.limit_reached != 0) {
        return ReachEndOfInput(task, file_index);
    }
    task.ArmReadTimer();
    const int read = ff.av_read_frame(file.ctx.get(), packet);
    if (read == AVERROR(EAGAIN)) {
        file.try_again = 1;
        return read;
    }
    if (read < 0) {
        if (read != AVERROR_EOF) {
            ReportOrRaise(task, ErrorText(file.ctx->url != nullptr ? file.ctx->url : "", read));
        }
        return ReachEndOfInput(task, file_index);
    }

    for (const std::unique_ptr<InputFile>& other : task.input_files) {
        other->try_again = 0;
    }
    const std::int64_t output_count = static_cast<std::int64_t>(task.output_streams.size());
    for (std::int64_t i = std::max<std::int64_t>(task.FirstActiveStream, 0);
         i <= task.LastActiveStream && i < output_count; ++i) {
        task.output_streams[static_cast<std::size_t>(i)]->unavailable = 0;
    }

    // Releases the packet on every way out; the record is reused.
    struct PacketRelease {
        AVPacket* packet;
        ~PacketRelease() { ff.av_packet_unref(packet); }
    } release{packet};

    if (task.packet_dump != 0) {
        ff.av_pkt_dump_log2(nullptr, AV_LOG_DEBUG, packet, task.hex_dump,
                            file.ctx->streams[packet->stream_index]);
    }
    if (packet->stream_index >= file.stream_count) {
        warn_new_stream(task, file_index, *packet);
        return 0;
    }
    const int global_index = file.first_stream + packet->stream_index;
    InputStream& ist = *task.input_streams.at(static_cast<std::size_t>(global_index));
    if (ist.discard != 0) {
        return 0;
    }
    if (task.debug_timestamps != 0) {
        LogDemuxerStamps(task, file, ist, *packet, global_index);
    }

    CorrectStartAndWrap(file, ist, packet);

    const AVRational tb = ist.stream->time_base;
    if (file.ts_offset != 0) {
        const std::int64_t offset = ff.av_rescale_q(file.ts_offset, kMicroseconds, tb);
        if (packet->dts != kNoTimestamp) {
            packet->dts += offset;
        }
        if (packet->pts != kNoTimestamp) {
            packet->pts += offset;
        }
    }
    packet->pts = ScaleTimestamp(packet->pts, ist.ts_scale);
    packet->dts = ScaleTimestamp(packet->dts, ist.ts_scale);

    CorrectDiscontinuity(task, file, ist, packet);

    if (PassesRecordingTime(file, ist, *packet)) {
        file.limit_reached = 1;
        ff.av_packet_unref(packet);
        return ReachEndOfInput(task, file_index);
    }

    if (task.debug_timestamps != 0) {
        LogFmt(&task, llInfo,
               "demuxer+zozovadod -> ist_index:%d type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s "
               "pkt_dts_time:%s off:%s off_time:%s",
               global_index, ff.av_get_media_type_string(ist.stream->codecpar->codec_type),
               TimestampText(packet->pts).c_str(), TimeText(packet->pts, tb).c_str(),
               TimestampText(packet->dts).c_str(), TimeText(packet->dts, tb).c_str(),
               TimestampText(file.ts_offset).c_str(),
               TimeText(file.ts_offset, kMicroseconds).c_str());
    }

    sub2video_refresh(task, ist, packet->pts);
    const int decoded = decode_packet(task, ist, packet);
    if (decoded < 0) {
        char prefix[96];
        std::snprintf(prefix, sizeof(prefix), "Error while decoding stream #%d:%d", file_index,
                      packet->stream_index);
        ReportOrRaise(task, ErrorText(prefix, decoded));
    }
    return 0;
}

// --- Joined inputs ----------------------------------------------------------------------

void reopen_shared_encoders(TCustomFFmpegOpt& task) {
    const std::size_t shared = std::min<std::size_t>(
        static_cast<std::size_t>(std::max(task.JoinStreamCount, 0)), task.output_streams.size());
    for (std::size_t i = 0; i < shared; ++i) {
        OutputStream& ost = *task.output_streams[i];
        if (ost.needs_encoding == 0) {
            continue;
        }
        AVCodecContext* enc = ost.codec_ctx.get();
        if (ost.encoder == nullptr || enc == nullptr) {
            task.RaiseError("Assertion ost->enc failed");
        }
        if (CarriesAudioAcrossJoin(task, enc)) {
            continue;  // never drained at a switch, so never reopened
        }
        // Closing frees the context's option-held fields; the channel layout
        // is one of them and must survive for the next opening.
        AVChannelLayout layout{};
        ff.av_channel_layout_copy(&layout, &enc->ch_layout);
        ff.avcodec_close(enc);
        RemoveOpenedEncoder(task, ost);
        ff.av_channel_layout_uninit(&enc->ch_layout);
        ff.av_channel_layout_copy(&enc->ch_layout, &layout);
        ff.av_channel_layout_uninit(&layout);

        enc->codec_id = static_cast<AVCodecID>(ost.saved_codec_id);
        ost.saved_encoder_options.Reset();
        if (ost.encoder_options.Get() != nullptr) {
            ff.av_dict_copy(ost.saved_encoder_options.Address(), ost.encoder_options.Get(), 0);
        }
        enc->max_b_frames = ost.saved_max_b_frames;
        enc->sample_aspect_ratio = ff.av_d2q(av_q2d(ost.stream->sample_aspect_ratio), 255);

        if (std::string(ost.encoder->name) == "mjpeg") {
            ff.av_dict_set(ost.encoder_options.Address(), "threads", "1", 0);
        }
        if (ff.av_dict_get(ost.encoder_options.Get(), "threads", nullptr, 0) == nullptr) {
            ff.av_dict_set(ost.encoder_options.Address(), "threads", "auto", 0);
        }
        const int opened = ff.avcodec_open2(enc, ost.encoder, ost.encoder_options.Address());
        if (opened < 0) {
            if (opened == AVERROR_EXPERIMENTAL) {
                task.RaiseError("abort codec experimental");
            }
            task.RaiseErrorFmt(
                "Error while opening encoder for output stream #%d:%d (%s) - maybe incorrect "
                "parameters such as bit_rate, rate, width or height. Please check error log "
                "message(reported by REVaduzi) to find out more detail information.",
                ost.file_index, ost.index, MediaTypeName(enc->codec_type).c_str());
        }
        AddOpenedEncoder(task, ost);
        ost.encoder_options = std::move(ost.saved_encoder_options);
        ost.saved_encoder_options.Reset();
    }

    const std::int64_t count = static_cast<std::int64_t>(task.output_streams.size());
    for (std::int64_t i = std::max<std::int64_t>(task.FirstActiveStream, 0);
         i <= task.LastActiveStream && i < count; ++i) {
        OutputStream& ost = *task.output_streams[static_cast<std::size_t>(i)];
        if (ost.needs_encoding == 0) {
            continue;
        }
        const AVCodecContext* enc = EncoderContext(task, ost);
        if (ost.encoder == nullptr || enc == nullptr) {
            task.RaiseError("Assertion ost->enc failed");
        }
        if (enc->codec_type == AVMEDIA_TYPE_AUDIO &&
            (ost.encoder->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) == 0 &&
            ost.filter != nullptr && ost.filter->filter != nullptr && enc->frame_size > 0) {
            ff.av_buffersink_set_frame_size(ost.filter->filter,
                                            static_cast<unsigned>(enc->frame_size));
        }
    }
}

void switch_joined_input(TCustomFFmpegOpt& task, int file_index) {
    const InputFile& file = *task.input_files.at(static_cast<std::size_t>(file_index));
    auto for_each_stream = [&](auto&& action) {
        for (int i = 0; i < file.stream_count; ++i) {
            action(*task.input_streams[static_cast<std::size_t>(file.first_stream + i)]);
        }
    };

    for_each_stream([&](InputStream& ist) {
        if (ist.decode_users != 0 && ist.eof_flushed == 0) {
            ist.eof_flushed = 1;
            decode_packet(task, ist, nullptr);
            if (ist.codec_ctx) {
                ff.avcodec_flush_buffers(ist.codec_ctx.get());
            }
        }
    });
    // What the drained decoders pushed into the finished group's graphs still
    // has to reach the encoders before those are drained.
    drain_filters(task);
    for_each_stream([&](InputStream& ist) {
        if (ist.decode_users != 0 && ist.decoder_closed == 0) {
            ist.decoder_closed = 1;
            if (ist.codec_ctx) {
                ff.avcodec_close(ist.codec_ctx.get());
            }
            RemoveOpenedDecoder(task, ist);
        }
    });
    for_each_stream([&](InputStream& ist) {
        if (ist.freed == 0) {
            ist.freed = 1;
            ist.decoded_frame.reset();
            ist.decoder_options.Reset();
            ist.sub2video.frame.reset();
            ist.filters.clear();
        }
    });

    drain_encoders_for_next_input(task);
    ++task.JoinIndex;
    set_active_streams(task);
    reopen_shared_encoders(task);

    const std::size_t count = static_cast<std::size_t>(std::max(task.JoinStreamCount, 0));
    for (std::size_t k = (static_cast<std::size_t>(file_index) + 1) * count;
         k < task.output_streams.size(); ++k) {
        OutputStream& next = *task.output_streams[k];
        const OutputStream& previous = *task.output_streams[k - count];
        next.output_counter = previous.output_counter;
        next.frame_number = previous.frame_number;
        next.last_pts = previous.last_pts;
        next.last_dts = previous.last_dts;
        if (next.sync_stream != nullptr && previous.sync_stream != nullptr) {
            next.sync_stream->pts = previous.sync_stream->pts;
        }
    }

    double reached = 0;
    const std::size_t group_start = static_cast<std::size_t>(file_index) * count;
    for (std::size_t k = group_start; k < group_start + count && k < task.output_streams.size();
         ++k) {
        OutputStream& ost = *task.output_streams[k];
        const OutputStream& owner = StreamOwner(task, ost);
        if (owner.mux_end_pts != kNoTimestamp) {
            reached = std::max(
                reached, static_cast<double>(owner.mux_end_pts) * av_q2d(ost.stream->time_base));
        }
        // An encoder that runs on still holds samples it was given: the
        // group reached as far as its sample position.
        const AVCodecContext* enc = owner.codec_ctx.get();
        if (CarriesAudioAcrossJoin(task, enc)) {
            reached =
                std::max(reached, static_cast<double>(ost.output_counter) * av_q2d(enc->time_base));
        }
        ost.join_done = 1;
    }
    InputFile& next_file = *task.input_files.at(static_cast<std::size_t>(file_index) + 1);
    const std::int64_t join_offset = std::llrint(reached * 1000000.0);
    next_file.ts_offset += join_offset;
    next_file.time_origin += join_offset;
}

}  // namespace tavrin

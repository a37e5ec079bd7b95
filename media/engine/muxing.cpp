// Stream copy and muxing: copied packets get their stamps moved into the
// output's time line, every packet passes the stream's bitstream filters and
// reaches the muxer with decoding stamps that never go back.
#include <algorithm>
#include <cstdio>
#include <string>

#include "media/common/error_text.h"
#include "media/engine/pipeline.h"
#include "media/runtime/media_file_name.h"

namespace tavrin {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Formats with AVFMT_TS_NONSTRICT accept equal consecutive decoding stamps.
constexpr int kTsNonStrict = AVFMT_TS_NONSTRICT;

void ReportBitstreamFilterError(TCustomFFmpegOpt& task, OutputStream& ost, const AVBSFContext* bsf,
                                int code) {
    char prefix[256];
    const char* codec_name =
        ost.stream_copy != 0 || ost.encoder == nullptr ? "copy" : ost.encoder->name;
    std::snprintf(prefix, sizeof(prefix),
                  "Failed to open bitstream filter %s for stream %d with codec %s",
                  bsf->filter->name, ost.index, codec_name);
    const std::string text = ErrorText(prefix, code);
    if (task.exit_on_error != 0) {
        task.RaiseError(text);
    }
    Log(&task, llError, text);
}

// Keeps the muxer's running stamps of the stream that owns the muxer stream.
void NoteWrittenStamps(OutputStream& owner, const AVPacket& packet) {
    if (packet.dts != kNoTimestamp) {
        owner.mux_last_dts = packet.dts;
    }
    const std::int64_t start = packet.pts != kNoTimestamp ? packet.pts : packet.dts;
    if (start != kNoTimestamp) {
        const std::int64_t end = start + std::max<std::int64_t>(packet.duration, 0);
        if (owner.mux_end_pts == kNoTimestamp || end > owner.mux_end_pts) {
            owner.mux_end_pts = end;
        }
    }
}

void WritePacket(TCustomFFmpegOpt& task, AVFormatContext* muxer, AVPacket* packet,
                 OutputStream& ost, OutputStream& owner) {
    packet->stream_index = ost.index;
    if (task.debug_timestamps != 0) {
        const AVRational tb = ost.stream->time_base;
        LogFmt(&task, llInfo,
               "muxer <- type:%s pkt_pts:%s pkt_pts_time:%s pkt_dts:%s pkt_dts_time:%s size:%d",
               ff.av_get_media_type_string(ost.stream->codecpar->codec_type),
               TimestampText(packet->pts).c_str(), TimeText(packet->pts, tb).c_str(),
               TimestampText(packet->dts).c_str(), TimeText(packet->dts, tb).c_str(), packet->size);
    }
    NoteWrittenStamps(owner, *packet);
    task.ArmWriteTimer();
    const int result = ff.av_interleaved_write_frame(muxer, packet);
    if (result < 0) {
        // The user meets the file and the system's reason (a full disk);
        // the call that failed stays in the log.
        Log(&task, llError, ErrorText("av_interleaved_write_frame()", result));
        task.RaiseError(OutputFileError(muxer, result));
    }
}

// Sends `packet` through the filters from `first` on and writes what comes
// out. A failing filter is reported and the packet goes on without it.
void FilterAndWrite(TCustomFFmpegOpt& task, AVFormatContext* muxer, AVPacket* packet,
                    OutputStream& ost, OutputStream& owner, std::size_t first) {
    if (first >= owner.bitstream_filters.size()) {
        WritePacket(task, muxer, packet, ost, owner);
        return;
    }
    AVBSFContext* bsf = owner.bitstream_filters[first].get();
    int result = ff.av_bsf_send_packet(bsf, packet);
    if (result < 0) {
        ReportBitstreamFilterError(task, ost, bsf, result);
        FilterAndWrite(task, muxer, packet, ost, owner, first + 1);
        return;
    }
    // The filter took the packet's reference; reuse the record for its output.
    while ((result = ff.av_bsf_receive_packet(bsf, packet)) >= 0) {
        FilterAndWrite(task, muxer, packet, ost, owner, first + 1);
    }
    if (result != AVERROR(EAGAIN) && result != AVERROR_EOF) {
        ReportBitstreamFilterError(task, ost, bsf, result);
    }
}

}  // namespace

std::string OutputFileError(const AVFormatContext* muxer, int code) {
    const std::string name =
        muxer != nullptr && muxer->url != nullptr ? FromMediaFileName(muxer->url) : "output";
    return ErrorText(name, code);
}

void finish_output_file(TCustomFFmpegOpt& task, AVFormatContext* muxer) {
    task.ArmWriteTimer();
    int result = ff.av_write_trailer(muxer);
    if (result < 0) {
        Log(&task, llError, ErrorText("av_write_trailer()", result));
    }
    // The trailer's own result misses a buffered write that failed earlier.
    if (result >= 0 && muxer->pb != nullptr && muxer->pb->error < 0) {
        result = muxer->pb->error;
    }
    if (result < 0) {
        task.RaiseError(OutputFileError(muxer, result));
    }
}

void close_output_file(TCustomFFmpegOpt& task, AVFormatContext* muxer) {
    if ((muxer->oformat->flags & AVFMT_NOFILE) != 0 || muxer->pb == nullptr) {
        return;
    }
    // Closing flushes the last buffer: its error is the file's too.
    const int closed = ff.avio_closep(&muxer->pb);
    if (closed < 0) {
        task.RaiseError(OutputFileError(muxer, closed));
    }
}

int init_bitstream_filters(TCustomFFmpegOpt& task, OutputStream& ost) {
    OutputStream& owner = StreamOwner(task, ost);
    if (owner.bitstream_filters_ready != 0) {
        return 0;
    }
    owner.bitstream_filters_ready = 1;
    AVStream* stream = ost.stream;
    const AVCodecParameters* parameters = stream->codecpar;
    AVRational time_base = stream->time_base;
    for (BsfContextPtr& filter : owner.bitstream_filters) {
        AVBSFContext* bsf = filter.get();
        int result = ff.avcodec_parameters_copy(bsf->par_in, parameters);
        if (result >= 0) {
            bsf->time_base_in = time_base;
            result = ff.av_bsf_init(bsf);
        }
        if (result < 0) {
            ReportBitstreamFilterError(task, ost, bsf, result);
            // A filter that cannot start is left out of the chain.
            filter.reset();
            continue;
        }
        parameters = bsf->par_out;
        time_base = bsf->time_base_out;
    }
    std::erase_if(owner.bitstream_filters, [](const BsfContextPtr& filter) { return !filter; });
    if (!owner.bitstream_filters.empty() && parameters != stream->codecpar) {
        const int result = ff.avcodec_parameters_copy(stream->codecpar, parameters);
        if (result < 0) {
            return result;
        }
        stream->time_base = time_base;
    }
    return 0;
}

void mux_packet(TCustomFFmpegOpt& task, AVFormatContext* muxer, AVPacket* packet,
                OutputStream& ost) {
    const AVMediaType type = ost.stream->codecpar->codec_type;
    OutputStream& owner = StreamOwner(task, ost);

    if ((type == AVMEDIA_TYPE_VIDEO && task.video_sync_method == 255) ||
        (type == AVMEDIA_TYPE_AUDIO && task.audio_sync_method < 0)) {
        packet->pts = kNoTimestamp;
        packet->dts = kNoTimestamp;
    }

    if ((type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) && packet->dts != kNoTimestamp &&
        owner.mux_last_dts != kNoTimestamp) {
        // Only "nothing written yet" exempts a packet: the muxer refuses a
        // repeated stamp, also after a first packet at 0.
        const std::int64_t max =
            owner.mux_last_dts + ((muxer->oformat->flags & kTsNonStrict) != 0 ? 0 : 1);
        if (max > packet->dts) {
            const int level = (max - packet->dts <= 2 && type != AVMEDIA_TYPE_VIDEO)
                                  ? AV_LOG_DEBUG
                                  : AV_LOG_WARNING;
            ff.av_log(muxer, level, "st:%d PTS: %lld DTS: %lld < %lld invalid, clipping\n",
                      ost.index, static_cast<long long>(packet->pts),
                      static_cast<long long>(packet->dts), static_cast<long long>(max));
            if (packet->pts != kNoTimestamp && packet->pts >= packet->dts) {
                packet->pts = std::max(packet->pts, max);
            }
            packet->dts = max;
        }
    }

    if (!(type == AVMEDIA_TYPE_VIDEO && ost.needs_encoding != 0)) {
        if (ost.frame_number >= ost.max_frames) {
            ff.av_packet_unref(packet);
            return;
        }
        ++ost.frame_number;
    }

    if (!owner.bitstream_filters.empty() && owner.bitstream_filters_ready == 0) {
        init_bitstream_filters(task, ost);
    }
    FilterAndWrite(task, muxer, packet, ost, owner, 0);
    ff.av_packet_unref(packet);
}

void finish_output_stream(TCustomFFmpegOpt& task, OutputStream& ost) {
    ost.finished = 1;
    OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));
    if (file.shortest == 0) {
        return;
    }
    const AVCodecContext* enc = EncoderContext(task, ost);
    const AVRational tb = enc != nullptr && enc->time_base.num > 0 && enc->time_base.den > 0
                              ? enc->time_base
                              : ost.stream->time_base;
    const std::int64_t end = ff.av_rescale_q(ost.output_counter - ost.first_pts, tb, kMicroseconds);
    file.recording_time = std::min(file.recording_time, end);
}

bool within_recording_time(TCustomFFmpegOpt& task, OutputStream& ost) {
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));
    if (file.recording_time == INT64_MAX) {
        return true;
    }
    const AVCodecContext* enc = EncoderContext(task, ost);
    if (enc == nullptr) {
        return true;
    }
    std::int64_t position = ost.output_counter - ost.first_pts;
    // Samples waiting in a joined stream's carry frame are accepted already:
    // without them the limit let up to one more frame through.
    if (CarriesAudioAcrossJoin(task, enc) && enc->sample_rate > 0) {
        position += ff.av_rescale_q(StreamOwner(task, ost).join_carry_samples,
                                    AVRational{1, enc->sample_rate}, enc->time_base);
    }
    if (ff.av_compare_ts(position, enc->time_base, file.recording_time, kMicroseconds) < 0) {
        return true;
    }
    finish_output_stream(task, ost);
    return false;
}

void copy_stream_packet(TCustomFFmpegOpt& task, InputStream& ist, OutputStream& ost,
                        const AVPacket& packet) {
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));
    const AVRational ost_tb = ost.stream->time_base;
    const AVRational ist_tb = ist.stream->time_base;
    const std::int64_t start = ff.av_rescale_q(file.start_time, kMicroseconds, ost_tb);

    if (ost.frame_number == 0) {
        if ((packet.flags & AV_PKT_FLAG_KEY) == 0 && ost.copy_initial_nonkeyframes == 0) {
            return;
        }
        if (ist.pts < file.start_time && ost.copy_before_start == 0) {
            return;
        }
    }
    if (file.recording_time != INT64_MAX && ist.pts >= file.recording_time + file.start_time) {
        finish_output_stream(task, ost);
        return;
    }

    const AVMediaType type = ost.stream->codecpar->codec_type;
    switch (type) {
        case AVMEDIA_TYPE_AUDIO:
            task.audio_size += packet.size;
            break;
        case AVMEDIA_TYPE_VIDEO:
            task.video_size += packet.size;
            ++ost.output_counter;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            task.subtitle_size += packet.size;
            break;
        default:
            break;
    }

    if (!task.work_packet) {
        task.work_packet.reset(ff.av_packet_alloc());
        if (!task.work_packet) {
            task.RaiseError("av_mallocz() failed");
        }
    }
    AVPacket* out = task.work_packet.get();
    // A new reference: the payload stays the demuxer's, nothing is copied.
    const int ref = ff.av_packet_ref(out, &packet);
    if (ref < 0) {
        task.RaiseError(ErrorText("av_packet_ref", ref));
    }

    out->pts = packet.pts != kNoTimestamp ? ff.av_rescale_q(packet.pts, ist_tb, ost_tb) - start
                                          : kNoTimestamp;
    if (packet.dts == kNoTimestamp) {
        out->dts = ff.av_rescale_q(ist.dts, kMicroseconds, ost_tb) - start;
    } else {
        out->dts = ff.av_rescale_q(packet.dts, ist_tb, ost_tb) - start;
        if (type == AVMEDIA_TYPE_AUDIO) {
            const AVCodecParameters* par = ist.stream->codecpar;
            int duration = ff.av_get_audio_frame_duration2(ist.stream->codecpar, packet.size);
            if (duration == 0) {
                duration = par->frame_size;
            }
            if (par->sample_rate > 0) {
                const std::int64_t stamp =
                    ff.av_rescale_delta(ist_tb, packet.dts, AVRational{1, par->sample_rate},
                                        duration, &ist.filter_rescale_remainder, ost_tb) -
                    start;
                out->pts = stamp;
                out->dts = stamp;
            }
        }
    }
    out->duration = ff.av_rescale_q(packet.duration, ist_tb, ost_tb);

    // Decoding stamps of a copy never go back; a presentation stamp is never
    // before its decoding stamp.
    if (ost.last_dts != kNoTimestamp && ost.last_dts >= out->dts) {
        out->dts = ost.last_dts + 1;
    }
    if (out->pts == kNoTimestamp || out->pts < out->dts) {
        out->pts = out->dts;
    }
    ost.last_dts = out->dts;

    mux_packet(task, MuxerOf(task, ost), out, ost);
    if (AVCodecContext* enc = EncoderContext(task, ost)) {
        ++enc->frame_number;
    }
}

}  // namespace tavrin

// Taking filtered frames out of the sinks of the active output streams and
// handing them to the encoders.
#include <string>

#include "media/common/error_text.h"
#include "media/engine/pipeline.h"

namespace tavrin {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

// Drains one stream's sink; false when the frame record cannot be had.
bool DrainSink(TCustomFFmpegOpt& task, OutputStream& ost) {
    OutputStream& owner = StreamOwner(task, ost);
    if (!owner.filtered_frame) {
        owner.filtered_frame.reset(ff.av_frame_alloc());
        if (!owner.filtered_frame) {
            return false;
        }
    }
    AVFrame* frame = owner.filtered_frame.get();
    AVFilterContext* sink = ost.filter->filter;
    AVCodecContext* enc = EncoderContext(task, ost);
    if (enc == nullptr) {
        return true;
    }
    AVFormatContext* muxer = MuxerOf(task, ost);
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));

    for (;;) {
        const int result =
            ff.av_buffersink_get_frame_flags(sink, frame, AV_BUFFERSINK_FLAG_NO_REQUEST);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return true;
        }
        if (result < 0) {
            Log(&task, llWarning, ErrorText("Error in av_buffersink_get_buffer_ref()", result));
            return true;
        }
        if (frame->pts != kNoTimestamp) {
            const AVRational sink_tb = ff.av_buffersink_get_time_base(sink);
            frame->pts = ff.av_rescale_q(frame->pts, sink_tb, enc->time_base) -
                         ff.av_rescale_q(file.start_time, kMicroseconds, enc->time_base);
            if (file.start_time != 0 && frame->pts < 0) {
                ff.av_frame_unref(frame);
                continue;
            }
        }
        switch (ff.av_buffersink_get_type(sink)) {
            case AVMEDIA_TYPE_VIDEO:
                if (ost.frame_aspect_ratio == 0) {
                    enc->sample_aspect_ratio = frame->sample_aspect_ratio;
                }
                encode_video_frame(task, muxer, ost, frame);
                break;
            case AVMEDIA_TYPE_AUDIO:
                // Audio stamped wholly before the output's start (a negative
                // -itsoffset, say) is not part of the output; a frame that
                // reaches into the output is kept whole.
                if (task.copy_timestamps == 0 && frame->pts != kNoTimestamp &&
                    frame->pts + frame->nb_samples <= 0) {
                    ff.av_frame_unref(frame);
                    continue;
                }
                if ((enc->codec->capabilities & AV_CODEC_CAP_PARAM_CHANGE) == 0 &&
                    frame->ch_layout.nb_channels != enc->ch_layout.nb_channels) {
                    Log(&task, llError,
                        "Audio filter graph output is not normalized and encoder does not support "
                        "parameter changes");
                    ff.av_frame_unref(frame);
                    return true;
                }
                encode_audio_frame(task, muxer, ost, frame);
                break;
            default:
                ff.av_frame_unref(frame);
                task.RaiseError("Never occur");
        }
        ff.av_frame_unref(frame);
    }
}

}  // namespace

int drain_filters(TCustomFFmpegOpt& task) {
    const std::int64_t count = static_cast<std::int64_t>(task.output_streams.size());
    for (std::int64_t i = std::max<std::int64_t>(task.FirstActiveStream, 0);
         i <= task.LastActiveStream && i < count; ++i) {
        OutputStream& ost = *task.output_streams[static_cast<std::size_t>(i)];
        if (ost.filter == nullptr || ost.filter->filter == nullptr) {
            continue;
        }
        if (!DrainSink(task, ost)) {
            return AVERROR(ENOMEM);
        }
    }
    return 0;
}

}  // namespace tavrin

#include "media/engine/pipeline.h"
#include "media/options/join.h"

#include <cstdio>

namespace tavrin {

std::size_t OutputStreamIndex(const TCustomFFmpegOpt& task, const OutputStream& ost) {
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));
    return static_cast<std::size_t>(file.first_stream + ost.index);
}

OutputStream& StreamOwner(TCustomFFmpegOpt& task, OutputStream& ost) {
    if (!task.Joined) {
        return ost;
    }
    return JoinOwnerOf(task, OutputStreamIndex(task, ost));
}

AVCodecContext* EncoderContext(TCustomFFmpegOpt& task, OutputStream& ost) {
    if (ost.codec_ctx) {
        return ost.codec_ctx.get();
    }
    return StreamOwner(task, ost).codec_ctx.get();
}

AVFormatContext* MuxerOf(TCustomFFmpegOpt& task, const OutputStream& ost) {
    const OutputFile& file = *task.output_files.at(static_cast<std::size_t>(ost.file_index));
    // A joined clone's file record has no muxer; the first file's is shared.
    return file.ctx ? file.ctx.get() : task.output_files.front()->ctx.get();
}

std::int64_t MuxerCurrentDtsMicroseconds(TCustomFFmpegOpt& task, OutputStream& ost) {
    const OutputStream& owner = StreamOwner(task, ost);
    if (owner.mux_last_dts == kNoTimestamp || ost.stream == nullptr) {
        return INT64_MIN;
    }
    return ff.av_rescale_q(owner.mux_last_dts, ost.stream->time_base, AVRational{1, 1000000});
}

std::string TimestampText(std::int64_t stamp) {
    return stamp == kNoTimestamp ? std::string("NOPTS") : std::to_string(stamp);
}

std::string TimeText(std::int64_t stamp, AVRational time_base) {
    if (stamp == kNoTimestamp) {
        return "NOPTS";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.6g", av_q2d(time_base) * static_cast<double>(stamp));
    return text;
}

}  // namespace tavrin

#include "media/engine/video_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "media/engine/pipeline.h"
#include "media/engine/progress.h"

namespace tavrin {

void write_video_stats(TCustomFFmpegOpt& task, OutputStream& ost, int frame_size) {
    const AVCodecContext* enc = EncoderContext(task, ost);
    if (enc == nullptr || enc->codec_type != AVMEDIA_TYPE_VIDEO) {
        return;
    }
    if (!task.vstats_output) {
        task.vstats_output.reset(std::fopen(task.vstats_file.c_str(), "w"));
        if (!task.vstats_output) {
            task.RaiseError("fopen fail: " + task.vstats_file);
        }
    }
    std::FILE* file = task.vstats_output.get();
    const OutputStream& owner = StreamOwner(task, ost);
    const OutputStream::CodedPicture& picture = ost.coded_picture;

    const long long frames = owner.stream != nullptr ? owner.stream->nb_frames : 0;
    std::fprintf(file, "frame= %5lld q= %2.1f ", frames,
                 static_cast<double>(picture.quality) / kQualityPerQuantiser);
    if ((enc->flags & AV_CODEC_FLAG_PSNR) != 0) {
        const double scale = static_cast<double>(enc->width) * enc->height * 255.0 * 255.0;
        std::fprintf(file, "PSNR= %6.2f ",
                     -10.0 * std::log10(static_cast<double>(picture.error[0]) / scale));
    }
    std::fprintf(file, "f_size= %6d ", frame_size);

    // The time the muxer reached on the stream, in seconds of its own time base.
    double elapsed = 0;
    if (owner.mux_end_pts != kNoTimestamp && owner.stream != nullptr) {
        elapsed = static_cast<double>(owner.mux_end_pts) * av_q2d(owner.stream->time_base);
    }
    elapsed = std::max(elapsed, 0.01);
    const double tick = av_q2d(enc->time_base);
    const double bit_rate = tick > 0 ? frame_size * 8 / tick / 1000 : 0;
    const double average = static_cast<double>(task.video_size) * 8 / elapsed / 1000;
    std::fprintf(file, "s_size= %8.0fkB time= %0.3f br= %7.1fkbits/s avg_br= %7.1fkbits/s ",
                 static_cast<double>(task.video_size) / 1024, elapsed, bit_rate, average);
    std::fprintf(file, "type= %c\n",
                 ff.av_get_picture_type_char(static_cast<AVPictureType>(picture.picture_type)));
}

}  // namespace tavrin

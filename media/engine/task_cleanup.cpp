// Releasing the transcoding context of a task at its end, whatever state an
// earlier failure left it in.
#include <string>

#include "media/engine/custom_ffmpeg.h"
#include "media/engine/pipeline.h"
#include "media/options/join.h"
#include "media/options/output_file.h"
#include "media/runtime/media_file_name.h"

namespace tavrin {

void TCustomFFmpeg::free_context() {
    // Codecs still open are closed below with their records.
    {
        const std::lock_guard<std::mutex> guard(CodecListLock());
        OpenedEncoders.clear();
        OpenedDecoders.clear();
    }
    // Filtergraphs first: streams point into them.
    for (const auto& ist : input_streams) {
        ist->filters.clear();
    }
    for (const auto& ost : output_streams) {
        ost->filter = nullptr;
    }
    filtergraphs.clear();
    subtitle_out.clear();
    subtitle_out.shrink_to_fit();

    // The codec contexts belong to the first group of a join.
    const std::size_t owners = OwningStreamCount(*this);
    for (std::size_t i = 0; i < owners; ++i) {
        OutputStream& ost = *output_streams[i];
        if (ost.encoder_opened == 0) {
            ost.encoder_options.Reset();
        }
        if (ost.encoder_closed == 0 && ost.codec_ctx) {
            ff.av_freep(&ost.codec_ctx->stats_in);
            ff.avcodec_close(ost.codec_ctx.get());
            ost.encoder_closed = 1;
        }
    }

    // Output files: a file that received no byte is removed. A joined
    // clone owns no muxer.
    for (const auto& file : output_files) {
        if (!file->ctx) {
            continue;
        }
        const std::string name = file->ctx->url != nullptr ? FromMediaFileName(file->ctx->url) : "";
        DiscardOutputContext(std::move(file->ctx), name, true);
    }
    output_files.clear();
    output_streams.clear();
    input_files.clear();
    input_streams.clear();
    vstats_output.reset();
}

}  // namespace tavrin

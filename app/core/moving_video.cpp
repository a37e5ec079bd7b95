#include "app/core/moving_video.h"

#include "media/probe/custom_decoder.h"
#include "media/runtime/ff_headers.h"

namespace tavrin {

bool HasMovingVideo(const TCustomDecoder& decoder) {
    const AVFormatContext* context = decoder.FormatContext();
    if (context == nullptr) {
        return false;
    }
    for (unsigned int i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace tavrin

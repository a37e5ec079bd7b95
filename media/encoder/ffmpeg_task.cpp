#include "media/encoder/ffmpeg_task.h"

#include <string>

#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {

bool ValidHookBitsPixel(std::int32_t bits) {
    return bits == 8 || bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

void TFFmpeg::SetHookBitsPixel(std::int32_t bits) {
    if (!ValidHookBitsPixel(bits)) {
        throw FFmpegException("Invalid BitsPixel " + std::to_string(bits));
    }
    SetHookBitmapBits(bits);
    hook_bits_pixel_ = bits;
}

}  // namespace tavrin

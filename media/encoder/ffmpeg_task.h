// One task of the encoder component: an engine task that knows its owning
// encoder and the depth of the bitmaps its picture hooks receive.
#pragma once

#include <cstdint>

#include "media/engine/custom_ffmpeg.h"

namespace tavrin {

class TCustomEncoder;

class TFFmpeg : public TCustomFFmpeg {
public:
    TFFmpeg() = default;
    ~TFFmpeg() override = default;

    // The encoder that holds the task; null until the task is added.
    TCustomEncoder* Owner() const { return owner_; }
    void SetOwner(TCustomEncoder* owner) { owner_ = owner; }

    // Bits per pixel of the hook bitmaps: 8, 15, 16, 24 or 32 (default 32).
    std::int32_t HookBitsPixel() const { return hook_bits_pixel_; }
    // Raises FFmpegException "Invalid BitsPixel %d" for any other value.
    void SetHookBitsPixel(std::int32_t bits);

private:
    TCustomEncoder* owner_ = nullptr;
    std::int32_t hook_bits_pixel_ = 32;
};

// Whether a bitmap depth is one the hooks can hand out.
bool ValidHookBitsPixel(std::int32_t bits);

}  // namespace tavrin

#include "media/common/bitmap.h"

#include <cassert>

namespace tavrin {

int BitsPerPixelOf(TBitmapPixelFormat format) {
    switch (format) {
        case TBitmapPixelFormat::pf8bit:
            return 8;
        case TBitmapPixelFormat::pf15bit:
        case TBitmapPixelFormat::pf16bit:
            return 16;
        case TBitmapPixelFormat::pf24bit:
            return 24;
        case TBitmapPixelFormat::pf32bit:
            return 32;
    }
    return 32;
}

void TBitmap::SetSize(int width, int height) {
    width = width > 0 ? width : 0;
    height = height > 0 ? height : 0;
    if (width == width_ && height == height_) {
        return;
    }
    width_ = width;
    height_ = height;
    Reallocate();
}

void TBitmap::SetPixelFormat(TBitmapPixelFormat format) {
    if (format == format_) {
        return;
    }
    format_ = format;
    Reallocate();
}

void TBitmap::Reallocate() {
    const long long row_bits = static_cast<long long>(width_) * BitsPerPixelOf(format_);
    bytes_per_row_ = static_cast<int>((row_bits + 31) / 32 * 4);
    pixels_.assign(static_cast<std::size_t>(bytes_per_row_) * static_cast<std::size_t>(height_), 0);
}

std::uint8_t* TBitmap::ScanLine(int row) {
    assert(row >= 0 && row < height_);
    return pixels_.data() +
           static_cast<std::size_t>(row) * static_cast<std::size_t>(bytes_per_row_);
}

const std::uint8_t* TBitmap::ScanLine(int row) const {
    assert(row >= 0 && row < height_);
    return pixels_.data() +
           static_cast<std::size_t>(row) * static_cast<std::size_t>(bytes_per_row_);
}

}  // namespace tavrin

// A device-independent bitmap: width, height, one of five packed pixel
// formats and rows stored top-down, each padded to 32 bits. It is what the
// hooks and the preview see of a picture; the windows draw it themselves.
#pragma once

#include <cstdint>
#include <vector>

namespace tavrin {

enum class TBitmapPixelFormat { pf8bit, pf15bit, pf16bit, pf24bit, pf32bit };

// Bits each pixel takes in a row (15-bit pixels take 16).
int BitsPerPixelOf(TBitmapPixelFormat format);

class TBitmap {
public:
    TBitmap() = default;

    int Width() const { return width_; }
    int Height() const { return height_; }
    TBitmapPixelFormat PixelFormat() const { return format_; }
    // Bytes of one row, padded to a multiple of 4.
    int BytesPerRow() const { return bytes_per_row_; }

    // Resizing or changing the format keeps no pixel content.
    void SetSize(int width, int height);
    void SetPixelFormat(TBitmapPixelFormat format);

    // Row 0 is the top row. Requires 0 <= row < Height().
    std::uint8_t* ScanLine(int row);
    const std::uint8_t* ScanLine(int row) const;

private:
    void Reallocate();

    int width_ = 0;
    int height_ = 0;
    TBitmapPixelFormat format_ = TBitmapPixelFormat::pf32bit;
    int bytes_per_row_ = 0;
    std::vector<std::uint8_t> pixels_;
};

}  // namespace tavrin

// Moves pictures between the libraries' frames and a TBitmap, converting
// through the scaler when the formats or row layouts differ. Keeps its buffer
// and both scaler contexts between calls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "media/common/bitmap.h"
#include "media/common/ff_handles.h"
#include "media/runtime/ff_headers.h"

namespace tavrin {

class TFormatConverter {
public:
    TFormatConverter();
    TFormatConverter(const TFormatConverter&) = delete;
    TFormatConverter& operator=(const TFormatConverter&) = delete;

    // Forgets the current picture; takes bits per pixel and library format
    // from the bitmap format.
    void Reset();

    int BitsPixel() const { return bits_pixel_; }
    // 8, 15, 16, 24 or 32; anything else raises "Invalid BitsPixel %d".
    void SetBitsPixel(int bits);
    // Library pixel format of the bitmap side (bgr8, bgr555le, bgr565le, bgr24, bgra).
    AVPixelFormat PixelFormat() const { return pix_fmt_; }
    int ScalerFlags() const { return sws_flags_; }
    void SetScalerFlags(int flags) { sws_flags_ = flags; }

    TBitmap& Bitmap() { return bitmap_; }
    const TBitmap& Bitmap() const { return bitmap_; }
    const std::string& LastErrorText() const { return last_error_; }

    // Makes `picture` (pix_fmt, width x height) the current picture in the
    // bitmap's format, converting when needed; copies it into the bitmap when
    // `copy`. False with LastErrorText when no scaler context can be made.
    // data and linesize need hold the planes of pix_fmt, at least four.
    bool PictureToBitmap(uint8_t* const data[], const int linesize[], AVPixelFormat pix_fmt,
                         bool copy, int height, int width);
    bool PictureToBitmap(AVFrame* frame, bool copy);
    // Copies the current picture's rows into the bitmap, and back.
    void CopyToBitmap();
    void CopyFromBitmap();
    // Scales the current picture into the target picture.
    bool BitmapToPicture(uint8_t* const data[], const int linesize[], AVPixelFormat pix_fmt,
                         int height, int width);
    bool BitmapToPicture(AVFrame* frame);

    // The current picture (null before a successful PictureToBitmap): the
    // source itself when no conversion was needed, else the converter's buffer.
    const uint8_t* CurrentPictureData() const { return current_data_[0]; }
    bool HasCurrentPicture() const { return has_current_; }

private:
    void RequireCurrentPicture(const char* operation) const;

    AVPixelFormat pix_fmt_ = AV_PIX_FMT_BGRA;
    int bits_pixel_ = 32;
    TBitmap bitmap_;
    TBitmapPixelFormat bitmap_format_ = TBitmapPixelFormat::pf32bit;
    // The picture described by the last PictureToBitmap.
    int width_ = 0;
    int height_ = 0;
    LibraryBufferPtr buffer_;  // the conversion buffer
    int buffer_size_ = 0;
    uint8_t* buffer_data_[4] = {};
    int buffer_linesize_[4] = {};
    bool has_current_ = false;
    uint8_t* current_data_[8] = {};
    int current_linesize_[8] = {};
    int sws_flags_ = SWS_BICUBIC;
    ScalerPtr to_bitmap_;
    ScalerPtr from_bitmap_;
    std::string last_error_;
};

}  // namespace tavrin

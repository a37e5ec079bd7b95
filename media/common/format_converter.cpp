#include "media/common/format_converter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {

namespace {

struct BitmapFormatRow {
    TBitmapPixelFormat format;
    int bits;  // the BitsPixel value that selects the format
    int bits_per_pixel;
    AVPixelFormat library_format;
};

constexpr BitmapFormatRow kBitmapFormats[] = {
    {TBitmapPixelFormat::pf8bit, 8, 8, AV_PIX_FMT_BGR8},
    {TBitmapPixelFormat::pf15bit, 15, 16, AV_PIX_FMT_BGR555LE},
    {TBitmapPixelFormat::pf16bit, 16, 16, AV_PIX_FMT_BGR565LE},
    {TBitmapPixelFormat::pf24bit, 24, 24, AV_PIX_FMT_BGR24},
    {TBitmapPixelFormat::pf32bit, 32, 32, AV_PIX_FMT_BGRA},
};

const BitmapFormatRow& RowOf(TBitmapPixelFormat format) {
    for (const BitmapFormatRow& row : kBitmapFormats) {
        if (row.format == format) {
            return row;
        }
    }
    return kBitmapFormats[4];
}

// Rows of the converter's own buffer are padded like the bitmap's (32 bits),
// so a converted picture copies into the bitmap row for row.
constexpr int kRowAlignment = 4;

}  // namespace

TFormatConverter::TFormatConverter() {
    Reset();
}

void TFormatConverter::Reset() {
    width_ = 0;
    height_ = 0;
    std::fill(std::begin(buffer_data_), std::end(buffer_data_), nullptr);
    std::fill(std::begin(buffer_linesize_), std::end(buffer_linesize_), 0);
    has_current_ = false;
    std::fill(std::begin(current_data_), std::end(current_data_), nullptr);
    std::fill(std::begin(current_linesize_), std::end(current_linesize_), 0);
    const BitmapFormatRow& row = RowOf(bitmap_format_);
    bits_pixel_ = row.bits_per_pixel;
    pix_fmt_ = row.library_format;
    bitmap_.SetPixelFormat(bitmap_format_);
}

void TFormatConverter::SetBitsPixel(int bits) {
    for (const BitmapFormatRow& row : kBitmapFormats) {
        if (row.bits == bits) {
            if (row.format != bitmap_format_) {
                bitmap_format_ = row.format;
                Reset();
            }
            return;
        }
    }
    throw FFmpegException("Invalid BitsPixel " + std::to_string(bits));
}

bool TFormatConverter::PictureToBitmap(uint8_t* const data[], const int linesize[],
                                       AVPixelFormat pix_fmt, bool copy, int height, int width) {
    bitmap_.SetSize(width, height);
    const bool convert = pix_fmt != pix_fmt_ || (width % 2) != 0 || (height % 2) != 0 ||
                         linesize[0] != bitmap_.BytesPerRow();
    if (convert) {
        const int size = ff.av_image_get_buffer_size(pix_fmt_, width, height, kRowAlignment);
        if (size < 0) {
            last_error_ =
                "Invalid picture size " + std::to_string(width) + "x" + std::to_string(height);
            has_current_ = false;
            return false;
        }
        if (size > buffer_size_) {
            buffer_.reset();
            buffer_size_ = 0;
            buffer_.reset(static_cast<uint8_t*>(ff.av_malloc(static_cast<size_t>(size))));
            if (buffer_ == nullptr) {
                last_error_ = "Could not allocate the conversion buffer";
                has_current_ = false;
                return false;
            }
            buffer_size_ = size;
        }
        ff.av_image_fill_arrays(buffer_data_, buffer_linesize_, buffer_.get(), pix_fmt_, width,
                                height, kRowAlignment);
        // The scaler aborts the process on formats it does not know, so
        // they are refused here.
        SwsContext* scaler = nullptr;
        if (ff.sws_isSupportedInput(pix_fmt) > 0) {
            // The cached call frees the old context whenever it makes another.
            to_bitmap_.reset(ff.sws_getCachedContext(to_bitmap_.release(), width, height, pix_fmt,
                                                     width, height, pix_fmt_, sws_flags_, nullptr,
                                                     nullptr, nullptr));
            scaler = to_bitmap_.get();
        }
        if (scaler == nullptr) {
            last_error_ = "Cannot initialize the toRGB conversion context";
            has_current_ = false;
            return false;
        }
        ff.sws_scale(scaler, data, linesize, 0, height, buffer_data_, buffer_linesize_);
        std::fill(std::begin(current_data_), std::end(current_data_), nullptr);
        std::fill(std::begin(current_linesize_), std::end(current_linesize_), 0);
        std::copy(std::begin(buffer_data_), std::end(buffer_data_), current_data_);
        std::copy(std::begin(buffer_linesize_), std::end(buffer_linesize_), current_linesize_);
    } else {
        // The bitmap formats are packed: the picture is its first plane. The
        // caller's arrays may hold only the four planes av_image_alloc gives.
        std::fill(std::begin(current_data_), std::end(current_data_), nullptr);
        std::fill(std::begin(current_linesize_), std::end(current_linesize_), 0);
        current_data_[0] = data[0];
        current_linesize_[0] = linesize[0];
    }
    width_ = width;
    height_ = height;
    has_current_ = true;
    if (copy) {
        CopyToBitmap();
    }
    return true;
}

bool TFormatConverter::PictureToBitmap(AVFrame* frame, bool copy) {
    return PictureToBitmap(frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format),
                           copy, frame->height, frame->width);
}

void TFormatConverter::RequireCurrentPicture(const char* operation) const {
    if (!has_current_) {
        throw FFmpegException(std::string(operation) +
                              " needs a picture: call PictureToBitmap first");
    }
}

void TFormatConverter::CopyToBitmap() {
    RequireCurrentPicture("CopyToBitmap");
    const int rows = std::min(height_, bitmap_.Height());
    const int bytes = std::min(std::abs(current_linesize_[0]), bitmap_.BytesPerRow());
    for (int row = 0; row < rows; ++row) {
        std::memcpy(bitmap_.ScanLine(row),
                    current_data_[0] + static_cast<std::ptrdiff_t>(row) * current_linesize_[0],
                    static_cast<size_t>(bytes));
    }
}

void TFormatConverter::CopyFromBitmap() {
    RequireCurrentPicture("CopyFromBitmap");
    const int rows = std::min(height_, bitmap_.Height());
    const int bytes = std::min(std::abs(current_linesize_[0]), bitmap_.BytesPerRow());
    for (int row = 0; row < rows; ++row) {
        std::memcpy(current_data_[0] + static_cast<std::ptrdiff_t>(row) * current_linesize_[0],
                    bitmap_.ScanLine(row), static_cast<size_t>(bytes));
    }
}

bool TFormatConverter::BitmapToPicture(uint8_t* const data[], const int linesize[],
                                       AVPixelFormat pix_fmt, int height, int width) {
    RequireCurrentPicture("BitmapToPicture");
    // The source is the current picture at its own size; the target may differ.
    if (ff.sws_isSupportedOutput(pix_fmt) <= 0) {
        last_error_ = "Cannot initialize the fromRGB conversion context";
        return false;
    }
    from_bitmap_.reset(ff.sws_getCachedContext(from_bitmap_.release(), width_, height_, pix_fmt_,
                                               width, height, pix_fmt, sws_flags_, nullptr, nullptr,
                                               nullptr));
    if (from_bitmap_ == nullptr) {
        last_error_ = "Cannot initialize the fromRGB conversion context";
        return false;
    }
    ff.sws_scale(from_bitmap_.get(), current_data_, current_linesize_, 0, height_, data, linesize);
    return true;
}

bool TFormatConverter::BitmapToPicture(AVFrame* frame) {
    return BitmapToPicture(frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format),
                           frame->height, frame->width);
}

}  // namespace tavrin

#include "media/common/format_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "fixtures/ff_libs_fixture.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {
namespace {

struct FrameDeleter {
    void operator()(AVFrame* frame) const { ff.av_frame_free(&frame); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

Frame MakeFrame(AVPixelFormat format, int width, int height) {
    Frame frame(ff.av_frame_alloc());
    if (frame == nullptr) {
        return frame;
    }
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (ff.av_frame_get_buffer(frame.get(), 0) < 0) {
        frame.reset();
    }
    return frame;
}

// A decoded-like picture: a luma ramp over the width, neutral chroma.
Frame MakeGrayRamp(int width, int height) {
    Frame frame = MakeFrame(AV_PIX_FMT_YUV420P, width, height);
    if (frame == nullptr) {
        return frame;
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            frame->data[0][y * frame->linesize[0] + x] =
                static_cast<std::uint8_t>(16 + x * 219 / (width - 1));
        }
    }
    for (int plane = 1; plane <= 2; ++plane) {
        for (int y = 0; y < (height + 1) / 2; ++y) {
            std::fill_n(frame->data[plane] + y * frame->linesize[plane], (width + 1) / 2, 128);
        }
    }
    return frame;
}

double MeanLumaDifference(const AVFrame& a, const AVFrame& b) {
    double total = 0;
    for (int y = 0; y < a.height; ++y) {
        for (int x = 0; x < a.width; ++x) {
            total += std::abs(a.data[0][y * a.linesize[0] + x] - b.data[0][y * b.linesize[0] + x]);
        }
    }
    return total / (a.width * a.height);
}

class FormatConverterTest : public testing::FFLibsTest {};

TEST_F(FormatConverterTest, RoundTripThroughEveryBitmapFormat) {
    const struct {
        int bits;
        int bytes_per_row;  // of a 64-pixel row
        double tolerance;   // mean luma difference after the round trip
    } cases[] = {{32, 256, 1.5}, {24, 192, 1.5}, {16, 128, 6.0}, {15, 128, 8.0}, {8, 64, 40.0}};
    const Frame source = MakeGrayRamp(64, 48);
    ASSERT_NE(source, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        TFormatConverter converter;
        converter.SetBitsPixel(c.bits);
        ASSERT_TRUE(converter.PictureToBitmap(source.get(), true)) << converter.LastErrorText();
        EXPECT_EQ(converter.Bitmap().Width(), 64);
        EXPECT_EQ(converter.Bitmap().Height(), 48);
        EXPECT_EQ(converter.Bitmap().BytesPerRow(), c.bytes_per_row);
        const Frame back = MakeFrame(AV_PIX_FMT_YUV420P, 64, 48);
        ASSERT_NE(back, nullptr);
        ASSERT_TRUE(converter.BitmapToPicture(back.get())) << converter.LastErrorText();
        EXPECT_LT(MeanLumaDifference(*source, *back), c.tolerance);
    }
}

TEST_F(FormatConverterTest, BitmapHoldsThePictureAndEditsComeBack) {
    const Frame source = MakeGrayRamp(64, 48);
    ASSERT_NE(source, nullptr);
    TFormatConverter converter;  // 32-bit by default
    ASSERT_TRUE(converter.PictureToBitmap(source.get(), true));
    // Left edge is black, right edge white, in every row; alpha is opaque.
    for (int row : {0, 47}) {
        const std::uint8_t* line = converter.Bitmap().ScanLine(row);
        EXPECT_LE(line[0], 3);
        EXPECT_GE(line[63 * 4 + 1], 252);
        EXPECT_EQ(line[3], 255);
    }
    // Paint the top-left 16x16 block white in the bitmap and convert back.
    for (int row = 0; row < 16; ++row) {
        std::fill_n(converter.Bitmap().ScanLine(row), 16 * 4, 255);
    }
    converter.CopyFromBitmap();
    const Frame back = MakeFrame(AV_PIX_FMT_YUV420P, 64, 48);
    ASSERT_TRUE(converter.BitmapToPicture(back.get()));
    EXPECT_GE(back->data[0][4 * back->linesize[0] + 4], 230);  // painted
    EXPECT_NEAR(back->data[0][40 * back->linesize[0] + 4],
                source->data[0][40 * source->linesize[0] + 4], 3);  // untouched
}

TEST_F(FormatConverterTest, PictureInTheBitmapsLayoutIsUsedInPlace) {
    const Frame bgra = MakeFrame(AV_PIX_FMT_BGRA, 64, 48);
    ASSERT_NE(bgra, nullptr);
    ASSERT_EQ(bgra->linesize[0], 256);
    TFormatConverter converter;
    ASSERT_TRUE(converter.PictureToBitmap(bgra.get(), false));
    EXPECT_EQ(converter.CurrentPictureData(), bgra->data[0]);
    // Edits of the bitmap go straight into the caller's picture.
    ASSERT_TRUE(converter.PictureToBitmap(bgra.get(), true));
    converter.Bitmap().ScanLine(2)[5] = 0xAB;
    converter.CopyFromBitmap();
    EXPECT_EQ(bgra->data[0][2 * bgra->linesize[0] + 5], 0xAB);
    // Plane arrays of four, as av_image_alloc fills them, are enough.
    std::uint8_t* const planes[4] = {bgra->data[0], nullptr, nullptr, nullptr};
    const int line_sizes[4] = {bgra->linesize[0], 0, 0, 0};
    ASSERT_TRUE(converter.PictureToBitmap(planes, line_sizes, AV_PIX_FMT_BGRA, true, 48, 64));
    EXPECT_EQ(converter.CurrentPictureData(), bgra->data[0]);
    EXPECT_EQ(converter.Bitmap().ScanLine(2)[5], 0xAB);

    // An odd width is converted even in the bitmap's own format.
    const Frame odd = MakeFrame(AV_PIX_FMT_BGRA, 641, 480);
    ASSERT_NE(odd, nullptr);
    ASSERT_TRUE(converter.PictureToBitmap(odd.get(), true));
    EXPECT_NE(converter.CurrentPictureData(), odd->data[0]);
    EXPECT_EQ(converter.Bitmap().BytesPerRow(), 641 * 4);
    converter.SetBitsPixel(24);
    ASSERT_TRUE(converter.PictureToBitmap(odd.get(), true));
    EXPECT_EQ(converter.Bitmap().BytesPerRow(), 1924);  // padded to 32 bits
}

TEST_F(FormatConverterTest, FailuresAndMisuse) {
    TFormatConverter converter;
    EXPECT_THROW(converter.CopyToBitmap(), FFmpegException);
    EXPECT_THROW(converter.CopyFromBitmap(), FFmpegException);
    try {
        converter.SetBitsPixel(12);
        FAIL() << "no error raised";
    } catch (const FFmpegException& error) {
        EXPECT_STREQ(error.what(), "Invalid BitsPixel 12");
    }
    EXPECT_EQ(converter.BitsPixel(), 32);
    converter.SetBitsPixel(15);
    EXPECT_EQ(converter.BitsPixel(), 16);
    EXPECT_EQ(converter.PixelFormat(), AV_PIX_FMT_BGR555LE);

    const Frame source = MakeGrayRamp(64, 48);
    ASSERT_NE(source, nullptr);
    EXPECT_FALSE(
        converter.PictureToBitmap(source->data, source->linesize, AV_PIX_FMT_NONE, false, 48, 64));
    EXPECT_EQ(converter.LastErrorText(), "Cannot initialize the toRGB conversion context");
    EXPECT_FALSE(converter.HasCurrentPicture());
    ASSERT_TRUE(converter.PictureToBitmap(source.get(), false));
    const Frame target = MakeFrame(AV_PIX_FMT_YUV420P, 64, 48);
    EXPECT_FALSE(
        converter.BitmapToPicture(target->data, target->linesize, AV_PIX_FMT_NONE, 48, 64));
    EXPECT_EQ(converter.LastErrorText(), "Cannot initialize the fromRGB conversion context");
}

}  // namespace
}  // namespace tavrin

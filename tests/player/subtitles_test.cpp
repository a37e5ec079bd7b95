// Bitmap subtitles under Xvfb: a DVD subtitle is blended into the pictures
// shown while it is due, and gone from them before and after.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "media/runtime/ff_api.h"
#include "virtual_screen.h"

namespace tavrin {
namespace {

using namespace std::chrono_literals;
using testing::RunFfmpeg;
using testing::ShellQuote;

// The subtitle: an opaque white bar near the bottom of a 320 × 240 picture.
constexpr int kBarX = 40;
constexpr int kBarY = 180;
constexpr int kBarWidth = 240;
constexpr int kBarHeight = 40;

// A Matroska file with one DVD subtitle stream holding the bar from `start`
// to `end` seconds. (The ffmpeg program cannot turn text into bitmap
// subtitles, so the test encodes it itself.)
std::filesystem::path MakeBitmapSubtitles(const std::filesystem::path& path, double start,
                                          double end) {
    const AVCodec* codec = ff.avcodec_find_encoder(AV_CODEC_ID_DVD_SUBTITLE);
    EXPECT_NE(codec, nullptr);
    CodecContextPtr encoder(ff.avcodec_alloc_context3(codec));
    encoder->width = 320;
    encoder->height = 240;
    encoder->time_base = {1, 1000};
    EXPECT_GE(ff.avcodec_open2(encoder.get(), codec, nullptr), 0);

    AVFormatContext* output = nullptr;
    EXPECT_GE(ff.avformat_alloc_output_context2(&output, nullptr, "matroska", path.c_str()), 0);
    AVStream* stream = ff.avformat_new_stream(output, nullptr);
    ff.avcodec_parameters_from_context(stream->codecpar, encoder.get());
    stream->time_base = {1, 1000};
    EXPECT_GE(ff.avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    EXPECT_GE(ff.avformat_write_header(output, nullptr), 0);

    std::vector<uint8_t> indices(kBarWidth * kBarHeight, 1);
    uint32_t palette[4] = {0x00000000, 0xffffffff, 0x00000000, 0x00000000};
    AVSubtitleRect rect{};
    rect.x = kBarX;
    rect.y = kBarY;
    rect.w = kBarWidth;
    rect.h = kBarHeight;
    rect.nb_colors = 4;
    rect.type = SUBTITLE_BITMAP;
    rect.data[0] = indices.data();
    rect.linesize[0] = kBarWidth;
    rect.data[1] = reinterpret_cast<uint8_t*>(palette);
    AVSubtitleRect* rects[] = {&rect};
    AVSubtitle subtitle{};
    subtitle.end_display_time = static_cast<uint32_t>((end - start) * 1000);
    subtitle.num_rects = 1;
    subtitle.rects = rects;
    subtitle.pts = static_cast<int64_t>(start * AV_TIME_BASE);
    std::vector<uint8_t> buffer(256 * 1024);
    const int size = ff.avcodec_encode_subtitle(encoder.get(), buffer.data(),
                                                static_cast<int>(buffer.size()), &subtitle);
    EXPECT_GT(size, 0);
    PacketPtr packet(ff.av_packet_alloc());
    EXPECT_GE(ff.av_new_packet(packet.get(), size), 0);
    std::memcpy(packet->data, buffer.data(), static_cast<std::size_t>(size));
    packet->pts = packet->dts = static_cast<int64_t>(start * 1000);
    packet->duration = static_cast<int64_t>((end - start) * 1000);
    packet->stream_index = 0;
    EXPECT_GE(ff.av_interleaved_write_frame(output, packet.get()), 0);
    EXPECT_GE(ff.av_write_trailer(output), 0);
    ff.avio_closep(&output->pb);
    ff.avformat_free_context(output);
    return path;
}

// The brightest luma inside the bar's area.
int BarLuma(const AVFrame& picture) {
    int brightest = 0;
    for (int row = kBarY; row < kBarY + kBarHeight; ++row) {
        for (int column = kBarX; column < kBarX + kBarWidth; ++column) {
            brightest =
                std::max<int>(brightest, picture.data[0][row * picture.linesize[0] + column]);
        }
    }
    return brightest;
}

using testing::VideoPlaybackTest;

TEST_F(VideoPlaybackTest, ABitmapSubtitleShowsInThePicturesWhileItIsDue) {
    const auto subtitles = MakeBitmapSubtitles(dir_ / "subs.mkv", 1.0, 2.0);
    const auto clip = dir_ / "subtitled.mkv";
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i color=c=black:size=320x240:rate=25:duration=3 -f lavfi -i "
                  "sine=frequency=440:duration=3 -i " +
                  ShellQuote(subtitles.string()) +
                  " -map 0:v -map 1:a -map 2:s -c:v libx264 -preset ultrafast "
                  "-pix_fmt yuv420p -c:a aac -c:s copy " +
                  ShellQuote(clip.string())));

    ASSERT_TRUE(player_->Open(clip.string(), 0, false)) << player_->LastErrorText();
    // The pictures on screen, by their time (ms), with the bar's brightness.
    std::map<int64_t, int> shown;
    while (player_->PlayState() != psEnd && player_->PlayState() != psStop) {
        if (const FramePtr picture = player_->ShownPicture()) {
            shown[picture->pts] = BarLuma(*picture);
        }
        Serve(5ms);
        if (player_->CurrentPosition() > 2900000 || shown.size() > 200) {
            break;
        }
    }
    player_->Stop(true);
    // On a busy machine late pictures are dropped and some are missed
    // between two looks, but each stretch is seen a few times.
    int before = 0;
    int with_bar = 0;
    int after = 0;
    for (const auto& [pts, luma] : shown) {
        if (pts >= 1040 && pts <= 1960) {
            EXPECT_GT(luma, 200) << pts;  // white over black
            ++with_bar;
        } else if (pts < 960 || pts > 2040) {
            EXPECT_LT(luma, 40) << pts;
            ++(pts < 960 ? before : after);
        }
    }
    EXPECT_GE(before, 3);
    EXPECT_GE(with_bar, 3);
    EXPECT_GE(after, 3);
}

}  // namespace
}  // namespace tavrin

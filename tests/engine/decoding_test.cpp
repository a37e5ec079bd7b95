// Decoding into filtergraphs: frame durations, the subtitle canvas drawing,
// and streams whose decoded format changes part way.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>

#include "fixtures/media_fixtures.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/decoding.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

TEST(DecodingTest, VideoFrameDurationFromPacketOrRate) {
    LoadEncoderLibraries();
    AVFormatContext* ctx = ff.avformat_alloc_context();
    InputStream ist;
    ist.stream = ff.avformat_new_stream(ctx, nullptr);
    ist.stream->time_base = AVRational{1, 90000};
    EXPECT_EQ(VideoFrameDuration(ist, 3600), 40000);  // the packet's own duration
    EXPECT_EQ(VideoFrameDuration(ist, 0), 0);         // nothing known
    ist.stream->avg_frame_rate = AVRational{30000, 1001};
    EXPECT_EQ(VideoFrameDuration(ist, 0), 33366);
    ff.avformat_free_context(ctx);
}

TEST(DecodingTest, SubtitleRectanglesAreDrawnThroughThePalette) {
    constexpr int kWidth = 8;
    constexpr int kHeight = 6;
    constexpr int kLinesize = kWidth * 4;
    std::array<std::uint8_t, kLinesize * kHeight> canvas{};
    std::array<std::uint8_t, 6> indexes = {0, 1, 2, 1, 0, 3};  // 3x2, line size 3
    std::array<std::uint32_t, 256> palette{};
    palette[1] = 0xff112233u;
    palette[2] = 0x80445566u;
    palette[3] = 0x01020304u;

    AVSubtitleRect rect{};
    rect.type = SUBTITLE_BITMAP;
    rect.x = 4;
    rect.y = 2;
    rect.w = 3;
    rect.h = 2;
    rect.data[0] = indexes.data();
    rect.data[1] = reinterpret_cast<std::uint8_t*>(palette.data());
    rect.linesize[0] = 3;
    ASSERT_TRUE(DrawSubtitleRect(canvas.data(), kLinesize, kWidth, kHeight, rect));
    auto pixel = [&](int x, int y) {
        std::uint32_t value = 0;
        std::memcpy(&value, canvas.data() + y * kLinesize + x * 4, 4);
        return value;
    };
    EXPECT_EQ(pixel(4, 2), 0u);
    EXPECT_EQ(pixel(5, 2), 0xff112233u);
    EXPECT_EQ(pixel(6, 2), 0x80445566u);
    EXPECT_EQ(pixel(4, 3), 0xff112233u);
    EXPECT_EQ(pixel(6, 3), 0x01020304u);
    EXPECT_EQ(pixel(3, 2), 0u);  // outside the rectangle
    EXPECT_EQ(pixel(7, 3), 0u);

    // A rectangle reaching past the canvas, or before it, is not drawn.
    canvas.fill(0);
    rect.x = 6;
    EXPECT_FALSE(DrawSubtitleRect(canvas.data(), kLinesize, kWidth, kHeight, rect));
    rect.x = -1;
    EXPECT_FALSE(DrawSubtitleRect(canvas.data(), kLinesize, kWidth, kHeight, rect));
    for (const std::uint8_t byte : canvas) {
        ASSERT_EQ(byte, 0);
    }
}

TEST(DecodingTest, ResolutionChangeMidStreamRebuildsTheFilters) {
    LoadEncoderLibraries();
    TempDir dir;
    EngineLog log;
    // Two raw H.264 streams of different sizes, one after the other.
    const fs::path small = dir.path() / "small.h264";
    const fs::path large = dir.path() / "large.h264";
    ASSERT_TRUE(
        RunFfmpeg("-v error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v libx264 "
                  "-pix_fmt yuv420p -bsf:v h264_mp4toannexb " +
                  ShellQuote(small.string())));
    ASSERT_TRUE(
        RunFfmpeg("-v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 1 -c:v libx264 "
                  "-pix_fmt yuv420p -bsf:v h264_mp4toannexb " +
                  ShellQuote(large.string())));
    const fs::path joined = dir.path() / "changing.h264";
    ASSERT_EQ(RunCommand("cat " + ShellQuote(small.string()) + " " + ShellQuote(large.string()) +
                         " > " + ShellQuote(joined.string())),
              0);

    const fs::path output = dir.path() / "out.mkv";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{joined.string(), ""}}, "-c:v mpeg4", output.string()))
        << task.LastError;
    task.Start();
    EXPECT_FALSE(task.HasError()) << task.ErrorMessage();
    EXPECT_TRUE(task.Finished());
    EXPECT_TRUE(log.Has(llInfo, "frame changed from size:160x120 fmt:yuv420p to size:320x240"));
    // Every picture of both parts reached the output, at the first size.
    const std::string frames = RunFfprobe(
        "-v error -count_frames -select_streams v -show_entries "
        "stream=nb_read_frames,width -of csv=p=0 " +
        ShellQuote(output.string()));
    EXPECT_EQ(frames.substr(0, frames.find_first_of("\r\n")), "160,50");
}

TEST(DecodingTest, SampleRateChangeMidStreamRebuildsTheFilters) {
    LoadEncoderLibraries();
    TempDir dir;
    EngineLog log;
    const fs::path low = dir.path() / "low.mp3";
    const fs::path high = dir.path() / "high.mp3";
    ASSERT_TRUE(
        RunFfmpeg("-v error -y -f lavfi -i sine=sample_rate=22050 -t 1 -c:a libmp3lame "
                  "-write_xing 0 -id3v2_version 0 " +
                  ShellQuote(low.string())));
    ASSERT_TRUE(
        RunFfmpeg("-v error -y -f lavfi -i sine=sample_rate=44100 -t 1 -c:a libmp3lame "
                  "-write_xing 0 -id3v2_version 0 " +
                  ShellQuote(high.string())));
    const fs::path joined = dir.path() / "changing.mp3";
    ASSERT_EQ(RunCommand("cat " + ShellQuote(low.string()) + " " + ShellQuote(high.string()) +
                         " > " + ShellQuote(joined.string())),
              0);

    const fs::path output = dir.path() / "out.wav";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{joined.string(), ""}}, "-ar 44100", output.string()))
        << task.LastError;
    task.Start();
    EXPECT_FALSE(task.HasError()) << task.ErrorMessage();
    EXPECT_TRUE(log.Has(llInfo, "frame changed from rate:22050"));
    // Both parts in full: the same length as the ffmpeg program gives (the
    // parts carry their encoders' padding, which no decoder removes here).
    const fs::path peer = dir.path() / "peer.wav";
    ASSERT_TRUE(RunFfmpeg("-v error -y -i " + ShellQuote(joined.string()) + " -ar 44100 " +
                          ShellQuote(peer.string())));
    EXPECT_NEAR(static_cast<double>(fs::file_size(output)),
                static_cast<double>(fs::file_size(peer)), 4 * 1152.0);
    EXPECT_GT(fs::file_size(output), 2u * 44100u * 2u);
}

}  // namespace
}  // namespace tavrin::testing

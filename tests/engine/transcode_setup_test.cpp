// Transcode setup against the real libraries, on small generated files:
// the refusals of stream copy, encoder and decoder opening, two-pass files,
// forced key frames, the stream mapping and the opened-codec lists.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fixtures/media_fixtures.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/pipeline.h"
#include "media/engine/transcode_setup.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

class TranscodeSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadEncoderLibraries();
        clip_ = MakeVideoWithAudio(dir_, "clip.mp4", 1.0);
        tone_ = MakeTone(dir_, "tone.mp3", 1.0);
    }

    // A task reading the clip into `output_name` with `options`.
    bool Build(TCustomFFmpeg& task, const std::string& options,
               const std::string& output_name = "out.mkv") {
        const bool built =
            BuildEngineTask(task, {{clip_.string(), ""}}, options, (dir_ / output_name).string());
        EXPECT_TRUE(built) << task.LastError;
        return built;
    }

    static std::size_t OpenedEncoderCount(TCustomFFmpeg& task) {
        const std::lock_guard<std::mutex> guard(CodecListLock());
        return task.OpenedEncoders.size();
    }

    TempDir dir_;
    fs::path clip_;
    fs::path tone_;
    EngineLog log_;
};

TEST(PassLogFileNameTest, NamesAndLimit) {
    EXPECT_EQ(PassLogFileName("zozovadod2pass", 2), "zozovadod2pass-2.log");
    EXPECT_EQ(PassLogFileName("/tmp/x", 0), "/tmp/x-0.log");
    EXPECT_EQ(PassLogFileName(std::string(2000, 'a'), 1).size(), 1023u);
}

TEST_F(TranscodeSetupTest, CopyRefusals) {
    struct Case {
        const char* options;
        const char* expected;  // empty: setup succeeds
        int hooks;             // 1 audio hook, 2 video hook, 3 frame hook, 4 preview
    };
    const Case cases[] = {
        {"-vn -c:a copy -vol 512",
         "-acodec copy and -vol are incompatible (frames are not decoded)", 0},
        {"-vn -c:a copy -vol 256", "", 0},
        {"-vn -c:a copy", "-acodec copy and AudioHook are incompatible (frames are not decoded)",
         1},
        {"-an -c:v copy", "-vcodec copy and VideoHook are incompatible (frames are not decoded)",
         2},
        {"-an -c:v copy", "-vcodec copy and FrameHook are incompatible (frames are not decoded)",
         3},
        {"-an -c:v copy", "-vcodec copy and PostHooks are incompatible (frames are not decoded)",
         4},
        {"-an -c:v copy", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        TCustomFFmpeg task;
        ASSERT_TRUE(Build(task, c.options));
        switch (c.hooks) {
            case 1:
                task.AudioInputHook = [](TCustomFFmpeg&, std::uint8_t*, std::int64_t, std::int32_t,
                                         std::int32_t, std::int32_t, std::int32_t) {};
                break;
            case 2:
                task.VideoOutputHook = [](TCustomFFmpeg&, TBitmap&, std::int32_t, std::int64_t,
                                          bool&, bool&) {};
                break;
            case 3:
                task.FrameInputHook = [](TCustomFFmpeg&, const TFrameHookInfo&) {};
                break;
            case 4:
                task.SetFlags(kPreviewBitmapFlag);
                break;
            default:
                break;
        }
        const int result = transcode_init(task);
        if (std::string(c.expected).empty()) {
            EXPECT_EQ(result, 0) << task.LastError;
        } else {
            EXPECT_EQ(result, AVERROR(EINVAL));
            EXPECT_EQ(task.LastError, c.expected);
        }
    }
}

TEST_F(TranscodeSetupTest, StreamCopyTakesTheSourceParameters) {
    TCustomFFmpeg task;
    ASSERT_TRUE(Build(task, "-c copy"));
    ASSERT_EQ(transcode_init(task), 0) << task.LastError;
    ASSERT_EQ(task.output_streams.size(), 2u);
    for (const auto& ost : task.output_streams) {
        const AVStream* source =
            task.input_streams[static_cast<std::size_t>(ost->source_index)]->stream;
        EXPECT_EQ(ost->stream->codecpar->codec_id, source->codecpar->codec_id);
        EXPECT_EQ(ost->needs_encoding, 0);
    }
    EXPECT_EQ(OpenedEncoderCount(task), 0u);
    EXPECT_TRUE(log_.Has(llInfo, "Stream mapping:"));
    EXPECT_TRUE(log_.Has(llInfo, "  Stream #0:0 -> #0:0 (copy) (Video)"));
}

TEST_F(TranscodeSetupTest, BitstreamFiltersStartBeforeTheHeader) {
    TCustomFFmpeg task;
    ASSERT_TRUE(Build(task, "-vn -c:a copy -bsf:a null"));
    ASSERT_EQ(task.output_streams[0]->bitstream_filters.size(), 1u);
    ASSERT_EQ(transcode_init(task), 0) << task.LastError;
    EXPECT_EQ(task.output_streams[0]->bitstream_filters_ready, 1);
    EXPECT_EQ(task.output_streams[0]->bitstream_filters.size(), 1u);
}

TEST_F(TranscodeSetupTest, EncodingOpensEncodersAndMapsStreams) {
    TCustomFFmpeg task;
    ASSERT_TRUE(Build(task, "-c:v mpeg4 -c:a mp2"));
    ASSERT_EQ(transcode_init(task), 0) << task.LastError;
    EXPECT_EQ(OpenedEncoderCount(task), 2u);
    for (const auto& ost : task.output_streams) {
        EXPECT_EQ(ost->needs_encoding, 1);
        EXPECT_EQ(ost->encoder_opened, 1);
        EXPECT_NE(ost->filter, nullptr);
    }
    const AVCodecContext* video = task.output_streams[0]->codec_ctx.get();
    EXPECT_EQ(video->width, 160);
    EXPECT_EQ(video->height, 120);
    EXPECT_EQ(video->time_base.num, 1);
    EXPECT_EQ(video->time_base.den, 25);
    EXPECT_TRUE(log_.Has(llInfo, "  Stream #0:0 -> #0:0 (mpeg4 -> mpeg4) (Video)"));
    EXPECT_TRUE(log_.Has(llInfo, "  Stream #0:1 -> #0:1 (aac -> mp2) (Audio)"));
    std::size_t decoders = 0;
    {
        const std::lock_guard<std::mutex> guard(CodecListLock());
        decoders = task.OpenedDecoders.size();
    }
    EXPECT_EQ(decoders, 2u);
}

TEST_F(TranscodeSetupTest, ThreadsRule) {
    {
        TCustomFFmpeg task;
        ASSERT_TRUE(Build(task, "-an -c:v mjpeg -pix_fmt yuvj420p -threads 4", "out.avi"));
        ASSERT_EQ(transcode_init(task), 0) << task.LastError;
        EXPECT_EQ(task.output_streams[0]->codec_ctx->thread_count, 1);
    }
    {
        TCustomFFmpeg task;
        ASSERT_TRUE(Build(task, "-an -c:v mpeg4 -threads 3", "out.avi"));
        ASSERT_EQ(transcode_init(task), 0) << task.LastError;
        EXPECT_EQ(task.output_streams[0]->codec_ctx->thread_count, 3);
    }
}

TEST_F(TranscodeSetupTest, LowBitRateWarning) {
    const char* const kWarning = "The bitrate parameter is set too low.";
    const struct {
        const char* rate;
        int warnings;  // counted over the cases so far
    } cases[] = {{"1000", 0}, {"999", 1}, {"0", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        TCustomFFmpeg task;
        ASSERT_TRUE(Build(task, std::string("-vn -c:a libmp3lame -b:a ") + c.rate, "out.mp3"));
        transcode_init(task);
        EXPECT_EQ(log_.Count(llWarning, kWarning), c.warnings);
    }
}

TEST_F(TranscodeSetupTest, EncoderThatRejectsItsParameters) {
    TCustomFFmpeg task;
    ASSERT_TRUE(Build(task, "-an -c:v h263 -s 170x130", "out.3gp"));
    const int result = transcode_init(task);
    EXPECT_LT(result, 0);
    EXPECT_TRUE(log_.Has(llError,
                         "Error while opening encoder for output stream #0:0 (Video) - maybe "
                         "incorrect parameters such as bit_rate, rate, width or height."));
    EXPECT_EQ(OpenedEncoderCount(task), 0u);
}

TEST_F(TranscodeSetupTest, MissingDecoderClosesTheOpenedEncoders) {
    TCustomFFmpeg task;
    ASSERT_TRUE(Build(task, "-c:v mpeg4 -c:a mp2"));
    task.input_streams[1]->decoder = nullptr;
    EXPECT_EQ(transcode_init(task), AVERROR(EINVAL));
    EXPECT_TRUE(log_.Has(llError, "Decoder (codec aac) not found for input stream #0:1"));
    EXPECT_EQ(OpenedEncoderCount(task), 0u);
    for (const auto& ost : task.output_streams) {
        EXPECT_EQ(ost->encoder_closed, ost->encoder_opened);
    }
}

TEST_F(TranscodeSetupTest, TwoPassLogFiles) {
    const std::string prefix = (dir_ / "stats").string();
    {
        TCustomFFmpeg task;
        ASSERT_TRUE(Build(task, "-an -c:v mpeg4 -pass 1 -passlogfile " + prefix, "out.avi"));
        ASSERT_EQ(transcode_init(task), 0) << task.LastError;
        EXPECT_TRUE(task.output_streams[0]->pass_log_file != nullptr);
        EXPECT_TRUE(fs::exists(prefix + "-0.log"));
    }
    {
        // Pass 2 without the statistics of pass 1.
        TCustomFFmpeg task;
        ASSERT_TRUE(
            Build(task, "-an -c:v mpeg4 -pass 2 -passlogfile " + prefix + "-none", "out2.avi"));
        EXPECT_EQ(transcode_init(task), -1);
        EXPECT_EQ(task.LastError,
                  "Error reading log file \"" + prefix + "-none-0.log\" for pass-2 encoding");
    }
    {
        TCustomFFmpeg task;
        ASSERT_TRUE(
            Build(task, "-an -c:v libx264 -pass 1 -passlogfile " + prefix + "x", "out3.mkv"));
        ASSERT_EQ(transcode_init(task), 0) << task.LastError;
        EXPECT_FALSE(task.output_streams[0]->pass_log_file != nullptr);
    }
}

TEST_F(TranscodeSetupTest, ForcedKeyFrames) {
    TCustomFFmpeg task;
    ASSERT_TRUE(Build(task, "-an -c:v mpeg4 -force_key_frames 1,0.5,0.2", "out.avi"));
    ASSERT_EQ(transcode_init(task), 0) << task.LastError;
    const OutputStream& ost = *task.output_streams[0];
    ASSERT_EQ(ost.forced_key_count, 3);
    // Time base 1/25: 0.2 s, 0.5 s (12.5 rounds up), 1 s.
    EXPECT_EQ(ost.forced_key_times, (std::vector<std::int64_t>{5, 13, 25}));

    TCustomFFmpeg bad;
    ASSERT_TRUE(Build(bad, "-an -c:v mpeg4 -force_key_frames expr:gte(t,", "bad.avi"));
    EXPECT_LT(transcode_init(bad), 0);
    EXPECT_TRUE(log_.Has(llError, "Invalid force_key_frames expression \"gte(t,\""));
}

TEST_F(TranscodeSetupTest, OutputWithoutStreams) {
    TCustomFFmpeg task;
    if (!BuildEngineTask(task, {{clip_.string(), ""}}, "-vn -an", (dir_ / "empty.mkv").string())) {
        GTEST_SKIP() << "the output layer refuses an output without streams: " << task.LastError;
    }
    EXPECT_EQ(transcode_init(task), AVERROR(EINVAL));
    EXPECT_EQ(task.LastError, "Output file #0 does not contain any stream");
}

TEST_F(TranscodeSetupTest, JoinOpensOneSharedEncoder) {
    const fs::path second = MakeTone(dir_, "second.mp3", 1.0, 880);
    const fs::path third = MakeTone(dir_, "third.mp3", 1.0, 660);
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(
        task, {{tone_.string(), ""}, {second.string(), ""}, {third.string(), ""}},
        "-c:a libmp3lame -ac 2 -ab 128000 -ar 44100", (dir_ / "joined.mp3").string(), true))
        << task.LastError;
    ASSERT_TRUE(task.Joined);
    ASSERT_EQ(task.JoinStreamCount, 1);
    ASSERT_EQ(transcode_init(task), 0) << task.LastError;
    EXPECT_EQ(OpenedEncoderCount(task), 1u);
    for (const auto& ost : task.output_streams) {
        EXPECT_NE(ost->filter, nullptr);
        EXPECT_EQ(ost->needs_encoding, 1);
    }
    // One filtergraph per joined input, all ending in the shared encoder.
    EXPECT_EQ(task.filtergraphs.size(), 3u);
}

}  // namespace
}  // namespace tavrin::testing

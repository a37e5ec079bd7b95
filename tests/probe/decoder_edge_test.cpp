// Operations without a file, bad stream indexes, forced formats, leftover
// options, attached contexts and the event raised before probing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/main_thread.h"
#include "probe/probe_test_support.h"

namespace tavrin::testing {
namespace {

class DecoderEdgeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadDecoderLibraries(); }

    TempDir dir_;
    LogCapture log_;
    TVEVarazez decoder_;
};

TEST_F(DecoderEdgeTest, EveryOperationWithoutAFileSaysFileNotLoaded) {
    const auto expect_not_loaded = [&](const char* operation) {
        EXPECT_EQ(decoder_.LastErrorText(), "file not loaded.") << operation;
        decoder_.SetLastErrorText("");
    };
    EXPECT_EQ(decoder_.FileInfoText(), "");
    expect_not_loaded("FileInfoText");

    TFileStreamInfo file_info;
    file_info.Title = "stale";
    decoder_.GetFileStreamInfo(file_info);
    expect_not_loaded("GetFileStreamInfo");
    EXPECT_EQ(file_info.StartTime, AV_NOPTS_VALUE);
    EXPECT_EQ(file_info.Duration, -1);
    EXPECT_EQ(file_info.BitRate, -1);
    EXPECT_EQ(file_info.Year, -1);
    EXPECT_EQ(file_info.Track, -1);
    EXPECT_EQ(file_info.Title, "");

    TAudioStreamInfo audio;
    audio.SampleRate = 8000;
    decoder_.GetAudioStreamInfo(-1, audio);
    expect_not_loaded("GetAudioStreamInfo");
    EXPECT_EQ(audio.SampleRate, -1);
    TVideoStreamInfo video;
    decoder_.GetVideoStreamInfo(video);
    expect_not_loaded("GetVideoStreamInfo");
    EXPECT_FALSE(decoder_.IsAudioStream(0));
    expect_not_loaded("IsAudioStream");
    EXPECT_FALSE(decoder_.IsVideoStream(0));
    expect_not_loaded("IsVideoStream");
    EXPECT_FALSE(decoder_.Seek(0, 0));
    expect_not_loaded("Seek");
    EXPECT_TRUE(log_.Has(&decoder_, llWarning, "file not loaded."));

    EXPECT_EQ(decoder_.FileSize(), -1);
    EXPECT_EQ(decoder_.StreamCount(), -1);
    EXPECT_EQ(decoder_.ProgramCount(), -1);
    EXPECT_EQ(decoder_.AudioStreamCount(), -1);
    EXPECT_EQ(decoder_.FirstVideoStreamIndex(), -1);
}

TEST_F(DecoderEdgeTest, BadStreamIndexesAndWrongStreamTypesGiveResetRecords) {
    const auto file = MakeShortMp4(dir_);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));

    struct Case {
        int index;
        bool audio;
        const char* message;
    };
    const Case cases[] = {
        {2, true, "stream index #2 is invalid."},     {99, false, "stream index #99 is invalid."},
        {-2, true, "stream index #-2 is invalid."},   {0, true, "stream #0 is not audio stream."},
        {1, false, "stream #1 is not video stream."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.audio) {
            TAudioStreamInfo info;
            info.Channels = 7;
            decoder_.GetAudioStreamInfo(c.index, info);
            EXPECT_EQ(info.Channels, -1);
            EXPECT_EQ(info.CodecName, "");
        } else {
            TVideoStreamInfo info;
            info.Width = 7;
            decoder_.GetVideoStreamInfo(c.index, info);
            EXPECT_EQ(info.Width, -1);
            EXPECT_EQ(info.SampleAspectRatioValue, -1.0f);
            EXPECT_EQ(info.FrameRate.num, 0);
            EXPECT_EQ(info.FrameRate.den, 1);
        }
        EXPECT_EQ(decoder_.LastErrorText(), c.message);
        EXPECT_TRUE(log_.Has(&decoder_, llError, c.message));
    }
    EXPECT_FALSE(decoder_.IsVideoStream(2));
    EXPECT_EQ(decoder_.LastErrorText(), "stream index #2 is invalid.");
    EXPECT_FALSE(decoder_.IsAudioStream(-1));
    EXPECT_EQ(decoder_.LastErrorText(), "stream index #-1 is invalid.");
}

TEST_F(DecoderEdgeTest, MissingStreamTypeIsReported) {
    const auto file = dir_ / "video-only.mp4";
    RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -c:v mpeg4 " +
              ShellQuote(file.string()));
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    TAudioStreamInfo audio;
    decoder_.GetAudioStreamInfo(-1, audio);
    EXPECT_EQ(decoder_.LastErrorText(), "no audio stream.");
    EXPECT_EQ(audio.SampleRate, -1);

    const auto tone = MakeTone(dir_);
    ASSERT_TRUE(decoder_.LoadFile(tone.string()));
    TVideoStreamInfo video;
    decoder_.GetVideoStreamInfo(video);
    EXPECT_EQ(decoder_.LastErrorText(), "no video stream.");
    EXPECT_TRUE(log_.Has(&decoder_, llError, "no video stream."));
}

TEST_F(DecoderEdgeTest, UnknownForcedFormatFailsAndLeavesNoFile) {
    const auto file = MakeTone(dir_);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    EXPECT_FALSE(decoder_.LoadFile(file.string(), "no-such-format"));
    EXPECT_EQ(decoder_.LastErrorText(), "Unknown input format: no-such-format");
    EXPECT_TRUE(log_.Has(&decoder_, llError, "Unknown input format: no-such-format"));
    EXPECT_EQ(decoder_.FormatContext(), nullptr);
    EXPECT_EQ(decoder_.StreamCount(), -1);
}

TEST_F(DecoderEdgeTest, FormatOptionTheDemuxerDoesNotTakeIsLoggedAndOpenGoesOn) {
    const auto file = MakeTone(dir_, "tone.wav");
    // An option of the MP4 demuxer means nothing to the WAV demuxer.
    ASSERT_EQ(decoder_.Options().OptDefault("use_absolute_path", "1"), 0);
    ASSERT_EQ(decoder_.Options().OptDefault("probesize", "5000"), 0);
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();
    EXPECT_TRUE(log_.Has(&decoder_, llError, "Option use_absolute_path not found, ignored."));
    EXPECT_EQ(log_.Count("Option probesize not found, ignored."), 0);
    // The options are used for one open only.
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    EXPECT_EQ(log_.Count("Option use_absolute_path not found, ignored."), 1);
}

TEST_F(DecoderEdgeTest, ScalerFlagsOptionReachesThePictureConverter) {
    const auto file = MakeShortMp4(dir_);
    ASSERT_EQ(decoder_.Options().OptDefault("sws_flags", "neighbor"), 0);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    EXPECT_EQ(decoder_.PictureConverter().ScalerFlags(), SWS_POINT);
}

TEST_F(DecoderEdgeTest, AttachedContextIsReportedButNeverClosedOrSeeked) {
    const auto file = MakeShortMp4(dir_);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    {
        TVEVarazez attached;
        attached.SetFormatContext(decoder_.FormatContext());
        EXPECT_FALSE(attached.OwnsContext());
        EXPECT_EQ(attached.StreamCount(), 2);
        EXPECT_EQ(attached.FirstAudioStreamIndex(), 1);
        EXPECT_EQ(attached.FileSize(), decoder_.FileSize());
        EXPECT_EQ(attached.FileInfoText(), decoder_.FileInfoText());

        try {
            attached.Seek(0, 0);
            ADD_FAILURE() << "seeking a context of someone else must raise";
        } catch (const FFmpegException& error) {
            EXPECT_STREQ(error.what(), "file cannot be seeked, handle is readonly.");
        }
        EXPECT_EQ(attached.LastErrorText(), "file cannot be seeked, handle is readonly.");
        EXPECT_TRUE(log_.Has(&attached, llWarning, "file cannot be seeked, handle is readonly."));
        // Its packets belong to its owner.
        ASSERT_TRUE(attached.OpenVideoStream());
        EXPECT_FALSE(attached.DecodeNextPicture());
        EXPECT_EQ(attached.LastErrorText(), "file cannot be read, handle is readonly.");
        attached.CloseFile();
        EXPECT_EQ(attached.StreamCount(), -1);
        attached.SetFormatContext(decoder_.FormatContext());
    }  // destroying the component must leave the context alone as well
    ASSERT_NE(decoder_.FormatContext(), nullptr);
    EXPECT_TRUE(decoder_.Seek(0, 0));
    TVideoStreamInfo video;
    decoder_.GetVideoStreamInfo(video);
    EXPECT_EQ(video.Width, 160);
}

TEST_F(DecoderEdgeTest, BeforeFindStreamInfoRunsOnTheMainThreadForAWorker) {
    const auto file = MakeTone(dir_);
    InitMainThread();
    const auto main_id = std::this_thread::get_id();
    std::thread::id raised_on;
    AVFormatContext* raised_with = nullptr;
    decoder_.OnBeforeFindStreamInfo = [&](TCustomDecoder* sender, AVFormatContext* context) {
        EXPECT_EQ(sender, &decoder_);
        raised_on = std::this_thread::get_id();
        raised_with = context;
    };
    std::atomic<bool> done{false};
    bool loaded = false;
    std::thread worker([&] {
        loaded = decoder_.LoadFile(file.string());
        done = true;
        WakeMainThread();
    });
    while (!done) {
        WaitForMessages(std::chrono::milliseconds(50));
    }
    worker.join();
    ShutdownMainThread();
    EXPECT_TRUE(loaded) << decoder_.LastErrorText();
    EXPECT_EQ(raised_on, main_id);
    EXPECT_EQ(raised_with, decoder_.FormatContext());

    // Asked to stay on the calling thread, it does.
    decoder_.TriggerEventInMainThread = false;
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    EXPECT_EQ(raised_on, std::this_thread::get_id());
}

TEST_F(DecoderEdgeTest, ProbingGetsATimeoutOfItsOwn) {
    const auto file = MakeShortMp4(dir_);
    decoder_.SetTimeout(1000);
    // Opening takes a moment; the event then takes longer than the whole
    // time-out. Probing must still get its full time-out.
    decoder_.OnBeforeFindStreamInfo = [](TCustomDecoder*, AVFormatContext*) {
        // The slow handler is what is tested: it outlasts the time-out.
        std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    };
    decoder_.TriggerEventInMainThread = false;
    EXPECT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();
    EXPECT_EQ(log_.Count("connecting/reading timeout"), 0);
    // And once loaded the decoder is idle: a later seek is not a late read.
    // Idle time is what is tested, so the wait has to outlast the time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_TRUE(decoder_.Seek(0, 500000));
}

}  // namespace
}  // namespace tavrin::testing

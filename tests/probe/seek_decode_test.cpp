// Seeking with the start-time adjustment and the retry, the inputs that refuse
// to seek, decoding pictures and audio, and the audio output settings.
#include <gtest/gtest.h>

#include "media/runtime/ff_api.h"
#include "probe/probe_test_support.h"

namespace tavrin::testing {
namespace {

class SeekDecodeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadDecoderLibraries(); }

    TempDir dir_;
    LogCapture log_;
    TVEVarazez decoder_;
};

TEST_F(SeekDecodeTest, SeekingToZeroOnAFileStartingAt1400MsLandsOnItsFirstPicture) {
    const auto file = dir_ / "late.ts";
    RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=25:duration=2 -c:v mpeg4 -g 5 " +
              ShellQuote(file.string()));
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();
    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    ASSERT_EQ(info.StartTime, 1400000);

    // Without a current stream the container's start is added to the target.
    EXPECT_TRUE(decoder_.Seek(0, 1000000));
    ASSERT_TRUE(decoder_.OpenVideoStream());
    ASSERT_TRUE(decoder_.DecodeNextPicture()) << decoder_.LastErrorText();
    EXPECT_GE(decoder_.PictureTime(), 2400000 - 200000) << "target 1 s means 2.4 s in the file";

    // With the video stream current: the stream's start, half a frame early.
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(decoder_.DecodeNextPicture());
    }
    EXPECT_TRUE(decoder_.Seek(0, 0));
    EXPECT_EQ(decoder_.PictureCount(), 0);
    ASSERT_TRUE(decoder_.DecodeNextPicture()) << decoder_.LastErrorText();
    EXPECT_EQ(decoder_.PictureTime(), 1400000);

    EXPECT_TRUE(decoder_.Seek(0, 1000000));
    ASSERT_TRUE(decoder_.DecodeNextPicture());
    EXPECT_GE(decoder_.PictureTime(), 2400000 - 200000);
    EXPECT_LE(decoder_.PictureTime(), 2400000 + 200000);
}

TEST_F(SeekDecodeTest, FailedSeekIsRetriedWithTheBackwardBitInverted) {
    const auto file = MakeShortMp4(dir_);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    const int64_t beyond_end = 60 * 1000000LL;
    // The library alone cannot find a key frame after the end going forward...
    ASSERT_LT(ff.av_seek_frame(decoder_.FormatContext(), -1, beyond_end, 0), 0);
    // ...the decoder then asks for the last one before it, and succeeds.
    EXPECT_TRUE(decoder_.Seek(0, beyond_end)) << decoder_.LastErrorText();
}

TEST_F(SeekDecodeTest, SeekThatFailsBothWaysNamesThePosition) {
    const auto file = MakeShortMp4(dir_);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    // MP4 cannot be seeked by bytes.
    EXPECT_FALSE(decoder_.Seek(AVSEEK_FLAG_BYTE, 4000));
    EXPECT_EQ(decoder_.LastErrorText(), "TVEVarazez.Seek(): could not seek to position 4000 bytes");
    EXPECT_TRUE(log_.Has(&decoder_, llError, decoder_.LastErrorText()));

    const auto image = dir_ / "picture.png";
    RunFfmpeg("-f lavfi -i testsrc=size=32x32 -frames:v 1 " + ShellQuote(image.string()));
    ASSERT_TRUE(decoder_.LoadFile(image.string(), "image2")) << decoder_.LastErrorText();
    EXPECT_FALSE(decoder_.Seek(0, 0));
    EXPECT_EQ(decoder_.LastErrorText(), "\"image2\" format cannot to be seeked.");
    EXPECT_TRUE(log_.Has(&decoder_, llInfo, "\"image2\" format cannot to be seeked."));
}

TEST_F(SeekDecodeTest, DecodesEveryPictureIntoTheBitmap) {
    const auto file = MakeShortMp4(dir_);
    auto probe = ProbeValues(file);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    ASSERT_TRUE(decoder_.OpenVideoStream());
    EXPECT_EQ(decoder_.CurrentVideoStreamIndex(), 0);
    EXPECT_EQ(decoder_.FrameRate().num, 25);
    int pictures = 0;
    while (decoder_.DecodeNextPicture()) {
        ++pictures;
    }
    EXPECT_TRUE(decoder_.VideoEnded()) << decoder_.LastErrorText();
    EXPECT_EQ(pictures, std::stoi(probe["streams.stream.0.nb_frames"]));
    EXPECT_EQ(decoder_.PictureConverter().Bitmap().Width(), 160);
    EXPECT_EQ(decoder_.PictureConverter().Bitmap().Height(), 120);

    // Seeking rewinds the end of the stream too.
    ASSERT_TRUE(decoder_.Seek(0, 0));
    EXPECT_FALSE(decoder_.VideoEnded());
    ASSERT_TRUE(decoder_.DecodeNextPicture());
    EXPECT_EQ(decoder_.PictureTime(), 0);
}

TEST_F(SeekDecodeTest, AudioIsResampledToTheWantedOutput) {
    const auto file = MakeShortMp4(dir_);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    ASSERT_TRUE(decoder_.OpenAudioStream());
    ASSERT_TRUE(decoder_.OpenVideoStream());  // its packets are queued, not lost
    EXPECT_EQ(decoder_.BytesPerSecond(), 2 * 44100 * 2);

    std::vector<uint8_t> pcm;
    while (decoder_.DecodeNextAudio(pcm) > 0) {
    }
    ASSERT_TRUE(decoder_.AudioEnded()) << decoder_.LastErrorText();
    // Two seconds of stereo signed 16-bit at 44100 Hz, give or take a frame.
    const double seconds = static_cast<double>(pcm.size()) / decoder_.BytesPerSecond();
    EXPECT_NEAR(seconds, 2.0, 0.05);
    int pictures = 0;
    while (decoder_.DecodeNextPicture()) {
        ++pictures;
    }
    EXPECT_EQ(pictures, 50);
}

TEST_F(SeekDecodeTest, ChangingTheAudioOutputResetsOnlyWhenTheValueDiffers) {
    const auto file = MakeShortMp4(dir_);
    ASSERT_TRUE(decoder_.LoadFile(file.string()));
    ASSERT_TRUE(decoder_.OpenAudioStream());
    std::vector<uint8_t> pcm;
    ASSERT_GT(decoder_.DecodeNextAudio(pcm), 0);
    const int64_t delivered = decoder_.AudioSamplesDelivered();
    const int64_t time = decoder_.AudioTime();
    ASSERT_TRUE(decoder_.HasResampler());

    decoder_.SetAudioSampleRate(44100);
    decoder_.SetAudioChannels(2);
    decoder_.SetAudioSampleFormat(AV_SAMPLE_FMT_S16);
    EXPECT_TRUE(decoder_.HasResampler());
    EXPECT_EQ(decoder_.AudioSamplesDelivered(), delivered);
    EXPECT_EQ(decoder_.AudioTime(), time);

    decoder_.SetAudioSampleRate(22050);
    EXPECT_FALSE(decoder_.HasResampler());
    EXPECT_EQ(decoder_.AudioSamplesDelivered(), 0);
    EXPECT_EQ(decoder_.AudioTime(), AV_NOPTS_VALUE);
    EXPECT_EQ(decoder_.OutputSampleRate(), 22050);
    EXPECT_EQ(decoder_.BytesPerSecond(), 2 * 22050 * 2);

    decoder_.SetAudioChannels(1);
    decoder_.SetAudioSampleFormat(AV_SAMPLE_FMT_FLT);
    EXPECT_EQ(decoder_.BytesPerSample(), 4);
    EXPECT_EQ(decoder_.BytesPerSecond(), 4 * 22050 * 1);
    pcm.clear();
    while (decoder_.DecodeNextAudio(pcm) > 0) {
    }
    const double seconds = static_cast<double>(pcm.size()) / decoder_.BytesPerSecond();
    EXPECT_NEAR(seconds, 2.0 - 1024.0 / 44100, 0.05);
}

}  // namespace
}  // namespace tavrin::testing

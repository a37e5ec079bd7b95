// Pictures on an X server without a screen (Xvfb, started here when the
// machine has it; else SDL's dummy video driver with its software surface):
// frames shown and dropped, picture against sound, the display rectangle,
// the waveform of a sound file, and a seek while paused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "virtual_screen.h"

namespace tavrin {
namespace {

using namespace std::chrono_literals;
using testing::RunFfmpeg;
using testing::ShellQuote;
using testing::VideoPlaybackTest;

double MonotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The picture clock less the sound clock at one instant, in seconds. Each
// clock runs on from its last update with the monotonic clock, so a reading
// less the monotonic time it was taken at is constant until the player next
// updates that clock: two such offsets compare as at one instant, however
// long this thread was held up between the two calls. Empty when a clock is
// unknown, or when a call could not be timed within a millisecond (this
// thread was preempted in it).
std::optional<double> ClockDifference(const TCustomPlayer& player) {
    constexpr double kTightReading = 0.001;
    const double before_video = MonotonicSeconds();
    const double video = player.VideoClockTime();
    const double after_video = MonotonicSeconds();
    const double audio = player.AudioClockTime();
    const double after_audio = MonotonicSeconds();
    if (std::isnan(video) || std::isnan(audio) || after_video - before_video > kTightReading ||
        after_audio - after_video > kTightReading) {
        return std::nullopt;
    }
    const double video_offset = video - (before_video + after_video) / 2;
    const double audio_offset = audio - (after_video + after_audio) / 2;
    return video_offset - audio_offset;
}

TEST_F(VideoPlaybackTest, AClipShowsItsFramesInStepWithItsSound) {
    const auto clip = MakeClip("clip.mp4", 4.0);
    ASSERT_TRUE(player_->Open(clip.string(), 0, false)) << player_->LastErrorText();
    // Once playback has settled, the picture clock keeps within a frame of
    // the sound's (a busy machine may stall a refresh now and then).
    ASSERT_TRUE(WaitForPosition(500000, testing::kGenerousWait)) << "playback never settled";
    std::vector<double> differences;
    while (player_->CurrentPosition() < 3800000 && States().back() != psEnd) {
        if (const std::optional<double> difference = ClockDifference(*player_)) {
            differences.push_back(std::fabs(*difference));
        }
        Serve(10ms);
    }
    ASSERT_GT(differences.size(), 100u);
    std::sort(differences.begin(), differences.end());
    EXPECT_LT(differences[differences.size() / 2], 0.04 + 0.005);
    EXPECT_LT(differences[differences.size() * 9 / 10], 0.04 + 0.005);
    ASSERT_TRUE(WaitForState(psEnd, testing::kGenerousWait)) << "playback never ended";
    const int64_t shown = player_->PicturesShown();
    const int64_t dropped = player_->PicturesDropped();
    player_->Stop(true);
    // The stop's state arrives through the main thread.
    EXPECT_TRUE(testing::ServeMainThreadUntil([this] { return States().back() == psStop; },
                                              testing::kGenerousWait));
    // 100 frames, each shown or dropped for being late.
    EXPECT_GE(shown, 75);
    EXPECT_GE(shown + dropped, 95);
    EXPECT_LE(shown + dropped, 101);
    EXPECT_NEAR(ReadSound(1, 44100).Frequency(), 440.0, 4.0);
    EXPECT_EQ(States().back(), psStop);
}

TEST_F(VideoPlaybackTest, TheAspectRatioGivesItsRectangle) {
    const auto clip = MakeClip("clip.mp4", 0.6);
    struct Case {
        float aspect;
        TDisplayRect rect;
    };
    // A 320 × 240 picture in a 640 × 240 area.
    const Case cases[] = {
        {-1.0f, {0, 0, 640, 240}},
        {0.0f, {160, 0, 320, 240}},
        {1.78f, {107, 0, 426, 240}},
    };
    player_->SetScreenSize(640, 240);
    for (const Case& test : cases) {
        SCOPED_TRACE(test.aspect);
        player_->SetAspectRatio(test.aspect);
        ASSERT_TRUE(player_->Open(clip.string(), 0, false)) << player_->LastErrorText();
        ASSERT_TRUE(WaitForPosition(200000, 5s));
        EXPECT_EQ(player_->LastDisplayRect(), test.rect);
        player_->Stop(true);
    }
}

TEST_F(VideoPlaybackTest, ASoundFileDrawsAWaveform) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 1.5, 440);
    ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    // Drawn again and again while it plays.
    EXPECT_GE(player_->PicturesShown(), 5);
    EXPECT_EQ(player_->PicturesDropped(), 0);
    player_->Stop(true);
}

TEST_F(VideoPlaybackTest, OpenedPausedShowsTheFirstPictureAndASeekShowsTheNewOne) {
    const auto clip = MakeClip("clip.mp4", 3.0);
    ASSERT_TRUE(player_->Open(clip.string(), 0, true)) << player_->LastErrorText();
    ASSERT_TRUE(WaitForState(psPause, 5s));
    Serve(300ms);
    EXPECT_EQ(player_->PicturesShown(), 1);
    player_->Seek(0, true, 2000000);
    Serve(500ms);
    EXPECT_EQ(player_->PicturesShown(), 2);
    EXPECT_NEAR(static_cast<double>(player_->CurrentPosition()), 2000000.0, 100000.0);
    EXPECT_EQ(player_->PlayState(), psPause);
    player_->TogglePause();
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    player_->Stop(true);
    Serve(50ms);
    const std::vector<int64_t> expected{psPlay, psPause, psResume, psEnd, psStop};
    EXPECT_EQ(States(), expected);
}

TEST_F(VideoPlaybackTest, AVideoCodecWithoutDecoderStillPlaysTheSound) {
    // An AVI whose video codec tag names no codec at all.
    const auto made = dir_ / "made.avi";
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -f lavfi -i "
                  "sine=frequency=440:duration=1 -c:v ffv1 -c:a pcm_s16le " +
                  ShellQuote(made.string())));
    std::string bytes;
    {
        std::ifstream in(made, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    for (std::size_t at = bytes.find("FFV1"); at != std::string::npos;
         at = bytes.find("FFV1", at)) {
        bytes.replace(at, 4, "ZZZZ");
    }
    const auto file = dir_ / "unknown.avi";
    std::ofstream(file, std::ios::binary) << bytes;

    ASSERT_TRUE(player_->Open(file.string(), 0, false)) << player_->LastErrorText();
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    player_->Stop(true);
    EXPECT_TRUE(Logged("No codec could be found with id 0"));
    EXPECT_GT(player_->PicturesShown(), 0);  // the waveform, drawn instead
    const testing::TRawSound sound = ReadSound(1, 44100);
    EXPECT_NEAR(sound.Frequency(), 440.0, 4.0);
    EXPECT_NEAR(sound.AudibleSeconds(), 1.0, 0.06);
}

}  // namespace
}  // namespace tavrin

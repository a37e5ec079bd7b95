// Sound through SDL's disk audio driver: pitch, length, volume and mute,
// pause and resume, channel counts and rates, and the events that go with it.
#include <gtest/gtest.h>

#include "player_test_support.h"

namespace tavrin {
namespace {

using namespace std::chrono_literals;
using testing::PlayerTest;
using testing::RunFfmpeg;
using testing::ShellQuote;

TEST_F(PlayerTest, AToneFilePlaysAtItsPitchForItsLengthWithOrderedEvents) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 1.0, 440);
    ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
    EXPECT_EQ(player_->FileName(), tone.string());
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    player_->Stop(true);
    EXPECT_EQ(player_->PlayState(), psStop);
    Serve(100ms);

    const std::vector<int64_t> states = States();
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front(), psPlay);
    EXPECT_EQ(states[states.size() - 2], psEnd);
    EXPECT_EQ(states.back(), psStop);

    const std::vector<int64_t> positions = Positions();
    ASSERT_GE(positions.size(), 10u);
    // Reports are more than 20 ms apart, but the end is always reported.
    for (std::size_t i = 1; i + 1 < positions.size(); ++i) {
        EXPECT_GT(positions[i] - positions[i - 1], 20000) << i;
    }
    EXPECT_GT(positions.back(), positions[positions.size() - 2]);
    EXPECT_EQ(positions.back(), 1000000);

    const testing::TRawSound sound = ReadSound(1, 44100);
    EXPECT_NEAR(sound.Frequency(), 440.0, 3.0);
    EXPECT_NEAR(sound.AudibleSeconds(), 1.0, 0.05);
    EXPECT_LT(sound.LongestInnerSilence(), 0.01);
}

TEST_F(PlayerTest, MuteAndVolumeZeroGiveSilenceWhilePositionsAdvance) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 0.6, 440);
    const std::pair<const char*, bool> cases[] = {{"mute", true}, {"volume 0", false}};
    for (const auto& [name, mute] : cases) {
        SCOPED_TRACE(name);
        events_.clear();
        player_->SetMute(mute);
        player_->SetAudioVolume(mute ? 128 : 0);
        ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
        ASSERT_TRUE(WaitForState(psEnd, 5s));
        EXPECT_GE(Positions().back(), 590000);
        player_->Stop(true);
        EXPECT_EQ(ReadSound(1, 44100).MaxAmplitude(), 0);
    }
}

TEST_F(PlayerTest, HalfVolumeHalvesTheAmplitude) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 0.5, 440);
    int peaks[2] = {};
    const int volumes[] = {128, 64};
    for (int i = 0; i < 2; ++i) {
        player_->SetAudioVolume(volumes[i]);
        ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
        ASSERT_TRUE(WaitForPosition(450000, 5s));
        player_->Stop(true);
        peaks[i] = ReadSound(1, 44100).MaxAmplitude();
    }
    EXPECT_GT(peaks[0], 1000);
    EXPECT_NEAR(peaks[1], peaks[0] / 2.0, peaks[0] * 0.05);
}

TEST_F(PlayerTest, PauseSendsNoToneAndResumeGoesOnWhereItStopped) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 1.5, 440);
    ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
    ASSERT_TRUE(WaitForPosition(500000, 5s));
    player_->Pause();
    EXPECT_EQ(player_->PlayState(), psPause);
    player_->Pause();  // already paused: nothing changes
    Serve(100ms);
    const int64_t paused_at = player_->CurrentPosition();
    Serve(600ms);
    EXPECT_EQ(player_->CurrentPosition(), paused_at);
    player_->TogglePause();
    EXPECT_EQ(player_->PlayState(), psResume);
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    player_->Stop(true);
    Serve(50ms);

    const std::vector<int64_t> states = States();
    const std::vector<int64_t> expected{psPlay, psPause, psResume, psEnd, psStop};
    EXPECT_EQ(states, expected);
    const std::vector<int64_t> positions = Positions();
    for (std::size_t i = 1; i < positions.size(); ++i) {
        EXPECT_GT(positions[i], positions[i - 1]) << i;
    }

    const testing::TRawSound sound = ReadSound(1, 44100);
    EXPECT_NEAR(sound.Frequency(), 440.0, 3.0);
    // The pause is one stretch of silence; the tone before and after it adds
    // up to the file's length.
    const double silence = sound.LongestInnerSilence();
    EXPECT_GT(silence, 0.55);
    EXPECT_NEAR(sound.AudibleSeconds() - silence, 1.5, 0.06);
}

TEST_F(PlayerTest, ManyChannelsAtHighRatesAndMonoAtLowRatesKeepTheirPitch) {
    struct Case {
        const char* name;
        const char* options;
        int channels;
        int sample_rate;
    };
    const Case cases[] = {
        {"six.flac", "-af 'pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0' -c:a flac", 6, 96000},
        {"mono.wav", "-ac 1", 1, 8000},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const auto path = dir_ / test.name;
        ASSERT_TRUE(RunFfmpeg(
            "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(test.sample_rate) +
            ":duration=0.8 " + test.options + " " + ShellQuote(path.string())));
        ASSERT_TRUE(player_->Open(path.string(), 0, false)) << player_->LastErrorText();
        ASSERT_TRUE(WaitForPosition(750000, 5s));
        player_->Stop(true);
        const testing::TRawSound sound = ReadSound(test.channels, test.sample_rate);
        EXPECT_NEAR(sound.Frequency(), 440.0, 4.0);
        EXPECT_GT(sound.AudibleSeconds(), 0.6);
    }
}

TEST_F(PlayerTest, ADeviceWithFewerChannelsGetsTheSoundDownmixedOrFallsBack) {
    struct Case {
        const char* name;
        const char* layout;
        const char* device_channels;  // SDL_AUDIO_CHANNELS, or none
        int channels;                 // what the device is opened with
        const char* refusal;          // logged when SDL refused the first count
    };
    const Case cases[] = {
        // 7.1 on a stereo device: downmixed to two channels.
        {"eight.wav", "7.1", "2", 2, nullptr},
        // SDL takes at most eight: 16 → 6, as the fallback table says.
        {"sixteen.wav", "hexadecagonal", nullptr, 6,
         "SDL_OpenAudio (16 channels): Unsupported number of audio channels."},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(std::string(test.name) + " " +
                     (test.device_channels ? test.device_channels : ""));
        const auto path = dir_ / test.name;
        std::string pan = std::string("pan=") + test.layout;
        for (int channel = 0; channel < (std::string(test.layout) == "7.1" ? 8 : 16); ++channel) {
            pan += "|c" + std::to_string(channel) + "=c0";
        }
        ASSERT_TRUE(
            RunFfmpeg("-y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=0.8 -af '" +
                      pan + "' " + ShellQuote(path.string())));
        if (test.device_channels) {
            ::setenv("SDL_AUDIO_CHANNELS", test.device_channels, 1);
        }
        const bool opened = player_->Open(path.string(), 0, false);
        ::unsetenv("SDL_AUDIO_CHANNELS");
        ASSERT_TRUE(opened) << player_->LastErrorText();
        ASSERT_TRUE(WaitForPosition(750000, 5s));
        player_->Stop(true);
        if (test.refusal) {
            EXPECT_TRUE(Logged(test.refusal));
        }
        const testing::TRawSound sound = ReadSound(test.channels, 48000);
        EXPECT_NEAR(sound.Frequency(), 440.0, 4.0);
        EXPECT_NEAR(sound.AudibleSeconds(), 0.8, 0.1);
        // Both front channels carry the tone (a source without LFE leaves
        // the 5.1 LFE channel silent).
        for (int channel = 0; channel < 2; ++channel) {
            int peak = 0;
            for (int64_t frame = 0; frame < sound.Frames(); ++frame) {
                peak = std::max(peak, std::abs(static_cast<int>(sound.At(frame, channel))));
            }
            EXPECT_GT(peak, 1000) << channel;
        }
    }
}

}  // namespace
}  // namespace tavrin

// Operations while playing: open over a playing file, stop during a blocking
// open, seeking, starting paused, the play range, and files that cannot be
// played.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "fixtures/wait_until.h"
#include "player_test_support.h"
#include "probe/probe_test_support.h"

namespace tavrin {
namespace {

using namespace std::chrono_literals;
using testing::PlayerTest;
using testing::RunFfmpeg;
using testing::ShellQuote;

TEST_F(PlayerTest, OpenWhilePlayingDeliversTheOldFilesEventsFirst) {
    const auto first = testing::MakeTone(dir_, "first.wav", 2.0, 440);
    const auto second = testing::MakeTone(dir_, "second.wav", 0.4, 880);
    // The internal decoder holds the playing file's context, and only then.
    const auto attached_file = [this]() -> std::string {
        const AVFormatContext* context = player_->InternalDecoder().FormatContext();
        return context ? context->url : "";
    };
    ASSERT_TRUE(player_->Open(first.string(), 0, false)) << player_->LastErrorText();
    EXPECT_EQ(attached_file(), first.string());
    EXPECT_FALSE(player_->InternalDecoder().OwnsContext());
    ASSERT_TRUE(WaitForPosition(300000, 5s));
    ASSERT_TRUE(player_->Open(second.string(), 0, false)) << player_->LastErrorText();
    EXPECT_EQ(player_->FileName(), second.string());
    EXPECT_EQ(attached_file(), second.string());
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    player_->Stop(true);
    EXPECT_EQ(attached_file(), "");
    Serve(50ms);
    const std::vector<int64_t> expected{psPlay, psStop, psPlay, psEnd, psStop};
    EXPECT_EQ(States(), expected);
    // The second file's positions start again from its beginning.
    std::size_t second_play = 0;
    for (std::size_t i = 0, plays = 0; i < events_.size(); ++i) {
        if (events_[i].is_state && events_[i].value == psPlay && ++plays == 2) {
            second_play = i;
        }
    }
    ASSERT_GT(second_play, 0u);
    for (std::size_t i = 0; i < second_play; ++i) {
        if (!events_[i].is_state) {
            EXPECT_GE(events_[i].value, 0);
        }
    }
    EXPECT_NEAR(ReadSound(1, 44100).Frequency(), 880.0, 4.0);
}

TEST_F(PlayerTest, StopWithoutWaitingCancelsABlockingOpen) {
    testing::SilentTcpPeer listener;
    std::atomic<bool> stop{false};
    std::atomic<bool> connected{false};
    std::thread stopper([&] {
        // The peer never accepts: a connection waiting in its backlog means
        // the open has connected and now blocks reading.
        connected = testing::WaitUntil([&listener] {
            pollfd waiting{listener.Socket(), POLLIN, 0};
            return ::poll(&waiting, 1, 0) > 0;
        });
        player_->Stop(false);
        stop = true;
    });
    const auto started = std::chrono::steady_clock::now();
    const bool opened = player_->Open(listener.Url(), 0, false);
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_TRUE(connected) << "the open never connected to the peer";
    EXPECT_FALSE(opened);
    EXPECT_TRUE(stop);
    EXPECT_LT(took, 5s);
    EXPECT_TRUE(Logged("connecting/reading canceled"));
    EXPECT_FALSE(player_->LastErrorText().empty());
    EXPECT_EQ(player_->PlayState(), psStop);
}

TEST_F(PlayerTest, SeekWithWaitingJumpsAndPlaysTheRest) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 2.0, 440);
    ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
    ASSERT_TRUE(WaitForPosition(300000, 5s));
    player_->Seek(0, true, 1500000);
    Serve(200ms);
    EXPECT_GE(player_->CurrentPosition(), 1500000);
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    player_->Stop(true);
    // About 0.3 s before the seek and 0.5 s after it.
    const double audible = ReadSound(1, 44100).AudibleSeconds();
    EXPECT_GT(audible, 0.7);
    EXPECT_LT(audible, 1.1);
}

TEST_F(PlayerTest, StartPausedWaitsForTheFirstResume) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 0.5, 440);
    ASSERT_TRUE(player_->Open(tone.string(), 0, true)) << player_->LastErrorText();
    Serve(400ms);
    EXPECT_LE(player_->CurrentPosition(), 0);
    EXPECT_EQ(ReadSound(1, 44100).MaxAmplitude(), 0);
    player_->TogglePause();
    EXPECT_EQ(player_->PlayState(), psResume);
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    player_->Stop(true);
    EXPECT_NEAR(ReadSound(1, 44100).AudibleSeconds(), 0.5, 0.05);
}

TEST_F(PlayerTest, ThePlayRangeEndsWithItsEndAction) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 2.0, 440);
    struct Case {
        int action;
        TPlayState state;
    };
    for (const Case test : {Case{peStop, psStop}, Case{pePause, psPause}}) {
        SCOPED_TRACE(test.action);
        events_.clear();
        player_->SetPlayRange(AV_NOPTS_VALUE, 400000, test.action);
        ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
        ASSERT_TRUE(WaitForState(test.state, 5s));
        Serve(300ms);
        EXPECT_NEAR(static_cast<double>(player_->CurrentPosition()),
                    test.state == psStop ? -1.0 : 400000.0, 60000.0);
        player_->Stop(true);
        EXPECT_NEAR(ReadSound(1, 44100).AudibleSeconds(), 0.4, 0.06);
    }
    player_->SetPlayRange(AV_NOPTS_VALUE, AV_NOPTS_VALUE, pePauseAndRewind);
}

TEST_F(PlayerTest, FilesThatCannotBePlayedFailWithAClearText) {
    const auto text = dir_ / "notes.mp3";
    std::ofstream(text) << "these are no sounds\n";
    const auto video_only = dir_ / "video.mp4";
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=10:duration=0.5 -c:v mpeg4 " +
                          ShellQuote(video_only.string())));
    const std::pair<std::filesystem::path, std::string> cases[] = {
        {text, ""},  // the libraries' own text follows
        {dir_ / "missing.wav", ": No such file or directory"},
        {video_only, ": could not open codecs, no stream to play."},
    };
    for (const auto& [path, ending] : cases) {
        SCOPED_TRACE(path.string());
        EXPECT_FALSE(player_->Open(path.string(), 0, false));
        if (ending.empty()) {
            EXPECT_TRUE(player_->LastErrorText().starts_with(path.string() + ": "))
                << player_->LastErrorText();
        } else {
            EXPECT_EQ(player_->LastErrorText(), path.string() + ending);
        }
        EXPECT_EQ(player_->PlayState(), psStop);
        player_->Stop(true);
    }
    player_->SetDisableAudio(true);
    const auto tone = testing::MakeTone(dir_, "tone.wav", 0.2, 440);
    EXPECT_FALSE(player_->Open(tone.string(), 0, false));
    EXPECT_EQ(player_->LastErrorText(),
              tone.string() + ": could not open codecs, no stream to play.");
}

TEST_F(PlayerTest, DamagedAndEmptyFilesEndWithoutHanging) {
    const auto clip = testing::MakeVideoWithAudio(dir_, "clip.mp4", 2.0);
    const auto truncated = dir_ / "truncated.mp4";
    {
        std::ifstream in(clip, std::ios::binary);
        std::vector<char> bytes(std::filesystem::file_size(clip) * 2 / 3);
        in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::ofstream(truncated, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const auto empty = dir_ / "empty.wav";
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i anullsrc=r=44100:cl=mono -t 0 " + ShellQuote(empty.string())));
    for (const auto& path : {clip, truncated, empty}) {
        SCOPED_TRACE(path.string());
        events_.clear();
        if (!player_->Open(path.string(), 0, false)) {
            EXPECT_FALSE(player_->LastErrorText().empty());
            continue;
        }
        EXPECT_TRUE(WaitForState(psEnd, 6s));
        const auto started = std::chrono::steady_clock::now();
        player_->Stop(true);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
        EXPECT_EQ(player_->PlayState(), psStop);
    }
}

TEST_F(PlayerTest, StopReturnsFromEveryState) {
    const auto tone = testing::MakeTone(dir_, "tone.wav", 1.0, 440);
    player_->Stop(true);  // stopped already
    player_->Stop(false);
    const std::function<void()> into_state[] = {
        [] {},
        [this] { player_->Pause(); },
        [this] {
            player_->Pause();
            player_->TogglePause();
        },
        [this] { ASSERT_TRUE(WaitForState(psEnd, 5s)); },
    };
    for (const auto& go : into_state) {
        events_.clear();
        ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
        ASSERT_TRUE(WaitForPosition(100000, 5s));
        go();
        player_->Stop(true);
        EXPECT_EQ(player_->PlayState(), psStop);
        EXPECT_EQ(player_->CurrentPosition(), -1);
        Serve(30ms);
        EXPECT_EQ(States().back(), psStop);
    }
    // Without waiting, the playback ends by itself soon after.
    ASSERT_TRUE(player_->Open(tone.string(), 0, false)) << player_->LastErrorText();
    player_->Stop(false);
    EXPECT_TRUE(WaitForState(psStop, 3s));
}

}  // namespace
}  // namespace tavrin

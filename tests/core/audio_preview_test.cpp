// The main window's audio preview with the real player, SDL's disk audio
// driver and no display: the probes and their log lines, which row plays,
// the Pause caption and the controls the player's states switch.
#include "app/core/audio_preview.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "fixtures/media_fixtures.h"
#include "fixtures/serve_main_thread.h"
#include "media/runtime/main_thread.h"

namespace tavrin {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

class AudioPreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitMainThread();
        ::setenv("SDL_AUDIODRIVER", "disk", 1);
        ::setenv("SDL_DISKAUDIOFILE", (dir_ / "sound.raw").c_str(), 1);
        player_->SetDisableDisplay(true);
        player_->SetOnState([this](TCustomPlayer*, TPlayState state) {
            states_.push_back(state);
            preview_.OnState(state);
        });
        player_->SetOnPosition(
            [this](TCustomPlayer*, int64_t position) { preview_.OnPosition(position); });
    }
    void TearDown() override {
        // The player's own end joins its event thread while the main thread
        // still serves the last state events; afterwards they would run on
        // that thread, racing with the fixture's end.
        player_.reset();
        ::unsetenv("SDL_DISKAUDIOFILE");
        ShutdownMainThread();
    }
    bool WaitForState(TPlayState state, std::chrono::milliseconds timeout) {
        return testing::ServeMainThreadUntil(
            [&] { return std::find(states_.begin(), states_.end(), state) != states_.end(); },
            timeout);
    }
    std::vector<std::string> Tones(int count) {
        std::vector<std::string> rows;
        for (int i = 0; i < count; ++i) {
            rows.push_back(
                testing::MakeTone(dir_, "tone" + std::to_string(i) + ".wav", 0.4, 300 + 100 * i)
                    .string());
        }
        return rows;
    }

    TempDir dir_;
    std::unique_ptr<TDEDudevo> player_ = std::make_unique<TDEDudevo>();
    std::vector<std::string> log_;
    int encoder_stops_ = 0;
    std::vector<TPlayState> states_;
    TAudioPreview preview_{
        *player_,
        {[this](const std::string& line) { log_.push_back(line); }, [this] { ++encoder_stops_; }},
        ""};
};

TEST_F(AudioPreviewTest, AnEmptyListPlaysNothingAndLogsNothing) {
    preview_.Play({}, -1, 0);
    EXPECT_TRUE(log_.empty());
    EXPECT_EQ(preview_.ProbeCount(), 0u);
    EXPECT_EQ(player_->PlayState(), psStop);
    EXPECT_TRUE(preview_.Controls().Merge);  // nothing switched
    EXPECT_EQ(encoder_stops_, 1);
}

TEST_F(AudioPreviewTest, ProbesEveryRowInOrderThenPlaysTheSelectedOne) {
    const std::vector<std::string> rows = Tones(3);
    preview_.Play(rows, 1, 0);
    ASSERT_EQ(log_.size(), 3u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_NE(log_[i].find(rows[i]), std::string::npos) << log_[i];
    }
    EXPECT_EQ(preview_.ProbeCount(), 3u);
    EXPECT_EQ(player_->FileName(), rows[1]);
    const TPreviewControls& controls = preview_.Controls();
    EXPECT_FALSE(controls.AddVideo || controls.AddAudio || controls.Merge || controls.MergeStop ||
                 controls.MergePause || controls.Clear);
    EXPECT_TRUE(controls.List);
    ASSERT_TRUE(WaitForState(psPlay, 3s));
    EXPECT_TRUE(preview_.Controls().PlayStop && preview_.Controls().PlayPause);

    // Pause twice: the caption reads "Resume", then "Pause".
    preview_.PauseClicked();
    EXPECT_EQ(preview_.Controls().PauseCaption, "Resume");
    preview_.PauseClicked();
    EXPECT_EQ(preview_.Controls().PauseCaption, "Pause");

    // At the end of the file the merge controls come back.
    ASSERT_TRUE(WaitForState(psEnd, 5s));
    EXPECT_TRUE(controls.AddVideo && controls.Merge && controls.Clear && controls.List);
    EXPECT_FALSE(controls.PlayStop || controls.PlayPause);
    EXPECT_FALSE(controls.AddAudio);  // only the player's Stop gives it back
    EXPECT_EQ(preview_.StatusText(), "00:00:00.400");

    preview_.StopClicked();
    EXPECT_TRUE(preview_.Controls().AddAudio);
}

// No selection, or one past the list's end: the first row plays, as "Play"
// does with nothing selected.
TEST_F(AudioPreviewTest, WithoutAValidSelectionTheFirstRowPlays) {
    const std::vector<std::string> rows = Tones(3);
    for (const int selected : {-1, 3}) {
        SCOPED_TRACE(selected);
        preview_.Play(rows, selected, 0);
        EXPECT_EQ(player_->FileName(), rows[0]);
        preview_.StopClicked();
    }
}

TEST_F(AudioPreviewTest, AnUnreadableFileStopsTheProbesAndPlaysNothing) {
    std::vector<std::string> rows = Tones(5);
    rows[2] = (dir_ / "broken.wav").string();
    std::ofstream(rows[2]) << "not a sound";
    preview_.Play(rows, 0, 0);
    ASSERT_EQ(log_.size(), 3u);
    EXPECT_NE(log_[0].find(rows[0]), std::string::npos);
    EXPECT_NE(log_[1].find(rows[1]), std::string::npos);
    EXPECT_EQ(log_[2], "failed to load " + rows[2]);
    EXPECT_EQ(preview_.ProbeCount(), 0u);
    EXPECT_EQ(player_->PlayState(), psStop);
    EXPECT_TRUE(preview_.Controls().Merge);
}

// No sound device to play on: the player's open fails and says why, and the
// merge's controls stay as they were, since no stop would give them back.
TEST_F(AudioPreviewTest, APlayerThatCannotOpenLeavesTheControlsAsTheyWere) {
    const std::vector<std::string> rows = Tones(2);
    ::setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    preview_.Play(rows, 0, 0);
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ASSERT_EQ(log_.size(), 3u);
    EXPECT_FALSE(log_.back().empty());
    EXPECT_EQ(player_->PlayState(), psStop);
    const TPreviewControls& controls = preview_.Controls();
    EXPECT_TRUE(controls.AddVideo && controls.AddAudio && controls.Merge && controls.Clear);
}

}  // namespace
}  // namespace tavrin

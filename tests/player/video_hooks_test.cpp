// The picture hooks under Xvfb: OnVideoHook changes the picture that is
// queued and shown unless the handler says no, OnFrameHook sees every
// picture, both run on the video thread, and a handler that raises is logged
// while playback goes on.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <thread>

#include "media/common/bitmap.h"
#include "virtual_screen.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace tavrin {
namespace {

using namespace std::chrono_literals;

// The painted square, in pixels from the top left corner.
constexpr int kSquare = 32;

// The luma of the square's pixels added up, a fingerprint of that corner.
int64_t SquareLuma(const AVFrame& picture) {
    int64_t sum = 0;
    for (int row = 0; row < kSquare; ++row) {
        for (int column = 0; column < kSquare; ++column) {
            sum += picture.data[0][row * picture.linesize[0] + column];
        }
    }
    return sum;
}

// Paints the square white in a 32-bit bitmap.
void PaintSquare(TBitmap& bitmap) {
    for (int row = 0; row < kSquare && row < bitmap.Height(); ++row) {
        std::uint8_t* line = bitmap.ScanLine(row);
        std::fill(line, line + kSquare * 4, std::uint8_t{255});
    }
}

class VideoHooksTest : public testing::ScreenPlayerTest {
protected:
    void SetUp() override {
        ScreenPlayerTest::SetUp();
        clip_ = MakeClip("clip.mp4", 1.0);
        player_->SetFrameHook(true);
        player_->SetOnFrameHook([this](TCustomPlayer*, AVFrame* picture, int32_t pix_fmt,
                                       int32_t width, int32_t height, int64_t pts) {
            const std::lock_guard lock(hook_mutex_);
            frames_.push_back({pix_fmt, width, height, pts});
            luma_[pts] = SquareLuma(*picture);
            threads_.insert(std::this_thread::get_id());
        });
    }
    // Plays the clip to its end, with the video hook's handler when given.
    void PlayClip(const TPlayerVideoHookEvent& video_hook) {
        {
            const std::lock_guard lock(hook_mutex_);
            frames_.clear();
            luma_.clear();
            threads_.clear();
        }
        events_.clear();
        player_->SetVideoHook(static_cast<bool>(video_hook));
        player_->SetOnVideoHook(video_hook);
        ASSERT_TRUE(player_->Open(clip_.string(), 0, false)) << player_->LastErrorText();
        ASSERT_TRUE(WaitForState(psEnd, 10s));
        shown_luma_ = -1;
        if (const FramePtr shown = player_->ShownPicture()) {
            shown_luma_ = SquareLuma(*shown);
        }
        player_->Stop(true);
    }

    struct FrameSeen {
        int32_t pix_fmt;
        int32_t width;
        int32_t height;
        int64_t pts;
    };
    std::filesystem::path clip_;
    std::mutex hook_mutex_;
    std::vector<FrameSeen> frames_;
    std::map<int64_t, int64_t> luma_;  // by picture time
    std::set<std::thread::id> threads_;
    int64_t shown_luma_ = -1;
};

TEST_F(VideoHooksTest, TheFrameHookSeesEveryPictureOnTheVideoThread) {
    std::set<std::thread::id> video_hook_threads;
    PlayClip([&](TCustomPlayer*, TBitmap& bitmap, int64_t, bool& update) {
        EXPECT_EQ(bitmap.Width(), 320);
        EXPECT_EQ(bitmap.Height(), 240);
        video_hook_threads.insert(std::this_thread::get_id());
        update = false;
    });
    const std::lock_guard lock(hook_mutex_);
    // 25 frames, in order, each in the format the queue keeps.
    ASSERT_EQ(frames_.size(), 25u);
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        EXPECT_EQ(frames_[i].pix_fmt, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(frames_[i].width, 320);
        EXPECT_EQ(frames_[i].height, 240);
        EXPECT_NEAR(static_cast<double>(frames_[i].pts), i * 40000.0, 1000.0) << i;
    }
    // One thread for both hooks, and not the host's.
    ASSERT_EQ(threads_.size(), 1u);
    EXPECT_EQ(video_hook_threads, threads_);
    EXPECT_NE(*threads_.begin(), std::this_thread::get_id());
    EXPECT_GE(player_->PicturesShown(), 1);
}

TEST_F(VideoHooksTest, APaintedBitmapIsWhatIsQueuedAndShownUnlessUpdateIsCleared) {
    PlayClip(nullptr);
    const std::map<int64_t, int64_t> original = luma_;
    const int64_t original_shown = shown_luma_;
    ASSERT_EQ(original.size(), 25u);
    ASSERT_GE(original_shown, 0);

    // Painted, but the handler says the picture stays as it was.
    PlayClip([](TCustomPlayer*, TBitmap& bitmap, int64_t, bool& update) {
        PaintSquare(bitmap);
        update = false;
    });
    EXPECT_EQ(luma_, original);
    EXPECT_EQ(shown_luma_, original_shown);

    // Painted and kept: the square is white (luma 235) in every picture,
    // the one left on screen too.
    PlayClip([](TCustomPlayer*, TBitmap& bitmap, int64_t, bool&) { PaintSquare(bitmap); });
    ASSERT_EQ(luma_.size(), 25u);
    const int64_t white = int64_t{235} * kSquare * kSquare;
    for (const auto& [pts, luma] : luma_) {
        EXPECT_NEAR(static_cast<double>(luma), white, kSquare * kSquare * 2.0) << pts;
        EXPECT_NE(luma, original.at(pts)) << pts;
    }
    EXPECT_NEAR(static_cast<double>(shown_luma_), white, kSquare * kSquare * 2.0);
}

TEST_F(VideoHooksTest, AHandlerThatRaisesIsLoggedAndPlaybackGoesOn) {
    const auto raise = [](TCustomPlayer*, TBitmap& bitmap, int64_t, bool&) {
        PaintSquare(bitmap);
        throw std::runtime_error("no bitmap today");
    };
    PlayClip(raise);
    EXPECT_TRUE(Logged("Error occurs OnVideoHook: no bitmap today"));
    std::map<int64_t, int64_t> unpainted;
    {
        const std::lock_guard lock(hook_mutex_);
        EXPECT_EQ(luma_.size(), 25u);  // every picture went on to the frame hook
        unpainted = luma_;
    }
    PlayClip(nullptr);
    EXPECT_EQ(luma_, unpainted);  // the painting of a raising handler is not kept

    player_->SetOnFrameHook([](TCustomPlayer*, AVFrame*, int32_t, int32_t, int32_t, int64_t) {
        throw std::runtime_error("no frame today");
    });
    PlayClip(nullptr);
    EXPECT_TRUE(Logged("Error occurs OnFrameHook: no frame today"));
    EXPECT_GE(player_->PicturesShown(), 20);
}

}  // namespace
}  // namespace tavrin

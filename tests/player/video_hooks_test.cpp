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

// What the frame hook saw: every picture's format, size and time, the
// square's luma by picture time, and the threads it ran on.
class FrameHookRecorder {
public:
    struct FrameSeen {
        int32_t pix_fmt;
        int32_t width;
        int32_t height;
        int64_t pts;
    };

    explicit FrameHookRecorder(TCustomPlayer& player) {
        player.SetFrameHook(true);
        player.SetOnFrameHook([this](TCustomPlayer*, AVFrame* picture, int32_t pix_fmt,
                                     int32_t width, int32_t height, int64_t pts) {
            const std::lock_guard lock(mutex_);
            frames_.push_back({pix_fmt, width, height, pts});
            luma_[pts] = SquareLuma(*picture);
            threads_.insert(std::this_thread::get_id());
        });
    }
    void Clear() {
        const std::lock_guard lock(mutex_);
        frames_.clear();
        luma_.clear();
        threads_.clear();
    }
    std::vector<FrameSeen> Frames() {
        const std::lock_guard lock(mutex_);
        return frames_;
    }
    std::map<int64_t, int64_t> Luma() {
        const std::lock_guard lock(mutex_);
        return luma_;
    }
    std::set<std::thread::id> Threads() {
        const std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    std::mutex mutex_;
    std::vector<FrameSeen> frames_;
    std::map<int64_t, int64_t> luma_;  // by picture time
    std::set<std::thread::id> threads_;
};

using testing::VideoPlaybackTest;

// Plays the clip to its end with the video hook's handler (none: hook off);
// the square's luma in the picture left on screen, -1 when none.
int64_t PlayWithVideoHook(VideoPlaybackTest& test, TCustomPlayer& player,
                          const std::filesystem::path& clip, FrameHookRecorder& recorder,
                          const TPlayerVideoHookEvent& video_hook) {
    recorder.Clear();
    player.SetVideoHook(static_cast<bool>(video_hook));
    player.SetOnVideoHook(video_hook);
    const FramePtr shown = test.PlayToEnd(clip);
    return shown ? SquareLuma(*shown) : -1;
}

TEST_F(VideoPlaybackTest, TheFrameHookSeesEveryPictureOnTheVideoThread) {
    const auto clip = MakeClip("clip.mp4", 1.0);
    FrameHookRecorder recorder(*player_);
    std::set<std::thread::id> video_hook_threads;
    PlayWithVideoHook(*this, *player_, clip, recorder,
                      [&](TCustomPlayer*, TBitmap& bitmap, int64_t, bool& update) {
                          EXPECT_EQ(bitmap.Width(), 320);
                          EXPECT_EQ(bitmap.Height(), 240);
                          video_hook_threads.insert(std::this_thread::get_id());
                          update = false;
                      });
    // 25 frames, in order, each in the format the queue keeps.
    const std::vector<FrameHookRecorder::FrameSeen> frames = recorder.Frames();
    ASSERT_EQ(frames.size(), 25u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].pix_fmt, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(frames[i].width, 320);
        EXPECT_EQ(frames[i].height, 240);
        EXPECT_NEAR(static_cast<double>(frames[i].pts), i * 40000.0, 1000.0) << i;
    }
    // One thread for both hooks, and not the host's.
    const std::set<std::thread::id> threads = recorder.Threads();
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(video_hook_threads, threads);
    EXPECT_NE(*threads.begin(), std::this_thread::get_id());
    EXPECT_GE(player_->PicturesShown(), 1);
}

TEST_F(VideoPlaybackTest, APaintedBitmapIsWhatIsQueuedAndShownUnlessUpdateIsCleared) {
    const auto clip = MakeClip("clip.mp4", 1.0);
    FrameHookRecorder recorder(*player_);
    const int64_t original_shown = PlayWithVideoHook(*this, *player_, clip, recorder, nullptr);
    const std::map<int64_t, int64_t> original = recorder.Luma();
    ASSERT_EQ(original.size(), 25u);
    ASSERT_GE(original_shown, 0);

    // Painted, but the handler says the picture stays as it was.
    EXPECT_EQ(PlayWithVideoHook(*this, *player_, clip, recorder,
                                [](TCustomPlayer*, TBitmap& bitmap, int64_t, bool& update) {
                                    PaintSquare(bitmap);
                                    update = false;
                                }),
              original_shown);
    EXPECT_EQ(recorder.Luma(), original);

    // Painted and kept: the square is white (luma 235) in every picture,
    // the one left on screen too.
    const int64_t painted_shown = PlayWithVideoHook(
        *this, *player_, clip, recorder,
        [](TCustomPlayer*, TBitmap& bitmap, int64_t, bool&) { PaintSquare(bitmap); });
    const std::map<int64_t, int64_t> painted = recorder.Luma();
    ASSERT_EQ(painted.size(), 25u);
    const int64_t white = int64_t{235} * kSquare * kSquare;
    for (const auto& [pts, luma] : painted) {
        EXPECT_NEAR(static_cast<double>(luma), white, kSquare * kSquare * 2.0) << pts;
        EXPECT_NE(luma, original.at(pts)) << pts;
    }
    EXPECT_NEAR(static_cast<double>(painted_shown), white, kSquare * kSquare * 2.0);
}

TEST_F(VideoPlaybackTest, AHookHandlerThatRaisesIsLoggedAndPlaybackGoesOn) {
    const auto clip = MakeClip("clip.mp4", 1.0);
    FrameHookRecorder recorder(*player_);
    PlayWithVideoHook(*this, *player_, clip, recorder,
                      [](TCustomPlayer*, TBitmap& bitmap, int64_t, bool&) {
                          PaintSquare(bitmap);
                          throw std::runtime_error("no bitmap today");
                      });
    EXPECT_TRUE(Logged("Error occurs OnVideoHook: no bitmap today"));
    const std::map<int64_t, int64_t> after_raise = recorder.Luma();
    EXPECT_EQ(after_raise.size(), 25u);  // every picture went on to the frame hook
    PlayWithVideoHook(*this, *player_, clip, recorder, nullptr);
    EXPECT_EQ(recorder.Luma(), after_raise);  // the painting of a raising handler is not kept

    player_->SetOnFrameHook([](TCustomPlayer*, AVFrame*, int32_t, int32_t, int32_t, int64_t) {
        throw std::runtime_error("no frame today");
    });
    PlayWithVideoHook(*this, *player_, clip, recorder, nullptr);
    EXPECT_TRUE(Logged("Error occurs OnFrameHook: no frame today"));
    EXPECT_GE(player_->PicturesShown(), 1);  // and it played to the end
}

}  // namespace
}  // namespace tavrin

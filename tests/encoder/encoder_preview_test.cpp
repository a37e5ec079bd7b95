// The encoder's Preview and PreviewBitmap properties on running tasks: bitmap
// events on the main thread at the throttled rate, preview views made and
// freed on the main thread, and the properties switched while a task waits
// for the main thread with the preview lock held.
#include <atomic>
#include <chrono>
#include <vector>

#include "encoder_test_support.h"
#include "media/engine/progress.h"

namespace tavrin::testing {
namespace {

class CountingView final : public TPreviewView {
public:
    explicit CountingView(std::atomic<int>& alive) : alive_(alive) {
        EXPECT_TRUE(IsMainThread());
        ++alive_;
    }
    ~CountingView() override {
        EXPECT_TRUE(IsMainThread());
        --alive_;
    }
    void SetCaption(const std::string& caption) override { EXPECT_FALSE(caption.empty()); }
    void Draw(const TBitmap& picture) override { EXPECT_GT(picture.Width(), 0); }

private:
    std::atomic<int>& alive_;
};

class EncoderPreviewTest : public EncoderTest {};

TEST_F(EncoderPreviewTest, BitmapEventsComeOnTheMainThreadAtTheThrottledRate) {
    TZOZovadod encoder;
    std::vector<std::int64_t> times;
    std::vector<std::int32_t> frames;
    bool on_main = true;
    encoder.OnPreviewBitmap = [&](TCustomEncoder*, PPreviewInfo info) {
        on_main = on_main && IsMainThread();
        EXPECT_EQ(info->TaskIndex, 0);
        ASSERT_NE(info->Bitmap, nullptr);
        EXPECT_EQ(info->Bitmap->Width(), 160);
        times.push_back(ProgressClockMicroseconds());
        frames.push_back(info->FrameNumber);
    };
    AddConversion(encoder, "bitmaps.mkv", "-re");
    encoder.SetPreviewBitmap(true);
    encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return encoder.AllDone(); }));
    EXPECT_TRUE(on_main);
    ASSERT_GE(times.size(), 8U);
    EXPECT_LE(times.size(), 21U);  // 2 s at most every 100 ms
    EXPECT_EQ(frames.front(), 1);
    for (std::size_t i = 1; i < times.size(); ++i) {
        EXPECT_GE(times[i] - times[i - 1], 90000) << i;
    }
    encoder.ClearTasks();
}

TEST_F(EncoderPreviewTest, SwitchingThePreviewWhileTasksShowPicturesNeverDeadlocks) {
    TZOZovadod encoder;
    std::atomic<int> alive{0};
    std::atomic<int> made{0};
    encoder.PreviewViewFactory = [&](int width, int height, std::function<void()>) {
        EXPECT_EQ(width, 160);
        EXPECT_EQ(height, 120);
        ++made;
        return std::unique_ptr<TPreviewView>(std::make_unique<CountingView>(alive));
    };
    std::atomic<int> bitmaps{0};
    encoder.OnPreviewBitmap = [&](TCustomEncoder*, PPreviewInfo) { ++bitmaps; };
    AddConversion(encoder, "switched0.mkv", "-re");
    AddConversion(encoder, "switched1.mkv", "-re");
    encoder.StartTask(2);
    int switches = 0;
    ASSERT_TRUE(PumpUntil([&] {
        ++switches;
        encoder.SetPreview(switches % 3 != 0);
        encoder.SetPreviewBitmap(switches % 5 == 0);
        return encoder.AllDone();
    }));
    EXPECT_GT(switches, 100);
    EXPECT_GT(made, 0);
    EXPECT_GT(bitmaps, 0);
    EXPECT_EQ(alive, 0);  // every view was freed when its task ended
    encoder.ClearTasks();
}

}  // namespace
}  // namespace tavrin::testing

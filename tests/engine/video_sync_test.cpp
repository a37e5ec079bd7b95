// Video synchronisation: how often a filtered frame is written per method,
// the frame limit, the duplication ceiling and a stop inside a duplication.
#include <gtest/gtest.h>

#include "data_path_support.h"
#include "media/engine/pipeline.h"

namespace tavrin::testing {
namespace {

struct SyncCase {
    int method;
    double sync_ipts;
    std::int64_t counter;
    std::int64_t nb_frames;
    std::int64_t new_counter;
};

TEST(VideoSyncTest, DecisionsPerMethod) {
    // delta = sync_ipts - counter (duration 0 here).
    const SyncCase cases[] = {
        {1, 12.6, 10, 3, 10},  // constant rate: 2.6 rounds to 3 copies
        {1, 8.8, 10, 0, 10},   // -1.2 is dropped
        {1, 8.95, 10, 1, 10},  // -1.05 is still written once
        {1, 11.1, 10, 1, 10},  // 1.1 exactly: once
        {2, 0.4, 1, 0, 1},     // variable rate: -0.6 drops
        {2, 10.7, 10, 1, 11},  // 0.7 moves the counter to the frame
        {2, 13.0, 10, 1, 13},  // never duplicates
        {2, 10.5, 10, 1, 10},  // within 0.6: written at the counter
        {0, 42.4, 10, 1, 42},  // passthrough follows the frame
        {255, 7.0, 10, 1, 7},  // drop: stamps are removed when muxing
    };
    for (const SyncCase& c : cases) {
        const VideoSyncDecision decision = DecideVideoSync(c.method, c.sync_ipts, c.counter, 0.0);
        EXPECT_FALSE(decision.unknown_method);
        EXPECT_EQ(decision.nb_frames, c.nb_frames)
            << "method " << c.method << " ipts " << c.sync_ipts;
        EXPECT_EQ(decision.output_counter, c.new_counter)
            << "method " << c.method << " ipts " << c.sync_ipts;
    }
    EXPECT_TRUE(DecideVideoSync(3, 0, 0, 0).unknown_method);
    // The frame duration counts into the delta: a frame one period late with
    // a duration of one period is written twice.
    EXPECT_EQ(DecideVideoSync(1, 11.0, 10, 1.0).nb_frames, 2);
}

TEST(VideoSyncTest, AutomaticMethodFollowsTheFormat) {
    EXPECT_EQ(ResolveVideoSyncMethod(-1, AVFMT_VARIABLE_FPS | AVFMT_NOTIMESTAMPS), 0);
    EXPECT_EQ(ResolveVideoSyncMethod(-1, AVFMT_VARIABLE_FPS), 2);
    EXPECT_EQ(ResolveVideoSyncMethod(-1, 0), 1);
    EXPECT_EQ(ResolveVideoSyncMethod(2, 0), 2);
}

// A 16x16 gray picture with the given time.
FramePtr GrayFrame(std::int64_t pts) {
    FramePtr frame(ff.av_frame_alloc());
    frame->width = 16;
    frame->height = 16;
    frame->format = AV_PIX_FMT_GRAY8;
    EXPECT_GE(ff.av_frame_get_buffer(frame.get(), 0), 0);
    for (int y = 0; y < 16; ++y) {
        std::fill_n(frame->data[0] + y * frame->linesize[0], 16, static_cast<std::uint8_t>(y));
    }
    frame->pts = pts;
    return frame;
}

TEST(VideoSyncTest, ConstantRateDuplicatesAndDropsOnRealEncoder) {
    MemoryOutput output(AVMEDIA_TYPE_VIDEO, AVRational{1, 25}, true);
    TCustomFFmpegOpt& task = output.Task();
    OutputStream& ost = output.Stream();
    task.video_sync_method = 1;

    for (const std::int64_t pts : {0, 1, 4, 2, 5}) {
        FramePtr frame = GrayFrame(pts);
        encode_video_frame(task, output.Muxer(), ost, frame.get());
    }
    // 0 and 1 once each; 4 is two periods ahead of the counter (2) and fills
    // 2 and 3; 2 is then two periods late and dropped; 5 takes 4.
    EXPECT_EQ(task.frames_duplicated, 1);
    EXPECT_EQ(task.frames_dropped, 1);
    EXPECT_TRUE(task.dup_drop_changed);
    EXPECT_EQ(ost.frame_number, 5);
    const std::vector<WrittenPacket> packets = output.Finish();
    ASSERT_EQ(packets.size(), 5u);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].pts, static_cast<std::int64_t>(i));
        EXPECT_EQ(packets[i].size, 256);
    }
    EXPECT_EQ(task.video_size, 5 * 256);
}

TEST(VideoSyncTest, FrameLimitCutsDuplicates) {
    MemoryOutput output(AVMEDIA_TYPE_VIDEO, AVRational{1, 25}, true);
    TCustomFFmpegOpt& task = output.Task();
    OutputStream& ost = output.Stream();
    task.video_sync_method = 1;
    ost.max_frames = 10;
    for (std::int64_t pts = 0; pts < 9; ++pts) {
        FramePtr frame = GrayFrame(pts);
        encode_video_frame(task, output.Muxer(), ost, frame.get());
    }
    ASSERT_EQ(ost.frame_number, 9);
    // Should be written three times (pts 12 against counter 9), once fits.
    FramePtr late = GrayFrame(12);
    encode_video_frame(task, output.Muxer(), ost, late.get());
    EXPECT_EQ(ost.frame_number, 10);
    EXPECT_EQ(task.frames_duplicated, 0);
    EXPECT_EQ(output.Finish().size(), 10u);
}

TEST(VideoSyncTest, StopRequestEndsDuplicationAtOnce) {
    MemoryOutput output(AVMEDIA_TYPE_VIDEO, AVRational{1, 25}, true);
    TCustomFFmpegOpt& task = output.Task();
    OutputStream& ost = output.Stream();
    task.video_sync_method = 1;
    FramePtr first = GrayFrame(0);
    encode_video_frame(task, output.Muxer(), ost, first.get());
    task.AbortRequested = true;
    FramePtr far = GrayFrame(1000);
    encode_video_frame(task, output.Muxer(), ost, far.get());
    EXPECT_EQ(ost.frame_number, 1);
    EXPECT_EQ(output.Finish().size(), 1u);
}

TEST(VideoSyncTest, DuplicationBeyondTheCeilingIsSkipped) {
    MemoryOutput output(AVMEDIA_TYPE_VIDEO, AVRational{1, 25}, true);
    TCustomFFmpegOpt& task = output.Task();
    OutputStream& ost = output.Stream();
    task.video_sync_method = 1;
    task.dts_error_threshold = 1;  // ceiling of 30 copies
    FramePtr far = GrayFrame(100);
    encode_video_frame(task, output.Muxer(), ost, far.get());
    EXPECT_EQ(ost.frame_number, 0);
    EXPECT_EQ(task.frames_dropped, 1);
    EXPECT_EQ(task.frames_duplicated, 0);
}

}  // namespace
}  // namespace tavrin::testing

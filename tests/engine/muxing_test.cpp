// Stream copy and muxing: copied packets wait for a key frame, never go back
// in decoding time and carry a presentation time; the muxer never sees a
// decoding time going back; -vsync drop removes the stamps.
#include <gtest/gtest.h>

#include "data_path_support.h"
#include "media/engine/pipeline.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

// An input stream record over a stream of a scratch context.
class ScratchInput {
public:
    explicit ScratchInput(AVRational tb) {
        ctx_ = ff.avformat_alloc_context();
        ist_.stream = ff.avformat_new_stream(ctx_, nullptr);
        ist_.stream->time_base = tb;
        ist_.stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    }
    ~ScratchInput() { ff.avformat_free_context(ctx_); }
    InputStream& Stream() { return ist_; }

private:
    AVFormatContext* ctx_ = nullptr;
    InputStream ist_;
};

PacketPtr Packet(std::int64_t pts, std::int64_t dts, bool key, int size = 10) {
    PacketPtr packet(ff.av_packet_alloc());
    EXPECT_GE(ff.av_new_packet(packet.get(), size), 0);
    packet->pts = pts;
    packet->dts = dts;
    packet->flags = key ? AV_PKT_FLAG_KEY : 0;
    return packet;
}

TEST(MuxingTest, CopyWaitsForKeyFrameAndKeepsDecodingTimeIncreasing) {
    MemoryOutput output(AVMEDIA_TYPE_VIDEO, AVRational{1, 1000});
    ScratchInput input(AVRational{1, 1000});
    TCustomFFmpegOpt& task = output.Task();
    OutputStream& ost = output.Stream();
    InputStream& ist = input.Stream();

    struct Step {
        std::int64_t pts, dts;
        bool key;
    };
    const Step steps[] = {
        {0, 0, false},              // before the first key frame: skipped
        {40, 40, true},             // written
        {120, 80, false},           // reordered: pts ahead of dts
        {80, 80, false},            // repeated dts: moved to 81
        {kNoTimestamp, 60, false},  // going back and without pts
    };
    for (const Step& step : steps) {
        PacketPtr packet = Packet(step.pts, step.dts, step.key);
        ist.pts = step.dts * 1000;
        ist.dts = step.dts * 1000;
        copy_stream_packet(task, ist, ost, *packet);
    }
    const std::vector<WrittenPacket> packets = output.Finish();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].dts, 40);
    EXPECT_EQ(packets[1].dts, 80);
    EXPECT_EQ(packets[1].pts, 120);
    EXPECT_EQ(packets[2].dts, 81);
    EXPECT_EQ(packets[2].pts, 81);  // pts below the moved dts follows it
    EXPECT_EQ(packets[3].dts, 82);
    EXPECT_EQ(packets[3].pts, 82);  // a missing pts takes the dts
    EXPECT_EQ(ost.frame_number, 4);
    EXPECT_EQ(task.video_size, 40);
}

TEST(MuxingTest, CopyKeepsInitialNonKeyFramesWhenAsked) {
    MemoryOutput output(AVMEDIA_TYPE_VIDEO, AVRational{1, 1000});
    ScratchInput input(AVRational{1, 1000});
    output.Stream().copy_initial_nonkeyframes = 1;
    PacketPtr packet = Packet(0, 0, false);
    copy_stream_packet(output.Task(), input.Stream(), output.Stream(), *packet);
    EXPECT_EQ(output.Finish().size(), 1u);
}

TEST(MuxingTest, CopyEndsAtTheRecordingTime) {
    MemoryOutput output(AVMEDIA_TYPE_VIDEO, AVRational{1, 1000});
    ScratchInput input(AVRational{1, 1000});
    output.Task().output_files[0]->recording_time = 100000;  // 0.1 s
    InputStream& ist = input.Stream();
    for (std::int64_t ms : {0, 50, 100, 150}) {
        PacketPtr packet = Packet(ms, ms, true);
        ist.pts = ms * 1000;
        copy_stream_packet(output.Task(), ist, output.Stream(), *packet);
    }
    EXPECT_EQ(output.Stream().finished, 1);
    EXPECT_EQ(output.Finish().size(), 2u);
}

TEST(MuxingTest, MuxerNeverSeesDecodingTimeGoBack) {
    MemoryOutput output(AVMEDIA_TYPE_AUDIO, AVRational{1, 8000});
    OutputStream& ost = output.Stream();
    for (const std::int64_t dts : {0, 0, 160, 100, 320}) {
        PacketPtr packet = Packet(dts, dts, true);
        mux_packet(output.Task(), output.Muxer(), packet.get(), ost);
    }
    const std::vector<WrittenPacket> packets = output.Finish();
    ASSERT_EQ(packets.size(), 5u);
    // framecrc accepts equal stamps (non-strict), so a repeat stays, a step
    // back is clipped to the last one.
    const std::int64_t expected[] = {0, 0, 160, 160, 320};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].dts, expected[i]) << i;
        EXPECT_GE(packets[i].pts, packets[i].dts) << i;
    }
    EXPECT_EQ(ost.mux_last_dts, 320);
    EXPECT_EQ(MuxerCurrentDtsMicroseconds(output.Task(), ost), 40000);
}

TEST(MuxingTest, FrameLimitAppliesToPacketsThatAreNotEncodedVideo) {
    MemoryOutput output(AVMEDIA_TYPE_AUDIO, AVRational{1, 8000});
    OutputStream& ost = output.Stream();
    ost.max_frames = 2;
    for (const std::int64_t dts : {0, 160, 320}) {
        PacketPtr packet = Packet(dts, dts, true);
        mux_packet(output.Task(), output.Muxer(), packet.get(), ost);
    }
    EXPECT_EQ(output.Finish().size(), 2u);
}

TEST(MuxingTest, FailingBitstreamFilterIsReportedAndThePacketStillWritten) {
    EngineLog log;
    MemoryOutput output(AVMEDIA_TYPE_AUDIO, AVRational{1, 8000});
    OutputStream& ost = output.Stream();
    // An H.264 filter on a PCM stream refuses to start.
    AVBSFContext* bsf = nullptr;
    ASSERT_GE(ff.av_bsf_alloc(ff.av_bsf_get_by_name("h264_mp4toannexb"), &bsf), 0);
    ost.bitstream_filters.emplace_back(bsf);
    for (const std::int64_t dts : {0, 160}) {
        PacketPtr packet = Packet(dts, dts, true);
        mux_packet(output.Task(), output.Muxer(), packet.get(), ost);
    }
    EXPECT_EQ(output.Finish().size(), 2u);
    EXPECT_EQ(log.Count(llError,
                        "Failed to open bitstream filter h264_mp4toannexb for stream 0 "
                        "with codec copy"),
              1);
}

TEST(MuxingTest, JoinedStampsKeepIncreasing) {
    std::int64_t last = kNoTimestamp;
    EXPECT_EQ(KeepIncreasing(5, last), 5);
    EXPECT_EQ(KeepIncreasing(5, last), 6);
    EXPECT_EQ(KeepIncreasing(3, last), 7);
    EXPECT_EQ(KeepIncreasing(kNoTimestamp, last), kNoTimestamp);
    EXPECT_EQ(last, 7);
    EXPECT_EQ(KeepIncreasing(20, last), 20);
}

}  // namespace
}  // namespace tavrin::testing

#include "media/options/transcode_context.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "media/options/ff_options.h"
#include "media/runtime/ffmpeg_exception.h"
#include "options/task_test_support.h"

namespace tavrin {
namespace {

using testing::LogCapture;

class TranscodeContextTest : public ::testing::Test {
protected:
    void SetUp() override { testing::RequireLibraries(); }

    LogCapture log_;
    TCustomFFmpegOpt task_;
};

TEST_F(TranscodeContextTest, GlobalValuesAndControlFieldsStartAtTheirDefaults) {
    EXPECT_TRUE(task_.vstats_file.empty());
    EXPECT_FLOAT_EQ(task_.audio_drift_threshold, 0.1f);
    EXPECT_FLOAT_EQ(task_.dts_delta_threshold, 10.0f);
    EXPECT_FLOAT_EQ(task_.dts_error_threshold, 108000.0f);
    EXPECT_EQ(task_.volume, 256);
    EXPECT_EQ(task_.video_sync_method, -1);
    EXPECT_EQ(task_.copy_time_base, -1);
    EXPECT_EQ(task_.show_stats, -1);
    EXPECT_EQ(task_.intra_dc_precision, 8);
    EXPECT_EQ(task_.overwrite_output, 0);
    EXPECT_EQ(task_.debug_timestamps, 0);
    EXPECT_EQ(task_.progress_output, nullptr);

    EXPECT_TRUE(task_.StrictOptions);
    EXPECT_FALSE(task_.Joined);
    EXPECT_EQ(task_.JoinStreamCount, 0);
    EXPECT_FALSE(task_.AbortRequested);
    EXPECT_EQ(task_.ReadTimeout.load(), 30000);
    EXPECT_EQ(task_.WriteTimeout.load(), 30000);
    EXPECT_EQ(task_.ReadStartTime.load(), INT64_MAX);
    EXPECT_EQ(task_.WriteStartTime.load(), INT64_MAX);
    EXPECT_EQ(task_.InputDuration, -1);
    EXPECT_EQ(task_.TotalDuration, -1);
    EXPECT_TRUE(task_.LastError.empty());
    EXPECT_FALSE(task_.OptionTableBuilt());
    EXPECT_TRUE(task_.input_files.empty());
    EXPECT_TRUE(task_.output_streams.empty());
}

TEST_F(TranscodeContextTest, OptionsContextResetsTheParserAndItsEndFreesTheGroups) {
    TFFOptions& parser = task_.Options();
    {
        OptionsContext ctx(task_);
        EXPECT_EQ(ctx.start_time, 0);  // zero, not the no-timestamp marker
        EXPECT_EQ(ctx.recording_time, INT64_MAX);
        EXPECT_EQ(ctx.stop_time, INT64_MAX);
        EXPECT_EQ(ctx.size_limit, INT64_MAX);
        EXPECT_EQ(ctx.chapters_source, INT_MAX);
        EXPECT_FLOAT_EQ(ctx.mux_delay, 0.7f);
        EXPECT_EQ(ctx.group, &parser.current_group);
        EXPECT_NE(parser.sws_opts, nullptr);  // a fresh pending scaler set

        ctx.format = "mp4";
        ASSERT_EQ(ff.av_dict_set(ctx.group->codec_opts.Address(), "crf", "20", 0), 0);
        ASSERT_EQ(ff.av_dict_set(parser.format_opts.Address(), "probesize", "32", 0), 0);
    }
    EXPECT_EQ(parser.current_group.codec_opts.Get(), nullptr);
    EXPECT_EQ(parser.format_opts.Get(), nullptr);
    EXPECT_EQ(parser.sws_opts, nullptr);

    // The next file's context over the last one: what the last file left is
    // gone, and the parser stays ready for the new one.
    OptionsContext ctx(task_);
    ctx.start_time = 5;
    ctx.format = "mp4";
    ctx.codec_names.push_back({"v", "libx264"});
    ctx.stream_maps.push_back(StreamMap{0, 0, 1, 0, 1, "out"});
    ctx.attachments.push_back("cover.jpg");
    ctx.stream_ids = {1, 2};
    ASSERT_EQ(ff.av_dict_set(ctx.group->codec_opts.Address(), "crf", "20", 0), 0);
    ctx = OptionsContext(task_);
    EXPECT_EQ(ctx.start_time, 0);
    EXPECT_TRUE(ctx.format.empty());
    EXPECT_TRUE(ctx.codec_names.empty());
    EXPECT_TRUE(ctx.stream_maps.empty());
    EXPECT_TRUE(ctx.attachments.empty());
    EXPECT_TRUE(ctx.stream_ids.empty());
    EXPECT_EQ(parser.current_group.codec_opts.Get(), nullptr);
    EXPECT_NE(parser.sws_opts, nullptr);
    EXPECT_EQ(ctx.group, &parser.current_group);

    // A context without a parser leaves the parser alone when it ends.
    ASSERT_EQ(ff.av_dict_set(parser.codec_opts.Address(), "g", "25", 0), 0);
    {
        const OptionsContext bare;
        EXPECT_EQ(bare.group, nullptr);
    }
    EXPECT_NE(parser.codec_opts.Get(), nullptr);
}

struct InterruptCase {
    const char* what;
    bool abort;
    std::int64_t started_ago_us;  // < 0: not armed
    std::int32_t timeout_ms;
    int expected;
    const char* read_text;  // logged by the read-side check, or ""
};

TEST_F(TranscodeContextTest, InterruptChecksAbortOnStopAndTimeout) {
    const InterruptCase cases[] = {
        {"idle", false, -1, 30000, 0, ""},
        // A write breaks on a stop only once it has been blocked a second.
        {"stop requested", true, 2'000'000, 30000, 1, "reading/writing broken"},
        {"stop wins over time-out", true, 60'000'000, 1, 1, "reading/writing broken"},
        {"within the time-out", false, 1'000'000, 30000, 0, ""},
        {"past the time-out", false, 2'000'000, 1000, 1, "connecting/reading timeout"},
        {"time-out 0 disables", false, 3'600'000'000LL, 0, 0, ""},
        {"negative time-out disables", false, 3'600'000'000LL, -5, 0, ""},
        {"not armed never times out", false, -1, 1, 0, ""},
    };
    for (const InterruptCase& c : cases) {
        SCOPED_TRACE(c.what);
        log_.Clear();
        task_.AbortRequested = c.abort;
        task_.ReadTimeout = c.timeout_ms;
        task_.WriteTimeout = c.timeout_ms;
        const std::int64_t start =
            c.started_ago_us < 0 ? INT64_MAX : WallClockMicroseconds() - c.started_ago_us;
        task_.ReadStartTime = start;
        task_.WriteStartTime = start;

        // Through the callbacks the libraries call.
        const AVIOInterruptCB read = task_.InputInterrupt();
        const AVIOInterruptCB write = task_.OutputInterrupt();
        EXPECT_EQ(read.callback(read.opaque), c.expected);
        EXPECT_EQ(write.callback(write.opaque), c.expected);
        if (c.expected == 1) {
            EXPECT_TRUE(log_.Has(llInfo, c.read_text));
            const std::string write_text = std::string(c.read_text) == "reading/writing broken"
                                               ? c.read_text
                                               : "connecting/writing timeout";
            EXPECT_TRUE(log_.Has(llInfo, write_text));
        } else {
            EXPECT_EQ(log_.Count(llInfo, "timeout") + log_.Count(llInfo, "broken"), 0);
        }
    }

    // Arming takes the current time: a fresh arm is within any time-out.
    task_.AbortRequested = false;
    task_.ReadTimeout = 1000;
    task_.ArmReadTimer();
    task_.ArmWriteTimer();
    EXPECT_EQ(task_.CheckReadInterrupt(), 0);
    EXPECT_EQ(task_.CheckWriteInterrupt(), 0);
}

TEST_F(TranscodeContextTest, FailureStylesRecordTheMessage) {
    try {
        task_.RaiseErrorFmt("Invalid framerate value: %s", "abc");
        FAIL() << "no exception";
    } catch (const FFmpegException& error) {
        EXPECT_STREQ(error.what(), "Invalid framerate value: abc");
    }
    EXPECT_EQ(task_.LastError, "Invalid framerate value: abc");
    EXPECT_TRUE(log_.Has(llFatal, "Invalid framerate value: abc"));

    EXPECT_EQ(task_.ReturnError(AVERROR(ENOMEM), "avformat_alloc_context() failed"),
              AVERROR(ENOMEM));
    EXPECT_EQ(task_.LastError, "avformat_alloc_context() failed");
    EXPECT_TRUE(log_.Has(llFatal, "avformat_alloc_context() failed"));
}

TEST_F(TranscodeContextTest, RecordsReleaseTheLibraryHandlesTheyOwn) {
    // Run under the sanitizer build, a leak of any handle below fails the run.
    auto input_stream = std::make_unique<InputStream>();
    input_stream->codec_ctx.reset(ff.avcodec_alloc_context3(nullptr));
    input_stream->decoded_frame.reset(ff.av_frame_alloc());
    ASSERT_EQ(ff.av_dict_set(input_stream->decoder_options.Address(), "threads", "1", 0), 0);
    ASSERT_EQ(ff.av_channel_layout_from_string(&input_stream->last_channel_layout, "stereo"), 0);
    EXPECT_EQ(input_stream->discard, 1);
    EXPECT_EQ(input_stream->filter_rescale_remainder, kNoTimestamp);
    EXPECT_EQ(input_stream->guess_layout_max, INT_MAX);
    task_.input_streams.push_back(std::move(input_stream));

    auto output_file = std::make_unique<OutputFile>();
    AVFormatContext* muxer = nullptr;
    ASSERT_GE(ff.avformat_alloc_output_context2(&muxer, nullptr, "matroska", nullptr), 0);
    output_file->ctx.reset(muxer);
    ASSERT_EQ(ff.av_dict_set(output_file->muxer_options.Address(), "k", "v", 0), 0);
    task_.output_files.push_back(std::move(output_file));

    auto output_stream = std::make_unique<OutputStream>();
    output_stream->filtered_frame.reset(ff.av_frame_alloc());
    output_stream->codec_ctx.reset(ff.avcodec_alloc_context3(nullptr));
    EXPECT_EQ(output_stream->max_frames, INT64_MAX);
    EXPECT_EQ(output_stream->last_pts, kNoTimestamp);
    EXPECT_EQ(output_stream->copy_before_start, -1);
    task_.output_streams.push_back(std::move(output_stream));

    auto graph = std::make_unique<FilterGraph>();
    graph->graph.reset(ff.avfilter_graph_alloc());
    graph->outputs.push_back(std::make_unique<OutputFilter>());
    graph->outputs.back()->pending_output.reset(ff.avfilter_inout_alloc());
    task_.filtergraphs.push_back(std::move(graph));

    // Moving a dictionary hands over ownership exactly once.
    Dictionary first;
    ASSERT_EQ(ff.av_dict_set(first.Address(), "a", "1", 0), 0);
    Dictionary second = std::move(first);
    EXPECT_EQ(first.Get(), nullptr);
    ASSERT_NE(ff.av_dict_get(second.Get(), "a", nullptr, 0), nullptr);
}

}  // namespace
}  // namespace tavrin

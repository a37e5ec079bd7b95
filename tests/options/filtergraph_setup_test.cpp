#include "media/options/filtergraph_setup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "media/options/output_stream.h"
#include "media/runtime/ffmpeg_exception.h"
#include "options/output_test_support.h"
#include "options/task_test_support.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::OptionTaskTest;

// Pieces that need no opened input: graph bookkeeping, pad names and the
// format lists handed to the helper filters.
class FilterPiecesTest : public OptionTaskTest {
protected:
    void SetUp() override {
        OptionTaskTest::SetUp();
        AVFormatContext* raw = nullptr;
        ASSERT_GE(ff.avformat_alloc_output_context2(&raw, nullptr, nullptr, "out.mkv"), 0);
        oc_.reset(raw);
    }

    OutputStream& Stream(const std::string& options, AVMediaType type) {
        NextFile();
        EXPECT_EQ(Parse(options), 0) << task_.LastError;
        return type == AVMEDIA_TYPE_AUDIO ? NewAudioStream(task_, ctx_, oc_.get(), -1)
                                          : NewVideoStream(task_, ctx_, oc_.get(), -1);
    }

    OutputFormatContextPtr oc_;
};

TEST_F(FilterPiecesTest, SimpleGraphLinksAndNeedsOnePadEachWay) {
    OutputStream& ost = Stream("-c:v mpeg4 -vf split", AVMEDIA_TYPE_VIDEO);
    InputStream ist;
    FilterGraph& fg = InitSimpleFilterGraph(task_, ist, ost);
    EXPECT_EQ(fg.index, 0);
    EXPECT_TRUE(fg.description.empty());
    ASSERT_EQ(fg.inputs.size(), 1u);
    ASSERT_EQ(fg.outputs.size(), 1u);
    EXPECT_EQ(ost.filter, fg.outputs[0].get());
    EXPECT_EQ(fg.outputs[0]->output_stream, &ost);
    ASSERT_EQ(ist.filters.size(), 1u);
    EXPECT_EQ(ist.filters[0], fg.inputs[0].get());
    EXPECT_FALSE(fg.graph);  // nothing built yet

    EXPECT_EQ(ConfigureFilterGraph(task_, fg), AVERROR(EINVAL));
    EXPECT_TRUE(log_.Has(
        llError, "Simple filtergraph \"split\" does not have exactly one input and output."));

    // An unknown filter is the parser's own failure.
    ost.filter_desc = "nosuchfilter";
    EXPECT_LT(ConfigureFilterGraph(task_, fg), 0);
    EXPECT_EQ(InitSimpleFilterGraph(task_, ist, ost).index, 1);
}

TEST_F(FilterPiecesTest, PadNamesOnlyForFiltersWithSeveralPads) {
    FilterGraphPtr graph(ff.avfilter_graph_alloc());
    AVFilterInOut* inputs = nullptr;
    AVFilterInOut* outputs = nullptr;
    ASSERT_GE(ff.avfilter_graph_parse2(graph.get(), "overlay,hflip", &inputs, &outputs), 0);
    const FilterInOutPtr in(inputs);
    const FilterInOutPtr out(outputs);
    EXPECT_EQ(DescribeFilterLink(in.get(), true), "Parsed_overlay_0:main");
    ASSERT_NE(in->next, nullptr);
    EXPECT_EQ(DescribeFilterLink(in->next, true), "Parsed_overlay_0:overlay");
    EXPECT_EQ(DescribeFilterLink(out.get(), false), "Parsed_hflip_1");
}

TEST_F(FilterPiecesTest, PixelFormatChoice) {
    OutputStream& mpeg4 = Stream("-c:v mpeg4", AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(ChoosePixelFormats(mpeg4).value_or("<none>"), "yuv420p");

    // A format the encoder lacks: warning, and the closest one it has.
    EXPECT_EQ(ChoosePixelFormat(mpeg4.codec_ctx.get(), mpeg4.encoder, AV_PIX_FMT_YUV444P),
              AV_PIX_FMT_YUV420P);
    EXPECT_TRUE(log_.Has(llWarning,
                         "Incompatible pixel format \"yuv444p\" for codec \"mpeg4\", "
                         "auto-selecting format \"yuv420p\""));
    OutputStream& requested = Stream("-c:v mpeg4 -pix_fmt yuv444p", AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(ChoosePixelFormats(requested).value_or("<none>"), "yuv420p");

    // "+" keeps the requested format as it is; without a format, no list.
    OutputStream& kept = Stream("-c:v mpeg4 -pix_fmt +yuv444p", AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(ChoosePixelFormats(kept).value_or("<none>"), "yuv444p");
    OutputStream& bare = Stream("-c:v mpeg4 -pix_fmt +", AVMEDIA_TYPE_VIDEO);
    EXPECT_FALSE(ChoosePixelFormats(bare).has_value());

    // The JPEG encoder's unofficial list; at normal compliance its own list
    // without the limited-range formats it would refuse.
    OutputStream& mjpeg = Stream("-c:v mjpeg", AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(ChoosePixelFormats(mjpeg).value_or("<none>"), "yuvj420p|yuvj422p|yuvj444p");
    mjpeg.codec_ctx->strict_std_compliance = FF_COMPLIANCE_UNOFFICIAL;
    EXPECT_EQ(ChoosePixelFormats(mjpeg).value_or("<none>"), "yuvj420p|yuvj422p|yuv420p|yuv422p");

    // Raw video takes any format: no list.
    OutputStream& raw = Stream("-c:v copy", AVMEDIA_TYPE_VIDEO);
    EXPECT_FALSE(ChoosePixelFormats(raw).has_value());
}

TEST_F(FilterPiecesTest, AudioFormatLists) {
    OutputStream& open = Stream("-c:a mp2", AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(ChooseSampleFormats(open).value_or("<none>"), "s16");
    EXPECT_EQ(ChooseSampleRates(open).value_or("<none>"), "44100|48000|32000|22050|24000|16000");
    EXPECT_EQ(ChooseChannelLayouts(open).value_or("<none>"), "0x4|0x3");

    OutputStream& fixed = Stream("-c:a mp2 -ar 22050 -sample_fmt s16", AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(ChooseSampleRates(fixed).value_or("<none>"), "22050");
    EXPECT_EQ(ChooseSampleFormats(fixed).value_or("<none>"), "s16");

    // A sample format the encoder does not take is replaced by its first one.
    OutputStream& wrong = Stream("-c:a mp2 -sample_fmt flt", AVMEDIA_TYPE_AUDIO);
    ChooseSampleFormat(wrong.codec_ctx.get(), wrong.encoder);
    EXPECT_EQ(wrong.codec_ctx->sample_fmt, AV_SAMPLE_FMT_S16);
    EXPECT_TRUE(log_.Has(llWarning,
                         "Incompatible sample format \"flt\" for codec \"mp2\", "
                         "auto-selecting format \"s16\""));
}

// Graphs built on opened inputs, with their outputs' streams.
class FilterGraphTest : public testing::OutputTaskTest {
protected:
    FilterGraph& AddComplexGraph(const std::string& description) {
        auto fg = std::make_unique<FilterGraph>();
        fg->index = static_cast<std::int32_t>(task_.filtergraphs.size());
        fg->description = description;
        task_.filtergraphs.push_back(std::move(fg));
        return *task_.filtergraphs.back();
    }
    // Opens the output, then builds the simple graph of output stream
    // `index` from its source as the engine does.
    FilterGraph& SimpleGraph(std::size_t index) {
        OutputStream& ost = *task_.output_streams.at(index);
        InputStream& ist = *task_.input_streams.at(static_cast<std::size_t>(ost.source_index));
        return InitSimpleFilterGraph(task_, ist, ost);
    }
    static std::vector<std::string> FilterNames(const FilterGraph& fg) {
        std::vector<std::string> names;
        for (unsigned i = 0; i < fg.graph->nb_filters; ++i) {
            names.emplace_back(fg.graph->filters[i]->name);
        }
        return names;
    }
    static bool HasFilter(const FilterGraph& fg, const std::string& name) {
        const std::vector<std::string> names = FilterNames(fg);
        return std::find(names.begin(), names.end(), name) != names.end();
    }
};

TEST_F(FilterGraphTest, SimpleVideoGraphWithScalerAndFormat) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
    ASSERT_EQ(Open("-c:v mpeg4 -s 80x60 -pix_fmt yuv444p -vf scale=320:240,transpose -an",
                   dir_ / "v.mkv"),
              0)
        << task_.LastError;
    FilterGraph& fg = SimpleGraph(0);
    ASSERT_EQ(ConfigureFilterGraph(task_, fg), 0);
    EXPECT_EQ(fg.reconfiguration, 1);
    for (const char* name :
         {"graph 0 input from stream 0:0", "output stream 0:0", "scaler for output stream 0:0",
          "pixel format for output stream 0:0", "Parsed_scale_0", "Parsed_transpose_1"}) {
        EXPECT_TRUE(HasFilter(fg, name)) << name;
    }
    EXPECT_EQ(fg.inputs[0]->name, "Parsed_scale_0");
    EXPECT_EQ(fg.outputs[0]->name, "Parsed_transpose_1");
    // The sink sees what the encoder gets: the -s size and the format the
    // encoder takes instead of yuv444p.
    const AVFilterContext* sink = fg.outputs[0]->filter;
    EXPECT_EQ(ff.av_buffersink_get_w(sink), 80);
    EXPECT_EQ(ff.av_buffersink_get_h(sink), 60);
    EXPECT_EQ(ff.av_buffersink_get_format(sink), AV_PIX_FMT_YUV420P);
    EXPECT_TRUE(log_.Has(llWarning,
                         "Incompatible pixel format \"yuv444p\" for codec \"mpeg4\", "
                         "auto-selecting format \"yuv420p\""));

    // A rebuild replaces the graph with an equal one.
    ASSERT_EQ(ConfigureFilterGraph(task_, fg), 0);
    EXPECT_EQ(ff.av_buffersink_get_w(fg.outputs[0]->filter), 80);
}

TEST_F(FilterGraphTest, AudioHelpersForVolumeAndSync) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
    ASSERT_EQ(Open("-vn -c:a mp2 -ac 2 -af volume=2", dir_ / "a.mkv"), 0) << task_.LastError;
    task_.volume = 512;
    task_.audio_sync_method = 1;
    FilterGraph& fg = SimpleGraph(0);
    ASSERT_EQ(ConfigureFilterGraph(task_, fg), 0);
    for (const char* name : {"graph 0 input from stream 0:1", "graph 0 volume for input stream 0:1",
                             "graph 0 aresample for input stream 0:1", "Parsed_volume_0",
                             "audio format for output stream 0:0", "output stream 0:0"}) {
        EXPECT_TRUE(HasFilter(fg, name)) << name;
    }
    EXPECT_TRUE(
        log_.Has(llWarning, "-vol has been deprecated. Use the volume audio filter instead."));
    EXPECT_TRUE(log_.Has(llInfo, "-vol is forwarded to lavfi similarly to -af volume=2.000000."));
    EXPECT_TRUE(log_.Has(
        llInfo, "-async is forwarded to lavfi similarly to -af aresample=async=1:first_pts=0."));
    const AVFilterContext* sink = fg.outputs[0]->filter;
    EXPECT_EQ(ff.av_buffersink_get_format(sink), AV_SAMPLE_FMT_S16);
    AVChannelLayout layout{};
    ASSERT_EQ(ff.av_buffersink_get_ch_layout(sink, &layout), 0);
    EXPECT_EQ(layout.nb_channels, 2);  // -ac 2 became the stereo layout
    ff.av_channel_layout_uninit(&layout);

    log_.Clear();
    ASSERT_EQ(ConfigureFilterGraph(task_, fg), 0);
    EXPECT_TRUE(
        log_.Has(llInfo, "-async is forwarded to lavfi similarly to -af aresample=async=1."));
    EXPECT_FALSE(log_.Has(llInfo, "first_pts"));
}

TEST_F(FilterGraphTest, ChannelMapSwapsStereo) {
    ASSERT_EQ(AddInput(media().stereo), 0) << task_.LastError;
    ASSERT_EQ(Open("-map_channel 0.0.1 -map_channel 0.0.0 -c:a mp2", dir_ / "swap.mkv"), 0)
        << task_.LastError;
    const OutputStream& ost = OutStream(0);
    ASSERT_EQ(ost.channel_map_count, 2);
    EXPECT_EQ(ost.channel_map[0], 1);
    EXPECT_EQ(ost.channel_map[1], 0);
    FilterGraph& fg = SimpleGraph(0);
    ASSERT_EQ(ConfigureFilterGraph(task_, fg), 0);
    EXPECT_TRUE(HasFilter(fg, "pan"));
    EXPECT_TRUE(log_.Has(llInfo,
                         "-map_channel is forwarded to lavfi similarly to -af "
                         "pan=0x3|c0=c1|c1=c0."));
}

TEST_F(FilterGraphTest, LabelledComplexGraphFeedsTheMappedOutput) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
    ASSERT_EQ(AddInput(media().big), 1) << task_.LastError;
    ASSERT_EQ(
        Open("-filter_complex [0:v][1:v]overlay[out] -map [out] -c:v mpeg4", dir_ / "overlay.mkv"),
        0)
        << task_.LastError;
    ASSERT_EQ(task_.filtergraphs.size(), 1u);
    FilterGraph& fg = *task_.filtergraphs[0];

    ASSERT_EQ(fg.inputs.size(), 2u);
    EXPECT_EQ(fg.inputs[0]->input_stream, task_.input_streams[0].get());  // 0:0
    EXPECT_EQ(fg.inputs[1]->input_stream, task_.input_streams[2].get());  // 1:0
    EXPECT_EQ(fg.inputs[0]->name, "Parsed_overlay_0:main");
    EXPECT_EQ(task_.input_streams[2]->decode_users, 1);
    ASSERT_EQ(Out()->nb_streams, 1u);
    const OutputStream& ost = OutStream(0);
    EXPECT_EQ(ost.source_index, -1);
    ASSERT_EQ(fg.outputs.size(), 1u);
    EXPECT_EQ(ost.filter, fg.outputs[0].get());
    EXPECT_EQ(fg.outputs[0]->output_stream, &ost);
    EXPECT_FALSE(fg.outputs[0]->pending_output);
    // The engine configures the graph: every chain is complete.
    EXPECT_GE(ff.avfilter_graph_config(fg.graph.get(), nullptr), 0);

    // The label is used up.
    EXPECT_EQ(Open("-map [out]", dir_ / "again.mkv"), -1);
    EXPECT_NE(task_.LastError.find("Output with label \"out\" does not exist"), std::string::npos);
}

TEST_F(FilterGraphTest, UnlabelledInputsTakeUnusedStreamsInOrder) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
    ASSERT_EQ(AddInput(media().big), 1) << task_.LastError;
    FilterGraph& fg = AddComplexGraph("overlay");
    ASSERT_EQ(Open("-c:v mpeg4 -c:a mp2", dir_ / "u.mkv"), 0) << task_.LastError;
    ASSERT_EQ(fg.inputs.size(), 2u);
    EXPECT_EQ(fg.inputs[0]->input_stream, task_.input_streams[0].get());
    EXPECT_EQ(fg.inputs[1]->input_stream, task_.input_streams[2].get());
    // The unlabelled output got the video stream; audio is still chosen.
    ASSERT_EQ(Out()->nb_streams, 2u);
    EXPECT_EQ(OutStream(0).filter, fg.outputs[0].get());
    EXPECT_EQ(SourceOf(1), "0:1");
    EXPECT_GE(ff.avfilter_graph_config(fg.graph.get(), nullptr), 0);
}

TEST_F(FilterGraphTest, SameStreamTwiceGetsUniqueNames) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
    FilterGraph& fg = AddComplexGraph("[0:v][0:v]hstack");
    ASSERT_EQ(Open("-c:v mpeg4 -an", dir_ / "h.mkv"), 0) << task_.LastError;
    EXPECT_TRUE(HasFilter(fg, "graph 0 input from stream 0:0"));
    EXPECT_TRUE(HasFilter(fg, "graph 0 input from stream 0:0 #2"));
    EXPECT_EQ(task_.input_streams[0]->decode_users, 2);
    EXPECT_GE(ff.avfilter_graph_config(fg.graph.get(), nullptr), 0);
}

TEST_F(FilterGraphTest, SubtitlesOnAVideoPadGetACanvas) {
    ASSERT_EQ(AddInput(media().subs), 0) << task_.LastError;
    ASSERT_EQ(Open("-filter_complex [0:s]null[v] -map [v] -c:v mpeg4", dir_ / "subs.mkv"), 0)
        << task_.LastError;
    FilterGraph& fg = *task_.filtergraphs[0];
    EXPECT_TRUE(log_.Has(llInfo, "sub2video: using 720x576 canvas"));
    const InputStream& ist = *task_.input_streams[0];
    EXPECT_EQ(ist.sub2video.w, 720);
    EXPECT_EQ(ist.sub2video.h, 576);
    EXPECT_EQ(ist.last_pix_fmt, AV_PIX_FMT_BGRA);
    ASSERT_TRUE(ist.sub2video.frame);
    EXPECT_EQ(ist.sub2video.frame->data[0][0], 0);
    EXPECT_GE(ff.avfilter_graph_config(fg.graph.get(), nullptr), 0);
}

TEST_F(FilterGraphTest, BadComplexGraphs) {
    struct Case {
        const char* description;
        const char* options;
        bool raised;
        std::string message;
    };
    const Case cases[] = {
        {"[5:v]null", "", true, "Invalid file index 5 in filtergraph description [5:v]null."},
        {"[0:s]null", "", true,
         "Stream specifier \"s\" in filtergraph description [0:s]null matches no streams"},
        {"overlay", "", true,
         "Cannot find a matching stream for unlabeled input pad 1 on filter Parsed_overlay_0"},
        {"nosuchfilter", "", false, "Error configuring filters."},
        {"[0:v]null", "-c:v copy", true,
         "Streamcopy requested for output stream 0:0, which is fed from a complex filtergraph. "
         "Filtering and streamcopy cannot be used together."},
        {"[0:v]null", "-c:v nosuchencoder", true, "Unknown encoder \"nosuchencoder\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        ResetTask();
        ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
        AddComplexGraph(c.description);
        const fs::path out = dir_ / "bad" / "o.mkv";
        fs::create_directories(out.parent_path());
        if (c.raised) {
            EXPECT_THROW(Open(c.options, out), FFmpegException);
        } else {
            EXPECT_EQ(Open(c.options, out), -1);
        }
        EXPECT_EQ(task_.LastError, c.message);
        EXPECT_TRUE(task_.output_files.empty());
        EXPECT_TRUE(task_.output_streams.empty());
        EXPECT_TRUE(fs::is_empty(out.parent_path()));
    }
}

}  // namespace
}  // namespace tavrin

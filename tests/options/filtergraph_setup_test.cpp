#include "media/options/filtergraph_setup.h"

#include <gtest/gtest.h>

#include <string>

#include "media/options/output_stream.h"
#include "options/task_test_support.h"

namespace tavrin {
namespace {

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

    // The JPEG encoder's unofficial list.
    OutputStream& mjpeg = Stream("-c:v mjpeg", AVMEDIA_TYPE_VIDEO);
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

}  // namespace
}  // namespace tavrin

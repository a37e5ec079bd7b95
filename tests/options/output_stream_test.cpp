#include "media/options/output_stream.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "media/common/text_helpers.h"
#include "media/runtime/ffmpeg_exception.h"
#include "options/task_test_support.h"

namespace tavrin {
namespace {

using testing::OptionTaskTest;

// Streams are created on an output context of their own, without inputs:
// every stream here has no source (-1), like filtergraph outputs.
class OutputStreamTest : public OptionTaskTest {
protected:
    void SetUp() override {
        OptionTaskTest::SetUp();
        UseFormat("out.mkv");
    }

    void UseFormat(const std::string& file_name) {
        AVFormatContext* raw = nullptr;
        ASSERT_GE(ff.avformat_alloc_output_context2(&raw, nullptr, nullptr, file_name.c_str()), 0);
        oc_.reset(raw);
    }

    // Parses `options` as the output's options text, then creates one stream.
    OutputStream& Create(const std::string& options, AVMediaType type = AVMEDIA_TYPE_VIDEO) {
        EXPECT_EQ(Parse(options), 0) << task_.LastError;
        return CreateOnly(type);
    }
    OutputStream& CreateOnly(AVMediaType type) {
        switch (type) {
            case AVMEDIA_TYPE_AUDIO:
                return NewAudioStream(task_, ctx_, oc_.get(), -1);
            case AVMEDIA_TYPE_SUBTITLE:
                return NewSubtitleStream(task_, ctx_, oc_.get(), -1);
            case AVMEDIA_TYPE_DATA:
                return NewDataStream(task_, ctx_, oc_.get(), -1);
            case AVMEDIA_TYPE_ATTACHMENT:
                return NewAttachmentStream(task_, ctx_, oc_.get(), -1);
            default:
                return NewVideoStream(task_, ctx_, oc_.get(), -1);
        }
    }

    // Expects the stream creation after `options` to raise `message`, which
    // also lands in LastError.
    void ExpectRaised(const std::string& options, AVMediaType type, const std::string& message) {
        SCOPED_TRACE(options);
        NextFile();
        task_.LastError.clear();
        ASSERT_EQ(Parse(options), 0) << task_.LastError;
        try {
            CreateOnly(type);
            ADD_FAILURE() << "no exception";
        } catch (const FFmpegException& error) {
            EXPECT_EQ(error.what(), message);
        }
        EXPECT_EQ(task_.LastError, message);
    }

    OutputFormatContextPtr oc_;
};

TEST_F(OutputStreamTest, CommonFieldsAndEncoderChoice) {
    OutputStream& video = Create("-b:v 400k -threads 1");
    EXPECT_EQ(video.file_index, 0);
    EXPECT_EQ(video.index, 0);
    EXPECT_EQ(video.source_index, -1);
    EXPECT_EQ(video.last_pts, kNoTimestamp);
    EXPECT_EQ(video.max_frames, INT64_MAX);
    EXPECT_EQ(video.copy_before_start, -1);
    EXPECT_EQ(video.stream_copy, 0);
    // The format's guess: Matroska takes H.264 video when an encoder exists,
    // else MPEG-4; either way an encoder registered for the guessed codec.
    ASSERT_NE(video.encoder, nullptr);
    EXPECT_EQ(video.codec_ctx->codec_id, video.encoder->id);
    EXPECT_EQ(video.codec_ctx->codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(video.filter_desc, "null");
    EXPECT_EQ(testing::OptionTaskTest::DictValue(video.encoder_options.Get(), "b"), "400k");
    // Matroska wants global headers.
    EXPECT_NE(video.codec_ctx->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);

    NextFile();
    OutputStream& audio = Create("-c:a mp2 -ac 2 -ar 22050 -sample_fmt s16", AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(audio.index, 1);
    ASSERT_NE(audio.encoder, nullptr);
    EXPECT_STREQ(audio.encoder->name, "mp2");
    EXPECT_EQ(audio.codec_ctx->ch_layout.nb_channels, 2);
    EXPECT_EQ(audio.codec_ctx->sample_rate, 22050);
    EXPECT_EQ(audio.codec_ctx->sample_fmt, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(audio.filter_desc, "anull");

    // A codec descriptor name finds that codec's encoder.
    NextFile();
    OutputStream& by_codec = Create("-c:v mpeg4");
    EXPECT_EQ(by_codec.codec_ctx->codec_id, AV_CODEC_ID_MPEG4);

    NextFile();
    OutputStream& attachment = CreateOnly(AVMEDIA_TYPE_ATTACHMENT);
    EXPECT_EQ(attachment.stream_copy, 1);
    EXPECT_EQ(task_.output_streams.size(), 4u);
}

TEST_F(OutputStreamTest, StreamCopyIgnoresEncodingOptions) {
    OutputStream& ost = Create("-c:v copy -s 320x240 -aspect 16:9 -vf scale=2:2 -copyinkf");
    EXPECT_EQ(ost.stream_copy, 1);
    EXPECT_EQ(ost.encoder, nullptr);
    EXPECT_EQ(ost.codec_ctx->width, 0);
    EXPECT_EQ(ost.frame_aspect_ratio, 0.0f);
    EXPECT_EQ(ost.filter_desc, "");
    EXPECT_EQ(ost.copy_initial_nonkeyframes, 1);
}

TEST_F(OutputStreamTest, LastMatchingOccurrenceWins) {
    struct Case {
        const char* options;
        std::int64_t frames;
    };
    for (const Case& c : {Case{"-frames:v 100 -frames 50", 50},
                          Case{"-frames 50 -frames:v 100", 100}, Case{"-frames:a 7", INT64_MAX}}) {
        SCOPED_TRACE(c.options);
        NextFile();
        EXPECT_EQ(Create(c.options).max_frames, c.frames);
    }
}

TEST_F(OutputStreamTest, BitstreamFiltersInTheOrderWritten) {
    OutputStream& ost = Create("-c:v copy -bsf:v h264_mp4toannexb,dump_extra");
    ASSERT_EQ(ost.bitstream_filters.size(), 2u);
    EXPECT_STREQ(ost.bitstream_filters[0]->filter->name, "h264_mp4toannexb");
    EXPECT_STREQ(ost.bitstream_filters[1]->filter->name, "dump_extra");
}

TEST_F(OutputStreamTest, CodecTagsAsLettersOrNumbers) {
    struct Case {
        const char* tag;
        std::uint32_t expected;
    };
    for (const Case& c : {Case{"DIVX", MakeTag('D', 'I', 'V', 'X')}, Case{"0x1234", 4660},
                          Case{"010", 8}, Case{"XV", MakeTag('X', 'V', 0, 0)}}) {
        SCOPED_TRACE(c.tag);
        NextFile();
        EXPECT_EQ(Create(std::string("-tag:v ") + c.tag).codec_ctx->codec_tag, c.expected);
    }
}

TEST_F(OutputStreamTest, FixedQualityScale) {
    OutputStream& fixed = Create("-q:v 3");
    EXPECT_EQ(fixed.codec_ctx->global_quality, 354);
    EXPECT_NE(fixed.codec_ctx->flags & AV_CODEC_FLAG_QSCALE, 0);

    NextFile();
    OutputStream& unset = Create("-q:v -1");
    EXPECT_EQ(unset.codec_ctx->flags & AV_CODEC_FLAG_QSCALE, 0);
    EXPECT_EQ(unset.codec_ctx->global_quality, 0);
}

TEST_F(OutputStreamTest, PixelFormatAndKeepMarker) {
    struct Case {
        const char* value;
        int keep;
        AVPixelFormat format;
    };
    for (const Case& c : {Case{"+yuv420p", 1, AV_PIX_FMT_YUV420P}, Case{"+", 1, AV_PIX_FMT_NONE},
                          Case{"yuv444p", 0, AV_PIX_FMT_YUV444P}}) {
        SCOPED_TRACE(c.value);
        NextFile();
        OutputStream& ost = Create(std::string("-pix_fmt ") + c.value);
        EXPECT_EQ(ost.keep_pixel_format, c.keep);
        EXPECT_EQ(ost.codec_ctx->pix_fmt, c.format);
    }
}

TEST_F(OutputStreamTest, VideoEncodingOptions) {
    OutputStream& ost = Create(
        "-c:v mpeg4 -pass 3 -passlogfile stats -s 320x240 -aspect 16:9 -r 30000/1001 "
        "-force_key_frames 0,5 -top 1 -rc_override 0,10,5/20,30,-50 -vf hflip");
    AVCodecContext* video = ost.codec_ctx.get();
    EXPECT_NE(video->flags & AV_CODEC_FLAG_PASS1, 0);
    EXPECT_NE(video->flags & AV_CODEC_FLAG_PASS2, 0);
    EXPECT_EQ(testing::OptionTaskTest::DictValue(ost.encoder_options.Get(), "flags"),
              "+pass1+pass2");
    EXPECT_EQ(ost.pass_log_prefix, "stats");
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_FLOAT_EQ(ost.frame_aspect_ratio, 16.0f / 9.0f);
    EXPECT_EQ(ost.frame_rate.num, 30000);
    EXPECT_EQ(ost.frame_rate.den, 1001);
    EXPECT_EQ(ost.forced_key_spec, "0,5");
    EXPECT_EQ(ost.top_field_first, 1);
    EXPECT_EQ(ost.filter_desc, "hflip");
    ASSERT_EQ(video->rc_override_count, 2);
    EXPECT_EQ(video->rc_override[0].start_frame, 0);
    EXPECT_EQ(video->rc_override[0].end_frame, 10);
    EXPECT_EQ(video->rc_override[0].qscale, 5);
    EXPECT_FLOAT_EQ(video->rc_override[0].quality_factor, 1.0f);
    EXPECT_EQ(video->rc_override[1].qscale, 0);
    EXPECT_FLOAT_EQ(video->rc_override[1].quality_factor, 0.5f);
    EXPECT_EQ(video->intra_dc_precision, 0);
}

TEST_F(OutputStreamTest, QuantiserMatrices) {
    std::string values;
    for (int i = 1; i <= 64; ++i) {
        values += (i > 1 ? "," : "") + std::to_string(i);
    }
    OutputStream& ost =
        Create("-c:v mpeg2video -intra_matrix " + values + " -inter_matrix " + values);
    ASSERT_NE(ost.codec_ctx->intra_matrix, nullptr);
    ASSERT_NE(ost.codec_ctx->inter_matrix, nullptr);
    EXPECT_EQ(ost.codec_ctx->intra_matrix[0], 1);
    EXPECT_EQ(ost.codec_ctx->intra_matrix[63], 64);

    const std::string short_list = values.substr(0, values.rfind(','));  // 63 values
    ExpectRaised("-c:v mpeg2video -intra_matrix " + short_list, AVMEDIA_TYPE_VIDEO,
                 "Syntax error in matrix \"" + short_list + "\" at coeff 62");
}

TEST_F(OutputStreamTest, StreamIdsByPosition) {
    Create("-streamid 1:300");
    OutputStream& second = CreateOnly(AVMEDIA_TYPE_AUDIO);
    OutputStream& third = CreateOnly(AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(second.stream->id, 300);
    EXPECT_EQ(third.stream->id, 0);
}

TEST_F(OutputStreamTest, ChannelMapsOfMutedChannels) {
    // Muted channels (-1) apply to every audio stream whose output file and
    // stream match; at most 32 entries are kept.
    ctx_.channel_maps.assign(33, AudioChannelMap{-1, -1, -1, -1, -1});
    ctx_.channel_maps.push_back(AudioChannelMap{-1, -1, -1, 0, 5});  // other stream
    OutputStream& ost = Create("", AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(ost.channel_map_count, 32);
    EXPECT_EQ(ost.channel_map[0], -1);
    EXPECT_TRUE(log_.Has(llFatal, "Max channel mapping for output 0.0 reached"));
}

TEST_F(OutputStreamTest, DataStreamsOnlyAsCopies) {
    ExpectRaised("", AVMEDIA_TYPE_DATA, "Data stream encoding not supported yet (only streamcopy)");
    NextFile();
    EXPECT_EQ(Create("-c:d copy", AVMEDIA_TYPE_DATA).stream_copy, 1);
}

TEST_F(OutputStreamTest, BadValuesRaiseTheirMessages) {
    struct Case {
        const char* options;
        AVMediaType type;
        const char* message;
    };
    const Case cases[] = {
        {"-c:v nosuchencoder", AVMEDIA_TYPE_VIDEO, "Unknown encoder \"nosuchencoder\""},
        {"-c:v mp2", AVMEDIA_TYPE_VIDEO, "Invalid encoder type \"mp2\""},
        {"-bsf:v nosuchfilter", AVMEDIA_TYPE_VIDEO, "Unknown bitstream filter \"nosuchfilter\""},
        {"-s 12xx", AVMEDIA_TYPE_VIDEO, "Invalid frame size: 12xx."},
        {"-s -5x10", AVMEDIA_TYPE_VIDEO, "Invalid frame size: -5x10."},
        {"-r fast", AVMEDIA_TYPE_VIDEO, "Invalid framerate value: fast"},
        {"-aspect 0:1", AVMEDIA_TYPE_VIDEO, "Invalid aspect ratio: 0:1"},
        {"-aspect wide", AVMEDIA_TYPE_VIDEO, "Invalid aspect ratio: wide"},
        {"-pix_fmt nosuchformat", AVMEDIA_TYPE_VIDEO,
         "Unknown pixel format requested: nosuchformat."},
        {"-pix_fmt +nosuchformat", AVMEDIA_TYPE_VIDEO,
         "Unknown pixel format requested: nosuchformat."},
        {"-rc_override 1,2", AVMEDIA_TYPE_VIDEO, "error parsing rc_override"},
        {"-rc_override 1,2,3/", AVMEDIA_TYPE_VIDEO, "error parsing rc_override"},
        {"-sample_fmt nosuchformat", AVMEDIA_TYPE_AUDIO, "Invalid sample format \"nosuchformat\""},
        {"-s 1x", AVMEDIA_TYPE_SUBTITLE, "Invalid frame size: 1x."},
    };
    for (const Case& c : cases) {
        ExpectRaised(c.options, c.type, c.message);
    }
    // An invalid stream specifier is refused by the per-stream look-up.
    NextFile();
    ASSERT_EQ(Parse("-frames:q 5"), 0);
    EXPECT_THROW(CreateOnly(AVMEDIA_TYPE_VIDEO), FFmpegException);
    EXPECT_NE(task_.LastError.find("check_stream_specifier"), std::string::npos);
}

}  // namespace
}  // namespace tavrin

#include "media/options/stream_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "fixtures/ff_libs_fixture.h"
#include "fixtures/media_fixtures.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {
namespace {

std::map<std::string, std::string> Entries(const AVDictionary* dict) {
    std::map<std::string, std::string> entries;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = ff.av_dict_get(dict, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
        entries[entry->key] = entry->value;
    }
    return entries;
}

struct DictDeleter {
    void operator()(AVDictionary* dict) const { ff.av_dict_free(&dict); }
};
using Dict = std::unique_ptr<AVDictionary, DictDeleter>;

Dict MakeDict(const std::map<std::string, std::string>& entries) {
    AVDictionary* dict = nullptr;
    for (const auto& [key, value] : entries) {
        ff.av_dict_set(&dict, key.c_str(), value.c_str(), 0);
    }
    return Dict(dict);
}

class StreamOptionsTest : public testing::FFLibsTest {
protected:
    void SetUp() override {
        FFLibsTest::SetUp();
        path_ = testing::MakeVideoWithAudio(dir_, "clip.mp4", 1.0);
        ASSERT_EQ(ff.avformat_open_input(&input_, path_.c_str(), nullptr, nullptr), 0);
        ASSERT_EQ(input_->nb_streams, 2u);
        ASSERT_EQ(input_->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
    }
    void TearDown() override {
        if (input_ != nullptr) {
            ff.avformat_close_input(&input_);
        }
    }
    AVStream* Video() { return input_->streams[0]; }
    AVStream* Audio() { return input_->streams[1]; }

    testing::TempDir dir_;
    std::filesystem::path path_;
    AVFormatContext* input_ = nullptr;
};

TEST_F(StreamOptionsTest, DecoderOptionsAreFilteredPerStream) {
    const Dict opts = MakeDict({{"threads:v", "3"},
                                {"skip_frame", "nokey"},  // a video decoder option
                                {"err_detect:a", "crc"},
                                {"athreads", "2"},     // type letter + generic option
                                {"crf", "20"},         // an encoder's private option
                                {"threads:s", "4"}});  // no subtitle stream
    const Dict video(
        FilterCodecOptions(opts.get(), Video()->codecpar->codec_id, input_, Video(), nullptr));
    EXPECT_EQ(Entries(video.get()),
              (std::map<std::string, std::string>{{"threads", "3"}, {"skip_frame", "nokey"}}));
    const Dict audio(
        FilterCodecOptions(opts.get(), Audio()->codecpar->codec_id, input_, Audio(), nullptr));
    EXPECT_EQ(Entries(audio.get()),
              (std::map<std::string, std::string>{{"err_detect", "crc"}, {"threads", "2"}}));
}

TEST_F(StreamOptionsTest, AnInvalidSpecifierEmptiesTheStreamsDictionary) {
    EXPECT_EQ(CheckStreamSpecifier(input_, Video(), "v"), 1);
    EXPECT_EQ(CheckStreamSpecifier(input_, Video(), "a"), 0);
    EXPECT_LT(CheckStreamSpecifier(input_, Video(), "x!"), 0);
    const Dict opts = MakeDict({{"threads", "3"}, {"skip_frame:x!", "nokey"}});
    const Dict video(
        FilterCodecOptions(opts.get(), Video()->codecpar->codec_id, input_, Video(), nullptr));
    EXPECT_EQ(video.get(), nullptr);
}

TEST_F(StreamOptionsTest, StreamInfoOptionsGivesOneDictionaryPerStream) {
    const Dict opts = MakeDict({{"threads:a", "2"}});
    StreamDictionaries dicts = StreamInfoOptions(input_, opts.get());
    ASSERT_EQ(dicts.size(), 2u);
    EXPECT_EQ(Entries(dicts[0]), (std::map<std::string, std::string>{}));
    EXPECT_EQ(Entries(dicts[1]), (std::map<std::string, std::string>{{"threads", "2"}}));
    EXPECT_NE(dicts.data(), nullptr);
    // The dictionaries are what the stream probe takes; it consumes the ones it uses.
    EXPECT_GE(ff.avformat_find_stream_info(input_, dicts.data()), 0);
    EXPECT_EQ(Entries(dicts[1]), (std::map<std::string, std::string>{}));

    AVFormatContext* empty = ff.avformat_alloc_context();
    EXPECT_TRUE(StreamInfoOptions(empty, opts.get()).empty());
    ff.avformat_free_context(empty);
}

TEST_F(StreamOptionsTest, EncoderOptionsIncludeTheCodecsPrivateOptions) {
    AVFormatContext* raw = nullptr;
    ASSERT_GE(ff.avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr), 0);
    const std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> output(
        raw, ff.avformat_free_context);
    AVStream* stream = ff.avformat_new_stream(raw, nullptr);
    ASSERT_NE(stream, nullptr);
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = AV_CODEC_ID_H264;
    const AVCodec* encoder = ff.avcodec_find_encoder_by_name("libx264");
    ASSERT_NE(encoder, nullptr);

    const Dict opts = MakeDict({{"crf", "20"},
                                {"b:v", "1M"},
                                {"b:a", "128k"},
                                {"vg", "50"},
                                {"skip_frame", "nokey"},  // decoding only
                                {"probesize", "32"}});    // a format option
    const Dict filtered(FilterCodecOptions(opts.get(), AV_CODEC_ID_H264, raw, stream, encoder));
    EXPECT_EQ(Entries(filtered.get()),
              (std::map<std::string, std::string>{{"crf", "20"}, {"b", "1M"}, {"g", "50"}}));
}

}  // namespace
}  // namespace tavrin

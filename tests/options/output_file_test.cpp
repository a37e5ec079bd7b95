#include "media/options/output_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/format_listing.h"
#include "app/core/merge_plan.h"
#include "fixtures/media_fixtures.h"
#include "media/common/error_text.h"
#include "media/options/output_over_input.h"
#include "options/output_test_support.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::OutputTaskTest;

class OutputFileTest : public OutputTaskTest {};

TEST(OutputOverInput, EverySpellingOfALocalFileIsCompared) {
    const struct {
        const char* name;
        const char* expected;
    } cases[] = {
        {"/music/song.mp3", "/music/song.mp3"},
        {"file:/music/song.mp3", "/music/song.mp3"},
        // A name the locale cannot spell goes through the unicode protocol.
        {"unicode:utf8:/music/p-\xc3\xa9.png", "/music/p-\xc3\xa9.png"},
        {"tcp://127.0.0.1:9/x", "tcp://127.0.0.1:9/x"},
        {"pipe:1", "pipe:1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LocalPathOfMediaName(c.name), c.expected) << c.name;
    }
}

TEST_F(OutputFileTest, MuxerTimingAndTimeLimits) {
    ASSERT_EQ(Open("-muxpreload 0.5", dir_ / "a.mkv"), 0) << task_.LastError;
    EXPECT_EQ(DictValue(task_.output_files[0]->muxer_options.Get(), "preload"), "500000");
    EXPECT_EQ(Out()->max_delay, 700000);  // the default -muxdelay 0.7
    EXPECT_EQ(task_.output_files[0]->first_stream, 0);
    EXPECT_TRUE(fs::exists(dir_ / "a.mkv"));

    struct Case {
        const char* options;
        const char* warning;  // empty: none expected
        std::int64_t recording_time;
    };
    const Case cases[] = {
        {"-t 10 -to 20", "-t and -to cannot be used together; using -t.", 10'000'000},
        {"-ss 30 -to 20", "-to value smaller than -ss; ignoring -to.", INT64_MAX},
        {"-ss 5 -to 20", "", 15'000'000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        ResetTask();
        log_.Clear();
        ASSERT_EQ(Open(c.options, dir_ / "b.mkv"), 0) << task_.LastError;
        const OutputFile& of = *task_.output_files[0];
        EXPECT_EQ(of.recording_time, c.recording_time);
        EXPECT_EQ(Out()->duration, c.recording_time == INT64_MAX ? 0 : c.recording_time);
        if (*c.warning != '\0') {
            EXPECT_TRUE(log_.Has(llWarning, c.warning));
        } else {
            EXPECT_FALSE(log_.Has(llWarning, "-to"));
        }
    }
    // -t raises the expected duration of the task.
    EXPECT_EQ(task_.TotalDuration, -1);
    ResetTask();
    ASSERT_EQ(Open("-t 10", dir_ / "c.mkv"), 0);
    EXPECT_EQ(task_.TotalDuration, 10'000'000);
}

TEST_F(OutputFileTest, GlobalMetadataOptions) {
    ASSERT_EQ(Open("-metadata title=X -metadata artist=Y -metadata artist= -metadata:g album=Z",
                   dir_ / "m.mkv"),
              0)
        << task_.LastError;
    EXPECT_EQ(DictValue(Out()->metadata, "title"), "X");
    EXPECT_EQ(DictValue(Out()->metadata, "artist"), "<none>");
    EXPECT_EQ(DictValue(Out()->metadata, "album"), "Z");
}

TEST_F(OutputFileTest, MetadataSpecifiers) {
    struct Case {
        const char* spec;
        int result;
        char type;
        const char* stream_spec;
        int index;
        const char* error;
    };
    const Case cases[] = {
        {"", 0, 'g', "", 0, ""},
        {"g", 0, 'g', "", 0, ""},
        {"s", 0, 's', "", 0, ""},
        {"s:a:1", 0, 's', "a:1", 0, ""},
        {"c:3", 0, 'c', "", 3, ""},
        {"p:0x10", 0, 'p', "", 16, ""},
        {"sa", -1, 's', "", 0, "Invalid metadata specifier a."},
        {"x:1", -1, 'x', "", 0, "Invalid metadata type x."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.spec);
        task_.LastError.clear();
        MetaSpecifier spec;
        EXPECT_EQ(ParseMetaType(task_, c.spec, spec), c.result);
        EXPECT_EQ(task_.LastError, c.error);
        if (c.result == 0) {
            EXPECT_EQ(spec.type, c.type);
            EXPECT_EQ(spec.stream_spec, c.stream_spec);
            EXPECT_EQ(spec.index, c.index);
        }
    }
}

TEST_F(OutputFileTest, AttachmentBecomesAStreamWithItsName) {
    const fs::path font = dir_ / "sub dir" / "font.ttf";
    fs::create_directories(font.parent_path());
    std::ofstream(font) << "not really a font";
    ASSERT_EQ(Open("", dir_ / "att.mkv", [&] { ctx_.attachments = {font.string()}; }), 0)
        << task_.LastError;
    ASSERT_EQ(Out()->nb_streams, 1u);
    const OutputStream& ost = *task_.output_streams[0];
    EXPECT_EQ(ost.stream->codecpar->codec_type, AVMEDIA_TYPE_ATTACHMENT);
    EXPECT_EQ(ost.stream_copy, 0);
    EXPECT_EQ(ost.finished, 1);
    EXPECT_EQ(ost.attachment_filename, font.string());
    EXPECT_EQ(ost.codec_ctx->extradata_size, 17);
    EXPECT_EQ(DictValue(ost.stream->metadata, "filename"), "font.ttf");
}

TEST_F(OutputFileTest, FailuresLeaveNothingBehind) {
    const fs::path empty = dir_ / "empty.bin";
    std::ofstream(empty).flush();
    const fs::path out = dir_ / "out" / "o.mkv";
    fs::create_directories(out.parent_path());

    struct Case {
        std::string options;
        fs::path file;
        std::string message;
        std::function<void()> prepare;
    };
    const Case cases[] = {
        {"-f nosuchmuxer", out, ErrorText(out.string(), AVERROR(EINVAL)), nullptr},
        // There is no feed format in this library generation.
        {"-f ffm", dir_ / "out" / "feed.ffm",
         ErrorText((dir_ / "out" / "feed.ffm").string(), AVERROR(EINVAL)), nullptr},
        {"", dir_ / "out" / "o.nosuchextension",
         ErrorText((dir_ / "out" / "o.nosuchextension").string(), AVERROR(EINVAL)), nullptr},
        {"", dir_ / "missing" / "o.mkv",
         ErrorText((dir_ / "missing" / "o.mkv").string(), AVERROR(ENOENT)), nullptr},
        // These fail after the file was created: it must not stay.
        {"-metadata title", out, "No \"=\" character in metadata string title.", nullptr},
        {"-metadata:x k=v", out, "Invalid metadata type x.", nullptr},
        {"-metadata:sv k=v", out, "Invalid metadata specifier v.", nullptr},
        {"-metadata:c:0 k=v", out, "Invalid chapter index 0 in metadata specifier.", nullptr},
        {"-metadata:p:0 k=v", out, "Invalid metadata specifier p:0.", nullptr},
        {"-map_metadata 3", out, "Invalid input file index 3 while processing metadata maps",
         nullptr},
        {"-map_metadata:c:0 0", out, "Invalid input file index 0 while processing metadata maps",
         nullptr},
        {"-map_chapters 2", out, "Invalid input file index 2 in chapter mapping.", nullptr},
        {"-attach " + empty.string(), out,
         "Could not get size of the attachment " + empty.string() + ".", nullptr},
        {"", out, "Could not open attachment file " + (dir_ / "none").string() + ".",
         [&] { ctx_.attachments = {(dir_ / "none").string()}; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options + " -> " + c.file.string());
        ResetTask();
        EXPECT_EQ(Open(c.options, c.file, c.prepare), -1);
        EXPECT_EQ(task_.LastError, c.message);
        EXPECT_TRUE(task_.output_files.empty());
        EXPECT_TRUE(task_.output_streams.empty());
        EXPECT_TRUE(fs::is_empty(out.parent_path()))
            << fs::begin(fs::directory_iterator(out.parent_path()))->path();
    }
}

TEST_F(OutputFileTest, ReadOnlyFolderIsRefused) {
    // Root may write into a folder without write permission; sysfs refuses
    // new files to everybody.
    fs::path folder = dir_ / "locked";
    if (::geteuid() == 0) {
        folder = "/sys";
    } else {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    }
    const fs::path out = folder / "o.mkv";
    EXPECT_EQ(Open("", out), -1);
    EXPECT_EQ(task_.LastError, ErrorText(out.string(), AVERROR(EACCES)));
    EXPECT_FALSE(fs::exists(out));
    if (fs::exists(dir_ / "locked")) {
        fs::permissions(dir_ / "locked", fs::perms::owner_all, fs::perm_options::replace);
    }
}

TEST_F(OutputFileTest, ExistingFileIsOverwritten) {
    const fs::path out = dir_ / "old.mkv";
    std::ofstream(out) << "old content";
    ASSERT_EQ(Open("", out), 0) << task_.LastError;
    EXPECT_EQ(fs::file_size(out), 0u);  // truncated on opening, written by the engine
}

TEST_F(OutputFileTest, AutomaticChoiceAcrossInputs) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;   // 160x120 + mono
    ASSERT_EQ(AddInput(media().big), 1) << task_.LastError;     // 320x240
    ASSERT_EQ(AddInput(media().stereo), 2) << task_.LastError;  // stereo
    ASSERT_EQ(Open("-c:v mpeg4 -c:a mp2", dir_ / "auto.mkv"), 0) << task_.LastError;
    ASSERT_EQ(Out()->nb_streams, 2u);
    EXPECT_EQ(SourceOf(0), "1:0");  // the largest picture
    EXPECT_EQ(SourceOf(1), "2:0");  // the most channels
    // Input streams: 0:0 and 0:1, then 1:0, then 2:0.
    EXPECT_EQ(OutStream(0).sync_stream, task_.input_streams[2].get());
    EXPECT_EQ(task_.input_streams[2]->discard, 0);
    EXPECT_EQ(task_.input_streams[0]->discard, 1);  // not used

    struct Case {
        const char* options;
        std::vector<std::string> sources;
    };
    const Case cases[] = {
        {"-vn", {"2:0"}},
        {"-an", {"1:0"}},
        {"-vn -an", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::size_t first = task_.output_streams.size();
        const int index = Open(c.options, dir_ / (std::string("o") + c.options + ".mkv"));
        ASSERT_GE(index, 1) << task_.LastError;
        std::vector<std::string> sources;
        for (std::size_t i = first; i < task_.output_streams.size(); ++i) {
            EXPECT_EQ(OutStream(i).file_index, index);
            sources.push_back(SourceOf(i));
        }
        EXPECT_EQ(sources, c.sources);
    }

    // An audio-only format takes no video.
    ResetTask();
    ASSERT_EQ(AddInput(media().video), 0);
    ASSERT_EQ(Open("", dir_ / "audio.mp3"), 0) << task_.LastError;
    ASSERT_EQ(Out()->nb_streams, 1u);
    EXPECT_EQ(SourceOf(0), "0:1");
}

// Without -map, streams of equal standing (pictures of one size, tracks of
// as many channels) go to the first of them, in one file or across files.
TEST_F(OutputFileTest, AutomaticChoiceTakesTheFirstOfEqualStreams) {
    const fs::path twins = dir_ / "twins.mkv";
    ASSERT_TRUE(testing::RunFfmpeg("-i " + testing::ShellQuote(media().video.string()) + " -i " +
                                   testing::ShellQuote(media().stereo.string()) +
                                   " -map 0:v -map 0:v -map 1:a -map 1:a -c copy " +
                                   testing::ShellQuote(twins.string())));
    struct Case {
        const char* name;
        std::vector<fs::path> inputs;
        const char* video;
        const char* audio;
    };
    const Case cases[] = {
        {"two of each in one file", {twins}, "0:0", "0:2"},
        {"two files alike", {media().video, media().video}, "0:0", "0:1"},
        {"two stereo songs", {media().big, media().stereo, media().stereo}, "0:0", "1:0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTask();
        for (const fs::path& input : c.inputs) {
            ASSERT_GE(AddInput(input), 0) << task_.LastError;
        }
        ASSERT_EQ(Open("-c:v mpeg4 -c:a mp2", dir_ / (std::string(c.name) + ".mkv")), 0)
            << task_.LastError;
        ASSERT_EQ(Out()->nb_streams, 2u);
        EXPECT_EQ(SourceOf(0), c.video);
        EXPECT_EQ(SourceOf(1), c.audio);
    }
}

TEST_F(OutputFileTest, ExplicitMapsInTheirOrder) {
    ASSERT_EQ(AddInput(media().video), 0);
    ASSERT_EQ(AddInput(media().stereo), 1);
    const auto maps = [&] {
        ctx_.stream_maps = {StreamMap{0, 1, 0, 1, 0, ""}, StreamMap{1, 0, 1, 0, 1, ""},
                            StreamMap{0, 0, 0, 0, 0, ""}, StreamMap{0, 0, 1, 0, 1, ""}};
    };
    ASSERT_EQ(Open("-c:v mpeg4 -c:a mp2", dir_ / "maps.mkv", maps), 0) << task_.LastError;
    ASSERT_EQ(Out()->nb_streams, 3u);
    EXPECT_EQ(SourceOf(0), "1:0");
    EXPECT_EQ(SourceOf(1), "0:0");  // the disabled map is skipped
    EXPECT_EQ(SourceOf(2), "0:1");

    // A map of a disabled type creates nothing; a label no graph has fails.
    ASSERT_EQ(Open("-an", dir_ / "video.mkv", maps), 1) << task_.LastError;
    EXPECT_EQ(Out(1)->nb_streams, 1u);
    const auto label = [&] { ctx_.stream_maps = {StreamMap{0, 0, 0, 0, 0, "out"}}; };
    EXPECT_EQ(Open("", dir_ / "label.mkv", label), -1);
    EXPECT_EQ(task_.LastError,
              "Output with label \"out\" does not exist in any defined filter graph, or was "
              "already used elsewhere.");
    EXPECT_FALSE(fs::exists(dir_ / "label.mkv"));
}

TEST_F(OutputFileTest, MetadataCopiedSetAndSwitchedOff) {
    ASSERT_EQ(AddInput(media().titled), 0) << task_.LastError;
    ASSERT_EQ(Open("-c:v mpeg4 -c:a mp2", dir_ / "copied.mkv"), 0) << task_.LastError;
    EXPECT_EQ(DictValue(Out()->metadata, "title"), "Clip");
    EXPECT_EQ(DictValue(Out()->metadata, "creation_time"), "<none>");
    EXPECT_EQ(DictValue(Out()->streams[1]->metadata, "language"), "fra");

    ASSERT_EQ(Open("-map_metadata -1 -c:v mpeg4 -c:a mp2", dir_ / "none.mkv"), 1);
    EXPECT_EQ(DictValue(Out(1)->metadata, "title"), "<none>");
    EXPECT_EQ(DictValue(Out(1)->streams[1]->metadata, "language"), "<none>");

    ASSERT_EQ(Open("-metadata:s:a language=eng -metadata title=", dir_ / "set.mkv"), 2);
    EXPECT_EQ(DictValue(Out(2)->streams[1]->metadata, "language"), "eng");
    EXPECT_EQ(DictValue(Out(2)->streams[0]->metadata, "language"), "<none>");
    EXPECT_EQ(DictValue(Out(2)->metadata, "title"), "<none>");  // copied, then removed

    // A stream's metadata mapped onto the global metadata.
    ASSERT_EQ(Open("-map_metadata:g 0:s:a", dir_ / "mapped.mkv"), 3) << task_.LastError;
    EXPECT_EQ(DictValue(Out(3)->metadata, "language"), "fra");
    EXPECT_EQ(DictValue(Out(3)->metadata, "title"), "<none>");  // manual global metadata

    EXPECT_EQ(Open("-map_metadata 0:s:s", dir_ / "bad.mkv"), -1);
    EXPECT_EQ(task_.LastError, "Stream specifier s does not match  any streams.");
    EXPECT_EQ(Open("-map_metadata 0:c:4", dir_ / "bad.mkv"), -1);
    EXPECT_EQ(task_.LastError, "Invalid chapter index 4 while processing metadata maps.");
    EXPECT_FALSE(fs::exists(dir_ / "bad.mkv"));
}

TEST_F(OutputFileTest, ChaptersInsideTheOutputWindow) {
    ASSERT_EQ(AddInput(media().chapters), 0) << task_.LastError;
    ASSERT_EQ(task_.input_files[0]->ctx->nb_chapters, 2u);
    struct Case {
        const char* options;
        std::vector<std::string> chapters;  // "start-end title" in milliseconds
    };
    const Case cases[] = {
        {"", {"0-500 One", "500-1000 Two"}},
        {"-t 0.2", {"0-200 One"}},
        {"-ss 0.6", {"0-400 Two"}},
        {"-map_chapters -1", {}},
        {"-map_metadata:c -1", {"0-500 <none>", "500-1000 <none>"}},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(Open(c.options, dir_ / ("c" + std::to_string(index) + ".mkv")), index)
            << task_.LastError;
        std::vector<std::string> chapters;
        const AVFormatContext* oc = Out(static_cast<std::size_t>(index));
        for (unsigned i = 0; i < oc->nb_chapters; ++i) {
            const AVChapter* ch = oc->chapters[i];
            const auto ms = [&](std::int64_t t) {
                return std::to_string(ff.av_rescale_q(t, ch->time_base, AVRational{1, 1000}));
            };
            chapters.push_back(ms(ch->start) + "-" + ms(ch->end) + " " +
                               DictValue(ch->metadata, "title"));
        }
        EXPECT_EQ(chapters, c.chapters);
        ++index;
    }
}

TEST_F(OutputFileTest, FlagsReachCopiedStreams) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
    ASSERT_EQ(Open("-c copy -flags:v +bitexact", dir_ / "copy.mkv"), 0) << task_.LastError;
    EXPECT_NE(OutStream(0).codec_ctx->flags & AV_CODEC_FLAG_BITEXACT, 0);
    EXPECT_EQ(OutStream(1).codec_ctx->flags & AV_CODEC_FLAG_BITEXACT, 0);
    ASSERT_EQ(Open("-c copy -flags +bitexact", dir_ / "all.mkv"), 1) << task_.LastError;
    EXPECT_NE(OutStream(3).codec_ctx->flags & AV_CODEC_FLAG_BITEXACT, 0);
    EXPECT_EQ(Open("-c copy -flags nosuchflag", dir_ / "bad.mkv"), -1);
    EXPECT_EQ(task_.LastError, "failed to set flags");
    EXPECT_FALSE(fs::exists(dir_ / "bad.mkv"));
}

// The merge application's final task for each of its formats: the video
// input and the audio input mapped into the plan's output options.
TEST_F(OutputFileTest, EveryMergeFormatGetsItsStreamsAndEncoders) {
    const EncoderTest has_encoder = [](std::string_view name) {
        return ff.avcodec_find_encoder_by_name(std::string(name).c_str()) != nullptr;
    };
    for (int format = 0; format < 16; ++format) {
        TOutputChoices choices;
        choices.FormatIndex = format;
        choices.FrameSizeIndex = 0;
        choices.QualityIndex = 3;
        choices.ProcessorCount = 2;
        const std::optional<std::string> options = BuildFinalOutputOptions(choices, 0, has_encoder);
        const std::optional<std::string> suffix = FinalOutputSuffix(format);
        ASSERT_TRUE(options && suffix);
        SCOPED_TRACE(*suffix + ":" + *options);

        ResetTask();
        ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
        ASSERT_EQ(AddInput(media().mono), 1) << task_.LastError;
        const fs::path out = dir_ / ("merger" + *suffix);
        ASSERT_EQ(Open(*options, out), 0) << task_.LastError;
        EXPECT_TRUE(fs::exists(out));
        ASSERT_EQ(Out()->nb_streams, 2u);
        EXPECT_EQ(SourceOf(0), "0:0");
        EXPECT_EQ(SourceOf(1), "1:0");

        const OutputStream& video = OutStream(0);
        const OutputStream& audio = OutStream(1);
        EXPECT_EQ(video.stream->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
        EXPECT_EQ(audio.stream->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
        ASSERT_NE(video.encoder, nullptr);
        ASSERT_NE(audio.encoder, nullptr);
        const std::string video_codec = LastOptionValue(*options, "-c:v");
        const std::string audio_codec = LastOptionValue(*options, "-c:a");
        if (!video_codec.empty()) {
            EXPECT_EQ(video.encoder->name, video_codec);
        } else {
            EXPECT_EQ(video.encoder->id, Out()->oformat->video_codec);
        }
        if (!audio_codec.empty()) {
            EXPECT_EQ(audio.encoder->name, audio_codec);
        } else {
            EXPECT_EQ(audio.encoder->id, Out()->oformat->audio_codec);
        }
        // Quality 3 of the list, and the sizes, rates and channels asked for.
        EXPECT_NE(video.codec_ctx->flags & AV_CODEC_FLAG_QSCALE, 0);
        const std::string size = LastOptionValue(*options, "-s");
        if (!size.empty()) {
            EXPECT_EQ(std::to_string(video.codec_ctx->width) + "x" +
                          std::to_string(video.codec_ctx->height),
                      size);
        }
        const std::string rate = LastOptionValue(*options, "-ar");
        EXPECT_EQ(audio.codec_ctx->sample_rate, rate.empty() ? 0 : std::stoi(rate));
        const std::string channels = LastOptionValue(*options, "-ac");
        EXPECT_EQ(audio.codec_ctx->ch_layout.nb_channels,
                  channels.empty() ? 0 : std::stoi(channels));
    }
}

}  // namespace
}  // namespace tavrin

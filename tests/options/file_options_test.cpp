#include "media/options/file_options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "media/common/error_text.h"
#include "media/runtime/ffmpeg_exception.h"
#include "options/task_test_support.h"

namespace tavrin {
namespace {

using testing::Occurrences;
using testing::OptionTaskTest;
using testing::TempDir;
using Strings = std::vector<std::string>;

class FileOptionsTest : public OptionTaskTest {
protected:
    // Parses and expects a raised error with this message.
    void ExpectRaised(const std::string& options, const std::string& message) {
        SCOPED_TRACE(options);
        NextFile();
        task_.LastError.clear();
        try {
            Parse(options);
            ADD_FAILURE() << "no exception";
        } catch (const FFmpegException& error) {
            EXPECT_EQ(error.what(), message);
        }
        EXPECT_EQ(task_.LastError, message);
    }
};

TEST_F(FileOptionsTest, TimesListsAndQuotedArguments) {
    ASSERT_EQ(Parse("-ss 10 -t 5", "", "input file"), 0) << task_.LastError;
    EXPECT_EQ(ctx_.start_time, 10'000'000);
    EXPECT_EQ(ctx_.recording_time, 5'000'000);
    EXPECT_TRUE(log_.Has(llInfo, "ParseOptions for input file: -ss 10 -t 5"));

    NextFile();
    ASSERT_EQ(Parse("-c:a copy -c:v libx264 -t 1:30 "
                    "-metadata \"title=Two words\" -metadata:s:a:0 language=eng"),
              0)
        << task_.LastError;
    EXPECT_EQ(Occurrences(ctx_.codec_names), (Strings{"a=copy", "v=libx264"}));
    EXPECT_EQ(ctx_.recording_time, 90'000'000);  // minutes:seconds
    EXPECT_EQ(Occurrences(ctx_.metadata), (Strings{"=title=Two words", "s:a:0=language=eng"}));

    // "codec:v" finds the row "codec"; a trailing ":" gives an empty specifier.
    NextFile();
    ASSERT_EQ(Parse("-codec:v libx264 -codec: copy -frames:v 3"), 0) << task_.LastError;
    EXPECT_EQ(Occurrences(ctx_.codec_names), (Strings{"v=libx264", "=copy"}));
    EXPECT_EQ(MatchPerTypeOption(ctx_.codec_names, "v") != nullptr, true);
    EXPECT_EQ(*MatchPerTypeOption(ctx_.codec_names, "v"), "libx264");
    EXPECT_EQ(MatchPerTypeOption(ctx_.codec_names, "a"), nullptr);

    // The same specifier twice: both kept, the later one answers.
    NextFile();
    ASSERT_EQ(Parse("-c:v mpeg4 -c:a aac -c:v libx264"), 0);
    EXPECT_EQ(ctx_.codec_names.size(), 3u);
    EXPECT_EQ(*MatchPerTypeOption(ctx_.codec_names, "v"), "libx264");
}

TEST_F(FileOptionsTest, NoFormsOfFlags) {
    ASSERT_EQ(Parse("-shortest -noshortest -nostats -y"), 0) << task_.LastError;
    EXPECT_EQ(ctx_.shortest, 0);
    EXPECT_EQ(task_.show_stats, 0);  // default -1
    EXPECT_EQ(task_.overwrite_output, 1);

    // "no" before a row that is not a flag is an unknown option.
    NextFile();
    EXPECT_EQ(Parse("-nossfoo"), AVERROR_OPTION_NOT_FOUND);
    NextFile();
    task_.StrictOptions = false;
    EXPECT_EQ(Parse("-noss -y"), 0);
    EXPECT_TRUE(log_.Has(llError, "Unrecognized option \"noss\""));
}

TEST_F(FileOptionsTest, GlobalOptionOfAnInputStaysInForce) {
    ASSERT_EQ(Parse("-y -async 1 -ss 3", "", "input file"), 0) << task_.LastError;
    NextFile();
    ASSERT_EQ(Parse("-t 5", "", "output file"), 0) << task_.LastError;
    EXPECT_EQ(task_.overwrite_output, 1);
    EXPECT_EQ(task_.audio_sync_method, 1);
    EXPECT_EQ(ctx_.start_time, 0);  // per-file values start afresh
    EXPECT_EQ(ctx_.recording_time, 5'000'000);
}

TEST_F(FileOptionsTest, NonStrictTaskSkipsOnlyTheFailingOption) {
    // Strict: the global failure stops the file before its own options.
    EXPECT_EQ(Parse("-report -t 5 -c:v libx264"), AVERROR(EINVAL));
    EXPECT_EQ(ctx_.recording_time, INT64_MAX);

    // Non-strict: the failing global and per-file options are logged and
    // skipped, everything else applies.
    NextFile();
    task_.StrictOptions = false;
    task_.LastError.clear();
    EXPECT_EQ(Parse("-report -t 5 -streamid 3 -c:v libx264 -y"), 0);
    EXPECT_EQ(ctx_.recording_time, 5'000'000);
    EXPECT_EQ(Occurrences(ctx_.codec_names), (Strings{"v=libx264"}));
    EXPECT_EQ(task_.overwrite_output, 1);
    EXPECT_TRUE(log_.Has(llError, "options \"report\" not supported"));
    EXPECT_TRUE(log_.Has(llError, "Invalid value \"3\" for option \"streamid\""));
    EXPECT_TRUE(ctx_.stream_ids.empty());
    EXPECT_EQ(task_.LastError, "");
}

TEST_F(FileOptionsTest, PresetsTextWithLineMarkers) {
    ASSERT_EQ(Parse("", "vcodec=libx264<CRLF># a comment<CRLF>crf=20"), 0) << task_.LastError;
    EXPECT_EQ(Occurrences(ctx_.codec_names), (Strings{"v=libx264"}));
    EXPECT_EQ(CodecOption("crf"), "20");
    EXPECT_TRUE(log_.Has(llInfo, "ParsePresets for output file:\nvcodec=libx264"));
    EXPECT_TRUE(log_.Has(llDebug, "Applying preset crf with argument 20."));

    // Real line breaks of every kind, letter case of the codec keys, blanks.
    NextFile();
    ASSERT_EQ(Parse("-t 2", "  ACodec = aac\r\nprobesize=5000000\rg=12\n\n"), 0) << task_.LastError;
    EXPECT_EQ(Occurrences(ctx_.codec_names), (Strings{"a=aac"}));
    EXPECT_EQ(FormatOption("probesize"), "5000000");
    EXPECT_EQ(CodecOption("g"), "12");

    // The options text overrides a preset, for table and library options.
    NextFile();
    ASSERT_EQ(Parse("-c:v mpeg4 -crf 30", "vcodec=libx264<CRLF>crf=20"), 0) << task_.LastError;
    EXPECT_EQ(*MatchPerTypeOption(ctx_.codec_names, "v"), "mpeg4");
    EXPECT_EQ(CodecOption("crf"), "30");
}

TEST_F(FileOptionsTest, BadPresetLinesFailStrictTasksOnly) {
    // An empty key.
    EXPECT_EQ(Parse("", "crf=20<CRLF>=5"), AVERROR(EINVAL));
    EXPECT_EQ(task_.LastError, "Invalid syntax: \"=5\"\n" + ErrorText(AVERROR(EINVAL)));
    EXPECT_TRUE(log_.Has(llError, "Invalid syntax: \"=5\""));

    // An unknown key.
    NextFile();
    EXPECT_EQ(Parse("-t 1", "nosuchoption=1"), AVERROR_OPTION_NOT_FOUND);
    EXPECT_NE(task_.LastError.find("Invalid option or argument: \"nosuchoption=1\", parsed as "
                                   "\"nosuchoption\" = \"1\""),
              std::string::npos)
        << task_.LastError;
    // The per-file options after the presets were not applied.
    EXPECT_EQ(ctx_.recording_time, INT64_MAX);

    // Non-strict: logged, the rest applies.
    NextFile();
    task_.StrictOptions = false;
    task_.LastError.clear();
    EXPECT_EQ(Parse("-t 1", "=5<CRLF>nosuchoption=1<CRLF>missing<CRLF>crf=21"), 0);
    EXPECT_EQ(task_.LastError, "");
    EXPECT_TRUE(log_.Has(llError, "Invalid syntax: \"missing\""));
    EXPECT_EQ(CodecOption("crf"), "21");
    EXPECT_EQ(ctx_.recording_time, 1'000'000);
}

TEST_F(FileOptionsTest, PresetFiles) {
    TempDir dir;
    const std::string good = (dir / "good.ffpreset").string();
    std::ofstream(good) << "# video settings\r\nvcodec=libx264\r\ncrf=18\r\n\r\ng=25\n";
    ASSERT_EQ(Parse("-vpre \"" + good + "\""), 0) << task_.LastError;
    EXPECT_TRUE(log_.Has(llInfo, "Parse preset file: " + good));
    EXPECT_EQ(Occurrences(ctx_.codec_names), (Strings{"v=libx264"}));
    EXPECT_EQ(CodecOption("crf"), "18");
    EXPECT_EQ(CodecOption("g"), "25");

    // A file that does not exist.
    NextFile();
    const std::string missing = (dir / "missing.ffpreset").string();
    EXPECT_EQ(Parse("-fpre " + missing), AVERROR(EINVAL));
    EXPECT_EQ(task_.LastError.rfind("Preset file \"" + missing + "\" not found\n", 0), 0u)
        << task_.LastError;

    // A folder is no preset file either.
    NextFile();
    EXPECT_EQ(Parse("-apre " + dir.path().string()), AVERROR(EINVAL));

    // A bad line names the file: the path for syntax, the file name otherwise.
    NextFile();
    const std::string bad = (dir / "bad.ffpreset").string();
    std::ofstream(bad) << "crf=18\nnot a line\n";
    EXPECT_EQ(Parse("-spre " + bad), AVERROR(EINVAL));
    EXPECT_NE(task_.LastError.find(bad + ": Invalid syntax: \"not a line\""), std::string::npos)
        << task_.LastError;
    NextFile();
    std::ofstream(bad) << "nosuchkey=1\n";
    EXPECT_LT(Parse("-spre " + bad), 0);
    EXPECT_NE(task_.LastError.find("bad.ffpreset: Invalid option or argument: \"nosuchkey=1\""),
              std::string::npos)
        << task_.LastError;

    // A binary file: a failure with a message, strict or not, never a crash.
    const std::string binary = (dir / "binary.ffpreset").string();
    {
        std::ofstream out(binary, std::ios::binary);
        std::mt19937 random(7);
        for (int i = 0; i < 64 * 1024; ++i) {
            out.put(static_cast<char>(random() & 0xFF));
        }
    }
    NextFile();
    EXPECT_LT(Parse("-fpre " + binary), 0);
    EXPECT_NE(task_.LastError.find(binary), std::string::npos) << task_.LastError.substr(0, 200);
    NextFile();
    task_.StrictOptions = false;
    EXPECT_EQ(Parse("-fpre " + binary + " -t 4"), 0);
    EXPECT_EQ(ctx_.recording_time, 4'000'000);
}

TEST_F(FileOptionsTest, LibraryOptionsLandInTheFilesGroup) {
    TFFOptions& options = task_.Options();
    // Something pending from elsewhere must survive untouched.
    ASSERT_GE(ff.av_dict_set(options.codec_opts.Address(), "keyint_min", "3", 0), 0);

    EXPECT_EQ(OptDefaultForFile(task_, ctx_, "crf", "23"), 0);
    EXPECT_EQ(OptDefaultForFile(task_, ctx_, "probesize", "32768"), 0);
    EXPECT_EQ(OptDefaultForFile(task_, ctx_, "sws_flags", "bilinear"), 0);
    EXPECT_EQ(OptDefaultForFile(task_, ctx_, "dither_method", "triangular"), 0);
    EXPECT_EQ(OptDefaultForFile(task_, ctx_, "no_such_option_anywhere", "1"),
              AVERROR_OPTION_NOT_FOUND);

    EXPECT_EQ(CodecOption("crf"), "23");
    EXPECT_EQ(FormatOption("probesize"), "32768");
    EXPECT_EQ(DictValue(ctx_.group->swr_opts.Get(), "dither_method"), "triangular");
    EXPECT_EQ(CodecOption("keyint_min"), "<none>");
    EXPECT_EQ(DictValue(options.codec_opts.Get(), "keyint_min"), "3");
    EXPECT_EQ(DictValue(options.codec_opts.Get(), "crf"), "<none>");
    EXPECT_EQ(DictValue(options.format_opts.Get(), "probesize"), "<none>");
}

TEST_F(FileOptionsTest, PerStreamLookUpOnARealFile) {
    TempDir dir;
    const auto clip = testing::MakeVideoWithAudio(dir, "clip.mp4", 0.5);
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(ff.avformat_open_input(&raw, clip.c_str(), nullptr, nullptr), 0);
    const InputFormatContextPtr input(raw);
    ASSERT_GE(input->nb_streams, 2u);
    AVStream* video = nullptr;
    AVStream* audio = nullptr;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVMediaType type = input->streams[i]->codecpar->codec_type;
        (type == AVMEDIA_TYPE_VIDEO ? video : audio) = input->streams[i];
    }
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);

    ASSERT_EQ(Parse("-r 30 -r:v 25 -r:a 8 -r:v:0 24 -r:s 1", "", "input file"), 0);
    const SpecifierValue* for_video =
        MatchPerStreamOption(task_, input.get(), video, ctx_.frame_rates);
    const SpecifierValue* for_audio =
        MatchPerStreamOption(task_, input.get(), audio, ctx_.frame_rates);
    ASSERT_NE(for_video, nullptr);
    ASSERT_NE(for_audio, nullptr);
    EXPECT_EQ(for_video->str, "24");
    EXPECT_EQ(for_audio->str, "8");
    const SpecifierList none;
    EXPECT_EQ(MatchPerStreamOption(task_, input.get(), video, none), nullptr);

    // An invalid specifier is a raised error of the task.
    const SpecifierList invalid = {{"v:nonsense", "1"}};
    EXPECT_THROW(MatchPerStreamOption(task_, input.get(), video, invalid), FFmpegException);
    EXPECT_EQ(task_.LastError.rfind("check_stream_specifier: ", 0), 0u) << task_.LastError;
}

TEST_F(FileOptionsTest, BadInputEndsInAMessageNeverACrash) {
    // Numbers that overflow or carry units are raised in both modes.
    ExpectRaised("-ar 99999999999", "Expected integer for \"ar\" but found \"99999999999\"");
    ExpectRaised("-fs 99999999999999999999999",
                 "Expected int64 for \"fs\" but found \"99999999999999999999999\"");
    ExpectRaised("-ac 2k", "Expected integer for \"ac\" but found \"2k\"");
    task_.StrictOptions = false;
    ExpectRaised("-t 1:xx", "Invalid duration specification for \"t\": \"1:xx\"");
    task_.StrictOptions = true;

    // An unterminated quote runs to the end of the text.
    NextFile();
    ASSERT_EQ(Parse("-metadata \"title=open end"), 0);
    EXPECT_EQ(Occurrences(ctx_.metadata), (Strings{"=title=open end"}));

    // A stray token and a lone "-".
    NextFile();
    EXPECT_EQ(Parse("-t 1 stray"), AVERROR(EINVAL));
    EXPECT_NE(task_.LastError.find("Failed to parse options on stray"), std::string::npos);
    NextFile();
    EXPECT_EQ(Parse("- -t 1"), AVERROR(EINVAL));

    // Absurdly long texts.
    NextFile();
    const std::string long_name = "-" + std::string(200000, 'z');
    EXPECT_EQ(Parse(long_name), AVERROR_OPTION_NOT_FOUND);
    EXPECT_FALSE(task_.LastError.empty());
    NextFile();
    std::string many;
    for (int i = 0; i < 5000; ++i) {
        many += "-metadata k" + std::to_string(i) + "=v ";
    }
    log_.Logger().SetLogLevel(llError);  // spare the capture 15000 debug lines
    ASSERT_EQ(Parse(many), 0);
    EXPECT_EQ(ctx_.metadata.size(), 5000u);
    log_.Logger().SetLogLevel(llDebug);

    // Arbitrary bytes, strict and not: a result or a raised error, no crash.
    std::mt19937 random(99);
    const char alphabet[] = "-\"\\ \t:=acdfnstvy0123456789\x01\xff";
    for (int round = 0; round < 300; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 80);
        for (int i = 0; i < length; ++i) {
            text += alphabet[random() % (sizeof(alphabet) - 1)];
        }
        NextFile();
        task_.StrictOptions = (round % 2) == 0;
        task_.LastError.clear();
        try {
            const int result = Parse(text, round % 3 == 0 ? text : "");
            if (result < 0) {
                EXPECT_FALSE(task_.LastError.empty()) << text;
            }
            if (!task_.StrictOptions) {
                EXPECT_EQ(result, 0) << text;
            }
        } catch (const FFmpegException& error) {
            EXPECT_EQ(task_.LastError, error.what()) << text;
        }
    }
}

}  // namespace
}  // namespace tavrin

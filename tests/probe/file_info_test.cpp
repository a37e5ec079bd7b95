// The information text and the records of generated files, checked line by
// line and against ffprobe on the same files.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "media/common/text_helpers.h"
#include "probe/probe_test_support.h"

namespace tavrin::testing {
namespace {

class FileInfoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { LoadDecoderLibraries(); }

    // Index of the first line starting with `prefix` at or after `from`; -1 when none.
    static int FindLine(const std::vector<std::string>& lines, const std::string& prefix,
                        int from = 0) {
        for (int i = from; i < static_cast<int>(lines.size()); ++i) {
            if (lines[i].rfind(prefix, 0) == 0) {
                return i;
            }
        }
        return -1;
    }

    TempDir dir_;
    TVEVarazez decoder_;
};

TEST_F(FileInfoTest, VideoWithAudioMp4AgreesWithFfprobe) {
    const auto file = MakeShortMp4(dir_);
    auto probe = ProbeValues(file);
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();

    const auto lines = TextLines(decoder_.FileInfoText());
    ASSERT_GE(lines.size(), 12u);
    EXPECT_EQ(lines[0], "File Name: " + file.string());
    EXPECT_EQ(lines[1], "Format Name: " + probe["format.format_name"]);
    EXPECT_EQ(lines[2], "Format Long Name: " + probe["format.format_long_name"]);
    const int64_t size = std::stoll(probe["format.size"]);
    char size_text[64];
    std::snprintf(size_text, sizeof size_text, "File Size: %.2f KB", size / 1024.0);
    EXPECT_EQ(lines[3], size_text);
    EXPECT_EQ(lines[4], "Metadata:");
    EXPECT_EQ(lines[5], "  major_brand     : " + probe["format.tags.major_brand"]);
    EXPECT_EQ(lines[6], "  minor_version   : " + probe["format.tags.minor_version"]);
    EXPECT_EQ(lines[7], "  compatible_brands: " + probe["format.tags.compatible_brands"]);
    EXPECT_EQ(lines[8], "  encoder         : " + probe["format.tags.encoder"]);

    const int64_t duration = Microseconds(probe["format.duration"]);
    const int64_t bit_rate = std::stoll(probe["format.bit_rate"]);
    EXPECT_EQ(lines[9], "Duration: " + FormatTimestamp(duration) + ", start: 0.000000, bitrate: " +
                            std::to_string(bit_rate / 1000) + " kb/s");

    // Video stream line, its metadata block, then the audio stream line.
    const int video = FindLine(lines, "  Stream #0");
    ASSERT_EQ(video, 10);
    const std::string& video_line = lines[video];
    EXPECT_EQ(
        video_line.rfind(
            "  Stream #0[0x1](und), " + probe["streams.stream.0.time_base"] + ": Video: mpeg4", 0),
        0u)
        << video_line;
    EXPECT_NE(video_line.find("160x120"), std::string::npos) << video_line;
    const AVRational video_base{1, std::stoi(probe["streams.stream.0.time_base"].substr(2))};
    const std::string video_tail =
        ", 25 fps, 25 tbr, 12800 tbn (default), start: 0.000000, duration: " +
        FormatStreamTime(std::stoll(probe["streams.stream.0.duration_ts"]), video_base);
    EXPECT_TRUE(video_line.ends_with(video_tail)) << video_line << "\nwanted end: " << video_tail;
    EXPECT_EQ(lines[video + 1], "  Metadata:");
    EXPECT_EQ(lines[video + 2], "    handler_name    : VideoHandler");
    const int audio = FindLine(lines, "  Stream #1", video + 1);
    ASSERT_GT(audio, video);
    EXPECT_EQ(lines[audio].rfind("  Stream #1[0x2](und), 1/44100: Audio: aac (LC)", 0), 0u)
        << lines[audio];
    EXPECT_NE(lines[audio].find("44100 Hz, mono"), std::string::npos) << lines[audio];

    // Records and counts.
    EXPECT_EQ(decoder_.FileSize(), size);
    EXPECT_EQ(decoder_.StreamCount(), std::stoi(probe["format.nb_streams"]));
    EXPECT_EQ(decoder_.ProgramCount(), 0);
    EXPECT_EQ(decoder_.VideoStreamCount(), 1);
    EXPECT_EQ(decoder_.AudioStreamCount(), 1);
    EXPECT_EQ(decoder_.SubtitleStreamCount(), 0);
    EXPECT_EQ(decoder_.FirstVideoStreamIndex(), 0);
    EXPECT_EQ(decoder_.FirstAudioStreamIndex(), 1);
    EXPECT_EQ(decoder_.FirstSubtitleStreamIndex(), -1);

    TFileStreamInfo file_info;
    decoder_.GetFileStreamInfo(file_info);
    EXPECT_EQ(file_info.Duration, duration);
    EXPECT_EQ(file_info.StartTime, 0);
    EXPECT_EQ(file_info.BitRate, bit_rate);

    TVideoStreamInfo video_info;
    decoder_.GetVideoStreamInfo(video_info);
    EXPECT_EQ(video_info.Language, "und");
    EXPECT_EQ(video_info.CodecName, "mpeg4(MPEG-4 part 2)");
    EXPECT_EQ(video_info.Width, std::stoi(probe["streams.stream.0.width"]));
    EXPECT_EQ(video_info.Height, std::stoi(probe["streams.stream.0.height"]));
    EXPECT_EQ(video_info.StreamStartTime, 0);
    EXPECT_EQ(video_info.StreamDuration, std::stoll(probe["streams.stream.0.duration_ts"]));
    EXPECT_EQ(video_info.Duration, Microseconds(probe["streams.stream.0.duration"]));
    EXPECT_EQ(video_info.BitRate, std::stoi(probe["streams.stream.0.bit_rate"]));
    EXPECT_EQ(video_info.FrameRate.num, 25);
    EXPECT_EQ(video_info.FrameRate.den, 1);
    EXPECT_EQ(video_info.PixelFormat, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(video_info.SampleAspectRatio.num, 1);
    EXPECT_EQ(video_info.DisplayAspectRatio.num, 4);
    EXPECT_EQ(video_info.DisplayAspectRatio.den, 3);
    EXPECT_FLOAT_EQ(video_info.DisplayAspectRatioValue, 4.0f / 3.0f);

    TAudioStreamInfo audio_info;
    decoder_.GetAudioStreamInfo(-1, audio_info);
    EXPECT_EQ(audio_info.SampleRate, std::stoi(probe["streams.stream.1.sample_rate"]));
    EXPECT_EQ(audio_info.Channels, std::stoi(probe["streams.stream.1.channels"]));
    EXPECT_EQ(audio_info.SampleFormat, AV_SAMPLE_FMT_FLTP);
    EXPECT_EQ(audio_info.BitRate, std::stoi(probe["streams.stream.1.bit_rate"]));
    EXPECT_EQ(audio_info.StreamDuration, std::stoll(probe["streams.stream.1.duration_ts"]));
    EXPECT_EQ(audio_info.Duration, Microseconds(probe["streams.stream.1.duration"]));
    EXPECT_TRUE(decoder_.IsVideoStream(0));
    EXPECT_TRUE(decoder_.IsAudioStream(1));
    EXPECT_FALSE(decoder_.IsAudioStream(0));
}

TEST_F(FileInfoTest, Mp3WithTagsShowsTagsStartAndWholeNumbers) {
    const auto file = dir_ / "tagged.mp3";
    RunFfmpeg(
        "-f lavfi -i sine=duration=1 -c:a libmp3lame -metadata title=Song "
        "-metadata album=Album -metadata genre=Rock -metadata track=3/12 "
        "-metadata date=2021 " +
        ShellQuote(file.string()));
    auto probe = ProbeValues(file);
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();

    const auto lines = TextLines(decoder_.FileInfoText());
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[1], "Format Name: mp3");
    const int metadata = FindLine(lines, "Metadata:");
    ASSERT_EQ(metadata, 4);
    EXPECT_EQ(lines[5], "  title           : Song");
    EXPECT_EQ(lines[6], "  album           : Album");
    EXPECT_EQ(lines[7], "  genre           : Rock");
    EXPECT_EQ(lines[8], "  track           : 3/12");
    EXPECT_EQ(lines[9], "  date            : 2021");

    const int64_t start = Microseconds(probe["format.start_time"]);
    char start_text[32];
    std::snprintf(start_text, sizeof start_text, "%d.%06d", static_cast<int>(start / 1000000),
                  static_cast<int>(start % 1000000));
    const int duration_line = FindLine(lines, "Duration: ");
    ASSERT_GT(duration_line, 0);
    EXPECT_EQ(lines[duration_line],
              "Duration: " + FormatTimestamp(Microseconds(probe["format.duration"])) +
                  ", start: " + start_text + ", bitrate: " +
                  std::to_string(std::stoll(probe["format.bit_rate"]) / 1000) + " kb/s");
    EXPECT_EQ(lines.back().rfind("  Stream #0, 1/14112000: Audio: mp3, 44100 Hz, mono", 0), 0u)
        << lines.back();

    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    EXPECT_EQ(info.Title, "Song");
    EXPECT_EQ(info.Album, "Album");
    EXPECT_EQ(info.Genre, "Rock");
    EXPECT_EQ(info.Author, "");
    EXPECT_EQ(info.Track, 0) << "a track written as 3/12 is not a whole number";
    EXPECT_EQ(info.Year, 0) << "no \"year\" tag";
    EXPECT_EQ(info.StartTime, start);
    EXPECT_EQ(info.Duration, Microseconds(probe["format.duration"]));

    TAudioStreamInfo audio;
    decoder_.GetAudioStreamInfo(-1, audio);
    EXPECT_EQ(audio.CodecName, "mp3float(MP3 (MPEG audio layer 3))");
    EXPECT_EQ(audio.StreamStartTime, std::stoll(probe["streams.stream.0.start_pts"]));
    EXPECT_EQ(audio.StartTime, Microseconds(probe["streams.stream.0.start_time"]));
    EXPECT_EQ(audio.SampleRate, 44100);
    EXPECT_EQ(audio.Channels, 1);
}

TEST_F(FileInfoTest, WavWithoutStartTimeLeavesStartOut) {
    const auto file = dir_ / "tone.wav";
    RunFfmpeg("-f lavfi -i sine=duration=1:sample_rate=22050 -ac 2 " + ShellQuote(file.string()));
    auto probe = ProbeValues(file);
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();

    const auto lines = TextLines(decoder_.FileInfoText());
    const int duration_line = FindLine(lines, "Duration: ");
    ASSERT_GT(duration_line, 0);
    EXPECT_EQ(lines[duration_line],
              "Duration: " + FormatTimestamp(Microseconds(probe["format.duration"])) +
                  ", bitrate: " + std::to_string(std::stoll(probe["format.bit_rate"]) / 1000) +
                  " kb/s");
    EXPECT_EQ(
        lines[duration_line + 1],
        "  Stream #0, 1/22050: Audio: pcm_s16le ([1][0][0][0] / 0x0001), 22050 Hz, 2 channels, "
        "s16, 705 kb/s, duration: " +
            FormatTimestamp(Microseconds(probe["streams.stream.0.duration"])));

    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    EXPECT_EQ(info.StartTime, AV_NOPTS_VALUE);
    TAudioStreamInfo audio;
    decoder_.GetAudioStreamInfo(0, audio);
    EXPECT_EQ(audio.StreamStartTime, AV_NOPTS_VALUE);
    EXPECT_EQ(audio.StartTime, -1);
    EXPECT_EQ(audio.StreamDuration, std::stoll(probe["streams.stream.0.duration_ts"]));
    EXPECT_EQ(audio.Channels, 2);
    EXPECT_EQ(audio.SampleRate, 22050);
    EXPECT_EQ(audio.SampleFormat, AV_SAMPLE_FMT_S16);
    EXPECT_EQ(decoder_.FileSize(), std::stoll(probe["format.size"]));
}

TEST_F(FileInfoTest, MatroskaWithChaptersAndMultiLineMetadata) {
    const auto source = MakeShortMp4(dir_);
    const auto metadata = dir_ / "meta.txt";
    std::ofstream(metadata) << ";FFMETADATA1\ntitle=My Movie\nyear=2020\ntrack=7\n"
                               "comment=line one\\\nline two\n"
                               "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=Intro\n"
                               "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=1500\ntitle=Main\n";
    const auto file = dir_ / "chapters.mkv";
    RunFfmpeg("-i " + ShellQuote(source.string()) + " -i " + ShellQuote(metadata.string()) +
              " -map 0 -map_metadata 1 -map_chapters 1 -c copy " + ShellQuote(file.string()));
    auto probe = ProbeValues(file);
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();

    const auto lines = TextLines(decoder_.FileInfoText());
    const int title = FindLine(lines, "  title           : My Movie");
    ASSERT_GT(title, 0);
    EXPECT_EQ(lines[title - 1], "Metadata:");
    const int comment = FindLine(lines, "  COMMENT         : line one");
    ASSERT_GT(comment, 0);
    EXPECT_EQ(lines[comment + 1], "                  : line two");

    const int chapter = FindLine(lines, "Chapter #0: ");
    ASSERT_GT(chapter, 0);
    EXPECT_EQ(FindLine(lines, "Duration: "), chapter - 1);
    EXPECT_EQ(lines[chapter], "Chapter #0: start 0.000000, end 1.000000");
    EXPECT_EQ(lines[chapter + 1], "  Metadata:");
    EXPECT_EQ(lines[chapter + 2], "    title           : Intro");
    EXPECT_EQ(lines[chapter + 3], "Chapter #1: start 1.000000, end 1.500000");
    EXPECT_EQ(lines[chapter + 5], "    title           : Main");
    EXPECT_EQ(lines[chapter + 6].rfind("  Stream #0, 1/1000: Video: mpeg4", 0), 0u);
    EXPECT_EQ(probe["chapters.chapter.1.end_time"], "1.500000");

    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    EXPECT_EQ(info.Title, "My Movie");
    EXPECT_EQ(info.Year, 2020);
    EXPECT_EQ(info.Track, 7);
    EXPECT_EQ(info.Comment, "line one\nline two");
    EXPECT_EQ(info.Duration, Microseconds(probe["format.duration"]));

    // Matroska tracks carry no duration of their own.
    EXPECT_EQ(probe.count("streams.stream.0.duration_ts"), 1u);
    EXPECT_EQ(probe["streams.stream.0.duration_ts"], "N/A");
    TVideoStreamInfo video;
    decoder_.GetVideoStreamInfo(video);
    EXPECT_EQ(video.StreamDuration, AV_NOPTS_VALUE);
    EXPECT_EQ(video.Duration, -1);
    EXPECT_EQ(lines[chapter + 6].find(", duration: "), std::string::npos);
}

TEST_F(FileInfoTest, TransportStreamListsProgramsIdsAndLanguageOnlyStreams) {
    const auto source = MakeShortMp4(dir_);
    const auto file = dir_ / "program.ts";
    RunFfmpeg("-i " + ShellQuote(source.string()) +
              " -map 0 -c copy -map_metadata -1 -metadata:s:a:0 language=eng "
              "-metadata service_name=Tavrin " +
              ShellQuote(file.string()));
    auto probe = ProbeValues(file);
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();
    EXPECT_EQ(decoder_.ProgramCount(), 1);

    const auto lines = TextLines(decoder_.FileInfoText());
    const int program = FindLine(lines, "Program ");
    ASSERT_GT(program, 0);
    // The program line names the "name" tag, which MPEG-TS does not set.
    EXPECT_EQ(lines[program], "Program 1 ");
    EXPECT_EQ(lines[program + 1], "  Metadata:");
    EXPECT_EQ(lines[program + 2], "    service_name    : Tavrin");
    const int audio = FindLine(lines, "  Stream #1[0x101](eng), 1/90000: Audio: aac (LC)");
    ASSERT_GT(audio, program);
    // The audio stream's only metadata is its language: no block follows.
    EXPECT_EQ(audio + 1, static_cast<int>(lines.size()));
    EXPECT_EQ(FindLine(lines, "No Program"), -1);

    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    EXPECT_EQ(info.StartTime, Microseconds(probe["format.start_time"]));
    TAudioStreamInfo audio_info;
    decoder_.GetAudioStreamInfo(-1, audio_info);
    EXPECT_EQ(audio_info.Language, "eng");
    EXPECT_EQ(audio_info.StreamStartTime, std::stoll(probe["streams.stream.1.start_pts"]));
}

TEST_F(FileInfoTest, UnknownDurationAndBitRateShowNotAvailable) {
    const auto source = MakeShortMp4(dir_);
    const auto file = dir_ / "raw.m4v";
    RunFfmpeg("-i " + ShellQuote(source.string()) + " -an -c:v copy -f m4v " +
              ShellQuote(file.string()));
    EXPECT_EQ(ProbeValues(file)["format.duration"], "N/A");
    ASSERT_TRUE(decoder_.LoadFile(file.string())) << decoder_.LastErrorText();

    const auto lines = TextLines(decoder_.FileInfoText());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Duration: N/A, start: 0.000000, bitrate: N/A"),
              lines.end());
    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    EXPECT_EQ(info.Duration, -1);
    EXPECT_EQ(info.BitRate, 0);
}

TEST_F(FileInfoTest, FileSizeSwitchesUnitAbove1024BytesWithForcedFormat) {
    struct Case {
        size_t bytes;
        const char* line;
    };
    for (const Case& c : {Case{1024, "File Size: 1024 Byte"}, Case{1025, "File Size: 1.00 KB"},
                          Case{1048577, "File Size: 1.00 MB"}}) {
        const auto file = dir_ / ("silence-" + std::to_string(c.bytes) + ".raw");
        std::ofstream(file, std::ios::binary) << std::string(c.bytes, '\0');
        ASSERT_TRUE(decoder_.LoadFile(file.string(), "s16le")) << decoder_.LastErrorText();
        EXPECT_EQ(decoder_.FormatName(), "s16le");
        EXPECT_EQ(decoder_.FileSize(), static_cast<int64_t>(c.bytes));
        const auto lines = TextLines(decoder_.FileInfoText());
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[1], "Format Name: s16le");
        EXPECT_EQ(lines[3], c.line);
    }
    decoder_.CloseFile();
    EXPECT_EQ(decoder_.FormatName(), "");
}

}  // namespace
}  // namespace tavrin::testing

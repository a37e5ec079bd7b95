// tavrin-transcode end to end on generated files: the merge application's
// formats against the ffmpeg program, joins, time limits, filters, frame
// rates, two-pass encoding, size and frame limits, failures and bad input.
// Written files are checked with ffprobe and, where it fits, with our own
// decoder component.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/core/merge_plan.h"
#include "core/merge_test_support.h"
#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"
#include "media/probe/decoder_component.h"
#include "media/runtime/loader.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = ProgramPath("tavrin-transcode");

// Runs tavrin-transcode with the arguments (shell words); its exit status,
// and its standard error in `log` when given.
int Transcode(const std::string& arguments, std::string* log = nullptr) {
    std::string output;
    const int status = RunCommand(kProgram + " -loglevel error " + arguments + " 2>&1", &output);
    // In the sanitizer build a finding ends the program with status 1, which
    // a failing task also gives: look for the report itself.
    EXPECT_EQ(output.find("ERROR: AddressSanitizer"), std::string::npos) << output;
    EXPECT_EQ(output.find("runtime error:"), std::string::npos) << output;
    if (log != nullptr) {
        *log = output;
    }
    return status;  // -1 when the program did not exit normally
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

double ToDouble(const std::string& text) {
    try {
        return std::stod(text);
    } catch (const std::exception&) {
        return -1;
    }
}

struct StreamFacts {
    std::string type;
    std::string codec;
    std::string frame_rate;  // r_frame_rate as "num/den"
};

struct FileFacts {
    std::string format;
    double duration = -1;
    std::vector<StreamFacts> streams;
};

FileFacts Probe(const fs::path& file) {
    FileFacts facts;
    const std::string quoted = ShellQuote(file.string());
    for (const std::string& line :
         Lines(RunFfprobe("-v error -show_entries stream=codec_type,codec_name,r_frame_rate -of "
                          "csv=p=0 " +
                          quoted))) {
        std::vector<std::string> parts;
        std::stringstream in(line);
        std::string part;
        while (std::getline(in, part, ',')) {
            parts.push_back(part);
        }
        if (parts.size() >= 3) {
            facts.streams.push_back({parts[1], parts[0], parts[2]});
        }
    }
    for (const std::string& line : Lines(RunFfprobe(
             "-v error -show_entries format=format_name,duration -of default=nw=1 " + quoted))) {
        if (line.rfind("format_name=", 0) == 0) {
            facts.format = line.substr(12);
        } else if (line.rfind("duration=", 0) == 0) {
            facts.duration = ToDouble(line.substr(9));
        }
    }
    return facts;
}

// Time from the first packet's start to the last packet's end of the first
// stream of `type` ("a" or "v"), in seconds.
double StreamSpan(const fs::path& file, const std::string& type) {
    double start = 1e9;
    double end = -1;
    for (const std::string& line :
         Lines(RunFfprobe("-v error -select_streams " + type +
                          ":0 -show_entries packet=pts_time,duration_time -of csv=p=0 " +
                          ShellQuote(file.string())))) {
        const std::size_t comma = line.find(',');
        if (line.rfind("N/A", 0) == 0) {
            continue;  // a packet without presentation time
        }
        const double pts = ToDouble(line.substr(0, comma));
        const double duration = comma == std::string::npos ? 0 : ToDouble(line.substr(comma + 1));
        start = std::min(start, pts);
        end = std::max(end, pts + std::max(duration, 0.0));
    }
    return end < 0 ? -1 : end - start;
}

int CountFrames(const fs::path& file, const std::string& type) {
    const std::string text = RunFfprobe("-v error -count_frames -select_streams " + type +
                                        ":0 -show_entries stream=nb_read_frames -of csv=p=0 " +
                                        ShellQuote(file.string()));
    return static_cast<int>(ToDouble(text));
}

// The colour of the picture shown at `seconds`, scaled to one RGB pixel.
std::optional<std::array<int, 3>> PixelAt(const fs::path& file, double seconds) {
    std::string bytes;
    RunCommand("ffmpeg -v error -ss " + std::to_string(seconds) + " -i " +
                   ShellQuote(file.string()) +
                   " -frames:v 1 -vf scale=1:1 -f rawvideo -pix_fmt rgb24 -",
               &bytes);
    if (bytes.size() < 3) {
        return std::nullopt;
    }
    return std::array<int, 3>{static_cast<unsigned char>(bytes[0]),
                              static_cast<unsigned char>(bytes[1]),
                              static_cast<unsigned char>(bytes[2])};
}

double FrameRateValue(const std::string& rate) {
    const std::size_t slash = rate.find('/');
    if (slash == std::string::npos) {
        return ToDouble(rate);
    }
    const double den = ToDouble(rate.substr(slash + 1));
    return den > 0 ? ToDouble(rate.substr(0, slash)) / den : -1;
}

// Generated once for the whole suite.
class TranscodeCliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        video_ = dir_->path() / "video.mp4";
        RunFfmpeg(
            "-f lavfi -i testsrc=size=320x240:rate=25:duration=5 -f lavfi -i "
            "sine=frequency=440:sample_rate=44100:duration=5 -c:v mpeg4 -q:v 4 -c:a aac -b:a 64k "
            "-shortest " +
            ShellQuote(video_.string()));
        audio_ = MakeTone(*dir_, "audio.mp3", 4.0, 1000);
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static fs::path Out(const std::string& name) { return dir_->path() / name; }
    static std::string Q(const fs::path& path) { return ShellQuote(path.string()); }

    static std::unique_ptr<TempDir> dir_;
    static fs::path video_;
    static fs::path audio_;
};

std::unique_ptr<TempDir> TranscodeCliTest::dir_;
fs::path TranscodeCliTest::video_;
fs::path TranscodeCliTest::audio_;

// --- The merge application's formats ------------------------------------------

class FinalFormatTest : public TranscodeCliTest, public ::testing::WithParamInterface<int> {};

TEST_P(FinalFormatTest, MatchesTheFfmpegProgram) {
    ASSERT_TRUE(FFLoader().LibrarySetLoaded(EncoderLibs) || FFLoader().LoadLibs(EncoderLibs))
        << FFLoader().LastErrorText();
    const EncoderTest has_encoder = [](std::string_view name) {
        return ff.avcodec_find_encoder_by_name(std::string(name).c_str()) != nullptr;
    };
    TOutputChoices choices;
    choices.FormatIndex = GetParam();
    choices.FrameSizeIndex = 0;
    choices.UseVideoQuality = false;
    const std::optional<std::string> options = BuildFinalOutputOptions(choices, 0, has_encoder);
    const std::optional<std::string> suffix = FinalOutputSuffix(GetParam());
    ASSERT_TRUE(options && suffix);
    SCOPED_TRACE(*options);

    const fs::path ours = Out("ours-" + std::to_string(GetParam()) + *suffix);
    const fs::path theirs = Out("theirs-" + std::to_string(GetParam()) + *suffix);
    std::string log;
    ASSERT_EQ(
        Transcode("-i " + Q(video_) + " -i " + Q(audio_) + " " + *options + " " + Q(ours), &log), 0)
        << log;
    ASSERT_TRUE(
        RunFfmpeg("-i " + Q(video_) + " -i " + Q(audio_) + " " + *options + " " + Q(theirs)));

    const FileFacts our_facts = Probe(ours);
    const FileFacts their_facts = Probe(theirs);
    EXPECT_EQ(our_facts.format, their_facts.format);
    ASSERT_EQ(our_facts.streams.size(), 2u);
    ASSERT_EQ(their_facts.streams.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(our_facts.streams[i].type, their_facts.streams[i].type);
        EXPECT_EQ(our_facts.streams[i].codec, their_facts.streams[i].codec);
    }
    // The audio is the 4 s tone of input 1, not the 5 s track of input 0.
    EXPECT_NEAR(StreamSpan(ours, "a"), 4.0, 0.25);
    EXPECT_NEAR(StreamSpan(ours, "v"), 5.0, 0.25);

    const std::size_t video = our_facts.streams[0].type == "video" ? 0 : 1;
    const double rate = FrameRateValue(their_facts.streams[video].frame_rate);
    const double frame = rate > 0 ? 1.0 / rate : 0.04;
    const double our_duration = our_facts.duration > 0
                                    ? our_facts.duration
                                    : std::max(StreamSpan(ours, "v"), StreamSpan(ours, "a"));
    const double their_duration = their_facts.duration > 0
                                      ? their_facts.duration
                                      : std::max(StreamSpan(theirs, "v"), StreamSpan(theirs, "a"));
    EXPECT_NEAR(our_duration, their_duration, frame + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, FinalFormatTest, ::testing::Range(0, 16));

// --- Joins ---------------------------------------------------------------------

TEST_F(TranscodeCliTest, JoinOfThreeMp3FilesIsCutToEightSeconds) {
    std::vector<fs::path> parts;
    for (int i = 0; i < 3; ++i) {
        parts.push_back(MakeTone(*dir_, "part" + std::to_string(i) + ".mp3", 3.5, 440 + 220 * i));
    }
    const fs::path output = Out("joined.mp3");
    std::string log;
    ASSERT_EQ(Transcode("-join -i " + Q(parts[0]) + " -i " + Q(parts[1]) + " -i " + Q(parts[2]) +
                            "  -t 8 -c:a libmp3lame -ac 2 -ab 128000 -ar 44100 " + Q(output),
                        &log),
              0)
        << log;

    const FileFacts facts = Probe(output);
    ASSERT_EQ(facts.streams.size(), 1u);
    EXPECT_EQ(facts.streams[0].codec, "mp3");
    double previous = -1e9;
    int packets = 0;
    for (const std::string& line :
         Lines(RunFfprobe("-v error -show_entries packet=pts -of csv=p=0 " + Q(output)))) {
        const double pts = ToDouble(line);
        EXPECT_GE(pts, previous) << "packet " << packets;
        previous = pts;
        ++packets;
    }
    EXPECT_GT(packets, 0);

    // Our decoder component counts the decoded samples.
    TVEVarazez decoder;
    ASSERT_TRUE(decoder.LoadLibraries()) << decoder.LastErrorText();
    ASSERT_TRUE(decoder.LoadFile(output.string())) << decoder.LastErrorText();
    ASSERT_TRUE(decoder.OpenAudioStream()) << decoder.LastErrorText();
    std::vector<std::uint8_t> pcm;
    while (decoder.DecodeNextAudio(pcm) > 0) {
    }
    ASSERT_GT(decoder.BytesPerSample(), 0);
    const double samples =
        static_cast<double>(pcm.size()) / (decoder.BytesPerSample() * decoder.OutputChannels());
    // The cut falls on a whole encoder frame, counting the samples a join
    // carries between inputs.
    EXPECT_NEAR(samples, 8.0 * 44100, 1152);
}

TEST_F(TranscodeCliTest, JoinEndsEachInputAtItsOwnTimeLimit) {
    const fs::path first = MakeTone(*dir_, "first.mp3", 3.0, 440);
    const fs::path second = MakeTone(*dir_, "second.mp3", 3.0, 880);
    const fs::path output = Out("joined-limits.mp3");
    std::string log;
    ASSERT_EQ(Transcode("-join -t 1 -i " + Q(first) + " -ss 0.5 -to 2 -i " + Q(second) +
                            " -c:a libmp3lame -ac 2 -ab 128000 -ar 44100 " + Q(output),
                        &log),
              0)
        << log;
    double samples = 0;
    for (const std::string& line :
         Lines(RunFfprobe("-v error -show_entries frame=nb_samples -of csv=p=0 " + Q(output)))) {
        samples += ToDouble(line);
    }
    // 1 s of the first input, then 1.5 s of the second; each input is cut on
    // a whole packet of its own (1152 samples).
    EXPECT_NEAR(samples, 2.5 * 44100, 2 * 1152);
}

TEST_F(TranscodeCliTest, TimeLimitCutsAudioWithinOneFrame) {
    const fs::path input = MakeTone(*dir_, "long.mp3", 12.0, 500);
    const fs::path output = Out("cut8.mp3");
    ASSERT_EQ(Transcode("-i " + Q(input) + " -t 8 -c:a libmp3lame -ac 2 -ab 128000 -ar 44100 " +
                        Q(output)),
              0);
    double samples = 0;
    for (const std::string& line :
         Lines(RunFfprobe("-v error -show_entries frame=nb_samples -of csv=p=0 " + Q(output)))) {
        samples += ToDouble(line);
    }
    EXPECT_NEAR(samples, 8.0 * 44100, 1152);
}

TEST_F(TranscodeCliTest, JoinOfTwoVideosKeepsBothPartsInOrder) {
    const fs::path red = Out("red.mkv");
    const fs::path blue = Out("blue.mkv");
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i color=c=red:size=160x120:rate=25:duration=2 -f lavfi -i "
                  "sine=frequency=300:duration=2 -c:v mpeg4 -c:a aac -shortest " +
                  Q(red)));
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i color=c=blue:size=160x120:rate=25:duration=2 -f lavfi -i "
                  "sine=frequency=600:duration=2 -c:v mpeg4 -c:a aac -shortest " +
                  Q(blue)));
    const fs::path output = Out("red-blue.mkv");
    std::string log;
    ASSERT_EQ(
        Transcode("-join -i " + Q(red) + " -i " + Q(blue) + " -c:v mpeg4 -c:a aac " + Q(output),
                  &log),
        0)
        << log;
    EXPECT_NEAR(Probe(output).duration, 4.0, 0.15);
    const auto first = PixelAt(output, 1.0);
    const auto second = PixelAt(output, 3.0);
    ASSERT_TRUE(first && second);
    EXPECT_GT((*first)[0], 200);  // red
    EXPECT_LT((*first)[2], 60);
    EXPECT_GT((*second)[2], 200);  // blue
    EXPECT_LT((*second)[0], 60);
}

// --- Options checked on the written file ------------------------------------------

struct OptionCase {
    const char* name;
    const char* input_options;
    const char* output_options;
    const char* output_suffix;
    double duration;  // expected format duration, seconds
    double tolerance = 0.12;
};

// One video frame at 25 fps plus one AAC frame, as audio is cut on whole packets.
constexpr double kOneFrameAndAudioPacket = 0.04 + 1024.0 / 44100;

class OptionTest : public TranscodeCliTest, public ::testing::WithParamInterface<OptionCase> {};

TEST_P(OptionTest, WritesWhatTheOptionsAsk) {
    const OptionCase& c = GetParam();
    const fs::path output = Out(std::string("option-") + c.name + c.output_suffix);
    std::string log;
    ASSERT_EQ(Transcode(std::string(c.input_options) + " -i " + Q(video_) + " " + c.output_options +
                            " " + Q(output),
                        &log),
              0)
        << log;
    const FileFacts facts = Probe(output);
    EXPECT_NEAR(facts.duration, c.duration, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    TimeLimits, OptionTest,
    ::testing::Values(
        OptionCase{"input_ss", "-ss 1", "-c:v mpeg4 -c:a aac", ".mkv", 4.0},
        OptionCase{"output_ss_t", "", "-ss 1 -t 2 -c:v mpeg4 -c:a aac", ".mkv", 2.0},
        OptionCase{"output_to", "", "-ss 1 -to 3.5 -c:v mpeg4 -c:a aac", ".mkv", 2.5},
        OptionCase{"input_ss_output_t", "-ss 2", "-t 1.5 -c:v mpeg4 -c:a aac", ".mkv", 1.5},
        OptionCase{"input_t", "-t 3", "-c:v mpeg4 -c:a aac", ".mkv", 3.0, kOneFrameAndAudioPacket},
        OptionCase{"input_to", "-to 2", "-c:v mpeg4 -c:a aac", ".mkv", 2.0,
                   kOneFrameAndAudioPacket},
        OptionCase{"input_t_copy", "-t 3", "-c copy", ".mkv", 3.0, kOneFrameAndAudioPacket},
        OptionCase{"input_ss_to", "-ss 1 -to 3.5", "-c:v mpeg4 -c:a aac", ".mkv", 2.5,
                   kOneFrameAndAudioPacket},
        OptionCase{"output_t_copy", "", "-t 3 -c copy", ".mkv", 3.0},
        OptionCase{"copy", "", "-c copy", ".mp4", 5.0}),
    [](const ::testing::TestParamInfo<OptionCase>& info) { return std::string(info.param.name); });

// The input seeks to the key frame at 0.96 s; what decodes before 1 s is not
// part of the output.
TEST_F(TranscodeCliTest, InputSeekStartsAtTheSeekPoint) {
    const fs::path output = Out("seek-point.mkv");
    ASSERT_EQ(
        Transcode("-ss 1 -to 3.5 -i " + Q(video_) + " -c:v mpeg4 -c:a pcm_s16le " + Q(output)), 0);
    EXPECT_EQ(CountFrames(output, "v"), 63);  // the frames starting at 1.00 .. 3.48 s
    double samples = 0;
    for (const std::string& line :
         Lines(RunFfprobe("-v error -select_streams a -show_entries frame=nb_samples -of csv=p=0 " +
                          Q(output)))) {
        samples += ToDouble(line);
    }
    // Cut to the sample at the start, on a whole AAC packet at the end.
    EXPECT_GE(samples, 2.5 * 44100);
    EXPECT_LE(samples, 2.5 * 44100 + 1024);
}

TEST_F(TranscodeCliTest, StreamCopyKeepsCodecsAndPackets) {
    const fs::path output = Out("copy.mkv");
    ASSERT_EQ(Transcode("-i " + Q(video_) + " -c copy " + Q(output)), 0);
    const FileFacts facts = Probe(output);
    ASSERT_EQ(facts.streams.size(), 2u);
    EXPECT_EQ(facts.streams[0].codec, "mpeg4");
    EXPECT_EQ(facts.streams[1].codec, "aac");
    EXPECT_EQ(CountFrames(output, "v"), CountFrames(video_, "v"));
}

TEST_F(TranscodeCliTest, VideoAndAudioFilters) {
    const fs::path scaled = Out("scaled.mkv");
    ASSERT_EQ(Transcode("-i " + Q(video_) +
                        " -vf scale=160:120 -af volume=0.25 -c:v mpeg4 "
                        "-c:a pcm_s16le " +
                        Q(scaled)),
              0);
    EXPECT_EQ(RunFfprobe("-v error -select_streams v:0 -show_entries stream=width,height -of "
                         "csv=p=0 " +
                         Q(scaled)),
              "160,120\n");
    // The volume filter lowers the level by 12 dB.
    const auto max_volume = [](const fs::path& file) {
        std::string text;
        RunCommand("ffmpeg -v info -i " + ShellQuote(file.string()) +
                       " -vn -af volumedetect -f null - 2>&1 | grep max_volume",
                   &text);
        const std::size_t colon = text.find("max_volume:");
        return colon == std::string::npos ? 0.0 : ToDouble(text.substr(colon + 11));
    };
    EXPECT_NEAR(max_volume(scaled), max_volume(video_) - 12.04, 0.5);
}

TEST_F(TranscodeCliTest, ComplexFilterOverlay) {
    const fs::path logo = Out("logo.png");
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i color=c=red:size=40x40 -frames:v 1 " + Q(logo)));
    const fs::path output = Out("overlay.mkv");
    std::string log;
    ASSERT_EQ(Transcode("-i " + Q(video_) + " -i " + Q(logo) +
                            " -filter_complex \"[0:v][1:v]overlay=10:10[out]\" -map \"[out]\" "
                            "-c:v mpeg4 -q:v 2 " +
                            Q(output),
                        &log),
              0)
        << log;
    EXPECT_NEAR(Probe(output).duration, 5.0, 0.12);
    std::string bytes;
    RunCommand("ffmpeg -v error -ss 2 -i " + Q(output) +
                   " -frames:v 1 -vf crop=20:20:20:20,scale=1:1 -f rawvideo -pix_fmt rgb24 -",
               &bytes);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_GT(static_cast<unsigned char>(bytes[0]), 200);
    EXPECT_LT(static_cast<unsigned char>(bytes[1]), 60);
}

TEST_F(TranscodeCliTest, VideoSyncConstantAndVariable) {
    // Two seconds at 25 fps with a half-second hole after the first second.
    const fs::path holes = Out("holes.mkv");
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i testsrc=size=160x120:rate=25:duration=2 "
                  "-vf \"setpts=PTS+if(gte(N\\,25)\\,0.5/TB\\,0)\" -vsync vfr -c:v mpeg4 " +
                  Q(holes)));
    const fs::path cfr = Out("cfr.mkv");
    const fs::path vfr = Out("vfr.mkv");
    ASSERT_EQ(Transcode("-i " + Q(holes) + " -vsync cfr -r 25 -c:v mpeg4 " + Q(cfr)), 0);
    ASSERT_EQ(Transcode("-i " + Q(holes) + " -vsync vfr -c:v mpeg4 " + Q(vfr)), 0);
    EXPECT_NEAR(CountFrames(cfr, "v"), 62, 2);  // the hole is filled with copies
    EXPECT_EQ(CountFrames(vfr, "v"), 50);
}

TEST_F(TranscodeCliTest, FrameRate15000Over1001) {
    const fs::path output = Out("ntsc15.mp4");
    ASSERT_EQ(Transcode("-i " + Q(video_) + " -an -r 15000/1001 -c:v mpeg4 " + Q(output)), 0);
    EXPECT_EQ(RunFfprobe("-v error -select_streams v:0 -show_entries stream=r_frame_rate -of "
                         "csv=p=0 " +
                         Q(output)),
              "15000/1001\n");
    // As many frames as the ffmpeg program writes for the same command.
    const fs::path reference = Out("ntsc15-ffmpeg.mp4");
    ASSERT_TRUE(RunFfmpeg("-i " + Q(video_) + " -an -r 15000/1001 -c:v mpeg4 " + Q(reference)));
    EXPECT_EQ(CountFrames(output, "v"), CountFrames(reference, "v"));
}

// The JPEG encoders list limited-range YUV but refuse it at normal compliance:
// they must be handed a full-range format, also when -pix_fmt asks otherwise.
TEST_F(TranscodeCliTest, JpegEncodersGetAFullRangeFormat) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"mjpeg", "-c:v mjpeg"},
        {"mjpeg-yuv420p", "-c:v mjpeg -pix_fmt yuv420p"},
        {"ljpeg", "-c:v ljpeg"},
    };
    for (const auto& [name, options] : cases) {
        SCOPED_TRACE(options);
        const fs::path output = Out(name + ".avi");
        std::string log;
        ASSERT_EQ(
            Transcode("-i " + Q(video_) + " -an -frames:v 5 " + options + " " + Q(output), &log), 0)
            << log;
        EXPECT_EQ(RunFfprobe("-v error -select_streams v:0 -show_entries stream=pix_fmt -of "
                             "csv=p=0 " +
                             Q(output)),
                  "yuvj420p\n");
        EXPECT_EQ(CountFrames(output, "v"), 5);
    }
}

TEST_F(TranscodeCliTest, TwoPassLibx264) {
    const std::string prefix = (dir_->path() / "x264stats").string();
    const fs::path first = Out("pass1.mkv");
    const fs::path second = Out("pass2.mkv");
    std::string log;
    ASSERT_EQ(Transcode("-i " + Q(video_) + " -an -c:v libx264 -b:v 200k -pass 1 -passlogfile " +
                            ShellQuote(prefix) + " " + Q(first),
                        &log),
              0)
        << log;
    EXPECT_TRUE(fs::exists(prefix + "-0.log"));
    ASSERT_EQ(Transcode("-i " + Q(video_) + " -an -c:v libx264 -b:v 200k -pass 2 -passlogfile " +
                            ShellQuote(prefix) + " " + Q(second),
                        &log),
              0)
        << log;
    const FileFacts facts = Probe(second);
    ASSERT_EQ(facts.streams.size(), 1u);
    EXPECT_EQ(facts.streams[0].codec, "h264");
    EXPECT_EQ(CountFrames(second, "v"), 125);
}

TEST_F(TranscodeCliTest, FrameAndSizeLimits) {
    const fs::path frames = Out("frames.mkv");
    ASSERT_EQ(Transcode("-i " + Q(video_) + " -frames:v 10 -an -c:v mpeg4 " + Q(frames)), 0);
    EXPECT_EQ(CountFrames(frames, "v"), 10);

    const fs::path sized = Out("sized.mkv");
    ASSERT_EQ(Transcode("-i " + Q(video_) + " -fs 60000 -c:v mpeg4 -q:v 2 -c:a aac " + Q(sized)),
              0);
    const auto size = fs::file_size(sized);
    EXPECT_LT(size, 60000u + 30000u);  // stops after the packet that crosses the limit
    EXPECT_LT(Probe(sized).duration, 4.0);
}

// --- Failures and bad input ---------------------------------------------------------

TEST_F(TranscodeCliTest, EncoderThatRejectsItsParametersFailsCleanly) {
    const fs::path output = Out("rejected.3gp");
    std::string log;
    EXPECT_EQ(Transcode("-i " + Q(video_) + " -an -c:v h263 -s 170x130 " + Q(output), &log), 1);
    EXPECT_NE(log.find("Error while opening encoder for output stream #0:0 (Video)"),
              std::string::npos)
        << log;
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(TranscodeCliTest, UsageErrors) {
    std::string log;
    EXPECT_EQ(Transcode("", &log), 2);
    EXPECT_EQ(Transcode("-i " + Q(video_), &log), 2);
    EXPECT_EQ(Transcode("-loglevel loud -i " + Q(video_) + " x.mkv", &log), 2);
    EXPECT_EQ(Transcode("-i " + Q(Out("missing.mp4")) + " " + Q(Out("never.mkv")), &log), 1);
    EXPECT_FALSE(fs::exists(Out("never.mkv")));
}

TEST_F(TranscodeCliTest, BadInputNeverCrashesNorLeavesAnEmptyFile) {
    const fs::path source = Out("bad-source.ts");
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i testsrc=size=320x240:rate=25:duration=4 -f lavfi -i "
                  "sine=duration=4 -c:v mpeg2video -c:a mp2 " +
                  Q(source)));
    const auto size = fs::file_size(source);
    std::string content;
    {
        std::ifstream in(source, std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), {});
    }
    // Cut at half its size.
    const fs::path truncated = Out("truncated.ts");
    std::ofstream(truncated, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(size / 2));
    // A stretch of garbage in the middle.
    const fs::path corrupt = Out("corrupt.ts");
    {
        std::string damaged = content;
        for (std::size_t i = size / 3; i < size / 3 + size / 10; ++i) {
            damaged[i] = static_cast<char>((i * 7919) & 0xff);
        }
        std::ofstream(corrupt, std::ios::binary)
            .write(damaged.data(), static_cast<std::streamsize>(size));
    }
    // A stream whose resolution changes mid-way.
    const fs::path small = Out("small.ts");
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -c:v mpeg2video " +
                          Q(small)));
    const fs::path large = Out("large.ts");
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=320x240:rate=25:duration=2 -c:v mpeg2video " +
                          Q(large)));
    const fs::path changing = Out("changing.ts");
    RunCommand("cat " + Q(small) + " " + Q(large) + " > " + Q(changing));

    for (const fs::path& input : {truncated, corrupt, changing}) {
        SCOPED_TRACE(input.filename().string());
        const fs::path output = Out("from-" + input.stem().string() + ".mkv");
        std::string log;
        const int status = Transcode("-i " + Q(input) + " -c:v mpeg4 " + Q(output), &log);
        // Finished, or failed with a message; never a crash.
        EXPECT_TRUE(status == 0 || status == 1) << log;
        if (fs::exists(output)) {
            EXPECT_GT(fs::file_size(output), 0u);
        }
        if (status == 0) {
            EXPECT_GT(Probe(output).duration, 0.5);
        }
    }
}

// --- The user's files and full disks -------------------------------------------

TEST_F(TranscodeCliTest, ARotatedVideoIsTurnedWhenEncodedAndKeepsItsFlagWhenCopied) {
    // A phone's video: stored 320x240, to be shown turned a quarter.
    const fs::path plain = Out("upright.mp4");
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i testsrc=size=320x240:rate=10:duration=1 -c:v libx264 " + Q(plain)));
    const fs::path turned = Out("turned.mp4");
    ASSERT_TRUE(RunFfmpeg("-i " + Q(plain) + " -c copy -metadata:s:v:0 rotate=90 " + Q(turned)));
    const auto facts = [](const fs::path& file) {
        std::string text = RunFfprobe(
            "-v error -select_streams v:0 -show_entries "
            "stream=width,height:stream_side_data=rotation -of compact=p=0:nk=1 " +
            ShellQuote(file.string()));
        while (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
        return text;
    };
    ASSERT_EQ(facts(turned), "320|240|90");
    const struct {
        const char* name;
        const char* options;
        const char* expected;  // width|height[|rotation]
    } cases[] = {
        {"encoded", "-c:v mpeg4", "240|320"},
        {"copied", "-c:v copy", "320|240|90"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path output = Out(std::string("rotated-") + c.name + ".mp4");
        std::string log;
        ASSERT_EQ(Transcode("-i " + Q(turned) + " " + c.options + " " + Q(output), &log), 0) << log;
        EXPECT_EQ(facts(output), c.expected);
    }
}

TEST_F(TranscodeCliTest, AnExistingOutputIsReplacedOnlyWithY) {
    const fs::path output = Out("existing.mkv");
    const std::string mine = "the user's own file\n";
    const struct {
        const char* name;
        std::string arguments;  // the output follows
        int status;
        bool replaced;
    } cases[] = {
        // Standard input is not a terminal in all of these, so nobody is asked.
        {"-n", "-i " + Q(video_) + " -c:v mpeg4 -n", 1, false},
        {"neither -y nor -n", "-i " + Q(video_) + " -c:v mpeg4", 1, false},
        {"-y", "-i " + Q(video_) + " -c:v mpeg4 -y", 0, true},
        {"-y and -n", "-i " + Q(video_) + " -c:v mpeg4 -y -n", 1, false},
        {"-n among the input's options", "-n -i " + Q(video_) + " -c:v mpeg4", 1, false},
        // A format that writes no file leaves it alone.
        {"-f null", "-i " + Q(video_) + " -f null", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(output, std::ios::trunc) << mine;
        std::string log;
        EXPECT_EQ(RunCommand(kProgram + " -loglevel error " + c.arguments + " " + Q(output) +
                                 " </dev/null 2>&1",
                             &log),
                  c.status)
            << log;
        if (c.replaced) {
            EXPECT_NEAR(Probe(output).duration, 5, 0.2);
            std::string errors;
            EXPECT_EQ(
                RunCommand("ffmpeg -nostdin -v error -i " + Q(output) + " -f null - 2>&1", &errors),
                0);
            EXPECT_TRUE(errors.empty()) << errors;
        } else {
            EXPECT_EQ(ReadWholeFile(output), mine);
        }
        if (c.status == 1) {
            EXPECT_EQ(LastLine(log), "File '" + output.string() + "' already exists. Exiting.")
                << log;
        }
    }
}

TEST_F(TranscodeCliTest, AWriteErrorFailsTheTaskWithTheSystemsReason) {
    const std::string task = "-i " + Q(video_) + " -c:v mpeg4 -q:v 2 -c:a aac ";
    // The size of the whole output, so that the limits below let all but its
    // last kilobytes through: the failing write is the index at the end.
    const fs::path whole = Out("whole.mp4");
    ASSERT_EQ(Transcode(task + Q(whole)), 0);
    const auto size = fs::file_size(whole);
    ASSERT_GT(size, 64u * 1024);
    const auto expect_failed = [&](const std::string& command, const fs::path& output,
                                   const std::string& reason) {
        std::string log;
        EXPECT_EQ(RunCommand(command + " 2>&1", &log), 1) << log;
        EXPECT_NE(LastLine(log).find(reason), std::string::npos) << log;
        EXPECT_EQ(log.find("Lsize="), std::string::npos) << log;
        EXPECT_FALSE(fs::exists(output)) << "a half-written file is left";
    };
    {
        // A file size limit, its signal ignored: writes past it fail with
        // EFBIG as a full disk fails them with ENOSPC.
        SCOPED_TRACE("file size limit");
        const fs::path output = Out("limited.mp4");
        expect_failed("trap '' XFSZ; ulimit -f " + std::to_string((size - 4096) / 512) + "; " +
                          kProgram + " -loglevel error " + task + Q(output),
                      output, "File too large");
    }
    if (fs::exists("/dev/full")) {
        SCOPED_TRACE("/dev/full");
        std::string log;
        // A device exists, so it takes -y, as with the ffmpeg program. Both
        // the header and the end of the file fail to be written.
        EXPECT_EQ(Transcode(task + "-y -f mp4 /dev/full", &log), 1);
        EXPECT_NE(LastLine(log).find("/dev/full: No space left on device"), std::string::npos)
            << log;
        EXPECT_EQ(Transcode(task + "-y -f matroska /dev/full", &log), 1);
        EXPECT_NE(LastLine(log).find("/dev/full: No space left on device"), std::string::npos)
            << log;
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    const fs::path disk = Out("disk");
    fs::create_directories(disk);
    const std::string options = "size=" + std::to_string((size - 8192) / 4096 * 4096);
    if (::geteuid() != 0 || ::mount("tmpfs", disk.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        GTEST_SKIP() << "a small tmpfs cannot be mounted here (needs root and mount rights)";
    }
    struct Unmount {
        fs::path disk;
        ~Unmount() { ::umount(disk.c_str()); }
    } unmount{disk};
    SCOPED_TRACE("full tmpfs");
    expect_failed(kProgram + " -loglevel error " + task + Q(disk / "out.mp4"), disk / "out.mp4",
                  "No space left on device");
    EXPECT_TRUE(FolderEntries(disk).empty());
}

TEST_F(TranscodeCliTest, OutputFolderRemovedDuringTheRun) {
    const fs::path folder = Out("vanishing");
    fs::create_directories(folder);
    const fs::path output = folder / "out.mkv";
    std::string log;
    // -re keeps the run going for about five seconds; the folder goes once
    // the output is in it (30 s at most).
    const int status = RunCommand(
        "(for i in $(seq 600); do [ -e " + Q(output) + " ] && break; sleep 0.05; done; " +
            "rm -rf " + Q(folder) + ") & " + kProgram + " -loglevel error -re -i " + Q(video_) +
            " -c:v mpeg4 -c:a aac " + Q(output) + " 2>&1; status=$?; wait; exit $status",
        &log);
    EXPECT_TRUE(status == 0 || status == 1) << log;
    EXPECT_EQ(log.find("ERROR: AddressSanitizer"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(folder));
}

}  // namespace
}  // namespace tavrin::testing

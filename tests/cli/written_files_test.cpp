// Every file the programs report as written is readable, and every way they
// refuse or stop is told: one row per case, run through tavrin-transcode (and
// tavrin-probe, tavrin-merge where the case is theirs) and, where the same
// options apply, through the ffmpeg program beside it. Written files are
// checked with our decoder component and with ffprobe.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"
#include "media/probe/decoder_component.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kBin = ProgramPath("");

std::string Q(const fs::path& path) {
    return ShellQuote(path.string());
}

// Standard error and output of a program, its exit status; a run that hangs
// is ended after a minute and gives 124.
struct ProgramRun {
    int status = -1;
    std::string log;
};

ProgramRun RunProgram(const std::string& program, const std::string& arguments,
                      const std::string& environment = "") {
    ProgramRun run;
    run.status = RunCommand(
        environment + " timeout 60 " + ShellQuote(kBin + program) + " " + arguments + " 2>&1",
        &run.log);
    return run;
}

ProgramRun Transcode(const std::string& arguments) {
    return RunProgram("tavrin-transcode", "-loglevel error " + arguments);
}

ProgramRun Ffmpeg(const std::string& arguments) {
    ProgramRun run;
    run.status = RunCommand(
        "timeout 60 ffmpeg -hide_banner -loglevel error -y " + arguments + " 2>&1", &run.log);
    return run;
}

std::string Entry(const fs::path& file, const std::string& entries,
                  const std::string& select = "") {
    std::string text = RunFfprobe("-v error " + select + " -show_entries " + entries +
                                  " -of default=nw=1:nk=1 " + Q(file));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

double Seconds(const std::string& text) {
    try {
        return std::stod(text);
    } catch (const std::exception&) {
        return -1;
    }
}

// What our decoder component makes of a file: its streams, or nothing.
struct Opened {
    bool ok = false;
    int streams = 0;
    double seconds = -1;
    std::string error;
};

Opened OpenWithDecoder(const fs::path& file) {
    Opened opened;
    TVEVarazez decoder;
    if (!decoder.LoadLibraries() || !decoder.LoadFile(file.string())) {
        opened.error = decoder.LastErrorText();
        return opened;
    }
    TFileStreamInfo info;
    decoder.GetFileStreamInfo(info);
    opened.ok = true;
    opened.streams = decoder.StreamCount();
    opened.seconds = info.Duration < 0 ? -1 : static_cast<double>(info.Duration) / 1e6;
    return opened;
}

std::string ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Shared media, made once.
class WrittenFilesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        clip_ = MakeVideoWithAudio(*dir_, "clip.mp4", 2.0);
        // Video with B-frames, index at the front.
        bframes_ = dir_->path() / "bframes.mp4";
        RunFfmpeg(
            "-f lavfi -i testsrc=size=160x120:rate=25:duration=2 -f lavfi -i "
            "sine=duration=2 -c:v libx264 -bf 2 -c:a aac -shortest -movflags +faststart " +
            Q(bframes_));
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static fs::path Path(const std::string& name) { return dir_->path() / name; }
    // tavrin-merge reads and writes its settings under a home of the test's own.
    static std::string MergeEnvironment() {
        return "HOME=" + Q(dir_->path()) + " XDG_CONFIG_HOME=" + Q(dir_->path() / "config");
    }

    static std::unique_ptr<TempDir> dir_;
    static fs::path clip_;
    static fs::path bframes_;
};

std::unique_ptr<TempDir> WrittenFilesTest::dir_;
fs::path WrittenFilesTest::clip_;
fs::path WrittenFilesTest::bframes_;

// One case: the same options through our program and the ffmpeg program,
// then a check of both written files (ours, theirs).
struct OutputCase {
    const char* name;
    std::function<void(const TempDir&)> prepare;  // extra inputs, may be empty
    std::string arguments;                        // {dir} stands for the media folder
    const char* suffix;
    std::function<void(const fs::path& ours, const fs::path& theirs, const ProgramRun& run)> check;
};

std::string InFolder(std::string text, const fs::path& folder) {
    const std::string mark = "{dir}";
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at)) {
        text.replace(at, mark.size(), folder.string());
    }
    return text;
}

TEST_F(WrittenFilesTest, OutputsAreWholeAndMatchTheFfmpegProgram) {
    const std::string clip = Q(clip_);
    const std::vector<OutputCase> cases = {
        {"attach",
         [](const TempDir& dir) {
             std::ofstream(dir / "font.ttf", std::ios::binary) << std::string(3000, 'F') << "end";
         },
         "-i " + clip +
             " -c copy -attach {dir}/font.ttf -metadata:s:t mimetype=application/x-truetype-font",
         ".mkv",
         [](const fs::path& ours, const fs::path& theirs, const ProgramRun&) {
             EXPECT_EQ(Entry(ours, "stream=extradata_size", "-select_streams t"), "3003");
             EXPECT_EQ(Entry(ours, "stream=extradata_size", "-select_streams t"),
                       Entry(theirs, "stream=extradata_size", "-select_streams t"));
             const fs::path dumped = ours.parent_path() / "dumped.ttf";
             RunCommand("cd " + Q(ours.parent_path()) +
                        " && ffmpeg -v error -y -dump_attachment:t:0 dumped.ttf -i " + Q(ours) +
                        " 2>/dev/null");
             EXPECT_EQ(ReadBytes(dumped), std::string(3000, 'F') + "end");
             EXPECT_EQ(OpenWithDecoder(ours).streams, 3);
         }},
        {"mov_text",
         [](const TempDir& dir) {
             std::ofstream(dir / "words.srt") << "1\n00:00:00,000 --> 00:00:01,000\nHello\n\n"
                                                 "2\n00:00:01,000 --> 00:00:02,000\nWorld\n";
         },
         "-i " + clip + " -i {dir}/words.srt -map 0 -map 1 -c:v copy -c:a copy -c:s mov_text",
         ".mp4",
         [](const fs::path& ours, const fs::path& theirs, const ProgramRun&) {
             EXPECT_EQ(Entry(ours, "stream=codec_name", "-select_streams s"), "mov_text");
             EXPECT_EQ(Entry(ours, "stream=extradata_size", "-select_streams s"),
                       Entry(theirs, "stream=extradata_size", "-select_streams s"));
             std::string text;
             RunCommand("ffmpeg -v error -i " + Q(ours) + " -map 0:s -f srt -", &text);
             EXPECT_NE(text.find("World"), std::string::npos) << text;
             EXPECT_EQ(OpenWithDecoder(ours).streams, 3);
         }},
        {"ass_header",
         nullptr,  // the subtitles of the case above
         "-i " + clip + " -i {dir}/words.srt -map 0 -map 1 -c:v copy -c:a copy -c:s ass", ".mkv",
         [](const fs::path& ours, const fs::path& theirs, const ProgramRun&) {
             const std::string size = Entry(ours, "stream=extradata_size", "-select_streams s");
             EXPECT_GT(Seconds(size), 100) << "no header";
             EXPECT_EQ(size, Entry(theirs, "stream=extradata_size", "-select_streams s"));
         }},
        {"vsync0_bframes", nullptr, "-i " + Q(bframes_) + " -vsync 0 -c:v mpeg4 -bf 2 -c:a aac",
         ".mp4",
         [](const fs::path& ours, const fs::path& theirs, const ProgramRun& run) {
             EXPECT_EQ(run.log.find("Invalid pts"), std::string::npos) << run.log;
             const std::string count = "stream=nb_read_frames";
             EXPECT_EQ(Entry(ours, count, "-count_frames -select_streams v"), "50");
             EXPECT_EQ(Entry(ours, count, "-count_frames -select_streams v"),
                       Entry(theirs, count, "-count_frames -select_streams v"));
             const Opened opened = OpenWithDecoder(ours);
             EXPECT_TRUE(opened.ok) << opened.error;
             EXPECT_NEAR(opened.seconds, 2.0, 0.1);
         }},
        {"tmcd_copy",
         [](const TempDir& dir) {
             RunFfmpeg(
                 "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v mpeg4 "
                 "-timecode 01:00:00:00 " +
                 Q(dir / "timecode.mov"));
         },
         "-i {dir}/timecode.mov -map 0 -c copy", ".mov",
         [](const fs::path& ours, const fs::path&, const ProgramRun&) {
             EXPECT_EQ(Entry(ours, "stream=codec_tag_string", "-select_streams d"), "tmcd");
             EXPECT_EQ(Entry(ours, "stream_tags=timecode", "-select_streams d"), "01:00:00:00");
             EXPECT_EQ(OpenWithDecoder(ours).streams, 2);
         }},
        {"timestamp", nullptr, "-i " + clip + " -c copy -timestamp 2012-03-04T05:06:07Z", ".mp4",
         [](const fs::path& ours, const fs::path& theirs, const ProgramRun&) {
             EXPECT_EQ(Entry(ours, "format_tags=creation_time"), "2012-03-04T05:06:07.000000Z");
             EXPECT_EQ(Entry(ours, "format_tags=creation_time"),
                       Entry(theirs, "format_tags=creation_time"));
         }},
        {"lavfi_input", nullptr, "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v mpeg4",
         ".mkv",
         [](const fs::path& ours, const fs::path& theirs, const ProgramRun&) {
             const std::string count = "stream=nb_read_frames";
             EXPECT_EQ(Entry(ours, count, "-count_frames -select_streams v"), "25");
             EXPECT_EQ(Entry(theirs, count, "-count_frames -select_streams v"), "25");
             EXPECT_TRUE(OpenWithDecoder(ours).ok);
         }},
    };
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.prepare) {
            c.prepare(*dir_);
        }
        const std::string arguments = InFolder(c.arguments, dir_->path());
        const fs::path ours = Path(std::string("ours-") + c.name + c.suffix);
        const fs::path theirs = Path(std::string("theirs-") + c.name + c.suffix);
        const ProgramRun run = Transcode(arguments + " " + Q(ours));
        ASSERT_EQ(run.status, 0) << run.log;
        const ProgramRun reference = Ffmpeg(arguments + " " + Q(theirs));
        ASSERT_EQ(reference.status, 0) << reference.log;
        c.check(ours, theirs, run);
    }
}

// Values the ffmpeg program refuses are refused, with the value named and
// nothing written.
TEST_F(WrittenFilesTest, OutOfRangeValuesAreRefused) {
    struct Case {
        const char* input_options;
        const char* output_options;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"", "-t -5", "The value for -t (-5 s) is out of range: a duration cannot be negative"},
        {"-t -5", "", "The value for -t (-5 s) is out of range"},
        {"", "-to -1", "The value for -to (-1 s) is out of range: a stop time cannot be negative"},
        {"", "-ac 1000000 -c:a aac",
         "The value for -ac (1000000) is out of range: from 0 to 64 channels"},
        {"", "-ac 9 -c:a aac", "Cannot make 9 audio channels for output stream #0:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.input_options) + " | " + c.output_options);
        const fs::path ours = Path("refused-ours.mkv");
        const fs::path theirs = Path("refused-theirs.mkv");
        const std::string arguments =
            std::string(c.input_options) + " -i " + Q(clip_) + " " + c.output_options + " ";
        const ProgramRun run = Transcode(arguments + Q(ours));
        EXPECT_EQ(run.status, 1) << run.log;
        EXPECT_NE(run.log.find(c.message), std::string::npos) << run.log;
        EXPECT_FALSE(fs::exists(ours));
        EXPECT_NE(Ffmpeg(arguments + Q(theirs)).status, 0);
        fs::remove(theirs);
    }
}

// An index-first MP4 cut short: the task ends, like the ffmpeg program, with
// what could be read.
TEST_F(WrittenFilesTest, TruncatedIndexFirstMp4Ends) {
    const std::string whole = ReadBytes(bframes_);
    for (const int percent : {30, 70}) {
        SCOPED_TRACE(percent);
        const fs::path cut = Path("cut" + std::to_string(percent) + ".mp4");
        std::ofstream(cut, std::ios::binary) << whole.substr(0, whole.size() * percent / 100);
        const fs::path ours = Path("from-cut" + std::to_string(percent) + ".mkv");
        const fs::path theirs = Path("ffmpeg-from-cut" + std::to_string(percent) + ".mkv");
        const std::string options = " -c:v mpeg4 -c:a aac ";
        const ProgramRun run = Transcode("-i " + Q(cut) + options + Q(ours));
        ASSERT_EQ(run.status, 0) << run.log;
        ASSERT_EQ(Ffmpeg("-i " + Q(cut) + options + Q(theirs)).status, 0);
        const double our_seconds = Seconds(Entry(ours, "format=duration"));
        EXPECT_GT(our_seconds, 0.2);
        EXPECT_NEAR(our_seconds, Seconds(Entry(theirs, "format=duration")), 0.05);
        EXPECT_TRUE(OpenWithDecoder(ours).ok);

        const fs::path folder = Path("merged" + std::to_string(percent));
        const ProgramRun merge =
            RunProgram("tavrin-merge",
                       "--format MKV --no-quality --out " + Q(folder) + " " + Q(cut) + " " + Q(cut),
                       MergeEnvironment());
        EXPECT_TRUE(merge.status == 0 || merge.status == 1) << merge.log;
    }
}

// Ctrl-C while an input blocks in its open (a named pipe with no writer)
// stops the program with 130, and nothing is written.
TEST_F(WrittenFilesTest, StopWhileAnInputOpensExitsWith130) {
    const fs::path fifo = Path("pipe-in");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path output = Path("from-pipe.mkv");
    const fs::path folder = Path("merged-pipe");
    struct Case {
        const char* program;
        std::string arguments;
    };
    const std::vector<Case> cases = {
        {"tavrin-transcode", "-loglevel error -i " + Q(fifo) + " " + Q(output)},
        {"tavrin-merge", "--format MKV --out " + Q(folder) + " " + Q(clip_) + " " + Q(fifo)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        // Signal once the program waits for a writer in its open; a program
        // that ignored the signal is killed after a minute.
        std::string log;
        const int status = RunCommand(
            MergeEnvironment() + " " + ShellQuote(kBin + c.program) + " " + c.arguments +
                " 2>&1 & pid=$!; (sleep 60; kill -KILL $pid) >/dev/null 2>&1 & guard=$!; "
                "for i in $(seq 300); do "
                "[ \"$(cat /proc/$pid/wchan 2>/dev/null)\" = wait_for_partner ] && break; "
                "sleep 0.1; done; kill -INT $pid; wait $pid; status=$?; kill $guard; "
                "exit $status",
            &log);
        EXPECT_EQ(status, 130) << log;
        EXPECT_NE(log.find("stopped"), std::string::npos) << log;
    }
    EXPECT_FALSE(fs::exists(output));
}

// A program whose standard output cannot be written fails and says why.
TEST_F(WrittenFilesTest, UnwritableStandardOutputFails) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    for (const std::string& command : {ShellQuote(kBin + "tavrin-probe") + " " + Q(clip_),
                                       ShellQuote(kBin + "tavrin-transcode") + " --help"}) {
        SCOPED_TRACE(command);
        std::string log;
        EXPECT_EQ(RunCommand(command + " 2>&1 >/dev/full", &log), 1);
        EXPECT_NE(log.find("cannot write to standard output: No space left on device"),
                  std::string::npos)
            << log;
        EXPECT_EQ(RunCommand(command + " >/dev/null 2>&1"), 0);
    }
}

}  // namespace
}  // namespace tavrin::testing

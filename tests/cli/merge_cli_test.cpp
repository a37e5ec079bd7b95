// tavrin-merge end to end on generated files: the songs joined in order and
// cut to the video for several formats, a song used directly, the dry run,
// bad input and Ctrl-C during the final task. Written files are checked with
// ffprobe and by the tone each song plays.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/core_test_support.h"
#include "core/merge_test_support.h"
#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = ProgramPath("tavrin-merge");

class MergeCliMedia {
public:
    static MergeCliMedia& Get() {
        static MergeCliMedia media;
        return media;
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

private:
    MergeCliMedia() { MakeMergeMediaSet(dir_); }
    TempDir dir_;
};

class MergeCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        media_ = &MergeCliMedia::Get();
        out_ = dir_.path() / "out";
    }

    // Runs the program with its own home folder (the settings file lands
    // there); the exit status, stdout in `out` and stderr in `err`.
    int Merge(const std::string& arguments, std::string* out = nullptr,
              std::string* err = nullptr) const {
        return RunWithOwnHome(dir_.path(), "tavrin-merge", arguments, out, err);
    }

    std::string Songs() const {
        return ShellQuote(media_->Path("song440.mp3")) + " " +
               ShellQuote(media_->Path("song880.mp3")) + " " +
               ShellQuote(media_->Path("song1320.mp3"));
    }
    std::string OutArg() const { return "--out " + ShellQuote(out_.string()); }

    MergeCliMedia* media_ = nullptr;
    TempDir dir_;
    fs::path out_;
};

TEST_F(MergeCliTest, JoinsTheSongsInOrderForEveryFormat) {
    const struct {
        const char* format;
        const char* suffix;
        const char* video_codec;
    } cases[] = {
        {"MP4", ".mp4", "mpeg4"},
        {"MKV", ".mkv", "h264"},
        {"WebM", ".webm", "vp8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        std::string out;
        std::string err;
        // Options after the files work as well as before them.
        ASSERT_EQ(Merge(ShellQuote(media_->Path("video.mp4")) + " " + Songs() + " --format " +
                            c.format + " --size Auto --no-quality " + OutArg(),
                        &out, &err),
                  0)
            << err;
        const fs::path file = LastLine(out);
        EXPECT_EQ(file, out_ / (std::string("merger-video-tempaudio-song440_(new)") + c.suffix));
        ASSERT_TRUE(fs::exists(file));
        EXPECT_EQ(StreamCodec(file, "v"), c.video_codec);
        EXPECT_NEAR(StreamSeconds(file, "a"), 20, 0.3);
        EXPECT_NEAR(ToneAt(file, 5), 440, 15);
        EXPECT_NEAR(ToneAt(file, 15), 880, 15);
        EXPECT_NEAR(ToneAt(file, 19), 880, 15);
        for (const auto& name : FolderEntries(out_)) {
            EXPECT_NE(name.rfind("tempaudio-", 0), 0u) << name;
        }
        EXPECT_NE(err.find("mergeing finished"), std::string::npos) << err;
        fs::remove(file);
    }
}

TEST_F(MergeCliTest, ASongShorterThanTheVideoIsUsedDirectly) {
    std::string out;
    std::string err;
    ASSERT_EQ(Merge("--format MP4 " + OutArg() + " " + ShellQuote(media_->Path("video.mp4")) + " " +
                        ShellQuote(media_->Path("short.mp3")),
                    &out, &err),
              0)
        << err;
    const fs::path file = LastLine(out);
    EXPECT_EQ(file, out_ / "merger-video-short_(new).mp4");
    EXPECT_NEAR(StreamSeconds(file, "a"), 5, 0.3);
    EXPECT_EQ(FolderEntries(out_), (std::vector<std::string>{"merger-video-short_(new).mp4"}));
}

TEST_F(MergeCliTest, ShowsAProgressBarOnATerminal) {
    if (RunCommand("command -v script >/dev/null") != 0) {
        GTEST_SKIP() << "the script program is missing";
    }
    // "script" gives the program a terminal; the bar goes to it.
    std::string output;
    const std::string command =
        "HOME=" + ShellQuote(dir_.path().string()) +
        " XDG_CONFIG_HOME=" + ShellQuote((dir_.path() / "config").string()) + " " + kProgram +
        " --format MP4 " + OutArg() + " " + ShellQuote(media_->Path("video.mp4")) + " " +
        ShellQuote(media_->Path("short.mp3"));
    ASSERT_EQ(RunCommand("script -qec " + ShellQuote(command) + " /dev/null", &output), 0)
        << output;
    EXPECT_NE(output.find("\rmerge ["), std::string::npos) << output;
    EXPECT_NE(output.find("%  00:00:"), std::string::npos) << output;
    EXPECT_NE(output.find(" MiB"), std::string::npos) << output;
}

TEST_F(MergeCliTest, DryRunPrintsThePlanAndWritesNothing) {
    std::string out;
    std::string err;
    ASSERT_EQ(Merge("--dry-run --format WebM --size 640x480 --quality 3 " + OutArg() + " " +
                        ShellQuote(media_->Path("video.mp4")) + " " + Songs(),
                    &out, &err),
              0)
        << err;
    EXPECT_NE(out.find("join: yes"), std::string::npos) << out;
    EXPECT_NE(out.find("join options:  -t 20 -c:a libmp3lame  -ac 2 -ab 128000 -ar 44100 "),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("join flag: set"), std::string::npos) << out;
    EXPECT_NE(out.find("temporary file: " + (out_ / "tempaudio-song440.mp3").string()),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("-f webm -c:a libvorbis -c:v libvpx  -s 640x480  -qscale 3"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("-map 0:0 -map 1:0"), std::string::npos) << out;
    EXPECT_NE(
        out.find("output file: " + (out_ / "merger-video-tempaudio-song440_(new).webm").string()),
        std::string::npos)
        << out;
    EXPECT_FALSE(fs::exists(out_));

    ASSERT_EQ(
        Merge("--dry-run --format MKV " + OutArg() + " " + ShellQuote(media_->Path("video.mp4")) +
                  " " + ShellQuote(media_->Path("short.mp3")),
              &out, &err),
        0)
        << err;
    EXPECT_NE(out.find("join: no"), std::string::npos) << out;
    EXPECT_NE(out.find("audio input: " + media_->Path("short.mp3")), std::string::npos) << out;
}

TEST_F(MergeCliTest, BadInputEndsWithAClearMessageAndNoFiles) {
    UnwritableFolder unwritable;
    const std::string video = ShellQuote(media_->Path("video.mp4"));
    const std::string text = ShellQuote(media_->Path("notes.txt"));
    // Random bytes that the MP3 reader takes for a stream of no known sound.
    const fs::path noise = dir_.path() / "noise.mp3";
    {
        std::string bytes(200000, '\0');
        std::uint32_t state = 2463534242u;
        for (char& byte : bytes) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = static_cast<char>(state & 0xff);
        }
        std::ofstream(noise, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    }
    const std::string no_sound = noise.string() + ": the file has no decodable audio";
    const struct {
        const char* name;
        std::string arguments;
        int status;
        const char* message;
    } cases[] = {
        {"video not media", "--format MP4 " + OutArg() + " " + text + " " + Songs(), 1,
         "cannot open the video file"},
        {"text file among the songs",
         "--format MP4 " + OutArg() + " " + video + " " + Songs() + " " + text, 1,
         "***Audio file open error: "},
        {"text file as the song", "--format MP4 " + OutArg() + " " + video + " " + text, 1,
         "***Audio file open error: "},
        {"random bytes as the song",
         "--format MP4 " + OutArg() + " " + video + " " + ShellQuote(noise.string()), 1,
         no_sound.c_str()},
        {"random bytes among the songs",
         "--format MP4 " + OutArg() + " " + video + " " + Songs() + " " +
             ShellQuote(noise.string()),
         1, no_sound.c_str()},
        {"unwritable output folder",
         "--format MP4 --out " + ShellQuote(unwritable.path()) + " " + video + " " + Songs(), 1,
         "***Cannot do convert, error: "},
        {"unknown format", "--format DivX " + OutArg() + " " + video + " " + Songs(), 2,
         "unknown format \"DivX\""},
        {"no audio file", "--format MP4 " + OutArg() + " " + video, 2, "no audio file given"},
        {"size the format lacks",
         "--format 3GP --size 640x480 " + OutArg() + " " + video + " " + Songs(), 2,
         "has no frame size"},
        {"quality out of range", "--quality 11 " + OutArg() + " " + video + " " + Songs(), 2,
         "--quality takes"},
        {"both quality options",
         "--quality 2 --no-quality " + OutArg() + " " + video + " " + Songs(), 2,
         "exclude each other"},
        {"unknown option", "--fast " + OutArg() + " " + video + " " + Songs(), 2,
         "unknown option --fast"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        std::string err;
        EXPECT_EQ(Merge(c.arguments, &out, &err), c.status) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_TRUE(out.empty()) << out;
        EXPECT_TRUE(FolderEntries(out_).empty());
    }
}

TEST_F(MergeCliTest, ASongUsedDirectlyIsConvertedToWhatTheFormatsEncoderTakes) {
    // Six channels at 96 kHz: more than WMA, MP2 or MP3 encoders take.
    const fs::path song = dir_.path() / "surround.flac";
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=frequency=440:sample_rate=96000:duration=2 -ac 6 " +
                          ShellQuote(song.string())));
    for (const char* format : {"WMV", "M2V", "FLV", "MP4", "OGG"}) {
        SCOPED_TRACE(format);
        std::string out;
        std::string err;
        ASSERT_EQ(Merge("--format " + std::string(format) + " " + OutArg() + " " +
                            ShellQuote(media_->Path("video.mp4")) + " " + ShellQuote(song.string()),
                        &out, &err),
                  0)
            << err;
        const fs::path written = LastLine(out);
        EXPECT_EQ(RunFfprobe("-v error -select_streams a -show_entries stream=codec_type -of "
                             "csv=p=0 " +
                             ShellQuote(written.string())),
                  "audio\n");
        std::string errors;
        EXPECT_EQ(RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(written.string()) +
                                 " -f null - 2>&1",
                             &errors),
                  0);
        EXPECT_TRUE(errors.empty()) << errors;
        fs::remove(written);
    }
}

TEST_F(MergeCliTest, AFrameSizeIsNamedByItsNameItsDimensionsOrItsWholeEntry) {
    const struct {
        const char* format;
        const char* size;
        const char* option;
    } cases[] = {
        {"MP4", "hd720", "-s 1280x720"},
        {"MP4", "HD1080", "-s 1920x1080"},
        {"3GP", "qcif", "-s 176x144"},
        {"MKV", "640x480", "-s 640x480"},
        {"MKV", "1280x720 - hd720", "-s 1280x720"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        std::string out;
        std::string err;
        ASSERT_EQ(
            Merge("--dry-run --format " + std::string(c.format) + " --size " + ShellQuote(c.size) +
                      " " + OutArg() + " " + ShellQuote(media_->Path("video.mp4")) + " " +
                      ShellQuote(media_->Path("short.mp3")),
                  &out, &err),
            0)
            << err;
        EXPECT_NE(out.find(c.option), std::string::npos) << out;
    }
}

TEST_F(MergeCliTest, LibrariesThatCannotBeLoadedAreReportedAsSuch) {
    // A copy of the program whose "LibAV" folder holds a broken library.
    const fs::path bin = dir_.path() / "bin";
    fs::create_directories(bin / "LibAV");
    fs::copy_file(kProgram, bin / "tavrin-merge");
    std::ofstream(bin / "LibAV" / "libavutil.so.57") << "not a library\n";
    for (const char* mode : {"", "--dry-run "}) {
        SCOPED_TRACE(mode);
        std::string err;
        const int status = RunCommand(
            "HOME=" + ShellQuote(dir_.path().string()) +
                " XDG_CONFIG_HOME=" + ShellQuote((dir_.path() / "config").string()) + " " +
                ShellQuote((bin / "tavrin-merge").string()) + " " + mode + "--format MP4 " +
                OutArg() + " " + ShellQuote(media_->Path("video.mp4")) + " " +
                ShellQuote(media_->Path("short.mp3")) + " 2>&1 >/dev/null",
            &err);
        EXPECT_EQ(status, 1) << err;
        EXPECT_NE(err.find("media libraries could not be loaded"), std::string::npos) << err;
        EXPECT_NE(err.find((bin / "LibAV").string()), std::string::npos) << err;
        EXPECT_EQ(err.find("cannot open the video file"), std::string::npos) << err;
        EXPECT_TRUE(FolderEntries(out_).empty());
    }
}

TEST_F(MergeCliTest, CtrlCDuringTheFinalTaskKeepsAPlayablePartialFile) {
    // Long and large enough for the final task to be caught running.
    const fs::path video = MakeMergeVideo(dir_, "long.mp4", 60, "640x480");
    std::string songs;
    for (const int frequency : {330, 550, 770}) {
        songs += " " + ShellQuote(MakeSong(dir_, "long" + std::to_string(frequency) + ".mp3", 25,
                                           frequency)
                                      .string());
    }
    // Wait until the final task's file (under its hidden name while it is
    // written) holds data, then send SIGINT.
    const std::string script =
        "cd " + ShellQuote(dir_.path().string()) + " && HOME=. XDG_CONFIG_HOME=./config " +
        kProgram + " --format MKV " + OutArg() + " " + ShellQuote(video.string()) + songs +
        " >merge.out 2>merge.err & pid=$!; "
        "for i in $(seq 1 1200); do "
        "  f=$(ls " +
        ShellQuote(out_.string()) +
        "/.tavrin-partial-* 2>/dev/null | head -n1); "
        "  if [ -n \"$f\" ] && [ $(stat -c %s \"$f\") -gt 50000 ]; then break; fi; "
        "  sleep 0.05; "
        "done; kill -INT $pid; wait $pid; echo $?";
    std::string output;
    ASSERT_EQ(RunCommand(script, &output), 0);
    EXPECT_EQ(LastLine(output), "130");
    std::ifstream err_in(dir_.path() / "merge.err");
    std::stringstream err;
    err << err_in.rdbuf();
    EXPECT_NE(err.str().find("stopped"), std::string::npos) << err.str();

    const auto entries = FolderEntries(out_);
    ASSERT_EQ(entries.size(), 1u) << ::testing::PrintToString(entries);
    const fs::path file = out_ / entries.front();
    EXPECT_EQ(entries.front(), "merger-long-tempaudio-long330_(new).mkv");
    // Playable: cut short, and it decodes to its end without an error.
    const double seconds = StreamSeconds(file, "v");
    const std::string duration = RunFfprobe("-v error -show_entries format=duration -of csv=p=0 " +
                                            ShellQuote(file.string()));
    EXPECT_GT(std::stod(duration), 0.5);
    EXPECT_LT(std::stod(duration), 59);
    (void)seconds;
    std::string decode_errors;
    EXPECT_EQ(
        RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(file.string()) + " -f null - 2>&1",
                   &decode_errors),
        0);
    EXPECT_TRUE(decode_errors.empty()) << decode_errors;
}

}  // namespace
}  // namespace tavrin::testing

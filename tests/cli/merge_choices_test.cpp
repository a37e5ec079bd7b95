// The merge choices end to end through tavrin-merge on generated files:
// "Original" copies the video packet for packet, the fade silences the end,
// repeated songs fill the video, and the video's own sound runs under the
// songs. Levels are measured with the ffmpeg program's volumedetect filter.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/merge_test_support.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

// A 20 s H.264 video (B-frames, a key frame each second) with a 1 kHz tone,
// one without sound, one whose own container cannot be written with its
// codec, and songs of distinct tones.
class ChoicesMedia {
public:
    static ChoicesMedia& Get() {
        static ChoicesMedia media;
        return media;
    }
    std::string Path(const std::string& name) const { return ShellQuote((dir_ / name).string()); }
    fs::path File(const std::string& name) const { return dir_ / name; }

private:
    ChoicesMedia() {
        RunFfmpeg(
            "-f lavfi -i testsrc=size=320x240:rate=25:duration=20 -f lavfi -i "
            "sine=frequency=1000:sample_rate=44100:duration=20 -c:v libx264 -preset ultrafast "
            "-bf 2 -g 25 -c:a aac -b:a 96k -shortest " +
            ShellQuote((dir_ / "video.mp4").string()));
        RunFfmpeg("-f lavfi -i testsrc=size=160x120:rate=25:duration=6 -c:v mpeg4 " +
                  ShellQuote((dir_ / "silent.avi").string()));
        // ProRes, which the MP4 writer does not take, in a file named .mp4.
        RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=25:duration=2 -c:v prores_ks -f mov " +
                  ShellQuote((dir_ / "prores.mp4").string()));
        MakeSong(dir_, "a4.mp3", 4, 400);
        MakeSong(dir_, "b4.mp3", 4, 700);
        MakeSong(dir_, "a12.mp3", 12, 400);
        MakeSong(dir_, "b12.mp3", 12, 700);
        MakeSong(dir_, "long.mp3", 30, 400);
    }
    TempDir dir_;
};

// The mean level of the sound from `from` for `length` seconds, in dB, after
// the filter (a band pass, say); -100 when nothing could be measured.
double MeanVolume(const fs::path& file, double from, double length,
                  const std::string& filter = "") {
    std::string output;
    RunCommand("ffmpeg -nostdin -hide_banner -ss " + std::to_string(from) + " -t " +
                   std::to_string(length) + " -i " + ShellQuote(file.string()) +
                   " -map 0:a:0 -af " + filter + (filter.empty() ? "" : ",") +
                   "volumedetect -f null - 2>&1",
               &output);
    const auto at = output.find("mean_volume: ");
    return at == std::string::npos ? -100 : std::stod(output.substr(at + 13));
}

// A band pass around a tone.
std::string Band(int frequency) {
    return "bandpass=f=" + std::to_string(frequency) + ":width_type=q:w=8";
}

// The time stamps, sizes and checksums of every video packet, copied out as
// they are; with `times` false only the sizes and checksums.
std::string VideoPacketSums(const fs::path& file, bool times = true) {
    std::string sums;
    RunCommand("ffmpeg -nostdin -v error -i " + ShellQuote(file.string()) +
                   " -map 0:v -c copy -f framemd5 - | grep -v '^#'" +
                   (times ? "" : " | awk '{ print $5, $6 }'"),
               &sums);
    return sums;
}

class MergeChoicesTest : public ::testing::Test {
protected:
    void SetUp() override {
        media_ = &ChoicesMedia::Get();
        out_ = dir_.path() / "out";
    }
    // tavrin-merge --out <out> with the arguments; the written file, or ""
    // after a failed expectation.
    fs::path Merge(const std::string& arguments) {
        std::string out;
        const int status =
            RunWithOwnHome(dir_.path(), "tavrin-merge",
                           "--out " + ShellQuote(out_.string()) + " " + arguments, &out, &err_);
        EXPECT_EQ(status, 0) << err_;
        return status == 0 ? fs::path(LastLine(out)) : fs::path();
    }
    // Only the output stays: no temporary file.
    void ExpectOnlyOutputIn(const fs::path& file) {
        EXPECT_EQ(FolderEntries(out_), (std::vector<std::string>{file.filename().string()}));
    }

    ChoicesMedia* media_ = nullptr;
    TempDir dir_;
    fs::path out_;
    std::string err_;
};

TEST_F(MergeChoicesTest, OriginalCopiesTheVideoPacketForPacketUnderTheSongsInOrder) {
    const fs::path file = Merge("--format Original " + media_->Path("video.mp4") + " " +
                                media_->Path("a12.mp3") + " " + media_->Path("b12.mp3"));
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.extension(), ".mp4");
    const std::string sums = VideoPacketSums(file);
    EXPECT_FALSE(sums.empty());
    EXPECT_EQ(sums, VideoPacketSums(media_->File("video.mp4")));
    // Plays from the first frame: a key frame at time 0.
    EXPECT_EQ(RunFfprobe("-v error -select_streams v -show_entries packet=pts_time,flags "
                         "-read_intervals %+#1 -of csv=p=0 " +
                         ShellQuote(file.string())),
              "0.000000,K_\n");
    EXPECT_EQ(StreamCodec(file, "a"), "aac");
    EXPECT_NEAR(StreamSeconds(file, "a"), 20, 0.3);
    EXPECT_NEAR(ToneAt(file, 5), 400, 15);
    EXPECT_NEAR(ToneAt(file, 15), 700, 15);
    ExpectOnlyOutputIn(file);

    // The copied video keeps its size and quality: asking for others is refused.
    for (const char* option : {"--size hd720", "--quality 3"}) {
        std::string err;
        EXPECT_EQ(RunWithOwnHome(dir_.path(), "tavrin-merge",
                                 std::string("--format Original ") + option + " " +
                                     media_->Path("video.mp4") + " " + media_->Path("a4.mp3"),
                                 nullptr, &err),
                  2);
        EXPECT_NE(err.find("does not go with --format Original"), std::string::npos) << err;
    }
}

TEST_F(MergeChoicesTest, FadeOutSilencesTheEndAndZeroLeavesItLoud) {
    for (const int seconds : {3, 0}) {
        SCOPED_TRACE(seconds);
        const fs::path file =
            Merge("--format Original --fade-out " + std::to_string(seconds) + " " +
                  media_->Path("video.mp4") + " " + media_->Path("long.mp3"));
        ASSERT_FALSE(file.empty());
        const double end = StreamSeconds(file, "a");
        const double before = MeanVolume(file, end - 5, 1);
        const double last = MeanVolume(file, end - 0.2, 0.2);
        SCOPED_TRACE("end " + std::to_string(end) + ", before " + std::to_string(before) +
                     " dB, last " + std::to_string(last) + " dB");
        if (seconds > 0) {
            EXPECT_LE(last, before - 30);
        } else {
            EXPECT_NEAR(last, before, 3);
        }
        fs::remove(file);
    }
}

TEST_F(MergeChoicesTest, RepeatedSongsPlayInOrderToTheVideosEnd) {
    const fs::path file = Merge("--format Original --repeat " + media_->Path("video.mp4") + " " +
                                media_->Path("a4.mp3") + " " + media_->Path("b4.mp3"));
    ASSERT_FALSE(file.empty());
    EXPECT_NEAR(StreamSeconds(file, "a"), 20, 0.3);
    const double tones[] = {400, 700, 400, 700, 400};
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(ToneAt(file, 4 * i + 1.5), tones[i], 15) << "song " << i;
    }
    ExpectOnlyOutputIn(file);
}

TEST_F(MergeChoicesTest, TheVideosSoundRunsUnderTheSongsAtItsVolume) {
    const fs::path video = media_->File("video.mp4");
    const fs::path song = media_->File("a12.mp3");
    const fs::path file = Merge("--format Original --video-sound 50 " + media_->Path("video.mp4") +
                                " " + media_->Path("a12.mp3"));
    ASSERT_FALSE(file.empty());
    // Both tones: the video's 6 dB lower, the song's as loud as alone (the
    // mix does not halve it).
    EXPECT_NEAR(MeanVolume(file, 2, 4, Band(1000)), MeanVolume(video, 2, 4, Band(1000)) - 6, 1.5);
    EXPECT_NEAR(MeanVolume(file, 2, 4, Band(400)), MeanVolume(song, 2, 4, Band(400)), 1.5);
    // After the song the video's sound goes on to the end.
    EXPECT_NEAR(StreamSeconds(file, "a"), 20, 0.3);
    EXPECT_NEAR(ToneAt(file, 16), 1000, 30);
    fs::remove(file);

    // A video without sound merges as before and says so.
    const fs::path silent = Merge("--format MKV --video-sound 50 " + media_->Path("silent.avi") +
                                  " " + media_->Path("a4.mp3"));
    ASSERT_FALSE(silent.empty());
    EXPECT_NE(err_.find("the video has no sound of its own"), std::string::npos) << err_;
    EXPECT_NEAR(ToneAt(silent, 1), 400, 15);
}

TEST_F(MergeChoicesTest, ValuesOutsideTheirRangesAreUsageErrors) {
    const struct {
        const char* options;
        const char* message;
    } cases[] = {
        {"--fade-out 11", "--fade-out takes whole seconds from 0 (no fade) to 10, not \"11\""},
        {"--fade-out 2.5", "--fade-out takes whole seconds"},
        {"--video-sound 101", "--video-sound takes a volume in percent from 0 (none) to 100"},
        {"--video-sound -5", "--video-sound takes a volume in percent"},
        {"--repeat --no-repeat", "--repeat and --no-repeat exclude each other"},
        {"--repeat=1", "--repeat takes no value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        std::string err;
        EXPECT_EQ(RunWithOwnHome(dir_.path(), "tavrin-merge",
                                 std::string(c.options) + " " + media_->Path("video.mp4") + " " +
                                     media_->Path("a4.mp3"),
                                 nullptr, &err),
                  2);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

TEST_F(MergeChoicesTest, OriginalTakesMatroskaWhenTheOwnContainerCannotCarryTheVideo) {
    const fs::path file =
        Merge("--format Original " + media_->Path("prores.mp4") + " " + media_->Path("a4.mp3"));
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.extension(), ".mkv");
    EXPECT_NE(err_.find("cannot carry its prores video"), std::string::npos) << err_;
    EXPECT_NE(err_.find("Matroska (.mkv) is used"), std::string::npos) << err_;
    // Matroska moves every stream by the AAC encoder's priming (23 ms) to keep
    // time stamps non-negative, as with the ffmpeg program: packets compare
    // by their bytes.
    const std::string sums = VideoPacketSums(file, false);
    EXPECT_FALSE(sums.empty());
    EXPECT_EQ(sums, VideoPacketSums(media_->File("prores.mp4"), false));
    ExpectOnlyOutputIn(file);
}

}  // namespace
}  // namespace tavrin::testing

// What tavrin-merge plans where one wrong character in a comparison would
// change it, seen in its exit status and its dry run's JSON: both ends of
// every documented range, format and size names in any case, "Original" on
// extensions in capitals, the video's own sound when it is stream 0 or one of
// two tracks, and a cover picture stored after the movie.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "core/merge_test_support.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

// Small files, made once: a 4 s video with its sound as stream 1, the same
// streams with the sound first, two stereo tracks of equal standing, a cover
// picture after the movie, copies named as cameras name them, and a 2 s song.
class EdgesMedia {
public:
    static EdgesMedia& Get() {
        static EdgesMedia media;
        return media;
    }
    std::string Path(const std::string& name) const { return ShellQuote((dir_ / name).string()); }
    fs::path File(const std::string& name) const { return dir_ / name; }

private:
    EdgesMedia() {
        const fs::path video = MakeMergeVideo(dir_, "video.mp4", 4);
        RunFfmpeg("-i " + Q(video) + " -map 0:a -map 0:v -c copy " + Q(dir_ / "soundfirst.mp4"));
        RunFfmpeg("-i " + Q(video) +
                  " -f lavfi -i sine=frequency=300:duration=4 -map 0:v -map 0:a -map 1:a -c:v copy "
                  "-c:a aac -ac 2 " +
                  Q(dir_ / "twotracks.mkv"));
        const fs::path thumb = dir_ / "thumb.png";
        RunFfmpeg("-f lavfi -i testsrc=size=64x48:duration=1 -frames:v 1 " + Q(thumb));
        RunFfmpeg("-i " + Q(video) + " -i " + Q(thumb) +
                  " -map 0:v -map 0:a -map 1:v -c:v:0 copy -c:a copy -c:v:1 png "
                  "-disposition:v:1 attached_pic " +
                  Q(dir_ / "cover.mp4"));
        for (const char* name : {"clip.mov", "CLIP.MOV", "Clip.Mov", "CLIP.3GP", "Clip.M4v"}) {
            fs::copy_file(video, dir_ / name);
        }
        RunFfmpeg(
            "-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -f lavfi -i "
            "sine=duration=1 -c:v libvpx -deadline realtime -c:a libopus -f webm " +
            Q(dir_ / "CLIP.WEBM"));
        MakeSong(dir_, "song.mp3", 2, 440);
    }
    static std::string Q(const fs::path& path) { return ShellQuote(path.string()); }

    TempDir dir_;
};

class MergePlanEdgesTest : public ::testing::Test {
protected:
    void SetUp() override { media_ = &EdgesMedia::Get(); }

    // tavrin-merge --dry-run --json with the arguments; its exit status, the
    // JSON plan's values in values_ and stderr in err_.
    int DryRun(const std::string& arguments) {
        const std::string out = ShellQuote((dir_.path() / "out").string());
        std::string json;
        const int status =
            RunWithOwnHome(dir_.path(), "tavrin-merge",
                           "--dry-run --json --out " + out + " " + arguments, &json, &err_);
        ReadValues(json);
        return status;
    }
    // One value of the JSON plan by its keys ("video.video_stream"): a
    // string as it is, anything else as JSON text.
    std::string Value(const std::string& keys) const {
        const auto found = values_.find(keys);
        return found == values_.end() ? "(no " + keys + " in the plan)" : found->second;
    }

private:
    // Every object member of the plan under its dotted keys, read in one go
    // by Python's json module, an independent reader of the plan.
    void ReadValues(const std::string& json) {
        values_.clear();
        const fs::path file = dir_.path() / "plan.json";
        std::ofstream(file) << json;
        std::string lines;
        RunCommand(
            "python3 -c 'import json, sys\n"
            "def walk(keys, value):\n"
            "    if keys: print(keys, value if isinstance(value, str) else "
            "json.dumps(value), sep=\"\\t\")\n"
            "    if isinstance(value, dict):\n"
            "        for key, item in value.items(): walk(keys + \".\" * bool(keys) + key, item)\n"
            "walk(\"\", json.load(open(sys.argv[1])))' " +
                ShellQuote(file.string()),
            &lines);
        std::istringstream in(lines);
        std::string line;
        while (std::getline(in, line)) {
            const auto tab = line.find('\t');
            if (tab != std::string::npos) {
                values_[line.substr(0, tab)] = line.substr(tab + 1);
            }
        }
    }

    std::map<std::string, std::string> values_;

protected:
    EdgesMedia* media_ = nullptr;
    TempDir dir_;
    std::string err_;
};

// Each documented end is taken, and reaches the options, not refused.
TEST_F(MergePlanEdgesTest, EveryRangeIsTakenAtBothEnds) {
    const struct {
        const char* options;
        const char* key;
        const char* value;    // of the key in the JSON
        const char* present;  // in the final options, "" for nothing
        const char* absent;   // not in the final options, "" for nothing
    } cases[] = {
        {"--fade-out 0", "fade_out_s", "0", "", "afade"},
        {"--fade-out 10", "fade_out_s", "10", "afade=t=out:", ""},
        {"--video-sound 0", "video_sound_percent", "0", "", "amix"},
        {"--video-sound 100", "video_sound_percent", "100", "[0:1]volume=1[videosound]", ""},
        {"--quality 0", "final_options", nullptr, "-qscale 0 ", ""},
        {"--quality 10", "final_options", nullptr, "-qscale 10 ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(DryRun("--format MKV " + std::string(c.options) + " " +
                         media_->Path("video.mp4") + " " + media_->Path("song.mp3")),
                  0)
            << err_;
        if (c.value != nullptr) {
            EXPECT_EQ(Value(c.key), c.value);
        }
        const std::string options = Value("final_options") + " ";
        if (*c.present != '\0') {
            EXPECT_NE(options.find(c.present), std::string::npos) << options;
        }
        if (*c.absent != '\0') {
            EXPECT_EQ(options.find(c.absent), std::string::npos) << options;
        }
    }
}

// Format and frame size names are found in any letter case, at both ends of
// their lists, and a size listed twice takes its first entry.
TEST_F(MergePlanEdgesTest, FormatAndSizeNamesAreFoundInAnyCaseAtBothEndsOfTheirLists) {
    const struct {
        const char* options;
        const char* format;
        const char* frame_size;
        const char* present;  // in the final options, "" for nothing
    } cases[] = {
        {"--format 3gp --size SQCIF", "3GP", "128x96 - sqcif", "-s 128x96 "},
        {"--format 3GP --size 704X576", "3GP", "704x576 - 4cif", "-s 704x576 "},
        {"--format iPOD --size auto", "iPod", "Auto - Original", "-c:v mpeg4 "},
        {"--format mkv --size HD1080", "MKV", "1920x1080 - hd1080", "-s 1920x1080 "},
        {"--format MKV --size 852x480", "MKV", "852x480 - wvga", "-s 852x480 "},
        {"--format m2v --size Hd480", "M2V", "852x480 - hd480", "-s 852x480 "},
        {"--format ORIGINAL", "Original", "Auto - Original", "-c:v copy "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_EQ(DryRun(std::string(c.options) + " " + media_->Path("video.mp4") + " " +
                         media_->Path("song.mp3")),
                  0)
            << err_;
        EXPECT_EQ(Value("format.name"), c.format);
        EXPECT_EQ(Value("frame_size.name"), c.frame_size);
        const std::string options = Value("final_options") + " ";
        EXPECT_NE(options.find(c.present), std::string::npos) << options;
        if (std::string(c.frame_size).rfind("Auto", 0) == 0) {
            EXPECT_EQ(options.find(" -s "), std::string::npos) << options;
        }
    }
}

// The video's own sound comes from its first audio stream, wherever that is:
// stream 0 when stored before the picture, the first of two equal tracks.
TEST_F(MergePlanEdgesTest, VideoSoundIsTheFirstAudioStreamWhereverItIs) {
    const struct {
        const char* video;
        const char* filter;  // the start of the sound filter
        const char* map;
    } cases[] = {
        {"video.mp4", "-filter_complex [0:1]volume=0.5[videosound]", "-map 0:0 -map [sound]"},
        {"soundfirst.mp4", "-filter_complex [0:0]volume=0.5[videosound]", "-map 0:1 -map [sound]"},
        {"twotracks.mkv", "-filter_complex [0:1]volume=0.5[videosound]", "-map 0:0 -map [sound]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.video);
        ASSERT_EQ(DryRun("--format MKV --video-sound 50 " + media_->Path(c.video) + " " +
                         media_->Path("song.mp3")),
                  0)
            << err_;
        const std::string options = Value("final_options");
        EXPECT_NE(options.find(c.filter), std::string::npos) << options;
        EXPECT_NE(options.find(c.map), std::string::npos) << options;
        EXPECT_EQ(Value("notes"), "[]");
        EXPECT_EQ(err_.find("no sound"), std::string::npos) << err_;
    }
}

// "Original" keeps the video's own container whatever the letter case of its
// extension.
TEST_F(MergePlanEdgesTest, OriginalKeepsTheContainerOfAnExtensionInAnyCase) {
    const struct {
        const char* video;
        const char* muxer;
        const char* suffix;
    } cases[] = {
        {"clip.mov", "-f mov ", ".mov"}, {"CLIP.MOV", "-f mov ", ".mov"},
        {"Clip.Mov", "-f mov ", ".mov"}, {"CLIP.3GP", "-f 3gp ", ".3gp"},
        {"Clip.M4v", "-f mp4 ", ".m4v"}, {"CLIP.WEBM", "-f webm ", ".webm"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.video);
        ASSERT_EQ(
            DryRun("--format Original " + media_->Path(c.video) + " " + media_->Path("song.mp3")),
            0)
            << err_;
        const std::string options = Value("final_options");
        EXPECT_NE(options.find(c.muxer), std::string::npos) << options;
        EXPECT_EQ(fs::path(Value("output_file")).extension(), c.suffix);
        EXPECT_EQ(Value("notes"), "[]");
    }
}

// A cover picture stored after the movie is not the video: the plan maps the
// movie, and the written file carries the movie's pictures.
TEST_F(MergePlanEdgesTest, ACoverPictureAfterTheMovieLeavesTheMovieTheVideo) {
    ASSERT_EQ(
        DryRun("--format Original " + media_->Path("cover.mp4") + " " + media_->Path("song.mp3")),
        0)
        << err_;
    EXPECT_EQ(Value("video.video_stream"), "0");
    const std::string options = Value("final_options");
    EXPECT_NE(options.find("-map 0:0 -map 1:0"), std::string::npos) << options;

    std::string out;
    ASSERT_EQ(
        RunWithOwnHome(dir_.path(), "tavrin-merge",
                       "--format Original --out " + ShellQuote((dir_.path() / "out").string()) +
                           " " + media_->Path("cover.mp4") + " " + media_->Path("song.mp3"),
                       &out, &err_),
        0)
        << err_;
    const fs::path written = LastLine(out);
    EXPECT_EQ(RunFfprobe("-v error -show_entries stream=codec_type,codec_name,width,height -of "
                         "csv=p=0 " +
                         ShellQuote(written.string())),
              "mpeg4,video,160,120\naac,audio\n");
}

}  // namespace
}  // namespace tavrin::testing

#include "app/core/merge_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <set>
#include <sstream>

#include "app/core/choice_lists.h"
#include "app/core/output_file_name.h"
#include "app/core/settings.h"
#include "fixtures/media_fixtures.h"

namespace tavrin {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr std::int64_t kSecond = 1000000;

// Option texts carry runs of blanks that the option parser ignores.
std::string Collapse(const std::string& options) {
    std::istringstream words(options);
    std::string word, collapsed;
    while (words >> word) {
        collapsed += (collapsed.empty() ? "" : " ") + word;
    }
    return collapsed;
}

int FormatIndexOf(std::string_view name) {
    const auto names = FormatNames();
    const auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

EncoderTest Encoders(std::set<std::string> names) {
    return [names = std::move(names)](std::string_view name) {
        return names.count(std::string(name)) > 0;
    };
}

TEST(MergePlan, FinalOptionsOfEveryFormatWithAndWithoutTheOptionalEncoders) {
    struct Row {
        const char* format;
        std::optional<bool> libfaac;  // nullopt: the same with and without
        std::optional<bool> amrnb;
        const char* options;  // before the map; frame size entry 0, no quality
        const char* suffix;
    };
    const Row rows[] = {
        {"3GP", std::nullopt, true, "-b:a 12.2k -f 3gp -ac 1 -ar 8000 -c:v h263 -s 128x96", ".3gp"},
        {"3GP", true, false, "-b:a 12.2k -f 3gp -ac 1 -ar 8000 -c:a libfaac -c:v h263 -s 128x96",
         ".3gp"},
        {"3GP", false, false,
         "-b:a 12.2k -f 3gp -ac 1 -ar 8000 -c:a aac -astrict experimental -c:v h263 -s 128x96",
         ".3gp"},
        {"AVI", std::nullopt, std::nullopt, "", ".avi"},
        {"FLV", std::nullopt, std::nullopt, "-f flv -ar 44100 -c:a libmp3lame", ".flv"},
        {"iPod", true, std::nullopt, "-r 15000/1001 -c:a libfaac -c:v mpeg4", "_ipod.mp4"},
        {"iPod", false, std::nullopt, "-r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4",
         "_ipod.mp4"},
        {"MKV", std::nullopt, std::nullopt, "-pix_fmt yuv420p -c:v libx264", ".mkv"},
        {"MOV", true, std::nullopt, "-f mov -c:a libfaac -pix_fmt yuv420p -c:v libx264", ".mov"},
        {"MOV", false, std::nullopt,
         "-f mov -c:a aac -astrict experimental -pix_fmt yuv420p -c:v libx264", ".mov"},
        {"MP4", true, std::nullopt, "-c:v mpeg4 -c:a libfaac", ".mp4"},
        {"MP4", false, std::nullopt, "-c:v mpeg4 -c:a aac -astrict experimental", ".mp4"},
        {"OGG", std::nullopt, std::nullopt, "-c:a libvorbis -c:v libtheora", ".ogg"},
        {"PSP", true, std::nullopt, "-f psp -ar 24000 -r 15000/1001 -c:a libfaac -c:v mpeg4",
         "_psp.mp4"},
        {"PSP", false, std::nullopt,
         "-f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4", "_psp.mp4"},
        {"RM10", std::nullopt, std::nullopt, "-c:v rv10", "_rv10.rm"},
        {"RM20", std::nullopt, std::nullopt, "-c:v rv20", "_rv20.rm"},
        {"SWF", std::nullopt, std::nullopt, "-f flv -ar 44100 -c:a libmp3lame", ".swf"},
        {"WMV", std::nullopt, std::nullopt, "-ac 2 -ar 44100 -c:a wmav2 -c:v wmv2", ".wmv"},
        {"WebM", std::nullopt, std::nullopt, "-f webm -c:a libvorbis -c:v libvpx", ".webm"},
        {"M1V", std::nullopt, std::nullopt, "-c:a mp2 -c:v mpeg1video", ".mpg"},
        {"M2V", std::nullopt, std::nullopt, "-c:a ac3 -c:v mpeg2video", ".mpg"},
    };
    std::set<std::string> formatsSeen;
    for (const Row& row : rows) {
        const int index = FormatIndexOf(row.format);
        ASSERT_GE(index, 0) << row.format;
        formatsSeen.insert(row.format);
        for (const bool libfaac : {false, true}) {
            for (const bool amrnb : {false, true}) {
                if ((row.libfaac && *row.libfaac != libfaac) ||
                    (row.amrnb && *row.amrnb != amrnb)) {
                    continue;
                }
                std::set<std::string> available = {"aac", "libmp3lame", "mpeg4", "h263"};
                if (libfaac) {
                    available.insert("libfaac");
                }
                if (amrnb) {
                    available.insert("libopencore_amrnb");
                }
                const TOutputChoices choices{index, 0, 6, false, 4};
                const auto options = BuildFinalOutputOptions(choices, 0, Encoders(available));
                ASSERT_TRUE(options.has_value()) << row.format;
                const std::string expected =
                    Collapse(std::string(row.options) + " -map 0:0 -map 1:0");
                EXPECT_EQ(Collapse(*options), expected)
                    << row.format << " libfaac=" << libfaac << " amrnb=" << amrnb;
            }
        }
        EXPECT_EQ(FinalOutputSuffix(index), row.suffix) << row.format;
    }
    // "Original", the last entry, has no preset: it is planned from the video's facts.
    EXPECT_EQ(formatsSeen.size(), FormatNames().size() - 1) << "every preset has a row";
}

TEST(MergePlan, FrameSizeQualityThreadsAndMap) {
    struct Case {
        const char* name;
        const char* format;
        int frameSize;
        int quality;
        bool useQuality;
        int processors;
        int videoStream;
        const char* expected;  // without the preset part
    };
    const Case cases[] = {
        {"3GP qcif, quality 6, four processors", "3GP", 1, 6, true, 4, 0,
         "-s 176x144 -qscale 6 -threads 4 -map 0:0 -map 1:0"},
        {"3GP first entry is a size", "3GP", 0, 0, false, 4, 0, "-s 128x96 -map 0:0 -map 1:0"},
        {"3GP last entry", "3GP", 3, 0, false, 4, 0, "-s 704x576 -map 0:0 -map 1:0"},
        {"3GP with no size selected", "3GP", -1, 0, false, 4, 0, "-map 0:0 -map 1:0"},
        {"Auto - Original adds no size", "AVI", 0, 0, false, 4, 0, "-map 0:0 -map 1:0"},
        {"size text up to its first blank", "AVI", 15, 0, false, 4, 0,
         "-s 852x480 -map 0:0 -map 1:0"},
        {"last size", "AVI", 28, 0, false, 4, 0, "-s 1920x1080 -map 0:0 -map 1:0"},
        {"a size outside the list adds nothing", "AVI", 29, 0, false, 4, 0, "-map 0:0 -map 1:0"},
        {"one processor: no threads", "AVI", 0, 3, true, 1, 0, "-qscale 3 -map 0:0 -map 1:0"},
        {"two processors", "AVI", 0, 10, true, 2, 0, "-qscale 10 -threads 2 -map 0:0 -map 1:0"},
        {"best quality is position 0", "AVI", 0, 0, true, 8, 0,
         "-qscale 0 -threads 8 -map 0:0 -map 1:0"},
        {"box not ticked", "AVI", 0, 6, false, 8, 0, "-map 0:0 -map 1:0"},
        {"ticked but no quality selected", "AVI", 0, -1, true, 8, 0, "-map 0:0 -map 1:0"},
        {"video is stream 1", "AVI", 0, 0, false, 1, 1, "-map 0:1 -map 1:0"},
    };
    for (const auto& c : cases) {
        const TOutputChoices choices{FormatIndexOf(c.format), c.frameSize, c.quality, c.useQuality,
                                     c.processors};
        const auto options = BuildFinalOutputOptions(choices, c.videoStream, Encoders({}));
        ASSERT_TRUE(options.has_value()) << c.name;
        const std::string presetPart =
            std::string(c.format) == "3GP"
                ? "-b:a 12.2k -f 3gp -ac 1 -ar 8000 -c:a aac -astrict experimental -c:v h263 "
                : "";
        EXPECT_EQ(Collapse(*options), presetPart + c.expected) << c.name;
    }
}

TEST(MergePlan, OptionsAreAppendedVerbatimWithOneBlankEach) {
    std::string options;
    AddOption(options, "-f flv");
    AddOption(options, " -s 1x1 ");
    EXPECT_EQ(options, " -f flv  -s 1x1 ");

    const auto withAmrNb =
        BuildFinalOutputOptions({0, 1, 6, true, 4}, 0, Encoders({"libopencore_amrnb"}));
    EXPECT_EQ(withAmrNb,
              " -b:a 12.2k  -f 3gp  -ac 1 -ar 8000 -c:v h263  -s 176x144  -qscale 6 -threads 4"
              " -map 0:0 -map 1:0");
}

TEST(MergePlan, NoFormatSelectedGivesNoOptions) {
    for (const int index : {-1, 16}) {
        EXPECT_FALSE(BuildFinalOutputOptions({index, 0, 0, true, 1}, 0, Encoders({})));
        EXPECT_FALSE(FinalOutputSuffix(index));
    }
    std::string error;
    TMergeRequest request;
    request.Choices.FormatIndex = -1;
    EXPECT_FALSE(PlanMerge(request, Encoders({}), &error));
    EXPECT_FALSE(error.empty());
}

TEST(MergePlan, DefaultAacEncoderPrefersLibfaac) {
    EXPECT_EQ(DefaultAacEncoder(Encoders({"libfaac", "aac"})), "libfaac");
    EXPECT_EQ(DefaultAacEncoder(Encoders({"aac"})), "aac");
    EXPECT_EQ(DefaultAacEncoder(nullptr), "aac");
}

TEST(MergePlan, JoinDecision) {
    const std::string tail = " -c:a libmp3lame  -ac 2 -ab 128000 -ar 44100  -vn";
    const std::int64_t video = 200700000;  // 3 min 20.7 s
    struct Case {
        const char* name;
        std::int64_t video;
        std::vector<std::int64_t> audio;
        std::optional<std::string> options;  // nullopt: no join, first file used directly
        bool join;
    };
    const Case cases[] = {
        {"one file shorter than the video", video, {60 * kSecond}, std::nullopt, false},
        {"one file exactly as long", video, {video}, std::nullopt, false},
        {"one file longer: cut, no join flag", video, {600 * kSecond}, " -t 200.7" + tail, false},
        {"10 minutes in three files",
         video,
         {200 * kSecond, 200 * kSecond, 200 * kSecond},
         " -t 200.7" + tail,
         true},
        {"cut to milliseconds", 5960000, {3 * kSecond, 3 * kSecond}, " -t 5.96" + tail, true},
        {"a video under a second", 200000, {3 * kSecond}, " -t 0.2" + tail, false},
        {"whole seconds", 20000999, {30 * kSecond}, " -t 20" + tail, false},
        {"leading zeros of the fraction", 7005000, {30 * kSecond}, " -t 7.005" + tail, false},
        {"three files shorter in total still join",
         video,
         {30 * kSecond, 30 * kSecond, 30 * kSecond},
         tail,
         true},
        {"two files exactly as long as the video", video, {100 * kSecond, 100700000}, tail, true},
        {"one microsecond longer cuts",
         video,
         {100 * kSecond, 100700001},
         " -t 200.7" + tail,
         true},
        {"no audio files", video, {}, std::nullopt, false},
        {"unknown video length, one file", -1, {60 * kSecond}, std::nullopt, false},
        {"unknown video length, two files: joined uncut",
         -1,
         {60 * kSecond, 60 * kSecond},
         tail,
         true},
        {"unknown audio length counts as zero", video, {-1}, std::nullopt, false},
        {"unknown and long audio", video, {-1, 300 * kSecond}, " -t 200.7" + tail, true},
        {"absurd lengths do not wrap the total",
         video,
         {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max()},
         " -t 200.7" + tail,
         true},
    };
    for (const auto& c : cases) {
        const auto join = BuildJoinOutputOptions(c.video, c.audio);
        ASSERT_EQ(join.has_value(), c.options.has_value()) << c.name;
        if (join) {
            EXPECT_EQ(join->Options, *c.options) << c.name;
            EXPECT_EQ(join->Join, c.join) << c.name;
        }
    }
}

TEST(MergePlan, TemporaryAndOutputNames) {
    EXPECT_EQ(TempAudioFileName("/out", "/music/song.x.mp3"), "/out/tempaudio-song.x.mp3");
    EXPECT_EQ(TempAudioFileName("/out/", "song.wav"), "/out/tempaudio-song.mp3");
    // Each name loses its own last extension, so dots elsewhere stay.
    EXPECT_EQ(
        *FreeFileName(MergeOutputPattern("/no/such/out", "/v/my.clip.avi", "/music/song", ".mp4"),
                      TNameUse::Propose),
        "/no/such/out/merger-my.clip-song_(new).mp4");
}

// The plan together with the output folder: the names a merge ends up with.
TEST(MergePlan, PlansGiveTheExpectedTasksAndOutputPaths) {
    TempDir dir;
    const std::string out = (dir / "out").string();
    TSettings settings((dir / "tavrin.ini").string());
    settings.SetOutputDir(out);
    const auto outputPath = [&](const TMergePlan& plan) {
        return *FreeFileName(
            MergeOutputPattern(PrepareOutputFolder(settings, nullptr), "/videos/clip.avi",
                               plan.AudioInput, plan.OutputSuffix),
            TNameUse::Propose);
    };

    TMergeRequest request;
    request.VideoFile = "/videos/clip.avi";
    request.VideoDuration = 200700000;
    request.FirstVideoStreamIndex = 1;
    request.OutputFolder = out;
    request.Choices = {FormatIndexOf("MKV"), 0, 6, false, 2};

    // One shorter file is used directly.
    request.AudioFiles = {{"/music/song.wav", 60 * kSecond}};
    auto plan = PlanMerge(request, Encoders({}));
    ASSERT_TRUE(plan);
    EXPECT_FALSE(plan->JoinOutput);
    EXPECT_EQ(plan->TempAudioFile, "");
    EXPECT_EQ(plan->AudioInput, "/music/song.wav");
    EXPECT_EQ(Collapse(plan->FinalOptions), "-pix_fmt yuv420p -c:v libx264 -map 0:1 -map 1:0");
    EXPECT_EQ(outputPath(*plan), out + "/merger-clip-song_(new).mkv");

    // Several files are joined into the temporary file, which feeds the final task.
    request.Choices.FormatIndex = FormatIndexOf("MP4");
    request.AudioFiles = {{"/music/song.mp3", 30 * kSecond}, {"/music/b.ogg", 30 * kSecond}};
    plan = PlanMerge(request, Encoders({}));
    ASSERT_TRUE(plan);
    ASSERT_TRUE(plan->JoinOutput);
    EXPECT_TRUE(plan->JoinOutput->Join);
    EXPECT_EQ(plan->TempAudioFile, out + "/tempaudio-song.mp3");
    EXPECT_EQ(plan->AudioInput, plan->TempAudioFile);
    EXPECT_EQ(outputPath(*plan), out + "/merger-clip-tempaudio-song_(new).mp4");

    // A file, listed or not, that has the temporary name is never written
    // over, nor is a link of that name followed.
    fs::create_directories(out);
    std::ofstream(out + "/tempaudio-song.mp3") << "listed";
    fs::create_symlink(dir / "nowhere", out + "/tempaudio-song_(1).mp3");
    request.AudioFiles = {{out + "/song.mp3", 300 * kSecond},
                          {out + "/tempaudio-song.mp3", 30 * kSecond}};
    plan = PlanMerge(request, Encoders({}));
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->TempAudioFile, out + "/tempaudio-song_(2).mp3");

    // Without a join the map takes the first audio stream of the song (a
    // cover picture may come first); the join's file has its sound first.
    request.AudioFiles = {{"/music/cover.mp3", 10 * kSecond, 1}};
    plan = PlanMerge(request, Encoders({}));
    ASSERT_TRUE(plan);
    EXPECT_FALSE(plan->JoinOutput);
    EXPECT_NE(plan->FinalOptions.find("-map 0:1 -map 1:1"), std::string::npos);
    request.AudioFiles = {{"/music/cover.mp3", 300 * kSecond, 1}};
    plan = PlanMerge(request, Encoders({}));
    ASSERT_TRUE(plan);
    EXPECT_TRUE(plan->JoinOutput);
    EXPECT_NE(plan->FinalOptions.find("-map 0:1 -map 1:0"), std::string::npos);

    // No audio files: the final task gets an empty audio input and fails there.
    request.AudioFiles.clear();
    plan = PlanMerge(request, Encoders({}));
    ASSERT_TRUE(plan);
    EXPECT_FALSE(plan->JoinOutput);
    EXPECT_EQ(plan->AudioInput, "");
}

// The merge choices on a 20 s video: what each adds to the two tasks.
TEST(MergePlan, MergeChoicesShapeTheJoinAndTheFinalOptions) {
    const std::string mp3 = " -c:a libmp3lame  -ac 2 -ab 128000 -ar 44100  -vn";
    struct Case {
        const char* name;
        int fade;
        bool repeat;
        int videoSound;
        int videoAudioStream;  // of the video file, -1 none
        std::vector<std::int64_t> songs;
        std::optional<std::string> join;  // nullopt: no join
        int passes;
        const char* sound;  // the final options between the preset's and the map's
        const char* map;
        const char* note;  // a part of the one note expected, "" for none
    };
    const Case cases[] = {
        {"all off", 0, false, 0, 1, {8 * kSecond}, std::nullopt, 1, "", "-map 0:0 -map 1:0", ""},
        {"fade at the end of a song shorter than the video",
         3,
         false,
         0,
         1,
         {8 * kSecond},
         std::nullopt,
         1,
         "-af afade=t=out:st=5:d=3:curve=qua",
         "-map 0:0 -map 1:0",
         ""},
        {"fade at the video's end of a cut join",
         3,
         false,
         0,
         1,
         {30 * kSecond},
         " -t 20" + mp3,
         1,
         "-af afade=t=out:st=17:d=3:curve=qua",
         "-map 0:0 -map 1:0",
         ""},
        {"a fade longer than the sound fades all of it",
         10,
         false,
         0,
         1,
         {4500000},
         std::nullopt,
         1,
         "-af afade=t=out:st=0:d=4.5:curve=qua",
         "-map 0:0 -map 1:0",
         "all of it fades"},
        {"repeat two 4 s songs to 20 s",
         0,
         true,
         0,
         1,
         {4 * kSecond, 4 * kSecond},
         " -t 20" + mp3,
         3,
         "",
         "-map 0:0 -map 1:0",
         ""},
        {"repeat one song: joined with itself",
         0,
         true,
         0,
         1,
         {6 * kSecond},
         " -t 20" + mp3,
         4,
         "",
         "-map 0:0 -map 1:0",
         ""},
        {"repeat songs already long enough",
         0,
         true,
         0,
         1,
         {12 * kSecond, 12 * kSecond},
         " -t 20" + mp3,
         1,
         "",
         "-map 0:0 -map 1:0",
         ""},
        {"repeat songs of zero length plays them once",
         0,
         true,
         0,
         1,
         {0, 0},
         mp3,
         1,
         "",
         "-map 0:0 -map 1:0",
         "no length"},
        {"repeat and fade end at the video's end",
         2,
         true,
         0,
         1,
         {8 * kSecond},
         " -t 20" + mp3,
         3,
         "-af afade=t=out:st=18:d=2:curve=qua",
         "-map 0:0 -map 1:0",
         ""},
        {"video sound at 50 %",
         0,
         false,
         50,
         1,
         {8 * kSecond},
         std::nullopt,
         1,
         "-filter_complex [0:1]volume=0.5[videosound];[1:0][videosound]"
         "amix=inputs=2:duration=longest:normalize=0[sound]",
         "-map 0:0 -map [sound]",
         ""},
        {"video sound and fade: the fade ends with the video",
         3,
         false,
         7,
         2,
         {8 * kSecond},
         std::nullopt,
         1,
         "-filter_complex [0:2]volume=0.07[videosound];[1:0][videosound]"
         "amix=inputs=2:duration=longest:normalize=0,afade=t=out:st=17:d=3:curve=qua[sound]",
         "-map 0:0 -map [sound]",
         ""},
        {"video sound of a silent video: the songs alone",
         0,
         false,
         100,
         -1,
         {8 * kSecond},
         std::nullopt,
         1,
         "",
         "-map 0:0 -map 1:0",
         "no sound of its own"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMergeRequest request;
        request.VideoFile = "/videos/clip.mp4";
        request.VideoDuration = 20 * kSecond;
        request.FirstVideoStreamIndex = 0;
        request.Video = {"mov,mp4,m4a,3gp,3g2,mj2", "h264", c.videoAudioStream, true};
        request.OutputFolder = "/no/such/out";
        request.Choices = {FormatIndexOf("MKV"), 0, 0, false, 1};
        request.Choices.FadeOutSeconds = c.fade;
        request.Choices.RepeatSongs = c.repeat;
        request.Choices.VideoSoundPercent = c.videoSound;
        for (std::size_t i = 0; i < c.songs.size(); ++i) {
            request.AudioFiles.push_back({"/music/song" + std::to_string(i) + ".mp3", c.songs[i]});
        }
        const auto plan = PlanMerge(request, Encoders({"aac", "libmp3lame"}));
        ASSERT_TRUE(plan);
        ASSERT_EQ(plan->JoinOutput.has_value(), c.join.has_value());
        if (plan->JoinOutput) {
            EXPECT_EQ(plan->JoinOutput->Options, *c.join);
            EXPECT_EQ(plan->JoinOutput->Passes, c.passes);
            EXPECT_EQ(plan->JoinOutput->Join, c.songs.size() * c.passes > 1);
        }
        EXPECT_EQ(Collapse(plan->FinalOptions),
                  Collapse(std::string("-pix_fmt yuv420p -c:v libx264 ") + c.sound + " " + c.map));
        if (*c.note == '\0') {
            EXPECT_TRUE(plan->Notes.empty()) << plan->Notes.front();
        } else {
            ASSERT_EQ(plan->Notes.size(), 1u);
            EXPECT_NE(plan->Notes[0].find(c.note), std::string::npos) << plan->Notes[0];
        }
    }
}

// "Original": the video's own container when it carries the copied video
// with sound this build encodes, else Matroska; the songs joined as PCM.
TEST(MergePlan, OriginalCopiesTheVideoIntoItsOwnContainerOrMatroska) {
    // Fake muxers: mp4 takes no VP9 here, avi no H.264, webm only Opus.
    const MuxerTest carries = [](std::string_view muxer, std::string_view video,
                                 std::string_view audio) {
        return !(muxer == "mp4" && video == "vp9") && !(muxer == "avi" && video == "h264") &&
               !(muxer == "webm" && audio != "libopus");
    };
    struct Case {
        const char* name;
        const char* container;
        const char* file;
        const char* codec;
        std::set<std::string> encoders;
        const char* options;  // before the map
        const char* suffix;
        bool note;
    };
    const Case cases[] = {
        {"mp4 stays mp4",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/clip.MP4",
         "h264",
         {"aac"},
         "-f mp4 -c:v copy -c:a aac -astrict experimental",
         ".mp4",
         false},
        {"mov by its extension",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/clip.mov",
         "h264",
         {"aac"},
         "-f mov -c:v copy -c:a aac -astrict experimental",
         ".mov",
         false},
        // Phones and cameras name their files in capitals: the extension
        // decides in any letter case.
        {"MOV in capitals",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/CLIP.MOV",
         "h264",
         {"aac"},
         "-f mov -c:v copy -c:a aac -astrict experimental",
         ".mov",
         false},
        {"Mov in mixed case",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/Clip.Mov",
         "h264",
         {"aac"},
         "-f mov -c:v copy -c:a aac -astrict experimental",
         ".mov",
         false},
        {"3GP in capitals",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/CLIP.3GP",
         "h264",
         {"aac"},
         "-f 3gp -c:v copy -c:a aac -astrict experimental",
         ".3gp",
         false},
        {"3G2 in capitals",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/CLIP.3G2",
         "h264",
         {"aac"},
         "-f 3g2 -c:v copy -c:a aac -astrict experimental",
         ".3g2",
         false},
        {"M4v in mixed case",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/Clip.M4v",
         "h264",
         {"aac"},
         "-f mp4 -c:v copy -c:a aac -astrict experimental",
         ".m4v",
         false},
        {"WEBM in capitals",
         "matroska,webm",
         "/v/CLIP.WEBM",
         "vp9",
         {"libopus", "aac"},
         "-f webm -c:v copy -c:a libopus",
         ".webm",
         false},
        {"libfaac where it exists",
         "mov,mp4,m4a,3gp,3g2,mj2",
         "/v/clip.mp4",
         "h264",
         {"aac", "libfaac"},
         "-f mp4 -c:v copy -c:a libfaac",
         ".mp4",
         false},
        {"the next encoder of the row",
         "avi",
         "/v/clip.avi",
         "mpeg4",
         {"mp2"},
         "-f avi -c:v copy -c:a mp2",
         ".avi",
         false},
        {"a codec the own container cannot carry",
         "avi",
         "/v/clip.avi",
         "h264",
         {"aac"},
         "-f matroska -c:v copy -c:a aac -astrict experimental",
         ".mkv",
         true},
        {"no encoder for the own container",
         "webm",
         "/v/clip.webm",
         "vp9",
         {"aac"},
         "-f matroska -c:v copy -c:a aac -astrict experimental",
         ".mkv",
         true},
        {"webm with Opus",
         "matroska,webm",
         "/v/clip.webm",
         "vp9",
         {"libopus", "aac"},
         "-f webm -c:v copy -c:a libopus",
         ".webm",
         false},
        {"a container the merge does not write",
         "h264",
         "/v/raw.264",
         "h264",
         {"aac"},
         "-f matroska -c:v copy -c:a aac -astrict experimental",
         ".mkv",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TMergeRequest request;
        request.VideoFile = c.file;
        request.VideoDuration = 20 * kSecond;
        request.FirstVideoStreamIndex = 0;
        request.Video = {c.container, c.codec, -1, false};
        request.OutputFolder = "/no/such/out";
        request.Choices = {FormatIndexOf("Original"), 5, 3, true, 4};  // size and quality unused
        request.AudioFiles = {{"/music/a.mp3", 12 * kSecond}, {"/music/b.mp3", 12 * kSecond}};
        const auto plan = PlanMerge(request, Encoders(c.encoders), nullptr, carries);
        ASSERT_TRUE(plan);
        EXPECT_EQ(Collapse(plan->FinalOptions),
                  Collapse(std::string(c.options) + " -map 0:0 -map 1:0"));
        EXPECT_EQ(plan->OutputSuffix, c.suffix);
        EXPECT_EQ(plan->Notes.size(), c.note ? 1u : 0u);
        ASSERT_TRUE(plan->JoinOutput);
        EXPECT_EQ(plan->JoinOutput->Options, " -t 20 -c:a pcm_s16le  -ac 2 -ar 44100  -vn -f wav");
        EXPECT_EQ(plan->TempAudioFile, "/no/such/out/tempaudio-a.wav");
    }

    // No container at all takes the codec: a clear refusal.
    TMergeRequest request;
    request.VideoFile = "/v/clip.xyz";
    request.Video = {"odd", "odd_codec", -1, false};
    request.Choices.FormatIndex = FormatIndexOf("Original");
    request.AudioFiles = {{"/music/a.mp3", kSecond}};
    std::string error;
    const MuxerTest none = [](std::string_view, std::string_view, std::string_view) {
        return false;
    };
    EXPECT_FALSE(PlanMerge(request, Encoders({"aac"}), &error, none));
    EXPECT_NE(error.find("odd_codec video cannot be copied"), std::string::npos) << error;
}

}  // namespace
}  // namespace tavrin

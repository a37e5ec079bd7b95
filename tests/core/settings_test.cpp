#include "app/core/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/core/choice_lists.h"
#include "app/core/global_object.h"
#include "app/core/output_file_name.h"
#include "core_test_support.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

// An empty home and configuration folder for one test.
struct FreshUser {
    TempDir home;
    TempDir config;
    ScopedEnv homeEnv{"HOME", home.path().string()};
    ScopedEnv configEnv{"XDG_CONFIG_HOME", config.path().string()};
};

TEST(StartUp, FirstStartStoresAndCreatesTheFolderUnderHome) {
    FreshUser user;
    const TGlobalObject global = CreateGlobalObject();
    ASSERT_FALSE(fs::exists(global.IniFileName()));
    TSettings settings(global.IniFileName());

    const std::string expected = user.home.path().string() + "/tavrinfree";
    EXPECT_EQ(RestoreOutputFolder(settings), expected);
    EXPECT_TRUE(fs::is_directory(expected));
    EXPECT_FALSE(fs::exists(user.home / "tavrin")) << "the default folder is not made";
    std::ifstream ini(global.IniFileName());
    const std::string text((std::istreambuf_iterator<char>(ini)), {});
    EXPECT_EQ(text, "[settings]\nOutPutDir=" + expected + "\n");
}

TEST(StartUp, StoredFolderIsKeptOnlyWhenItCanBeWritten) {
    FreshUser user;
    testing::UnwritableFolder locked;
    TempDir writable;
    struct Case {
        const char* name;
        std::string stored;
        bool kept;
    };
    const Case cases[] = {
        {"writable", writable.path().string(), true},
        {"existing but not writable", locked.path(), false},
        {"missing", (writable / "gone").string(), false},
    };
    const std::string fallback = user.home.path().string() + "/tavrinfree";
    for (const auto& c : cases) {
        TSettings settings((user.config / "tavrin.ini").string());
        ASSERT_TRUE(settings.SetOutputDir(c.stored));
        const std::string expected = c.kept ? c.stored : fallback;
        EXPECT_EQ(RestoreOutputFolder(settings), expected) << c.name;
        EXPECT_EQ(settings.OutputDir(), expected) << c.name;
        EXPECT_TRUE(fs::is_directory(expected)) << c.name;
    }
}

TEST(Choices, ListsHaveTheirEntriesInOrder) {
    ASSERT_EQ(FormatNames().size(), 17u);
    EXPECT_EQ(FormatNames().front(), "3GP");
    EXPECT_EQ(FormatNames()[6], "MP4");
    EXPECT_EQ(FormatNames()[15], "M2V");
    EXPECT_EQ(FormatNames().back(), "Original");
    EXPECT_EQ(FrameSizeNames("MKV").size(), 29u);
    EXPECT_EQ(FrameSizeNames("MKV").front(), "Auto - Original");
    EXPECT_EQ(FrameSizeNames("MKV")[15], "852x480 - wvga");
    EXPECT_EQ(FrameSizeNames("MKV").back(), "1920x1080 - hd1080");
    ASSERT_EQ(FrameSizeNames("3GP").size(), 4u);
    EXPECT_EQ(FrameSizeNames("3GP").front(), "128x96 - sqcif");
    EXPECT_EQ(FrameSizeNames("3gp").size(), 4u);
    ASSERT_EQ(QualityNames().size(), 11u);
    EXPECT_EQ(QualityNames()[6], "6(Recommend)");
}

TEST(Choices, RestoredSelectionsFollowTheStoredIndexes) {
    struct Case {
        const char* name;
        int format, frameSize, quality;
        bool useQuality;
        int expectedFormat, expectedFrameSize, expectedQuality;
        std::size_t sizeCount;
    };
    const Case cases[] = {
        {"ordinary", 4, 10, 6, true, 4, 10, 6, 29},
        {"3GP keeps a size it has", 0, 3, 0, false, 0, 3, 0, 4},
        {"3GP falls back to its first size", 0, 10, 0, true, 0, 0, 0, 4},
        {"3GP and a negative size", 0, -2, 0, true, 0, 0, 0, 4},
        {"the last size and quality", 15, 28, 10, true, 15, 28, 10, 29},
        {"indexes outside the lists select nothing", 17, 29, 11, true, -1, -1, -1, 29},
        {"negative indexes select nothing", -1, -1, -1, false, -1, -1, -1, 29},
    };
    for (const auto& c : cases) {
        TempDir dir;
        TSettings settings((dir / "tavrin.ini").string());
        settings.SetOutputFormatIndex(c.format);
        settings.SetFrameSizeIndex(c.frameSize);
        settings.SetVideoQualityIndex(c.quality);
        settings.SetUseVideoQuality(c.useQuality);
        const TChoiceState state = RestoreChoices(settings);
        EXPECT_EQ(state.FormatIndex, c.expectedFormat) << c.name;
        EXPECT_EQ(state.FrameSizes.size(), c.sizeCount) << c.name;
        EXPECT_EQ(state.FrameSizeIndex, c.expectedFrameSize) << c.name;
        EXPECT_EQ(state.QualityIndex, c.expectedQuality) << c.name;
        EXPECT_EQ(state.UseVideoQuality, c.useQuality) << c.name;
        EXPECT_EQ(state.QualityListEnabled, c.useQuality) << c.name;
    }
}

TEST(Choices, ASizeChosenForAnotherFormatSurvivesAVisitTo3gp) {
    TempDir dir;
    TSettings settings((dir / "tavrin.ini").string());
    settings.SetOutputFormatIndex(4);  // MKV
    settings.SetFrameSizeIndex(10);

    TChoiceState state = ChangeFormat(settings, 0);  // 3GP
    EXPECT_EQ(state.FrameSizes.size(), 4u);
    EXPECT_EQ(state.FrameSizeIndex, 0);
    EXPECT_EQ(settings.OutputFormatIndex(), 0);
    EXPECT_EQ(settings.FrameSizeIndex(), 10);

    state = ChangeFormat(settings, 4);
    EXPECT_EQ(state.FrameSizes.size(), 29u);
    EXPECT_EQ(state.FrameSizeIndex, 10);
    EXPECT_EQ(settings.OutputFormatIndex(), 4);

    settings.SetFrameSizeIndex(2);  // a size within the 3GP list is shown there
    EXPECT_EQ(ChangeFormat(settings, 0).FrameSizeIndex, 2);
}

// The output name a merge proposes in the stored folder, prepared first.
std::string ProposedOutput(TSettings& settings, std::string_view video, std::string_view audio,
                           std::string_view suffix, const WarningSink& warn) {
    return *FreeFileName(
        MergeOutputPattern(PrepareOutputFolder(settings, warn), video, audio, suffix),
        TNameUse::Propose);
}

struct OutputNameCase {
    const char* name;
    std::string storedFolder;  // relative to the test folder
    std::vector<std::string> existing;
    std::string video;
    std::string audio;
    std::string suffix;
    std::string expected;  // relative to the test folder
};

TEST(Choices, MergeChoicesAreOffInAnOlderFileAndReadBackAsStored) {
    TempDir dir;
    const auto ini = dir / "tavrin.ini";
    // A file from before the merge choices, and stored values outside their ranges.
    std::ofstream(ini) << "[settings]\noutputformatindex=6\nusevideoquality=1\n";
    TSettings settings(ini.string());
    EXPECT_EQ(settings.FadeOutSeconds(), 0);
    EXPECT_FALSE(settings.RepeatSongs());
    EXPECT_EQ(settings.VideoSoundPercent(), 0);
    EXPECT_EQ(settings.OutputFormatIndex(), 6);

    ASSERT_TRUE(settings.SetFadeOutSeconds(3));
    ASSERT_TRUE(settings.SetRepeatSongs(true));
    ASSERT_TRUE(settings.SetVideoSoundPercent(50));
    ASSERT_TRUE(settings.SetOutputFormatIndex(16));
    const TSettings restarted(ini.string());
    EXPECT_EQ(restarted.FadeOutSeconds(), 3);
    EXPECT_TRUE(restarted.RepeatSongs());
    EXPECT_EQ(restarted.VideoSoundPercent(), 50);
    EXPECT_EQ(FormatNameAt(restarted.OutputFormatIndex()), "Original");
    // "Original" greys out the frame-size and quality controls.
    const TChoiceState state = RestoreChoices(restarted);
    EXPECT_FALSE(state.FrameSizeListEnabled);
    EXPECT_FALSE(state.QualityListEnabled);

    for (const int outside : {-1, 11}) {
        settings.SetFadeOutSeconds(outside);
        EXPECT_EQ(settings.FadeOutSeconds(), 0) << outside;
    }
    for (const int outside : {-5, 101}) {
        settings.SetVideoSoundPercent(outside);
        EXPECT_EQ(settings.VideoSoundPercent(), 0) << outside;
    }
}

TEST(OutputFileName, NamesAreFreeAndHaveOneSeparator) {
    const OutputNameCase cases[] = {
        {"no trailing separator",
         "out",
         {},
         "/v/clip.avi",
         "/a/song.mp3",
         ".mp4",
         "out/merger-clip-song_(new).mp4"},
        {"trailing separator",
         "out/",
         {},
         "/v/clip.avi",
         "/a/song.mp3",
         ".mp4",
         "out/merger-clip-song_(new).mp4"},
        {"three earlier results",
         "out",
         {"merger-clip-song_(new).mp4", "merger-clip-song_(new_1).mp4",
          "merger-clip-song_(new_2).mp4"},
         "/v/clip.avi",
         "/a/song.mp3",
         ".mp4",
         "out/merger-clip-song_(new_3).mp4"},
        {"a gap is reused",
         "out",
         {"merger-c-s_(new).mkv", "merger-c-s_(new_2).mkv"},
         "c.avi",
         "s.mp3",
         ".mkv",
         "out/merger-c-s_(new_1).mkv"},
        {"another suffix is free",
         "out",
         {"merger-a-b_(new).mp4"},
         "a.mp4",
         "b.wav",
         "_psp.mp4",
         "out/merger-a-b_(new)_psp.mp4"},
        {"only the last extension goes",
         "out",
         {},
         "clip.avi",
         "song.x.mp3",
         ".mpg",
         "out/merger-clip-song.x_(new).mpg"},
        {"a missing folder is created",
         "new/deep",
         {},
         "c.avi",
         "s.mp3",
         ".avi",
         "new/deep/merger-c-s_(new).avi"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        fs::create_directories(dir / "out");
        for (const auto& name : c.existing) {
            std::ofstream(dir / "out" / name) << "x";
        }
        TSettings settings((dir / "tavrin.ini").string());
        const std::string folder = dir.path().string() + "/" + c.storedFolder;
        settings.SetOutputDir(folder);
        int warnings = 0;
        const std::string made =
            ProposedOutput(settings, c.video, c.audio, c.suffix,
                           [&](std::string_view, std::string_view) { ++warnings; });
        EXPECT_EQ(made, dir.path().string() + "/" + c.expected) << c.name;
        EXPECT_FALSE(fs::exists(made)) << c.name;
        EXPECT_EQ(made.find("//"), std::string::npos) << c.name;
        EXPECT_EQ(warnings, 0) << c.name;
        EXPECT_EQ(settings.OutputDir(), folder) << c.name;
        EXPECT_TRUE(fs::is_directory(fs::path(made).parent_path())) << c.name;
    }
}

TEST(OutputFileName, AFolderThatCannotBeMadeWarnsAndStoresTheDefault) {
    FreshUser user;
    TempDir dir;
    std::ofstream(dir / "plainfile") << "x";  // a file where a folder should be
    const std::string folder = (dir / "plainfile" / "out").string();
    TSettings settings((user.config / "tavrin.ini").string());
    settings.SetOutputDir(folder);

    std::string title, text;
    const std::string made =
        ProposedOutput(settings, "clip.avi", "song.mp3", ".mkv",
                       [&](std::string_view t, std::string_view x) { title = t, text = x; });
    EXPECT_EQ(title, "Warning");
    EXPECT_NE(text.find(folder), std::string::npos) << text;
    // This name stays in the folder that was read; later merges use the default.
    EXPECT_EQ(made, folder + "/merger-clip-song_(new).mkv");
    const std::string defaultFolder = user.home.path().string() + "/tavrin";
    EXPECT_EQ(settings.OutputDir(), defaultFolder);
    EXPECT_TRUE(fs::is_directory(defaultFolder));
}

}  // namespace
}  // namespace tavrin

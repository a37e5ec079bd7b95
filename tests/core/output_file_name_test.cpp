// The one rule of free names in the output folder: shortening long names to
// the file system's limit, proposing and reserving the same name, and the
// removal of a created file only while it is still the one created.
#include "app/core/output_file_name.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/created_file.h"
#include "fixtures/media_fixtures.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

bool ValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if ((lead & 0xC0) == 0x80 || i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

TEST(OutputFileName, LongNamesAreShortenedFairlyOnCharacterBoundaries) {
    const std::string e_acute = "\xc3\xa9";
    std::string accented;
    for (int i = 0; i < 100; ++i) {
        accented += e_acute;
    }
    const struct {
        const char* name;
        std::string video;
        std::string audio;
        unsigned long long n;
        std::string expected;  // "" when only the limits are checked
    } cases[] = {
        {"short names stay whole", "/v/clip.mp4", "/o/song.mp3", 0, "merger-clip-song_(new).mp4"},
        {"the counter is kept", "/v/clip.mp4", "/o/song.mp3", 12, "merger-clip-song_(new_12).mp4"},
        {"a long video and a long song", "/v/" + std::string(131, 'v') + ".mp4",
         "/o/tempaudio-" + std::string(133, 's') + ".mp3", 0, ""},
        {"one long name leaves the short one whole", "/v/clip.mp4",
         "/o/" + std::string(300, 's') + ".mp3", 3,
         "merger-clip-" + std::string(255 - 12 - 12, 's') + "_(new_3).mp4"},
        {"two-byte characters", "/v/" + accented + ".mp4", "/o/" + accented + ".mp3", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            NameAt(MergeOutputPattern("/out", c.video, c.audio, ".mp4"), c.n, 255);
        ASSERT_EQ(path.rfind("/out/", 0), 0u);
        const std::string name = path.substr(5);
        EXPECT_LE(name.size(), 255u);
        EXPECT_TRUE(ValidUtf8(name)) << name;
        EXPECT_EQ(name.rfind("merger-", 0), 0u);
        if (!c.expected.empty()) {
            EXPECT_EQ(name, c.expected);
        } else {
            // Both parts keep a fair share: neither is cut to nothing.
            EXPECT_GE(name.size(), 250u) << name;
            EXPECT_EQ(name.substr(7, 4), fs::path(c.video).filename().string().substr(0, 4));
        }
    }
    const std::string temp =
        NameAt(TempAudioPattern("/out", "/o/" + std::string(300, 's') + ".mp3"), 2, 255);
    EXPECT_EQ(temp, "/out/tempaudio-" + std::string(255 - 10 - 8, 's') + "_(2).mp3");
}

// Proposing (the dry run) and reserving (the merge) give the same name.
TEST(OutputFileName, ProposedAndReservedNamesAgree) {
    const std::string first = "merger-clip-song_(new).mkv";
    const struct {
        const char* name;
        std::vector<std::string> files;
        bool dangling_link;
        const char* expected;
    } cases[] = {
        {"empty folder", {}, false, "merger-clip-song_(new).mkv"},
        {"a dangling link", {}, true, "merger-clip-song_(new_1).mkv"},
        {"an existing file", {first}, false, "merger-clip-song_(new_1).mkv"},
        {"_(new) and _(new_1)",
         {first, "merger-clip-song_(new_1).mkv"},
         false,
         "merger-clip-song_(new_2).mkv"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const auto& file : c.files) {
            std::ofstream(dir / file) << "x";
        }
        if (c.dangling_link) {
            fs::create_symlink(dir / "elsewhere.mkv", dir / first);
        }
        const auto pattern =
            MergeOutputPattern(dir.path().string(), "/v/clip.avi", "/m/song.mp3", ".mkv");
        const auto proposed = FreeFileName(pattern, TNameUse::Propose);
        ASSERT_TRUE(proposed);
        EXPECT_EQ(*proposed, (dir / c.expected).string());
        EXPECT_FALSE(fs::exists(*proposed));
        std::string error;
        const auto reserved = FreeFileName(pattern, TNameUse::Reserve, &error);
        ASSERT_TRUE(reserved) << error;
        EXPECT_EQ(*reserved, *proposed);
        EXPECT_TRUE(fs::is_regular_file(*reserved));
        EXPECT_EQ(fs::file_size(*reserved), 0u);
        EXPECT_FALSE(fs::exists(dir / "elsewhere.mkv"));
        // The next reservation moves on.
        EXPECT_NE(FreeFileName(pattern, TNameUse::Reserve), reserved);
    }
}

TEST(OutputFileName, AFolderThatCannotTakeTheFileFailsTheReservation) {
    TempDir dir;
    const auto pattern =
        MergeOutputPattern((dir / "missing").string(), "/v/clip.avi", "/m/song.mp3", ".mkv");
    std::string error;
    EXPECT_FALSE(FreeFileName(pattern, TNameUse::Reserve, &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_NE(error.find((dir / "missing").string()), std::string::npos) << error;
}

TEST(CreatedFile, RemovesOnlyTheFileItCreated) {
    TempDir dir;
    const fs::path mine = dir / "mine.mp3";
    const auto create = [&mine] {
        std::ofstream(mine) << "x";
        struct stat info {};
        EXPECT_EQ(::lstat(mine.c_str(), &info), 0);
        return TFileIdentity{info.st_dev, info.st_ino};
    };
    { TCreatedFile file(mine.string(), create()); }
    EXPECT_FALSE(fs::exists(mine));

    // Replaced meanwhile by another file: that one stays, and so does the
    // created file under its new name.
    TCreatedFile replaced(mine.string(), create());
    fs::rename(mine, dir / "moved.mp3");
    std::ofstream(mine) << "someone else's";
    replaced.Remove();
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(dir / "moved.mp3"));
    fs::remove(mine);

    // Kept: stays.
    TCreatedFile kept(mine.string(), create());
    kept.Keep();
    kept.Remove();
    EXPECT_TRUE(fs::exists(mine));

    // Moved: the new owner removes it, the old one no longer can.
    TCreatedFile first(mine.string(), create());
    TCreatedFile second = std::move(first);
    first.Remove();
    EXPECT_TRUE(fs::exists(mine));
    second.Remove();
    EXPECT_FALSE(fs::exists(mine));
}

TEST(CreatedFile, AFileSwappedInRightAfterTheReservationIsNotTakenForOurs) {
    TempDir dir;
    const auto pattern =
        MergeOutputPattern(dir.path().string(), "/v/clip.avi", "/m/song.mp3", ".mkv");
    std::string error;
    TFileIdentity identity;
    const auto reserved = FreeFileName(pattern, TNameUse::Reserve, &error, &identity);
    ASSERT_TRUE(reserved) << error;
    // Before the merge takes charge of the name, someone moves the reserved
    // file away and puts their own there.
    fs::rename(*reserved, dir / "reserved.mkv");
    std::ofstream(*reserved) << "someone else's";
    TCreatedFile output(*reserved, identity);
    output.Remove();
    EXPECT_TRUE(fs::exists(*reserved));
    EXPECT_TRUE(fs::exists(dir / "reserved.mkv"));
    // The reserved file itself is removed by its identity.
    fs::remove(*reserved);
    fs::rename(dir / "reserved.mkv", *reserved);
    TCreatedFile(*reserved, identity).Remove();
    EXPECT_FALSE(fs::exists(*reserved));
}

}  // namespace
}  // namespace tavrin

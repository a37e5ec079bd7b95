#include "app/core/output_folder_rule.h"

#include <gtest/gtest.h>

#include "app/core/settings.h"
#include "core_test_support.h"

namespace tavrin {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

// Checks whose answers a case fixes: "/media/cdrom/..." lies on a disc and
// "/locked/..." cannot be written.
TFolderChecks FakeChecks() {
    return {
        [](const std::string& folder) { return folder.starts_with("/media/cdrom"); },
        [](const std::string& folder) { return !folder.starts_with("/locked"); },
        [] { return std::string(" alice \t"); },
        [] { return std::string("/home/alice/tavrinfree"); },
    };
}

TEST(OutputFolderRule, EachChoiceGetsItsOutcomeMessageAndFolder) {
    struct Case {
        const char* chosen;
        TFolderChoiceOutcome outcome;
        std::string message;
        std::string folder;
    };
    const Case cases[] = {
        {"", TFolderChoiceOutcome::Unchanged, "", ""},
        {"/home/alice/out", TFolderChoiceOutcome::Unchanged, "", ""},
        {"/", TFolderChoiceOutcome::NotValid, "The path / is not a valid directory.", ""},
        {"/mn", TFolderChoiceOutcome::NotValid, "The path /mn is not a valid directory.", ""},
        // Three characters but more bytes: the length counts characters.
        {"/éé", TFolderChoiceOutcome::NotValid, "The path /éé is not a valid directory.", ""},
        {"/mnt", TFolderChoiceOutcome::Stored, "", "/mnt"},
        {"/media/cdrom/music", TFolderChoiceOutcome::OnOpticalDisc,
         "Output folder cannot be located in CD-ROM.Please select another folder.", ""},
        {"/locked/out", TFolderChoiceOutcome::NoPermission,
         "You login as alice .You don't have permission to write to directory:/locked/out",
         "/home/alice/tavrinfree"},
        {"/home/alice/videos", TFolderChoiceOutcome::Stored, "", "/home/alice/videos"},
    };
    for (const auto& c : cases) {
        const TFolderChoice choice = DecideOutputFolder(c.chosen, "/home/alice/out", FakeChecks());
        EXPECT_EQ(choice.outcome, c.outcome) << c.chosen;
        EXPECT_EQ(choice.message, c.message) << c.chosen;
        EXPECT_EQ(choice.folder, c.folder) << c.chosen;
    }
}

TEST(OutputFolderRule, SystemChecksFallBackToTheStartUpFolder) {
    TempDir home;
    ScopedEnv homeEnv("HOME", home.path().string());
    testing::UnwritableFolder locked;
    TempDir writable;
    const TFolderChecks checks = SystemFolderChecks();

    const TFolderChoice refused = DecideOutputFolder(locked.path(), "", checks);
    EXPECT_EQ(refused.outcome, TFolderChoiceOutcome::NoPermission);
    EXPECT_EQ(refused.folder, FallbackOutputDir());
    EXPECT_EQ(refused.folder, home.path().string() + "/tavrinfree");
    EXPECT_NE(refused.message.find("You login as " + checks.userName() + " .You"),
              std::string::npos)
        << refused.message;

    const TFolderChoice stored = DecideOutputFolder(writable.path().string(), "", checks);
    EXPECT_EQ(stored.outcome, TFolderChoiceOutcome::Stored);
    EXPECT_EQ(stored.folder, writable.path().string());
}

TEST(OutputFolderRule, OnlyCdAndDvdFileSystemsCountAsDiscs) {
    TempDir dir;
    EXPECT_FALSE(IsOnOpticalDisc(dir.path().string()));
    EXPECT_FALSE(IsOnOpticalDisc("/proc"));
    EXPECT_FALSE(IsOnOpticalDisc((dir / "missing").string()));
    EXPECT_FALSE(IsOnOpticalDisc(""));
}

}  // namespace
}  // namespace tavrin

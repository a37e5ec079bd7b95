#include "app/core/global_object.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/core/duration_text.h"
#include "core_test_support.h"
#include "fixtures/build_paths.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

TEST(GlobalObject, SettersIgnoreValuesThatCannotBeRight) {
    TGlobalObject global;
    global.SetIniFileName("/home/u/.config/tavrinfree/tavrin.ini");
    global.SetProductName("Tavrin Free ");
    global.SetVersionText(" 1.000 ");
    global.SetProductPageUrl("https://tavrin.org/");

    global.SetIniFileName("abc");  // 3 characters: ignored
    global.SetIniFileName("/é/");  // 3 characters in 4 bytes: ignored
    global.SetProductName("");
    global.SetVersionText("");
    global.SetProductPageUrl("");
    EXPECT_EQ(global.IniFileName(), "/home/u/.config/tavrinfree/tavrin.ini");
    EXPECT_EQ(global.ProductName(), "Tavrin Free ");
    EXPECT_EQ(global.VersionText(), " 1.000 ");
    EXPECT_EQ(global.ProductPageUrl(), "https://tavrin.org/");

    global.SetIniFileName("/a/b");  // 4 characters: taken
    EXPECT_EQ(global.IniFileName(), "/a/b");
}

TEST(GlobalObject, SpecialFolderIsTheConfigurationFolderWithOneTrailingSlash) {
    struct Case {
        std::optional<std::string> xdg;
        std::string expected;
    };
    const std::string home = "/home/someone";
    const Case cases[] = {
        {"/xdg/config", "/xdg/config/"},
        {"/xdg/config/", "/xdg/config/"},
        {std::nullopt, "/home/someone/.config/"},
        {"", "/home/someone/.config/"},
        {"relative/config", "/home/someone/.config/"},  // not absolute: ignored
    };
    ScopedEnv homeEnv("HOME", home);
    for (const auto& c : cases) {
        ScopedEnv xdgEnv("XDG_CONFIG_HOME", c.xdg);
        EXPECT_EQ(GetSpecialFolderPath(kCommonAppDataFolder), c.expected)
            << "XDG_CONFIG_HOME=" << c.xdg.value_or("(unset)");
    }
    EXPECT_EQ(GetSpecialFolderPath(26), "");  // no other folder numbers
}

TEST(GlobalObject, CreatingTheObjectPreparesTheSettingsFolder) {
    TempDir config;
    ScopedEnv xdg("XDG_CONFIG_HOME", config.path().string());
    const TGlobalObject global = CreateGlobalObject();
    EXPECT_EQ(global.IniFileName(), config.path().string() + "/tavrinfree/tavrin.ini");
    EXPECT_TRUE(fs::is_directory(config.path() / "tavrinfree"));
    EXPECT_EQ(global.ProductName(), "Tavrin Free ");
    EXPECT_EQ(global.VersionText(), ProjectVersionText());
    EXPECT_FALSE(global.ProductPageUrl().empty());
}

TEST(GlobalObject, WriteTestCreatesAndRemovesItsFile) {
    TempDir dir;
    EXPECT_TRUE(CanWriteToDirectory(dir.path().string()));
    EXPECT_TRUE(fs::is_empty(dir.path())) << "the test file was left behind";

    testing::UnwritableFolder locked;
    EXPECT_FALSE(CanWriteToDirectory(locked.path()));
    EXPECT_FALSE(CanWriteToDirectory((dir.path() / "missing").string()));
    EXPECT_FALSE(CanWriteToDirectory(""));
}

TEST(GlobalObject, RightPartCountsCharacters) {
    struct Case {
        std::string text;
        std::size_t count;
        std::string expected;
    };
    const Case cases[] = {
        {"/home/out", 1, "t"}, {"/home/out/", 1, "/"}, {"ab", 5, "ab"},
        {"", 1, ""},           {"abc", 0, ""},         {"/mü/ñ", 2, "/ñ"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RightPart(c.text, c.count), c.expected) << c.text << " " << c.count;
    }
}

TEST(GlobalObject, VersionTextHasOnePointAndABlankOnEachSide) {
    EXPECT_EQ(MakeVersionText(2, 10, 3, 4), " 2.1034 ");
    EXPECT_EQ(MakeVersionText(1, 6, 0, 10), " 1.6010 ");
    EXPECT_EQ(MakeVersionText(0, 0, 0, 0), " 0.000 ");
}

TEST(GlobalObject, VersionTextFollowsTheProjectVersion) {
    std::ifstream cmake(std::string(testing::kSourceDir) + "/CMakeLists.txt");
    const std::string text((std::istreambuf_iterator<char>(cmake)), {});
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        text, match, std::regex(R"(project\(\w+ VERSION (\d+)\.(\d+)\.(\d+)\.(\d+))")));
    EXPECT_EQ(ProjectVersionText(),
              " " + match[1].str() + "." + match[2].str() + match[3].str() + match[4].str() + " ");
}

TEST(GlobalObject, UserNameAndProcessorCountComeFromTheSystem) {
    std::string expected;
    ASSERT_EQ(testing::RunCommand("id -un", &expected), 0);
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == ' ')) {
        expected.pop_back();
    }
    EXPECT_EQ(GetCurrentUserName(), expected);

    std::string online;
    ASSERT_EQ(testing::RunCommand("getconf _NPROCESSORS_ONLN", &online), 0);
    EXPECT_EQ(GetProcessorCount(), std::stoi(online));
}

TEST(DurationText, FormatsHoursMinutesSecondsAndMilliseconds) {
    struct Case {
        std::int64_t microseconds;
        const char* expected;
    };
    const Case cases[] = {
        {0, "00:00:00.000"},
        {3723004000, "01:02:03.004"},
        {200700000, "00:03:20.700"},
        {999, "00:00:00.000"},              // below a millisecond
        {90000000000LL, "25:00:00.000"},    // hours do not wrap at 24
        {360000000000LL, "100:00:00.000"},  // nor stop at two digits
        {-1, "00:00:00.000"},               // the decoder's "unknown"
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatDuration(c.microseconds), c.expected) << c.microseconds;
    }
}

}  // namespace
}  // namespace tavrin

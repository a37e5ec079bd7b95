#include "app/core/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "app/core/settings.h"
#include "core_test_support.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using namespace std::string_literals;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

// Every line of a valid file is blank, a comment, a section header or a
// key=value entry, in UTF-8 text, and the file ends with a line break.
::testing::AssertionResult IsValidIni(const std::string& content) {
    if (content.empty()) {
        return ::testing::AssertionFailure() << "empty file";
    }
    if (content.back() != '\n') {
        return ::testing::AssertionFailure() << "no final line break";
    }
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        if (!IsStorableIniValue(line)) {
            return ::testing::AssertionFailure() << "not a text line: " << line;
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        const bool header = line.front() == '[' && line.back() == ']';
        const bool entry = line.find('=') != std::string::npos && line.front() != '=';
        if (!(header || entry || line.front() == ';')) {
            return ::testing::AssertionFailure() << "line is no INI line: " << line;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(IniText, SetValueReplacesInsertsOrAppendsAndKeepsEverythingElse) {
    struct Case {
        const char* name;
        std::string before;
        std::string key;
        std::string value;
        std::string after;
    };
    const Case cases[] = {
        {"empty file", "", "framesizeindex", "3", "[settings]\nframesizeindex=3\n"},
        {"replaces in place, other case of section and key",
         "; mine\n[Other]\nframesizeindex=9\n[SETTINGS]\nA=1\nFrameSizeIndex = 7\nB=2\n",
         "framesizeindex", "4",
         "; mine\n[Other]\nframesizeindex=9\n[SETTINGS]\nA=1\nframesizeindex=4\nB=2\n"},
        {"inserts after the section's last entry, before the blank line",
         "[settings]\nA=1\n\n[next]\nC=3\n", "OutPutDir", "/out",
         "[settings]\nA=1\nOutPutDir=/out\n\n[next]\nC=3\n"},
        {"appends the section after a blank line", "[next]\nC=3", "usevideoquality", "0",
         "[next]\nC=3\n\n[settings]\nusevideoquality=0\n"},
        {"only the first of duplicate keys changes", "[settings]\nA=1\nA=2\n", "a", "5",
         "[settings]\na=5\nA=2\n"},
        {"windows line ends", "[settings]\r\nA=1\r\n", "B", "2", "[settings]\nA=1\nB=2\n"},
        {"outer blanks are quoted", "", "OutPutDir", " /my dir ",
         "[settings]\nOutPutDir=\" /my dir \"\n"},
        {"non-text lines are dropped", "[settings]\nA=\x01\x02\nB=\xff\xfe\nC=3\n", "D", "4",
         "[settings]\nC=3\nD=4\n"},
    };
    for (const auto& c : cases) {
        const std::string after = SetIniValue(c.before, "settings", c.key, c.value);
        EXPECT_EQ(after, c.after) << c.name;
        EXPECT_EQ(FindIniValue(after, "settings", c.key), c.value) << c.name;
    }
}

TEST(IniText, FindValueTrimsAndUnquotes) {
    const std::string content =
        "top=0\n[settings]\n ; A=comment\n  A =  spaced  \nB=\"quoted \"\nC='x'\nD=\nE\n"
        "[other]\nF=6\n";
    struct Case {
        std::string key;
        std::optional<std::string> expected;
    };
    const Case cases[] = {{"a", "spaced"},     {"B", "quoted "},    {"C", "x"},           {"D", ""},
                          {"E", std::nullopt}, {"F", std::nullopt}, {"top", std::nullopt}};
    for (const auto& c : cases) {
        EXPECT_EQ(FindIniValue(content, "settings", c.key), c.expected) << c.key;
    }
}

TEST(IniFile, ValuesThatCannotBeStoredAreRefusedAndTheFileStaysAsItWas) {
    TempDir dir;
    TIniFile ini((dir / "tavrin.ini").string());
    ASSERT_TRUE(ini.WriteString("settings", "OutPutDir", "/kept"));
    const std::string before = ReadFile(dir / "tavrin.ini");
    for (const std::string& bad : {"/a\nb"s, "/a\0b"s, "/a\rb"s, "/\xff"s}) {
        EXPECT_FALSE(ini.WriteString("settings", "OutPutDir", bad));
        EXPECT_NE(ini.LastErrorText().find("OutPutDir"), std::string::npos);
    }
    EXPECT_EQ(ReadFile(dir / "tavrin.ini"), before);
}

TEST(IniFile, SomethingElseInPlaceOfTheFileIsNeitherReadNorReplaced) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
    };
    const Case cases[] = {
        {"folder", [](const fs::path& path) { fs::create_directory(path); }},
        {"named pipe", [](const fs::path& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path path = dir / "tavrin.ini";
        c.make(path);
        TIniFile ini(path.string());
        EXPECT_EQ(ini.ReadInteger("settings", "A", 42), 42) << c.name;
        EXPECT_FALSE(ini.WriteInteger("settings", "A", 1)) << c.name;
        EXPECT_NE(ini.LastErrorText().find("Cannot read"), std::string::npos)
            << c.name << ": " << ini.LastErrorText();
        EXPECT_FALSE(fs::is_regular_file(path)) << c.name;
    }
}

TEST(IniFile, WritingThroughASymbolicLinkKeepsTheLink) {
    TempDir dir;
    WriteFile(dir / "real.ini", "[settings]\nA=1\n");
    fs::create_symlink(dir / "real.ini", dir / "tavrin.ini");
    TIniFile ini((dir / "tavrin.ini").string());
    ASSERT_TRUE(ini.WriteInteger("settings", "B", 2)) << ini.LastErrorText();
    EXPECT_TRUE(fs::is_symlink(dir / "tavrin.ini"));
    EXPECT_EQ(ReadFile(dir / "real.ini"), "[settings]\nA=1\nB=2\n");
}

std::string RandomBytes(unsigned seed, std::size_t count) {
    std::mt19937 random(seed);
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        byte = static_cast<char>(random() & 0xFF);
    }
    return bytes;
}

TEST(SettingsFile, BadFilesGiveDefaultsAndTheNextWriteRepairsThem) {
    struct Case {
        const char* name;
        std::string content;
        // What each key reads before and after the repairing write.
        std::string outputDir;
        int formatIndex;
        int videoQualityIndex;
        bool useVideoQuality;
    };
    const std::string home = "/home/tester";
    const Case cases[] = {
        {"empty", "", home + "/tavrin", 0, 0, true},
        {"binary garbage", RandomBytes(7, 4096), home + "/tavrin", 0, 0, true},
        {"values that do not parse",
         "[settings]\noutputformatindex=abc\nframesizeindex=12x\nvideoqualityindex=\n"
         "usevideoquality=yes\nOutPutDir=\n",
         home + "/tavrin", 0, 0, true},
        {"numbers that do not fit",
         "[settings]\noutputformatindex=99999999999\nvideoqualityindex=-99999999999\n",
         home + "/tavrin", 0, 0, true},
        {"readable keys among garbage",
         RandomBytes(11, 300) + "\n[settings]\n" + RandomBytes(12, 40) +
             "\nOutPutDir=/kept\n\x00\x01\x02\noutputformatindex= 5 \nusevideoquality=0\n"
             "videoqualityindex=+3\n"s +
             RandomBytes(13, 300),
         "/kept", 5, 3, false},
    };
    testing::ScopedEnv homeEnv("HOME", home);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WriteFile(dir / "tavrin.ini", c.content);
        TSettings settings((dir / "tavrin.ini").string());
        const auto expectKeys = [&] {
            EXPECT_EQ(settings.OutputDir(), c.outputDir);
            EXPECT_EQ(settings.OutputFormatIndex(), c.formatIndex);
            EXPECT_EQ(settings.VideoQualityIndex(), c.videoQualityIndex);
            EXPECT_EQ(settings.UseVideoQuality(), c.useVideoQuality);
        };
        expectKeys();
        EXPECT_EQ(settings.FrameSizeIndex(), 0);

        ASSERT_TRUE(settings.SetFrameSizeIndex(9)) << settings.LastErrorText();
        EXPECT_TRUE(IsValidIni(ReadFile(dir / "tavrin.ini")));
        EXPECT_EQ(settings.FrameSizeIndex(), 9);
        expectKeys();
    }
}

TEST(SettingsFile, KeysAreStoredAsTheirTextAndReadBackAtOnce) {
    TempDir dir;
    TSettings settings((dir / "tavrin.ini").string());
    TSettings other((dir / "tavrin.ini").string());  // a second reader of the same file
    ASSERT_TRUE(settings.SetOutputDir("/out/dir"));
    ASSERT_TRUE(settings.SetOutputFormatIndex(6));
    ASSERT_TRUE(settings.SetFrameSizeIndex(28));
    ASSERT_TRUE(settings.SetVideoQualityIndex(10));
    ASSERT_TRUE(settings.SetUseVideoQuality(false));
    EXPECT_EQ(ReadFile(dir / "tavrin.ini"),
              "[settings]\nOutPutDir=/out/dir\noutputformatindex=6\nframesizeindex=28\n"
              "videoqualityindex=10\nusevideoquality=0\n");
    EXPECT_EQ(other.OutputDir(), "/out/dir");
    EXPECT_EQ(other.OutputFormatIndex(), 6);
    EXPECT_EQ(other.FrameSizeIndex(), 28);
    EXPECT_EQ(other.VideoQualityIndex(), 10);
    EXPECT_FALSE(other.UseVideoQuality());
    ASSERT_TRUE(settings.SetUseVideoQuality(true));
    EXPECT_TRUE(other.UseVideoQuality());
    EXPECT_NE(ReadFile(dir / "tavrin.ini").find("usevideoquality=1\n"), std::string::npos);
}

// Two processes write different keys as fast as they can. Each checks after
// every write that its own last value is there (a torn file or a lost update
// would show up), and at the end every key holds its writer's last value.
TEST(SettingsFile, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kRounds = 150;
    TempDir dir;
    const std::string iniName = (dir / "tavrin.ini").string();
    ASSERT_TRUE(TSettings(iniName).SetOutputFormatIndex(7));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TSettings settings(iniName);
        int failures = 0;
        for (int i = 0; i < kRounds; ++i) {
            const std::string folder = "/child/" + std::to_string(i);
            failures += !settings.SetFrameSizeIndex(i) || !settings.SetOutputDir(folder);
            failures += settings.FrameSizeIndex() != i || settings.OutputDir() != folder;
        }
        _exit(failures == 0 ? 0 : 1);
    }

    TSettings settings(iniName);
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
        failures += !settings.SetVideoQualityIndex(i) || !settings.SetUseVideoQuality(i % 2 == 0);
        failures += settings.VideoQualityIndex() != i || settings.UseVideoQuality() != (i % 2 == 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child saw a torn file or lost one of its writes";
    EXPECT_EQ(failures, 0);

    EXPECT_TRUE(IsValidIni(ReadFile(iniName)));
    EXPECT_EQ(settings.OutputFormatIndex(), 7);
    EXPECT_EQ(settings.FrameSizeIndex(), kRounds - 1);
    EXPECT_EQ(settings.OutputDir(), "/child/" + std::to_string(kRounds - 1));
    EXPECT_EQ(settings.VideoQualityIndex(), kRounds - 1);
    EXPECT_EQ(settings.UseVideoQuality(), (kRounds - 1) % 2 == 0);

    // Only the file and its lock remain: no temporary file is left behind.
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"tavrin.ini", "tavrin.ini.lock"}));
}

}  // namespace
}  // namespace tavrin

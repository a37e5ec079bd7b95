// tavrin-transcode with "-vhook": the example module's change is in the
// written file, and a module that refuses its arguments fails the run with
// the module's message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = ProgramPath("tavrin-transcode");
const std::string kModule = kVhookInvertRect;

// The luma of the file's first picture, 160 x 120.
std::vector<unsigned char> FirstLuma(const TempDir& dir, const fs::path& file) {
    const fs::path raw = dir / "luma.raw";
    if (!RunFfmpeg("-i " + ShellQuote(file.string()) + " -frames:v 1 -f rawvideo -pix_fmt gray " +
                   ShellQuote(raw.string()))) {
        return {};
    }
    std::ifstream in(raw, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(TranscodeVHookTest, ModuleChangesTheOutputOrFailsTheRunWithItsMessage) {
    TempDir dir;
    const fs::path clip = dir / "dark.mkv";
    ASSERT_TRUE(
        RunFfmpeg("-f lavfi -i color=c=0x303030:size=160x120:rate=25:duration=1 "
                  "-c:v mpeg4 -q:v 2 " +
                  ShellQuote(clip.string())));

    const fs::path inverted = dir / "inverted.mkv";
    std::string log;
    const std::string hook = ShellQuote(kModule + "|60|20|40|40");
    ASSERT_EQ(RunCommand(kProgram + " -loglevel error -i " + ShellQuote(clip.string()) +
                             " -c:v mpeg4 -q:v 2 -vhook " + hook + " " +
                             ShellQuote(inverted.string()) + " 2>&1",
                         &log),
              0)
        << log;
    const auto luma = FirstLuma(dir, inverted);
    ASSERT_EQ(luma.size(), 160U * 120U);
    EXPECT_GT(luma[40 * 160 + 80], 180);  // inside the rectangle
    EXPECT_LT(luma[40 * 160 + 30], 80);   // outside

    const fs::path refused = dir / "refused.mkv";
    const std::string bad = kModule + "|arg one|arg two";
    EXPECT_NE(RunCommand(kProgram + " -i " + ShellQuote(clip.string()) + " -c:v mpeg4 -vhook " +
                             ShellQuote(bad) + " " + ShellQuote(refused.string()) + " 2>&1",
                         &log),
              0);
    EXPECT_NE(log.find("Failed to Configure " + kModule), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to add video hook function: " + bad), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(refused));
}

}  // namespace
}  // namespace tavrin::testing

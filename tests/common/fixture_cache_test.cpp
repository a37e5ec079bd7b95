// The fixture maker's cache: a wrong hit would hand a test another file than
// the one its recipe makes, so these check what is and is not replayed.
#include "fixtures/fixture_cache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/core_test_support.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

std::string Bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Entries(const fs::path& cache) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(cache)) {
        count += entry.path().filename().string().rfind(".draft", 0) != 0 ? 1 : 0;
    }
    return count;
}

std::string Q(const fs::path& path) {
    return ShellQuote(path.string());
}

TEST(FixtureCacheTest, TheSameRecipeElsewhereIsCopiedAndAChangedInputIsMadeAgain) {
    TempDir cache, a, b, c;
    const ScopedEnv use_cache("TAVRIN_TEST_MEDIA_CACHE", cache.path().string());

    ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=duration=0.2 " + Q(a / "tone.wav")));
    ASSERT_EQ(Entries(cache.path()), 1);
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=duration=0.2 " + Q(b / "tone.wav")));
    EXPECT_EQ(Bytes(b / "tone.wav"), Bytes(a / "tone.wav"));
    EXPECT_EQ(Entries(cache.path()), 1);

    // What is kept is what is handed out: a marked entry shows the copy.
    const fs::path entry = fs::directory_iterator(cache.path())->path();
    std::ofstream(entry / "0", std::ios::binary) << "kept bytes";
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=duration=0.2 " + Q(c / "tone.wav")));
    EXPECT_EQ(Bytes(c / "tone.wav"), "kept bytes");

    // An input stands for its content: the same command on changed bytes is
    // run again.
    ASSERT_TRUE(RunFfmpeg("-i " + Q(a / "tone.wav") + " " + Q(a / "tone.mp3")));
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=duration=0.5 " + Q(b / "longer.wav")));
    fs::copy_file(b / "longer.wav", a / "tone.wav", fs::copy_options::overwrite_existing);
    fs::remove(a / "tone.mp3");
    ASSERT_TRUE(RunFfmpeg("-i " + Q(a / "tone.wav") + " " + Q(a / "tone.mp3")));
    EXPECT_EQ(Entries(cache.path()), 4);
    EXPECT_NE(RunFfprobe("-v error -show_entries format=duration -of csv=p=0 " + Q(a / "tone.mp3"))
                  .rfind("0.5", 0),
              std::string::npos);
}

TEST(FixtureCacheTest, CommandsWhoseFilesCannotBeToldApartAreRunEveryTime) {
    TempDir dir;
    const struct {
        std::string arguments;
        bool cacheable;
    } cases[] = {
        {"-f lavfi -i sine " + Q(dir / "out.wav"), true},
        {"-f lavfi -i movie=" + Q(dir / "in.mp4") + " " + Q(dir / "out.mp4"), false},
        {"-f lavfi -i sine -t 1 -f null -", false},
        {"-f lavfi -i sine " + Q(dir / "no folder" / "out.wav"), false},
        {"-f lavfi -i sine " + Q(dir / "out.wav") + " 2>/dev/null", false},
        {"-f lavfi -i sine -f s16le " + Q(dir.path()), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FfmpegFixtureCommand(c.arguments).Cacheable(), c.cacheable) << c.arguments;
    }
}

}  // namespace
}  // namespace tavrin::testing

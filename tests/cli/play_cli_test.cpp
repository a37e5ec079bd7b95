// tavrin-play: its arguments, and playing a file to the end with SDL's disk
// audio driver and no display.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/cli/play_arguments.h"
#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

TEST(PlayArguments, ReadsEveryOptionAndRefusesBadOnes) {
    std::string error;
    const auto all = cli::ParsePlayArguments(
        {"--no-display", "--no-audio", "--volume", "64", "--mute", "--start-paused", "--start",
         "1:02.5", "--length", "3", "--aspect", "1.78", "-v", "clip.mp4"},
        error);
    ASSERT_TRUE(all) << error;
    EXPECT_EQ(all->File, "clip.mp4");
    EXPECT_TRUE(all->NoDisplay && all->NoAudio && all->Mute && all->StartPaused && all->Verbose);
    EXPECT_EQ(all->Volume, 64);
    EXPECT_EQ(all->Start, 62500000);
    EXPECT_EQ(all->Length, 3000000);
    EXPECT_FLOAT_EQ(all->Aspect, 1.78f);

    const auto plain = cli::ParsePlayArguments({"--", "-odd name.wav"}, error);
    ASSERT_TRUE(plain) << error;
    EXPECT_EQ(plain->File, "-odd name.wav");
    EXPECT_EQ(plain->Volume, 128);
    EXPECT_FALSE(plain->Start);

    const std::pair<std::vector<std::string>, std::string> bad[] = {
        {{}, "No file to play."},
        {{"a.wav", "b.wav"}, "Only one file can be played."},
        {{"--volume", "129", "a.wav"}, "Invalid volume \"129\": give 0 to 128."},
        {{"--volume", "-1", "a.wav"}, "Invalid volume \"-1\": give 0 to 128."},
        {{"--start", "1:75", "a.wav"}, "Invalid time \"1:75\" for --start."},
        {{"--length", "x", "a.wav"}, "Invalid time \"x\" for --length."},
        {{"--aspect", "wide", "a.wav"}, "Invalid aspect ratio \"wide\"."},
        {{"a.wav", "--start"}, "Missing value for --start."},
        {{"--loud", "a.wav"}, "Unknown option --loud."},
    };
    for (const auto& [args, message] : bad) {
        EXPECT_FALSE(cli::ParsePlayArguments(args, error)) << message;
        EXPECT_EQ(error, message);
    }

    const std::pair<const char*, int64_t> times[] = {
        {"0", 0}, {"12.5", 12500000}, {"1:00:00", 3600000000}, {"2:03", 123000000}};
    for (const auto& [text, value] : times) {
        EXPECT_EQ(cli::ParsePlayTime(text), value) << text;
    }
    for (const char* text : {"", ":", "1:", "-3", "1.5:00", "1:60", "nan", "1e400"}) {
        EXPECT_FALSE(cli::ParsePlayTime(text)) << text;
    }
}

const std::string kProgram = ProgramPath("tavrin-play");

struct PlayRun {
    int status = -1;
    std::string out;
    std::string err;
};

PlayRun RunPlay(const TempDir& dir, const std::string& arguments) {
    PlayRun run;
    const auto err_file = dir / "stderr.txt";
    run.status = RunCommand(
        "SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=" + ShellQuote((dir / "sound.raw").string()) +
            " timeout 30 " + ShellQuote(kProgram) + " " + arguments + " 2>" +
            ShellQuote(err_file.string()) + " </dev/null",
        &run.out);
    std::ifstream err(err_file);
    std::stringstream text;
    text << err.rdbuf();
    run.err = text.str();
    return run;
}

TEST(PlayCli, PlaysToTheEndAndReportsStatesAndPositions) {
    TempDir dir;
    const auto tone = MakeTone(dir, "tone.wav", 0.6, 440);
    const PlayRun run = RunPlay(dir, "--no-display --verbose " + ShellQuote(tone.string()));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("state: play\n")) << run.out;
    EXPECT_NE(run.out.find("position: 0.600000\nstate: end\n"), std::string::npos) << run.out;
    EXPECT_TRUE(run.out.ends_with("state: stop\n")) << run.out;
    // 0.6 s of 16-bit mono at 44100 Hz was sent, give or take a buffer.
    EXPECT_GE(std::filesystem::file_size(dir / "sound.raw"), 52920u);
}

TEST(PlayCli, StopsAtTheEndOfItsLengthAndFailsOnFilesItCannotPlay) {
    TempDir dir;
    const auto tone = MakeTone(dir, "tone.wav", 3.0, 440);
    const PlayRun cut =
        RunPlay(dir, "--no-display --start 1 --length 0.3 " + ShellQuote(tone.string()));
    EXPECT_EQ(cut.status, 0) << cut.err;
    EXPECT_EQ(cut.out, "state: play\nstate: stop\n");

    const PlayRun missing = RunPlay(dir, "--no-display " + ShellQuote((dir / "none.wav").string()));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("none.wav: No such file or directory"), std::string::npos)
        << missing.err;

    const PlayRun version = RunPlay(dir, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tavrin-play " + std::to_string(TAVRIN_VERSION_MAJOR + 0) + "." +
                               std::to_string(TAVRIN_VERSION_MINOR + 0) + "." +
                               std::to_string(TAVRIN_VERSION_PATCH + 0) + "." +
                               std::to_string(TAVRIN_VERSION_TWEAK + 0) + "\n");

    const PlayRun usage = RunPlay(dir, "--volume 200 x.wav");
    EXPECT_EQ(usage.status, 2);
    EXPECT_TRUE(usage.err.starts_with("tavrin-play: Invalid volume")) << usage.err;
}

}  // namespace
}  // namespace tavrin::testing

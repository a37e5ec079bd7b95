// tavrin-probe prints what the decoder component reports and fails with the
// component's LastErrorText for a file it cannot open.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"
#include "media/probe/decoder_component.h"

namespace tavrin::testing {
namespace {

const std::string kProgram = ProgramPath("tavrin-probe");

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

ProgramRun RunProbe(const TempDir& dir, const std::string& arguments) {
    ProgramRun run;
    const auto err_file = dir / "stderr.txt";
    run.status = RunCommand(
        ShellQuote(kProgram) + " " + arguments + " 2>" + ShellQuote(err_file.string()), &run.out);
    std::ifstream err(err_file);
    std::stringstream text;
    text << err.rdbuf();
    run.err = text.str();
    return run;
}

class ProbeCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(kProgram)) << kProgram << " is not built";
    }
    TempDir dir_;
};

TEST_F(ProbeCliTest, PrintsTheComponentsTextAndRecordsForEveryFile) {
    const auto video = MakeVideoWithAudio(dir_, "clip.mp4", 1.0);
    const auto tone = MakeTone(dir_, "tone.mp3", 1.0);
    const ProgramRun run =
        RunProbe(dir_, ShellQuote(video.string()) + " " + ShellQuote(tone.string()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    TVEVarazez decoder;
    ASSERT_TRUE(decoder.LoadLibraries(""));
    ASSERT_TRUE(decoder.LoadFile(video.string()));
    const std::string video_text = decoder.FileInfoText();
    TVideoStreamInfo video_info;
    decoder.GetVideoStreamInfo(video_info);
    ASSERT_TRUE(decoder.LoadFile(tone.string()));
    const std::string tone_text = decoder.FileInfoText();
    TAudioStreamInfo tone_info;
    decoder.GetAudioStreamInfo(-1, tone_info);

    ASSERT_EQ(run.out.rfind(video_text, 0), 0u) << run.out;
    const size_t second = run.out.find("\n\n" + tone_text);
    ASSERT_NE(second, std::string::npos) << run.out;
    const std::string first_part = run.out.substr(0, second);
    const std::string second_part = run.out.substr(second);

    EXPECT_NE(first_part.find("Video stream #0\n"), std::string::npos);
    EXPECT_NE(first_part.find("  Width: 160\n  "), std::string::npos);
    EXPECT_NE(first_part.find("  Duration: " + std::to_string(video_info.Duration) + "\n"),
              std::string::npos);
    EXPECT_NE(first_part.find("Audio stream #1\n"), std::string::npos);
    EXPECT_NE(second_part.find("Audio stream #0\n"), std::string::npos);
    EXPECT_NE(second_part.find("  CodecName: " + tone_info.CodecName + "\n"), std::string::npos);
    EXPECT_NE(second_part.find("  SampleRate: 44100\n"), std::string::npos);
    EXPECT_EQ(second_part.find("Video stream"), std::string::npos);
}

TEST_F(ProbeCliTest, MissingFileIsReportedAndTheOthersStillDescribed) {
    const auto tone = MakeTone(dir_, "tone.wav", 0.5);
    const std::string missing = (dir_ / "missing.mp4").string();
    const ProgramRun run = RunProbe(dir_, ShellQuote(missing) + " " + ShellQuote(tone.string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, missing + ": No such file or directory\n");
    EXPECT_NE(run.out.find("File Name: " + tone.string() + "\n"), std::string::npos) << run.out;
}

TEST_F(ProbeCliTest, HelpVersionsAndUsageErrors) {
    ProgramRun run = RunProbe(dir_, "--help");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: tavrin-probe [OPTIONS] FILE...\n", 0), 0u) << run.out;

    run = RunProbe(dir_, "--versions");
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* library :
         {"avcodec 59.", "avformat 59.", "avutil 57.", "swresample 4.", "swscale 6."}) {
        EXPECT_NE(run.out.find(library), std::string::npos) << library << "\n" << run.out;
    }

    run = RunProbe(dir_, "");
    EXPECT_EQ(run.status, 2);
    run = RunProbe(dir_, "--no-such-option x");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("unknown option \"--no-such-option\""), std::string::npos) << run.err;

    const auto tone = MakeTone(dir_, "tone.mp3", 0.5);
    run = RunProbe(dir_, "-f no-such-format " + ShellQuote(tone.string()));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "Unknown input format: no-such-format\n");
}

}  // namespace
}  // namespace tavrin::testing

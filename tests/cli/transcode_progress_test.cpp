// tavrin-transcode while it runs: the status lines of the progress reports,
// -progress and -nostats, and SIGINT / SIGTERM stopping the task with a
// complete output file and the exit status 128 + the signal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fixtures/build_paths.h"
#include "fixtures/media_fixtures.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

const std::string kProgram = ProgramPath("tavrin-transcode");

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

double ProbeDuration(const fs::path& file) {
    const std::string text = RunFfprobe("-v error -show_entries format=duration -of csv=p=0 " +
                                        ShellQuote(file.string()));
    return text.empty() ? -1 : std::stod(text);
}

class TranscodeProgressTest : public ::testing::Test {
protected:
    TempDir dir_;
};

TEST_F(TranscodeProgressTest, StatusLinesAndProgressOutput) {
    const fs::path input = MakeVideoWithAudio(dir_, "clip.mp4", 3.0);
    const fs::path output = dir_ / "out.mkv";
    const fs::path progress = dir_ / "progress.txt";
    std::string log;
    // -re keeps it running long enough for reports every 0.5 s.
    const int status =
        RunCommand(kProgram + " -loglevel info -re -i " + ShellQuote(input.string()) +
                       " -c:v mpeg4 -c:a mp2 -progress " + ShellQuote(progress.string()) + " " +
                       ShellQuote(output.string()) + " 2>&1",
                   &log);
    ASSERT_EQ(status, 0) << log;
    // Not a terminal: one line per report, the final one marked "L".
    EXPECT_GE(CountOf(log, "\nframe="), 3) << log;
    EXPECT_EQ(CountOf(log, " Lsize="), 1) << log;
    EXPECT_EQ(CountOf(log, "\r"), 0);
    EXPECT_NE(log.find("video:"), std::string::npos);

    const std::string text = ReadFile(progress);
    EXPECT_GE(CountOf(text, "progress=continue\n"), 2) << text;
    EXPECT_EQ(CountOf(text, "progress=end\n"), 1) << text;
    EXPECT_NE(text.find("frame=75\n"), std::string::npos) << text;
    EXPECT_NE(text.find("out_time=00:00:0"), std::string::npos) << text;

    // -nostats leaves only the final report.
    const int quiet = RunCommand(kProgram + " -loglevel info -i " + ShellQuote(input.string()) +
                                     " -nostats -c:v mpeg4 -c:a mp2 " +
                                     ShellQuote((dir_ / "quiet.mkv").string()) + " 2>&1",
                                 &log);
    ASSERT_EQ(quiet, 0) << log;
    EXPECT_EQ(CountOf(log, "frame="), 1) << log;
}

TEST_F(TranscodeProgressTest, SignalsStopWithACompleteFile) {
    const fs::path input = MakeVideoWithAudio(dir_, "long.mp4", 60.0);
    for (const auto& [signal, expected] : {std::pair{"INT", 130}, std::pair{"TERM", 143}}) {
        SCOPED_TRACE(signal);
        const fs::path output = dir_ / (std::string("stopped-") + signal + ".mkv");
        const std::string run_log = ShellQuote((dir_ / (std::string(signal) + ".log")).string());
        std::string log;
        // The signal comes once two seconds are done, as its statistics say
        // (30 s at most).
        const int status =
            RunCommand(kProgram + " -loglevel info -re -i " + ShellQuote(input.string()) +
                           " -c:v mpeg4 -c:a mp2 " + ShellQuote(output.string()) + " >" + run_log +
                           " 2>&1 & pid=$!; for i in $(seq 600); do grep -q 'time=00:00:0[2-9]' " +
                           run_log + " && break; sleep 0.05; done; kill -" + signal +
                           " $pid; wait $pid; status=$?; cat " + run_log + "; exit $status",
                       &log);
        EXPECT_EQ(status, expected) << log;
        EXPECT_NE(log.find("Stopping: finishing the output file..."), std::string::npos) << log;
        EXPECT_NE(log.find(" Lsize="), std::string::npos) << log;
        // The trailer was written: ffprobe reads a duration near what was done.
        const double duration = ProbeDuration(output);
        EXPECT_GT(duration, 1.0);
        EXPECT_LT(duration, 5.0);
    }
}

}  // namespace
}  // namespace tavrin::testing

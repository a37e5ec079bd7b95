// The task's life on the caller's thread: start refusals, a complete run,
// failures part way, the termination notice and the cleanup that removes
// outputs that received no byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "fixtures/media_fixtures.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/pipeline.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

double ProbeDuration(const fs::path& file) {
    const std::string text = RunFfprobe("-v error -show_entries format=duration -of csv=p=0 " +
                                        ShellQuote(file.string()));
    return text.empty() ? -1 : std::stod(text);
}

class CustomFFmpegTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadEncoderLibraries();
        clip_ = MakeVideoWithAudio(dir_, "clip.mp4", 2.0);
    }

    // Starts `task` and counts its termination notices.
    void StartCounting(TCustomFFmpeg& task) {
        task.TerminateCallback = [this](TCustomFFmpeg&) { ++notices_; };
        task.Start();
    }

    TempDir dir_;
    fs::path clip_;
    EngineLog log_;
    int notices_ = 0;
};

TEST_F(CustomFFmpegTest, StartWithoutOutputEndsAtOnce) {
    TCustomFFmpeg task;
    StartCounting(task);
    EXPECT_TRUE(task.HasError());
    // Outputs are checked before inputs: this task has neither.
    EXPECT_EQ(task.ErrorMessage(), "At least one output file must be specified");
    EXPECT_FALSE(task.Finished());
    EXPECT_TRUE(task.Terminated());
    EXPECT_FALSE(task.Running());
    EXPECT_EQ(notices_, 1);
    EXPECT_TRUE(log_.Has(llQuiet, "At least one output file must be specified"));

    // A terminated task is never started again.
    task.Start();
    EXPECT_EQ(notices_, 1);
}

TEST_F(CustomFFmpegTest, RunsToTheEnd) {
    const fs::path output = dir_ / "out.mkv";
    TCustomFFmpeg task;
    ASSERT_TRUE(
        BuildEngineTask(task, {{clip_.string(), ""}}, "-c:v mpeg4 -c:a mp2", output.string()))
        << task.LastError;
    StartCounting(task);
    EXPECT_FALSE(task.HasError()) << task.ErrorMessage();
    EXPECT_TRUE(task.Finished());
    EXPECT_TRUE(task.Terminated());
    EXPECT_EQ(notices_, 1);
    ASSERT_TRUE(fs::exists(output));
    EXPECT_NEAR(ProbeDuration(output), 2.0, 0.1);
    // Everything was released.
    EXPECT_TRUE(task.output_streams.empty());
    EXPECT_TRUE(task.input_files.empty());
    EXPECT_TRUE(task.filtergraphs.empty());
    const std::lock_guard<std::mutex> guard(CodecListLock());
    EXPECT_TRUE(task.OpenedEncoders.empty());
    EXPECT_TRUE(task.OpenedDecoders.empty());
}

TEST_F(CustomFFmpegTest, FailingEncoderLeavesNoEmptyFile) {
    const fs::path output = dir_ / "out.3gp";
    TCustomFFmpeg task;
    ASSERT_TRUE(
        BuildEngineTask(task, {{clip_.string(), ""}}, "-an -c:v h263 -s 170x130", output.string()))
        << task.LastError;
    ASSERT_TRUE(fs::exists(output));  // opened by the output layer, still empty
    StartCounting(task);
    EXPECT_TRUE(task.HasError());
    EXPECT_FALSE(task.Finished());
    EXPECT_EQ(task.ErrorMessage(),
              "transcode_init() error: Invalid argument. Please check error log "
              "message(reported by REVaduzi) to find out more detail information.");
    EXPECT_TRUE(log_.Has(llError, "Error while opening encoder for output stream #0:0 (Video)"));
    EXPECT_EQ(notices_, 1);
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(CustomFFmpegTest, FailureInSetupKeepsItsText) {
    const fs::path output = dir_ / "copy.mkv";
    TCustomFFmpeg task;
    ASSERT_TRUE(
        BuildEngineTask(task, {{clip_.string(), ""}}, "-vn -c:a copy -vol 300", output.string()))
        << task.LastError;
    task.Start();
    EXPECT_TRUE(task.HasError());
    EXPECT_EQ(task.ErrorMessage(),
              "-acodec copy and -vol are incompatible (frames are not decoded)");
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(CustomFFmpegTest, FrameLimitEndsTheOutput) {
    const fs::path output = dir_ / "ten.mkv";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{clip_.string(), ""}}, "-an -c:v mpeg4 -frames:v 10",
                                output.string()))
        << task.LastError;
    task.Start();
    EXPECT_TRUE(task.Finished()) << task.ErrorMessage();
    const std::string frames = RunFfprobe(
        "-v error -count_frames -select_streams v:0 -show_entries "
        "stream=nb_read_frames -of csv=p=0 " +
        ShellQuote(output.string()));
    EXPECT_EQ(std::stoi(frames), 10);
    EXPECT_TRUE(log_.Has(llVerbose, "No more output streams to write to, finishing."));
}

TEST_F(CustomFFmpegTest, PickingSkipsUnavailableAndFinishedStreams) {
    const fs::path output = dir_ / "picked.mkv";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{clip_.string(), ""}}, "-c copy", output.string()))
        << task.LastError;
    set_active_streams(task);
    // Before anything was written both streams qualify; the first wins.
    EXPECT_EQ(task.pick_output_stream(), task.output_streams[0].get());
    task.output_streams[0]->unavailable = 1;
    EXPECT_EQ(task.pick_output_stream(), task.output_streams[1].get());
    EXPECT_TRUE(task.any_stream_waiting());
    task.output_streams[1]->finished = 1;
    EXPECT_EQ(task.pick_output_stream(), nullptr);
    task.input_files[0]->try_again = 1;
    task.clear_waiting();
    EXPECT_FALSE(task.any_stream_waiting());
    EXPECT_EQ(task.input_files[0]->try_again, 0);
    EXPECT_EQ(task.pick_output_stream(), task.output_streams[0].get());
}

}  // namespace
}  // namespace tavrin::testing

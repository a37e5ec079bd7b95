#include "media/options/join.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "options/output_test_support.h"

namespace tavrin {
namespace {

namespace fs = std::filesystem;
using testing::OutputTaskTest;

class JoinTest : public OutputTaskTest {};

TEST_F(JoinTest, OneGroupPerInputSharingTheFirstGroupsStreams) {
    ASSERT_EQ(AddInput(media().video), 0) << task_.LastError;
    ASSERT_EQ(AddInput(media().titled), 1) << task_.LastError;
    ASSERT_EQ(AddInput(media().video), 2) << task_.LastError;
    std::int64_t durations = 0;
    for (const auto& file : task_.input_files) {
        durations += file->ctx->duration;
    }

    ASSERT_EQ(OpenJoined("-c:v mpeg4 -c:a mp2", dir_ / "joined.mkv"), 0) << task_.LastError;
    EXPECT_TRUE(task_.Joined);
    ASSERT_EQ(task_.JoinStreamCount, 2);
    ASSERT_EQ(task_.output_streams.size(), 6u);
    ASSERT_EQ(task_.output_files.size(), 3u);
    EXPECT_EQ(task_.TotalDuration, durations);

    for (std::size_t group = 0; group < 3; ++group) {
        SCOPED_TRACE(group);
        const std::string input = std::to_string(group);
        EXPECT_EQ(task_.output_files[group]->first_stream, static_cast<int>(2 * group));
        EXPECT_EQ(OutputContextOf(task_, group), Out(0));
        for (std::size_t i = 0; i < 2; ++i) {
            const OutputStream& clone = OutStream(2 * group + i);
            const OutputStream& owner = OutStream(i);
            EXPECT_EQ(clone.file_index, static_cast<int>(group));
            EXPECT_EQ(clone.index, static_cast<int>(i));
            EXPECT_EQ(clone.stream, owner.stream);
            EXPECT_EQ(clone.encoder, owner.encoder);
            EXPECT_EQ(clone.filter_desc, owner.filter_desc);
            EXPECT_EQ(&JoinOwnerOf(task_, 2 * group + i), &owner);
            EXPECT_EQ(clone.sync_stream,
                      task_.input_streams[static_cast<std::size_t>(clone.source_index)].get());
        }
        EXPECT_EQ(SourceOf(2 * group), input + ":0");
        EXPECT_EQ(SourceOf(2 * group + 1), input + ":1");
    }
    // Only the first group owns the codec contexts and the format context.
    EXPECT_FALSE(OutStream(2).codec_ctx);
    EXPECT_FALSE(task_.output_files[1]->ctx);
    EXPECT_STREQ(OutStream(0).encoder->name, "mpeg4");
    EXPECT_STREQ(OutStream(1).encoder->name, "mp2");

    // A joined task takes no further output, joined or not.
    EXPECT_EQ(OpenJoined("", dir_ / "second.mkv"), -1);
    EXPECT_EQ(task_.LastError, "Cannot join more than one output file.");
    EXPECT_EQ(Open("", dir_ / "third.mkv"), -1);
    EXPECT_EQ(task_.LastError, "Cannot join more than one output file.");
    EXPECT_EQ(task_.output_files.size(), 3u);
}

TEST_F(JoinTest, OnlyTheFirstInputChoosesTheStreams) {
    // Input 1 holds the larger picture and more channels, but the first
    // group is built from input 0 alone; input 1 then lacks nothing.
    ASSERT_EQ(AddInput(media().video), 0);
    ASSERT_EQ(AddInput(media().big), 1);
    ASSERT_EQ(OpenJoined("-an", dir_ / "video.mkv"), 0) << task_.LastError;
    ASSERT_EQ(task_.JoinStreamCount, 1);
    EXPECT_EQ(SourceOf(0), "0:0");
    EXPECT_EQ(SourceOf(1), "1:0");
}

TEST_F(JoinTest, InputsWithDifferentStreamsAreRefusedAndCleanedUp) {
    ASSERT_EQ(AddInput(media().video), 0);
    ASSERT_EQ(AddInput(media().stereo), 1);  // no video for the video stream
    const fs::path out = dir_ / "out" / "joined.mkv";
    fs::create_directories(out.parent_path());
    EXPECT_EQ(OpenJoined("", out), -1);
    EXPECT_EQ(task_.LastError, "Cannot join files with diffrent steams state");
    EXPECT_FALSE(task_.Joined);
    EXPECT_EQ(task_.JoinStreamCount, 0);
    EXPECT_TRUE(task_.output_files.empty());
    EXPECT_TRUE(task_.output_streams.empty());
    EXPECT_FALSE(fs::exists(out));  // it was created empty, and removed
}

TEST_F(JoinTest, MapsFeedTheClonesOfTheirInput) {
    ASSERT_EQ(AddInput(media().video), 0);
    ASSERT_EQ(AddInput(media().titled), 1);
    // The first group takes input 0's map, the clone input 1's.
    ASSERT_EQ(Open("-map 0:1 -map 1:1 -c:a mp2", dir_ / "audio.mkv", nullptr, true), 0)
        << task_.LastError;
    ASSERT_EQ(task_.JoinStreamCount, 1);
    EXPECT_EQ(SourceOf(0), "0:1");
    EXPECT_EQ(SourceOf(1), "1:1");

    // A disabled type never feeds a clone: the video of input 1 is not used.
    ResetTask();
    ASSERT_EQ(AddInput(media().video), 0);
    ASSERT_EQ(AddInput(media().titled), 1);
    EXPECT_EQ(Open("-map 0:0 -map 1:0 -vn", dir_ / "none.mkv", nullptr, true), 0)
        << task_.LastError;
    EXPECT_EQ(task_.JoinStreamCount, 0);
}

TEST_F(JoinTest, AdmissionAndSingleInput) {
    ASSERT_EQ(AddInput(media().video), 0);
    // One input: nothing to join, an ordinary output.
    ASSERT_EQ(OpenJoined("", dir_ / "single.mkv"), 0) << task_.LastError;
    EXPECT_FALSE(task_.Joined);
    EXPECT_EQ(task_.output_files.size(), 1u);

    // A join asked for when the task already has an output.
    ASSERT_EQ(AddInput(media().video), 1);
    EXPECT_EQ(OpenJoined("", dir_ / "late.mkv"), -1);
    EXPECT_EQ(task_.LastError, "Cannot join more than one output file.");
    EXPECT_FALSE(fs::exists(dir_ / "late.mkv"));
}

TEST_F(JoinTest, DurationOfTheJoinedInputs) {
    EXPECT_EQ(JoinedDuration(task_), -1);  // no input reports one
    ASSERT_EQ(AddInput(media().mono), 0);
    ASSERT_EQ(AddInput(media().stereo), 1);
    EXPECT_EQ(JoinedDuration(task_),
              task_.input_files[0]->ctx->duration + task_.input_files[1]->ctx->duration);
}

TEST_F(JoinTest, ACutJoinExpectsTheCutNotTheWholeInputs) {
    ASSERT_EQ(AddInput(media().mono), 0);
    ASSERT_EQ(AddInput(media().stereo), 1);
    const std::int64_t whole = JoinedDuration(task_);
    ASSERT_GT(whole, 1000000);
    ASSERT_EQ(OpenJoined("-t 1 -c:a mp2", dir_ / "cut.mkv"), 0) << task_.LastError;
    EXPECT_TRUE(task_.Joined);
    EXPECT_EQ(task_.TotalDuration, 1000000);
}

}  // namespace
}  // namespace tavrin

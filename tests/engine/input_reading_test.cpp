// Reading and joined inputs: the time-stamp arithmetic, the active stream
// range, the new-stream warning, and joins that continue the output's time
// line from one input to the next.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/input_reading.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

TEST(InputReadingTest, WrapCorrection) {
    const std::int64_t range = std::int64_t{1} << 33;
    struct Case {
        std::int64_t start, dts, pts;
        int bits;
        bool moved;
        std::int64_t new_dts, new_pts;
    };
    const Case cases[] = {
        {0, range - 90000, range - 86400, 33, true, -90000, -86400},  // both wrapped back
        {0, 1000, 4000, 33, false, 1000, 4000},                       // nothing to do
        {0, kNoTimestamp, range - 10, 33, true, kNoTimestamp, -10},   // pts alone
        {range / 2, range - 10, range - 10, 33, false, range - 10, range - 10},  // within half
        {0, range - 10, range - 10, 64, false, range - 10, range - 10},          // no wrap at 64
    };
    for (const Case& c : cases) {
        std::int64_t dts = c.dts;
        std::int64_t pts = c.pts;
        EXPECT_EQ(CorrectTimestampWrap(c.start, c.bits, dts, pts), c.moved) << c.dts;
        EXPECT_EQ(dts, c.new_dts);
        EXPECT_EQ(pts, c.new_pts);
    }
}

TEST(InputReadingTest, ScaleKeepsUnscaledStampsExact) {
    EXPECT_EQ(ScaleTimestamp(INT64_MAX - 5, 1.0), INT64_MAX - 5);
    EXPECT_EQ(ScaleTimestamp(10, 0.3), 3);
    EXPECT_EQ(ScaleTimestamp(7, 2.0), 14);
    EXPECT_EQ(ScaleTimestamp(kNoTimestamp, 2.0), kNoTimestamp);
}

TEST(InputReadingTest, DiscontinuityAndInvalidStampTests) {
    const double threshold = 10;  // seconds
    EXPECT_TRUE(IsTimestampDiscontinuity(-10000001, threshold, false, 0, 0));
    EXPECT_TRUE(IsTimestampDiscontinuity(10000001, threshold, false, 0, 0));
    EXPECT_FALSE(IsTimestampDiscontinuity(10000001, threshold, true, 0, 0));
    EXPECT_FALSE(IsTimestampDiscontinuity(9000000, threshold, false, 0, 0));
    // A decoding time one unit before the stream's presentation time.
    EXPECT_TRUE(IsTimestampDiscontinuity(0, threshold, false, 999, 1001));
    EXPECT_FALSE(IsTimestampDiscontinuity(0, threshold, false, 1000, 1001));

    EXPECT_TRUE(IsTimestampInvalid(-10000001, threshold, false));
    EXPECT_TRUE(IsTimestampInvalid(10000001, threshold, false));
    EXPECT_FALSE(IsTimestampInvalid(10000001, threshold, true));
    EXPECT_FALSE(IsTimestampInvalid(-10000000, threshold, false));
}

TEST(InputReadingTest, ActiveStreamRange) {
    TCustomFFmpegOpt task;
    for (int i = 0; i < 6; ++i) {
        task.output_streams.push_back(std::make_unique<OutputStream>());
    }
    set_active_streams(task);
    EXPECT_EQ(task.FirstActiveStream, 0);
    EXPECT_EQ(task.LastActiveStream, 5);
    task.Joined = true;
    task.JoinStreamCount = 2;
    task.JoinIndex = 1;
    set_active_streams(task);
    EXPECT_EQ(task.FirstActiveStream, 2);
    EXPECT_EQ(task.LastActiveStream, 3);
    EXPECT_TRUE(IsActiveStream(task, 3));
    EXPECT_FALSE(IsActiveStream(task, 4));
}

TEST(InputReadingTest, NewStreamWarnedOncePerIndex) {
    LoadEncoderLibraries();
    TCustomFFmpegOpt task;
    auto file = std::make_unique<InputFile>();
    file->ctx.reset(ff.avformat_alloc_context());
    for (int i = 0; i < 4; ++i) {
        ff.avformat_new_stream(file->ctx.get(), nullptr);
    }
    file->stream_count = 2;
    file->streams_warned = 2;
    task.input_files.push_back(std::move(file));
    PacketPtr packet(ff.av_packet_alloc());
    const int indexes[] = {2, 2, 3, 2};
    const int warned_after[] = {3, 3, 4, 4};
    for (int i = 0; i < 4; ++i) {
        packet->stream_index = indexes[i];
        warn_new_stream(task, 0, *packet);
        EXPECT_EQ(task.input_files[0]->streams_warned, warned_after[i]);
    }
}

// Presentation times in seconds of the audio packets of `file`.
std::vector<double> PacketTimes(const fs::path& file) {
    const std::string text =
        RunFfprobe("-v error -select_streams a -show_entries packet=pts_time -of csv=p=0 " +
                   ShellQuote(file.string()));
    std::vector<double> times;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line != "N/A") {
            times.push_back(std::stod(line));
        }
    }
    return times;
}

class JoinTest : public ::testing::Test {
protected:
    void SetUp() override { LoadEncoderLibraries(); }

    // Runs a joined task of `inputs` into `output`; true when it finished.
    bool RunJoin(const std::vector<fs::path>& inputs, const std::string& options,
                 const fs::path& output) {
        std::vector<TaskInput> list;
        for (const fs::path& input : inputs) {
            list.push_back({input.string(), ""});
        }
        TCustomFFmpeg task;
        if (!BuildEngineTask(task, list, options, output.string(), true)) {
            ADD_FAILURE() << task.LastError;
            return false;
        }
        task.Start();
        EXPECT_FALSE(task.HasError()) << task.ErrorMessage();
        return task.Finished();
    }

    TempDir dir_;
    EngineLog log_;
};

TEST_F(JoinTest, InputsFollowOneAnotherOnOneTimeLine) {
    const fs::path a = MakeTone(dir_, "a.mp3", 1.0, 300);
    const fs::path b = MakeTone(dir_, "b.mp3", 1.5, 500);
    const fs::path c = MakeTone(dir_, "c.mp3", 2.0, 700);
    const fs::path output = dir_ / "joined.mka";
    ASSERT_TRUE(RunJoin({a, b, c}, "-c:a mp2 -ac 2 -ab 128000 -ar 44100", output));

    const std::vector<double> times = PacketTimes(output);
    ASSERT_GT(times.size(), 100u);
    const double frame = 1152.0 / 44100.0;
    double largest_step = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        ASSERT_GT(times[i], times[i - 1]) << "packet " << i;
        largest_step = std::max(largest_step, times[i] - times[i - 1]);
    }
    // Each input starts where the output had reached: no hole between them.
    EXPECT_LT(largest_step, 2.5 * frame);
    EXPECT_NEAR(times.back() + frame, 4.5, 0.15);
}

TEST_F(JoinTest, RecordingTimeCutsTheJoinedOutput) {
    const fs::path a = MakeTone(dir_, "a.mp3", 2.0, 300);
    const fs::path b = MakeTone(dir_, "b.mp3", 2.0, 500);
    const fs::path c = MakeTone(dir_, "c.mp3", 2.0, 700);
    const fs::path output = dir_ / "cut.mp3";
    ASSERT_TRUE(RunJoin({a, b, c}, "-t 5 -c:a libmp3lame -ac 2 -ab 128000 -ar 44100", output));
    const std::string duration = RunFfprobe("-v error -show_entries format=duration -of csv=p=0 " +
                                            ShellQuote(output.string()));
    ASSERT_FALSE(duration.empty());
    EXPECT_NEAR(std::stod(duration), 5.0, 0.1);
    const std::vector<double> times = PacketTimes(output);
    for (std::size_t i = 1; i < times.size(); ++i) {
        ASSERT_GT(times[i], times[i - 1]) << "packet " << i;
    }
    // No silence is slipped in between the inputs: the decoded length is
    // 5 s within one encoder frame.
    const fs::path raw = dir_ / "cut.raw";
    ASSERT_TRUE(RunFfmpeg("-v error -y -i " + ShellQuote(output.string()) + " -f s16le -ac 1 " +
                          ShellQuote(raw.string())));
    const std::int64_t samples = static_cast<std::int64_t>(fs::file_size(raw) / 2);
    EXPECT_NEAR(static_cast<double>(samples), 5 * 44100.0, 1152.0);
}

}  // namespace
}  // namespace tavrin::testing

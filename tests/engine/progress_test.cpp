// Progress reports of a task: the interval rule, which streams count, the
// status line and -progress text as built, the callback's values, the final
// statistics, and reports of real runs (plain, joined, with PSNR and the
// QP histogram).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/pipeline.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;

struct Report {
    std::int32_t file_index = 0;
    std::int32_t frame = 0;
    std::int32_t fps = 0;
    float quality = 0;
    float bit_rate = 0;
    std::int64_t size = 0;
    std::int64_t duration = 0;
    std::int64_t total = 0;
};

// Collects every report of a task.
class ReportLog {
public:
    void Attach(TCustomFFmpeg& task) {
        task.ProgressCallback = [this](TCustomFFmpeg&, std::int32_t file_index, std::int32_t frame,
                                       std::int32_t fps, float quality, float bit_rate,
                                       std::int64_t size, std::int64_t duration,
                                       std::int64_t total) {
            const std::lock_guard<std::mutex> lock(mutex_);
            reports_.push_back({file_index, frame, fps, quality, bit_rate, size, duration, total});
        };
    }
    std::vector<Report> Reports() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        LoadEncoderLibraries();
        clip_ = MakeVideoWithAudio(dir_, "clip.mp4", 2.0);
    }

    // A task with the output built but not run: nothing written yet.
    void Build(TCustomFFmpeg& task, const std::string& output_options) {
        ASSERT_TRUE(BuildEngineTask(task, {{clip_.string(), ""}}, output_options,
                                    (dir_ / "built.mkv").string()))
            << task.LastError;
    }

    TempDir dir_;
    fs::path clip_;
    EngineLog log_;
};

TEST_F(ProgressTest, ReportsComeOnlyOnceTheIntervalHasPassed) {
    TCustomFFmpeg task;
    Build(task, "-c:v mpeg4 -c:a mp2");
    ReportLog reports;
    reports.Attach(task);

    // The first call only starts the clock; then at least 0.5 s between two.
    const std::vector<std::pair<std::int64_t, bool>> steps = {
        {1000000, false}, {1400000, false}, {1499999, false}, {1500000, true},
        {1999999, false}, {2000000, true},  {2100000, false},
    };
    std::size_t expected = 0;
    for (const auto& [time, reported] : steps) {
        task.report_progress(0, false, time, 1000000);
        expected += reported ? 1 : 0;
        EXPECT_EQ(reports.Reports().size(), expected) << "at " << time;
    }
    EXPECT_EQ(task.LastReportTime, 2000000);
    // The final report ignores the interval.
    task.report_progress(-1, true, 2100001, 1000000);
    ASSERT_EQ(reports.Reports().size(), expected + 1);
    EXPECT_EQ(reports.Reports().back().file_index, -1);
}

TEST_F(ProgressTest, NothingIsReportedWhenNobodyListens) {
    TCustomFFmpeg task;
    Build(task, "-c:v mpeg4 -c:a mp2");
    task.show_stats = 0;
    task.report_progress(0, false, 1000000, 0);
    task.report_progress(0, false, 3000000, 0);
    EXPECT_EQ(task.LastReportTime, -1);
    EXPECT_FALSE(log_.Contains("size="));
}

TEST_F(ProgressTest, StreamsWithoutWrittenFramesDoNotCount) {
    TCustomFFmpeg task;
    Build(task, "-c:v mpeg4 -c:a mp2");
    ReportLog reports;
    reports.Attach(task);
    task.report_progress(0, false, 0, 0);
    task.report_progress(0, false, 600000, 0);
    ASSERT_EQ(reports.Reports().size(), 1u);
    const Report report = reports.Reports().front();
    EXPECT_EQ(report.frame, -1);
    EXPECT_EQ(report.fps, -1);
    EXPECT_EQ(report.duration, 0);
    EXPECT_EQ(report.size, 0);
    EXPECT_FLOAT_EQ(report.bit_rate, -1);
    EXPECT_FLOAT_EQ(report.quality, -1);
    EXPECT_EQ(report.file_index, 0);
}

// The status line, the -progress text and the callback's values for a
// prepared state of the streams.
TEST_F(ProgressTest, FinalReportBuildsTheLineAndTheText) {
    TCustomFFmpeg task;
    Build(task, "-c:v mpeg4 -c:a mp2");
    const fs::path progress = dir_ / "progress.txt";
    AVIOContext* io = nullptr;
    ASSERT_GE(ff.avio_open2(&io, progress.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
    task.progress_output.reset(io);
    ReportLog reports;
    reports.Attach(task);

    OutputStream& video = *task.output_streams[0];
    OutputStream& audio = *task.output_streams[1];
    video.frame_number = 30;
    video.stream->time_base = AVRational{1, 1000};
    video.mux_end_pts = 1234;  // 1.234 s
    audio.stream->time_base = AVRational{1, 44100};
    audio.mux_end_pts = 44100 * 3 / 2;  // 1.5 s, the largest
    task.frames_duplicated = 2;
    task.frames_dropped = 1;
    task.TotalDuration = 2000000;

    task.report_progress(-1, true, 3000000, 0);

    const std::string line =
        "frame=   30 fps= 10 q=-1.0 Lsize=       0kB time=00:00:01.500 bitrate=   0.0kbits/s dup=2 "
        "drop=1";
    EXPECT_TRUE(log_.Has(llInfo, line));
    EXPECT_EQ(ReadFile(progress),
              "frame=30\nfps=10.0\nstream_0_0_q=-1.0\ntotal_size=0\nout_time_ms=1500000\n"
              "out_time=00:00:01.500000\ndup_frames=2\ndrop_frames=1\nprogress=end\n");
    EXPECT_FALSE(task.progress_output);  // closed after the final report

    ASSERT_EQ(reports.Reports().size(), 1u);
    const Report report = reports.Reports().front();
    EXPECT_EQ(report.file_index, -1);
    EXPECT_EQ(report.frame, 30);
    EXPECT_EQ(report.fps, 10);
    EXPECT_EQ(report.duration, 1500000);
    EXPECT_EQ(report.total, 2000000);

    EXPECT_TRUE(
        log_.Has(llInfo, "video:0kB audio:0kB subtitle:0 global headers:0kB muxing overhead"));
    EXPECT_TRUE(log_.Has(llWarning,
                         "Output file is empty, nothing was encoded (check -ss / -t / "
                         "-frames parameters if used)"));
}

TEST_F(ProgressTest, FramesPerSecondFollowTheLoopsClock) {
    TCustomFFmpeg task;
    Build(task, "-c:v mpeg4 -c:a mp2");
    ReportLog reports;
    reports.Attach(task);
    task.output_streams[0]->frame_number = 25;
    // (elapsed microseconds, FPS): 0 during the first second; ties to even.
    const std::vector<std::pair<std::int64_t, std::int32_t>> cases = {
        {500000, 0}, {1000000, 0}, {1000001, 25}, {2000000, 12}, {10000000, 2}, {20000000, 1},
    };
    for (const auto& [elapsed, fps] : cases) {
        task.report_progress(0, true, 5000000 + elapsed, 5000000);
        EXPECT_EQ(reports.Reports().back().fps, fps) << elapsed;
    }
}

TEST_F(ProgressTest, ByteStatistics) {
    EXPECT_EQ(FinalStatisticsText(2048, 1024, 0, 512, 4096),
              "video:2kB audio:1kB subtitle:0 global headers:0kB muxing overhead 14.285714%");
    // A negative size counts as 0; nothing written gives no ratio.
    EXPECT_EQ(FinalStatisticsText(1024, 0, 0, 0, -1),
              "video:1kB audio:0kB subtitle:0 global headers:0kB muxing overhead -100.000000%");
    EXPECT_EQ(FinalStatisticsText(0, 0, 0, 0, 700),
              "video:0kB audio:0kB subtitle:0 global headers:0kB muxing overhead unknown");
}

TEST_F(ProgressTest, RunReportsUntilTheFinalReport) {
    const fs::path output = dir_ / "run.mkv";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{clip_.string(), ""}}, "-c:v mpeg4 -q:v 4 -c:a mp2",
                                output.string()))
        << task.LastError;
    task.ProgressInterval = 0;
    ReportLog reports;
    reports.Attach(task);
    task.Start();
    ASSERT_TRUE(task.Finished()) << task.ErrorMessage();

    const std::vector<Report> all = reports.Reports();
    ASSERT_GE(all.size(), 3u);
    std::int64_t previous = 0;
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        EXPECT_EQ(all[i].file_index, 0);
        EXPECT_GE(all[i].duration, previous);
        previous = all[i].duration;
    }
    const Report& last = all.back();
    EXPECT_EQ(last.file_index, -1);
    EXPECT_EQ(last.frame, 50);
    EXPECT_NEAR(static_cast<double>(last.duration), 2000000, 100000);
    EXPECT_EQ(last.size, static_cast<std::int64_t>(fs::file_size(output)));
    EXPECT_GT(last.bit_rate, 0);
    EXPECT_NEAR(static_cast<double>(last.total), 2000000, 100000);
    // The callback replaces the status line; only the final one is logged.
    EXPECT_EQ(log_.Count(llInfo, "bitrate="), 1);
    EXPECT_TRUE(log_.Has(llInfo, "video:"));
    EXPECT_FALSE(log_.Contains("Output file is empty"));
}

TEST_F(ProgressTest, AudioOnlyTaskHasNoFrameCount) {
    const fs::path output = dir_ / "audio.mka";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{clip_.string(), ""}}, "-vn -c:a mp2", output.string()))
        << task.LastError;
    task.ProgressInterval = 0;
    ReportLog reports;
    reports.Attach(task);
    task.Start();
    ASSERT_TRUE(task.Finished()) << task.ErrorMessage();
    ASSERT_FALSE(reports.Reports().empty());
    for (const Report& report : reports.Reports()) {
        EXPECT_EQ(report.frame, -1);
        EXPECT_EQ(report.fps, -1);
        EXPECT_FLOAT_EQ(report.quality, -1);  // audio encoders report no picture quality
    }
    EXPECT_TRUE(log_.Has(llInfo, "size="));
    EXPECT_FALSE(log_.Contains("frame="));
}

TEST_F(ProgressTest, QualityPsnrAndHistogramComeFromTheEncoder) {
    const fs::path output = dir_ / "psnr.mkv";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{clip_.string(), ""}}, "-an -c:v mpeg4 -q:v 5 -psnr -qphist",
                                output.string()))
        << task.LastError;
    // Only the final report is made.
    task.ProgressInterval = INT64_MAX / 2;
    ReportLog reports;
    reports.Attach(task);
    task.Start();
    ASSERT_TRUE(task.Finished()) << task.ErrorMessage();
    ASSERT_EQ(reports.Reports().size(), 1u);
    EXPECT_FLOAT_EQ(reports.Reports().back().quality, 5.0f);
    // The final report counted one picture at 5.
    EXPECT_EQ(task.QpHistogram[5], 1);
    EXPECT_TRUE(log_.Has(llInfo, "frame=   50 fps="));
    EXPECT_TRUE(log_.Has(llInfo, "q=5.0 L00000100000000000000000000000000PSNR=Y:"));
    EXPECT_TRUE(log_.Has(llInfo, " *:"));
}

TEST_F(ProgressTest, VideoStatisticsHaveOneLinePerPicture) {
    const fs::path output = dir_ / "vstats.mkv";
    const fs::path stats = dir_ / "vstats.log";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{clip_.string(), ""}},
                                "-an -c:v mpeg4 -q:v 3 -g 10 -psnr -vstats_file " + stats.string(),
                                output.string()))
        << task.LastError;
    task.Start();
    ASSERT_TRUE(task.Finished()) << task.ErrorMessage();
    std::ifstream in(stats);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_EQ(lines[0].rfind("frame= ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" q= 3.0 PSNR= "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("type= I"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("type= P"), std::string::npos) << lines[1];
    int key_frames = 0;
    double previous_time = 0;
    for (const std::string& line : lines) {
        key_frames += line.find("type= I") != std::string::npos ? 1 : 0;
        const std::size_t at = line.find(" time= ");
        ASSERT_NE(at, std::string::npos) << line;
        const double time = std::stod(line.substr(at + 7));
        EXPECT_GE(time, previous_time) << line;
        EXPECT_LT(time, 2.5) << line;
        previous_time = time;
    }
    EXPECT_EQ(key_frames, 5);
}

TEST_F(ProgressTest, UnwritableVideoStatisticsFailTheTask) {
    TCustomFFmpeg task;
    ASSERT_TRUE(
        BuildEngineTask(task, {{clip_.string(), ""}},
                        "-an -c:v mpeg4 -vstats_file " + (dir_ / "no/such/dir.log").string(),
                        (dir_ / "failed.mkv").string()))
        << task.LastError;
    task.Start();
    EXPECT_TRUE(task.HasError());
    EXPECT_EQ(task.ErrorMessage(), "fopen fail: " + (dir_ / "no/such/dir.log").string());
}

TEST_F(ProgressTest, JoinedTaskTimeNeverGoesBack) {
    const fs::path first = MakeTone(dir_, "first.mp3", 1.0, 440);
    const fs::path second = MakeTone(dir_, "second.mp3", 1.0, 660);
    const fs::path output = dir_ / "joined.mp3";
    TCustomFFmpeg task;
    ASSERT_TRUE(BuildEngineTask(task, {{first.string(), ""}, {second.string(), ""}},
                                "-c:a libmp3lame -ac 2 -b:a 128000 -ar 44100", output.string(),
                                true))
        << task.LastError;
    task.ProgressInterval = 0;
    ReportLog reports;
    reports.Attach(task);
    task.Start();
    ASSERT_TRUE(task.Finished()) << task.ErrorMessage();

    const std::vector<Report> all = reports.Reports();
    ASSERT_GE(all.size(), 3u);
    bool second_group_seen = false;
    std::int64_t previous = 0;
    for (const Report& report : all) {
        EXPECT_GE(report.duration, previous) << "file " << report.file_index;
        previous = report.duration;
        second_group_seen = second_group_seen || report.file_index == 1;
    }
    EXPECT_TRUE(second_group_seen);
    EXPECT_EQ(all.back().file_index, -1);
    EXPECT_NEAR(static_cast<double>(all.back().duration), 2000000, 150000);
}

}  // namespace
}  // namespace tavrin::testing

// A task on its worker thread: starting, stopping with and without waiting,
// pausing, cancelling tasks in every state, destroying a running task, the
// priority of the worker, waits on the main thread that keep serving it, and
// a bounded stress of random control calls from another thread.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "fixtures/serve_main_thread.h"
#include "fixtures/wait_until.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/runtime/main_thread.h"
#include "task_builder.h"

namespace tavrin::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

double ProbeDuration(const fs::path& file) {
    const std::string text = RunFfprobe("-v error -show_entries format=duration -of csv=p=0 " +
                                        ShellQuote(file.string()));
    return text.empty() ? -1 : std::stod(text);
}

// Packets ffprobe reads from the whole file; -1 when it fails.
int ProbePackets(const fs::path& file) {
    std::string output;
    const int status = RunCommand(
        "ffprobe -v error -count_packets -select_streams v:0 "
        "-show_entries stream=nb_read_packets -of csv=p=0 " +
            ShellQuote(file.string()),
        &output);
    return status == 0 && !output.empty() ? std::stoi(output) : -1;
}

// What a task's notices and reports said, filled on its threads.
struct TaskRecord {
    std::atomic<int> notices{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> has_error{false};
    std::atomic<int> reports{0};
    std::atomic<std::int64_t> reached{0};
    std::atomic<std::int64_t> last_report_at{0};  // steady clock, microseconds

    void Attach(TCustomFFmpeg& task) {
        task.TerminateCallback = [this](TCustomFFmpeg& sender) {
            finished = sender.Finished();
            has_error = sender.HasError();
            ++notices;
        };
        task.ProgressCallback = [this](TCustomFFmpeg&, std::int32_t, std::int32_t, std::int32_t,
                                       float, float, std::int64_t, std::int64_t duration,
                                       std::int64_t) {
            reached = duration;
            last_report_at = ProgressClockMicroseconds();
            ++reports;
        };
    }
};

class TaskThreadTest : public ::testing::Test {
protected:
    void SetUp() override { LoadEncoderLibraries(); }

    // A task converting `input` into `name` (mpeg4 video, mp2 audio).
    std::unique_ptr<TCustomFFmpeg> MakeTask(const fs::path& input, const std::string& name,
                                            const std::string& input_options = "") {
        auto task = std::make_unique<TCustomFFmpeg>();
        EXPECT_TRUE(BuildEngineTask(*task, {{input.string(), input_options}}, "-c:v mpeg4 -c:a mp2",
                                    (dir_ / name).string()))
            << task->LastError;
        return task;
    }

    fs::path Clip(double seconds = 2.0) {
        const std::string name = "clip" + std::to_string(static_cast<int>(seconds * 10)) + ".mp4";
        if (!fs::exists(dir_ / name)) {
            MakeVideoWithAudio(dir_, name, seconds);
        }
        return dir_ / name;
    }

    // Waits until the running task has gone `quiet` without a report: held
    // by a pause once the step under way has ended. False when it never
    // stops reporting.
    static bool WaitUntilHeld(const TaskRecord& record, std::chrono::milliseconds quiet) {
        return WaitUntil([&record, quiet] {
            return ProgressClockMicroseconds() - record.last_report_at >=
                   std::chrono::microseconds(quiet).count();
        });
    }

    // Starts `task` on a worker at normal priority.
    static void StartThreaded(TCustomFFmpeg& task) {
        TConvertThread* thread = task.Start(true, tpNormal);
        ASSERT_NE(thread, nullptr);
        thread->Resume();
    }

    TempDir dir_;
    EngineLog log_;
};

TEST_F(TaskThreadTest, RunsOnItsWorkerAndStartsOnlyOnce) {
    auto task = MakeTask(Clip(), "once.mkv");
    TaskRecord record;
    record.Attach(*task);
    TConvertThread* thread = task->Start(true, tpNormal);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(&thread->Task(), task.get());
    // Created suspended: nothing runs until Resume. Nothing can signal that
    // nothing happened; a short look is the check.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(record.notices, 0);
    EXPECT_EQ(record.reports, 0);
    // Starting again while it exists gives nothing.
    EXPECT_EQ(task->Start(true, tpNormal), nullptr);
    thread->Resume();
    task.reset();  // stops the worker and waits for it
    EXPECT_EQ(record.notices, 1);

    auto second = MakeTask(Clip(), "twice.mkv");
    TaskRecord again;
    again.Attach(*second);
    StartThreaded(*second);
    second->Cancel(true);  // a running task: stop and wait
    EXPECT_EQ(again.notices, 1);
    EXPECT_FALSE(again.finished);
    EXPECT_TRUE(second->Terminated());
    EXPECT_EQ(second->Start(true, tpNormal), nullptr);  // terminated
    EXPECT_EQ(again.notices, 1);
}

TEST_F(TaskThreadTest, TaskWithoutFilesEndsOnTheCallersThread) {
    // Neither output nor input: the output is named first.
    TCustomFFmpeg empty;
    std::thread::id notice_thread;
    int notices = 0;
    empty.TerminateCallback = [&](TCustomFFmpeg&) {
        notice_thread = std::this_thread::get_id();
        ++notices;
    };
    EXPECT_EQ(empty.Start(true, tpNormal), nullptr);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(notice_thread, std::this_thread::get_id());
    EXPECT_TRUE(empty.HasError());
    EXPECT_EQ(empty.ErrorMessage(), "At least one output file must be specified");
    EXPECT_TRUE(log_.Has(llQuiet, "At least one output file must be specified"));
    empty.Cancel(true);  // already terminated: no second notice
    EXPECT_EQ(notices, 1);

    // An output but no input.
    TCustomFFmpeg no_input;
    no_input.output_files.push_back(std::make_unique<OutputFile>());
    int no_input_notices = 0;
    no_input.TerminateCallback = [&](TCustomFFmpeg&) { ++no_input_notices; };
    EXPECT_EQ(no_input.Start(true, tpNormal), nullptr);
    EXPECT_EQ(no_input_notices, 1);
    EXPECT_EQ(no_input.ErrorMessage(), "At least one input file must be specified");
    EXPECT_TRUE(no_input.output_files.empty());  // cleaned up
}

TEST_F(TaskThreadTest, RunsToTheEndWithFinished) {
    auto task = MakeTask(Clip(), "end.mkv");
    TaskRecord record;
    record.Attach(*task);
    StartThreaded(*task);
    task->Stop(false);
    task->Resume();
    // Stop(false) was called before the loop could see anything: it still
    // ends properly, with the trailer, and Finished false.
    task.reset();
    EXPECT_EQ(record.notices, 1);
    EXPECT_FALSE(record.finished);
    EXPECT_FALSE(record.has_error);

    auto full = MakeTask(Clip(), "full.mkv");
    TaskRecord full_record;
    full_record.Attach(*full);
    StartThreaded(*full);
    ASSERT_TRUE(WaitUntil([&] { return full_record.notices > 0; })) << "the task never ended";
    full->Stop(true);
    EXPECT_TRUE(full_record.finished);
    EXPECT_FALSE(full_record.has_error);
    EXPECT_NEAR(ProbeDuration(dir_ / "full.mkv"), 2.0, 0.1);
}

TEST_F(TaskThreadTest, StopWithoutWaitingReturnsAtOnceAndTheFileIsComplete) {
    // Read at the input's own rate: the 60 s input would take a minute.
    const fs::path input = Clip(60.0);
    auto task = MakeTask(input, "stopped.mkv", "-re");
    TaskRecord record;
    record.Attach(*task);
    StartThreaded(*task);
    // Until 1.5 s are written: a fixed wait wrote barely 1 s in the thread
    // sanitizer build on a busy machine.
    EXPECT_TRUE(WaitUntil([&] { return record.reached >= 1500000; }))
        << "only " << record.reached << " µs written";

    const auto before = std::chrono::steady_clock::now();
    task->Stop(false);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 50ms);
    task->Stop(true);
    EXPECT_EQ(record.notices, 1);
    EXPECT_FALSE(record.finished);
    EXPECT_FALSE(record.has_error);

    const fs::path output = dir_ / "stopped.mkv";
    const double written = static_cast<double>(record.reached) / 1e6;
    EXPECT_GT(written, 1.0);
    EXPECT_LT(written, 4.0);
    // The trailer was written: the file reads to its end.
    EXPECT_NEAR(ProbeDuration(output), written, 0.5);
    EXPECT_GT(ProbePackets(output), 25);
    EXPECT_TRUE(log_.Has(llInfo, "video:"));  // the final statistics
}

TEST_F(TaskThreadTest, PausedTaskNeitherReportsNorWrites) {
    auto task = MakeTask(Clip(3.0), "paused.mkv", "-re");
    task->ProgressInterval = 100000;
    TaskRecord record;
    record.Attach(*task);
    StartThreaded(*task);
    // Under way: it reports and writes.
    ASSERT_TRUE(WaitUntil([&] { return record.reached >= 500000; })) << "the task never reported";

    task->Pause();
    EXPECT_TRUE(task->Paused());
    task->Pause();  // already held
    ASSERT_TRUE(WaitUntilHeld(record, 200ms)) << "the task kept reporting after Pause";
    const int reports = record.reports;
    const auto size = fs::file_size(dir_ / "paused.mkv");
    const auto held_since = ProgressClockMicroseconds();
    // That nothing happens while held is the check: it takes a look of a
    // good twenty report intervals.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(record.reports, reports);
    EXPECT_LT(record.last_report_at, held_since);
    EXPECT_EQ(fs::file_size(dir_ / "paused.mkv"), size);
    EXPECT_EQ(record.notices, 0);

    task->Resume();
    EXPECT_FALSE(task->Paused());
    ASSERT_TRUE(WaitUntil([&] { return record.notices > 0; })) << "the task never ended";
    EXPECT_TRUE(record.finished);
    EXPECT_GT(record.reports, reports);
    task.reset();
    EXPECT_NEAR(ProbeDuration(dir_ / "paused.mkv"), 3.0, 0.15);
}

TEST_F(TaskThreadTest, StopReleasesAPausedTask) {
    auto task = MakeTask(Clip(3.0), "held.mkv", "-re");
    task->ProgressInterval = 0;  // a report every step tells that it runs
    TaskRecord record;
    record.Attach(*task);
    StartThreaded(*task);
    ASSERT_TRUE(WaitUntil([&] { return record.reached >= 200000; })) << "the task never reported";
    task->Pause();
    ASSERT_TRUE(WaitUntilHeld(record, 200ms)) << "the task kept reporting after Pause";
    task->Stop(true);
    EXPECT_EQ(record.notices, 1);
    EXPECT_FALSE(record.finished);
    EXPECT_FALSE(task->Paused());
    task->Resume();  // nothing left to release
    EXPECT_GT(ProbeDuration(dir_ / "held.mkv"), 0.0);
}

TEST_F(TaskThreadTest, CancelReachesEveryTaskOnce) {
    const fs::path clip = Clip();
    std::vector<std::unique_ptr<TCustomFFmpeg>> tasks;
    std::vector<std::unique_ptr<TaskRecord>> records;
    for (int i = 0; i < 4; ++i) {
        tasks.push_back(MakeTask(clip, "cancel" + std::to_string(i) + ".mkv", i == 1 ? "-re" : ""));
        records.push_back(std::make_unique<TaskRecord>());
        records.back()->Attach(*tasks.back());
    }
    // Task 0 has already ended, task 1 runs, tasks 2 and 3 never ran.
    tasks[0]->Start();
    ASSERT_EQ(records[0]->notices, 1);
    tasks[1]->ProgressInterval = 0;  // a report every step tells that it runs
    StartThreaded(*tasks[1]);
    ASSERT_TRUE(WaitUntil([&] { return records[1]->reached >= 200000; }))
        << "task 1 never reported";

    for (auto& task : tasks) {
        task->Cancel(true);
    }
    EXPECT_EQ(records[0]->notices, 1);
    EXPECT_TRUE(records[0]->finished);
    for (std::size_t i = 1; i < tasks.size(); ++i) {
        EXPECT_EQ(records[i]->notices, 1) << i;
        EXPECT_FALSE(records[i]->finished) << i;
        EXPECT_FALSE(records[i]->has_error) << i;
        EXPECT_TRUE(tasks[i]->Terminated()) << i;
    }
    // Cancelled before running: no thread ran it, nothing is ever started.
    EXPECT_EQ(tasks[2]->Start(true, tpNormal), nullptr);
    for (auto& task : tasks) {
        task->Cancel(false);
    }
    tasks.clear();
    for (const auto& record : records) {
        EXPECT_EQ(record->notices, 1);
    }
}

TEST_F(TaskThreadTest, DestroyingARunningTaskStopsIt) {
    auto task = MakeTask(Clip(3.0), "destroyed.mkv", "-re");
    task->ProgressInterval = 0;  // a report every step tells that it runs
    TaskRecord record;
    record.Attach(*task);
    StartThreaded(*task);
    ASSERT_TRUE(WaitUntil([&] { return record.reached >= 300000; })) << "the task never reported";
    task.reset();
    EXPECT_EQ(record.notices, 1);
    EXPECT_FALSE(record.finished);
    EXPECT_GT(ProbePackets(dir_ / "destroyed.mkv"), 0);

    // Never resumed: destruction lets the worker run to its end first.
    auto suspended = MakeTask(Clip(), "suspended.mkv");
    TaskRecord suspended_record;
    suspended_record.Attach(*suspended);
    ASSERT_NE(suspended->Start(true, tpNormal), nullptr);
    suspended.reset();
    EXPECT_EQ(suspended_record.notices, 1);
    EXPECT_FALSE(suspended_record.finished);
}

TEST_F(TaskThreadTest, WorkerRunsAtItsPriority) {
    struct Case {
        TThreadPriority priority;
        int nice;
    };
    const int own = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
    for (const Case& c : {Case{tpIdle, 19}, Case{tpLower, 5}}) {
        auto task = MakeTask(Clip(), "nice" + std::to_string(c.nice) + ".mkv");
        std::atomic<int> seen{-100};
        task->ProgressInterval = 0;
        task->ProgressCallback = [&seen](TCustomFFmpeg&, std::int32_t, std::int32_t, std::int32_t,
                                         float, float, std::int64_t, std::int64_t, std::int64_t) {
            seen = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)));
        };
        TConvertThread* thread = task->Start(true, c.priority);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(thread->Priority(), c.priority);
        thread->Resume();
        task->Cancel(false);
        task.reset();
        // A niced test run cannot go below its own value.
        EXPECT_EQ(seen, std::max(c.nice, own));
    }
    EXPECT_EQ(NiceValueOf(tpNormal), 0);
    EXPECT_EQ(NiceValueOf(tpTimeCritical), -20);
}

// A worker blocked in handing its report to the main thread is served while
// the main thread waits in Stop(true) or Cancel(true).
TEST_F(TaskThreadTest, WaitsOnTheMainThreadKeepServingIt) {
    InitMainThread();
    auto task = MakeTask(Clip(3.0), "served.mkv", "-re");
    task->ProgressInterval = 0;
    std::atomic<int> served{0};
    task->ProgressCallback = [&served](TCustomFFmpeg&, std::int32_t, std::int32_t, std::int32_t,
                                       float, float, std::int64_t, std::int64_t,
                                       std::int64_t) { RunInMainThread([&served] { ++served; }); };
    int notices = 0;
    task->TerminateCallback = [&notices](TCustomFFmpeg&) {
        RunInMainThread([&notices] { ++notices; });
    };
    StartThreaded(*task);
    // Reports are being handed over; the next one waits for the main thread.
    ASSERT_TRUE(ServeMainThreadUntil([&served] { return served > 0; }, kGenerousWait))
        << "no report reached the main thread";
    task->Stop(true);
    EXPECT_EQ(notices, 1);
    EXPECT_GT(served, 0);
    task.reset();

    // A task that never ran: its notice thread hands over to the main thread too.
    auto never = MakeTask(Clip(), "never.mkv");
    int never_notices = 0;
    never->TerminateCallback = [&never_notices](TCustomFFmpeg&) {
        RunInMainThread([&never_notices] { ++never_notices; });
    };
    never->Cancel(true);
    EXPECT_EQ(never_notices, 1);
    never.reset();
    ShutdownMainThread();
}

// The writes that finish a file after a stop still go through; a write that
// stays blocked after a stop is broken off.
TEST_F(TaskThreadTest, StopBreaksOnlyStalledWrites) {
    TCustomFFmpeg task;
    task.AbortRequested = true;
    task.WriteStartTime = INT64_MAX;
    EXPECT_EQ(task.CheckWriteInterrupt(), 0);
    task.ArmWriteTimer();
    EXPECT_EQ(task.CheckWriteInterrupt(), 0);
    EXPECT_EQ(task.CheckReadInterrupt(), 1);  // reading stops at once
    task.WriteStartTime = WallClockMicroseconds() - 1500000;
    EXPECT_EQ(task.CheckWriteInterrupt(), 1);
}

// Random control calls from another thread: no deadlock, no crash, exactly
// one notice per task.
TEST_F(TaskThreadTest, RandomControlSequencesEndEveryTaskOnce) {
    const fs::path clip = Clip(1.0);
    std::mt19937 random(20261210);
    constexpr int kTasks = 12;
    constexpr int kCalls = 16;
    std::vector<std::unique_ptr<TCustomFFmpeg>> tasks;
    std::vector<std::unique_ptr<TaskRecord>> records;
    std::vector<std::vector<int>> plans;
    for (int i = 0; i < kTasks; ++i) {
        tasks.push_back(MakeTask(clip, "stress" + std::to_string(i) + ".mkv"));
        records.push_back(std::make_unique<TaskRecord>());
        records.back()->Attach(*tasks.back());
        std::vector<int> plan;
        for (int k = 0; k < kCalls; ++k) {
            plan.push_back(static_cast<int>(random() % 9));
        }
        plans.push_back(plan);
    }

    std::thread controller([&] {
        for (int i = 0; i < kTasks; ++i) {
            TCustomFFmpeg& task = *tasks[static_cast<std::size_t>(i)];
            for (const int call : plans[static_cast<std::size_t>(i)]) {
                switch (call) {
                    case 0:
                    case 1:
                        if (TConvertThread* thread = task.Start(true, tpNormal)) {
                            thread->Resume();
                        }
                        break;
                    case 2:
                        task.Stop(false);
                        break;
                    case 3:
                        task.Stop(true);
                        break;
                    case 4:
                        task.Pause();
                        break;
                    case 5:
                        task.Resume();
                        break;
                    case 6:
                        task.Cancel(false);
                        break;
                    case 7:
                        task.Cancel(true);
                        break;
                    default:
                        // A random pause between calls is part of the
                        // stress: it lets the worker get to other states.
                        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));
                        break;
                }
            }
            // Every task ends, whatever state the sequence left it in.
            task.Cancel(true);
            task.Resume();
        }
    });
    controller.join();
    tasks.clear();
    for (int i = 0; i < kTasks; ++i) {
        EXPECT_EQ(records[static_cast<std::size_t>(i)]->notices, 1) << "task " << i;
    }
}

}  // namespace
}  // namespace tavrin::testing

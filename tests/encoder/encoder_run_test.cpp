// Running tasks: thread counts 0, 1 and more, the order of the termination
// notices, the run state, pausing, resuming and stopping, progress on the
// main thread, tasks that cannot start and an empty task list.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "encoder_test_support.h"

namespace tavrin::testing {
namespace {

// What the termination notices said, in the order they came.
struct NoticeLog {
    std::vector<TTerminateInfo> notices;
    std::vector<std::thread::id> threads;

    void Attach(TCustomEncoder& encoder) {
        encoder.OnTerminate = [this](TCustomEncoder*, const TTerminateInfo& info) {
            notices.push_back(info);
            threads.push_back(std::this_thread::get_id());
        };
    }
    bool RunEnded() const { return !notices.empty() && notices.back().TaskIndex == -1; }
    std::vector<int> Indexes() const {
        std::vector<int> indexes;
        for (const auto& notice : notices) {
            indexes.push_back(notice.TaskIndex);
        }
        return indexes;
    }
};

class EncoderRunTest : public EncoderTest {};

TEST_F(EncoderRunTest, OneThreadRunsTasksStrictlyInTurnWithOrderedNotices) {
    TZOZovadod encoder;
    NoticeLog log;
    log.Attach(encoder);
    for (int i = 0; i < 3; ++i) {
        AddConversion(encoder, "turn" + std::to_string(i) + ".mkv");
    }
    // Tasks run strictly in turn: the reports never go back to an earlier
    // task.
    std::vector<int> report_tasks;
    encoder.OnProgress = [&](TCustomEncoder*, PProgressInfo info) {
        report_tasks.push_back(info->TaskIndex);
    };
    encoder.SetProgressInterval(100);
    encoder.StartTask(1);
    EXPECT_TRUE(encoder.Working());
    ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
    EXPECT_EQ(log.Indexes(), (std::vector<int>{0, 1, 2, -1}));
    for (const auto& notice : log.notices) {
        EXPECT_TRUE(notice.Finished);
        EXPECT_FALSE(notice.Exception) << notice.ExceptionMsg;
    }
    EXPECT_TRUE(std::is_sorted(report_tasks.begin(), report_tasks.end()));
    EXPECT_EQ(std::set<int>(report_tasks.begin(), report_tasks.end()), (std::set<int>{0, 1, 2}));
    // Delivered on the main thread (this one).
    for (const auto& id : log.threads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
    EXPECT_TRUE(encoder.AllDone());
    EXPECT_TRUE(encoder.Working());
}

TEST_F(EncoderRunTest, ThreadCountZeroRunsEverythingBeforeReturning) {
    TZOZovadod encoder;
    NoticeLog log;
    log.Attach(encoder);
    AddConversion(encoder, "sync0.mkv");
    AddConversion(encoder, "sync1.mkv");
    encoder.StartTask(0);
    // Everything happened inside the call, on this thread.
    EXPECT_TRUE(encoder.AllDone());
    EXPECT_EQ(log.Indexes(), (std::vector<int>{0, 1, -1}));
    for (const auto& id : log.threads) {
        EXPECT_EQ(id, std::this_thread::get_id());
    }
    EXPECT_TRUE(std::filesystem::file_size(media_->Out("sync1.mkv")) > 0);
}

TEST_F(EncoderRunTest, SeveralThreadsRunTasksSideBySide) {
    TZOZovadod encoder;
    NoticeLog log;
    log.Attach(encoder);
    for (int i = 0; i < 3; ++i) {
        AddConversion(encoder, "side" + std::to_string(i) + ".mkv");
    }
    encoder.StartTask(2);
    ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
    ASSERT_EQ(log.notices.size(), 4u);
    // Every task once, the run's notice last.
    std::vector<int> indexes = log.Indexes();
    std::sort(indexes.begin(), indexes.end() - 1);
    EXPECT_EQ(indexes, (std::vector<int>{0, 1, 2, -1}));
}

TEST_F(EncoderRunTest, WithoutATerminateHandlerTheRunStillEnds) {
    TZOZovadod encoder;
    AddConversion(encoder, "nohandler0.mkv");
    AddConversion(encoder, "nohandler1.mkv");
    encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return encoder.AllDone(); }));
    // The second task ran too.
    EXPECT_GT(std::filesystem::file_size(media_->Out("nohandler1.mkv")), 0u);
}

TEST_F(EncoderRunTest, ATaskWithoutOutputReportsItsErrorAndTheRunGoesOn) {
    for (const int threads : {0, 1}) {
        TZOZovadod encoder;
        NoticeLog log;
        log.Attach(encoder);
        ASSERT_EQ(encoder.AddTask(media_->Clip()), 0);  // no output
        AddConversion(encoder, "after-broken" + std::to_string(threads) + ".mkv");
        encoder.StartTask(threads);
        ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
        ASSERT_EQ(log.Indexes(), (std::vector<int>{0, 1, -1})) << threads;
        EXPECT_TRUE(log.notices[0].Exception);
        EXPECT_EQ(log.notices[0].ExceptionMsg, "At least one output file must be specified");
        EXPECT_FALSE(log.notices[1].Exception);
        EXPECT_TRUE(log.notices[1].Finished);
        // The run's last notice only says that it is over.
        EXPECT_TRUE(log.notices[2].Finished);
        EXPECT_FALSE(log.notices[2].Exception);
        EXPECT_TRUE(log.notices[2].ExceptionMsg.empty());
    }
}

TEST_F(EncoderRunTest, AnEmptyListEndsItsRunAtOnce) {
    for (const int threads : {0, 1}) {
        TZOZovadod encoder;
        NoticeLog log;
        log.Attach(encoder);
        encoder.StartTask(threads);
        EXPECT_TRUE(encoder.Working());
        EXPECT_TRUE(encoder.AllDone());
        ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }, std::chrono::seconds(5)));
        EXPECT_EQ(log.Indexes(), (std::vector<int>{-1}));
        encoder.ClearTasks();
        EXPECT_FALSE(encoder.Working());
    }
}

TEST_F(EncoderRunTest, PauseHoldsTheRunAndResumeLetsItFinish) {
    TZOZovadod encoder;
    NoticeLog log;
    log.Attach(encoder);
    AddConversion(encoder, "paused0.mkv");
    AddConversion(encoder, "paused1.mkv");
    encoder.StartTask(1);
    encoder.Pause();
    encoder.Pause();  // a second pause changes nothing
    EXPECT_TRUE(encoder.Paused());
    // Held: nothing ends while paused, also not the task started later.
    EXPECT_FALSE(PumpUntil([&] { return !log.notices.empty(); }, std::chrono::milliseconds(600)));
    encoder.Resume();
    EXPECT_FALSE(encoder.Paused());
    ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
    EXPECT_EQ(log.Indexes(), (std::vector<int>{0, 1, -1}));
    EXPECT_TRUE(log.notices[0].Finished && log.notices[1].Finished);
}

TEST_F(EncoderRunTest, StopWithWaitOnAPausedRunEndsEveryTask) {
    TZOZovadod encoder;
    NoticeLog log;
    log.Attach(encoder);
    for (int i = 0; i < 3; ++i) {
        AddConversion(encoder, "stopped" + std::to_string(i) + ".mkv");
    }
    encoder.StartTask(1);
    encoder.Pause();
    encoder.Stop(true);
    // Every task has ended when Stop returns; Paused keeps its value.
    EXPECT_TRUE(encoder.AllDone());
    EXPECT_TRUE(encoder.Paused());
    ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
    EXPECT_EQ(log.Indexes(), (std::vector<int>{0, 1, 2, -1}));
    // The running task broke off, the others never ran; none failed.
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(log.notices[static_cast<std::size_t>(i)].Finished) << i;
        EXPECT_FALSE(log.notices[static_cast<std::size_t>(i)].Exception) << i;
    }
    encoder.ClearTasks();
    EXPECT_FALSE(encoder.Paused());
}

TEST_F(EncoderRunTest, ProgressArrivesOnTheMainThreadWithTheTaskIndex) {
    TZOZovadod encoder;
    NoticeLog log;
    log.Attach(encoder);
    AddConversion(encoder, "progress0.mkv");
    AddConversion(encoder, "progress1.mkv");
    std::vector<TProgressInfo> reports;
    std::atomic<bool> off_main{false};
    encoder.OnProgress = [&](TCustomEncoder* sender, PProgressInfo info) {
        EXPECT_EQ(sender, &encoder);
        if (!IsMainThread()) {
            off_main = true;
        }
        reports.push_back(*info);
    };
    encoder.StartTask(1);
    ASSERT_TRUE(PumpUntil([&] { return log.RunEnded(); }));
    EXPECT_FALSE(off_main);
    // Each task ends with its final report (file index -1) at the clip's end.
    int finals = 0;
    for (const auto& report : reports) {
        if (report.FileIndex == -1) {
            ++finals;
            EXPECT_NEAR(static_cast<double>(report.CurrentDuration), 2e6, 2e5);
            EXPECT_GT(report.CurrentSize, 0);
        }
    }
    EXPECT_EQ(finals, 2);
    EXPECT_EQ(reports.front().TaskIndex, 0);
    EXPECT_EQ(reports.back().TaskIndex, 1);
}

TEST_F(EncoderRunTest, DestroyingAnEncoderStopsItsRunningTasks) {
    std::vector<TTerminateInfo> notices;
    {
        TZOZovadod encoder;
        encoder.OnTerminate = [&](TCustomEncoder*, const TTerminateInfo& info) {
            notices.push_back(info);
        };
        AddConversion(encoder, "destroyed.mkv");
        encoder.StartTask(1);
        encoder.Pause();
    }
    // The handlers are detached first: no event reaches the application.
    for (int i = 0; i < 20; ++i) {
        ProcessMessages();
    }
    EXPECT_TRUE(notices.empty());
}

}  // namespace
}  // namespace tavrin::testing

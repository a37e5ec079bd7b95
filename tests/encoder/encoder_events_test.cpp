// Event delivery across threads: the run state a notice handler reads,
// handlers assigned and cleared while tasks run, and notices still queued
// when their handler is detached.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "encoder_test_support.h"

namespace tavrin::testing {
namespace {

class EncoderEventsTest : public EncoderTest {
protected:
    // A conversion of the clip whose audio passes the input hook.
    void AddHookedConversion(TZOZovadod& encoder, const std::string& output) {
        const std::int32_t index = encoder.AddTask(media_->Clip());
        ASSERT_GE(index, 0) << encoder.LastErrorText();
        TOutputOptions out;
        out.Options = "-y -c:v mpeg4 -c:a mp2";
        out.AudioInputHook = true;
        ASSERT_GE(encoder.SetOutput(index, media_->Out(output), &out), 0)
            << encoder.LastErrorText();
    }

    // Sleeps without serving the main thread's queue, so that notices
    // handed to the main thread stay queued.
    static bool WaitWithoutServing(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
};

TEST_F(EncoderEventsTest, TheRunsLastNoticeSeesAllDone) {
    // Tasks without an output end at once, so many runs are cheap; the
    // notice goes through the main thread or straight to its own thread.
    for (const bool main_thread : {true, false}) {
        for (int run = 0; run < 50; ++run) {
            TZOZovadod encoder;
            encoder.TriggerEventInMainThread = main_thread;
            std::atomic<int> last_notices{0};
            std::atomic<bool> all_done_seen{true};
            encoder.OnTerminate = [&](TCustomEncoder* sender, const TTerminateInfo& info) {
                if (info.TaskIndex == -1) {
                    all_done_seen = all_done_seen && sender->AllDone();
                    ++last_notices;
                }
            };
            ASSERT_EQ(encoder.AddTask(media_->Tone()), 0);
            ASSERT_EQ(encoder.AddTask(media_->Tone()), 1);
            encoder.StartTask(1);
            ASSERT_TRUE(PumpUntil([&] { return last_notices > 0; }));
            EXPECT_TRUE(all_done_seen) << "run " << run << (main_thread ? " (main thread)" : "");
        }
    }
}

TEST_F(EncoderEventsTest, HandlersAssignedAndClearedDuringARunNeverRace) {
    TZOZovadod encoder;
    // Progress on the task threads too, so that every family is delivered
    // off the thread that assigns.
    encoder.TriggerEventInMainThread = false;
    encoder.SetProgressInterval(100);
    AddHookedConversion(encoder, "assigned0.mkv");
    AddHookedConversion(encoder, "assigned1.mkv");
    std::atomic<int> calls{0};
    std::atomic<bool> run_ended{false};
    const auto count_progress = [&](TCustomEncoder*, PProgressInfo) { ++calls; };
    const auto count_hook = [&](TCustomEncoder*, std::int32_t, std::int64_t, std::uint8_t*,
                                std::int32_t, std::int32_t, std::int32_t,
                                std::int32_t) { ++calls; };
    const auto note_end = [&](TCustomEncoder*, const TTerminateInfo& info) {
        if (info.TaskIndex == -1) {
            run_ended = true;
        }
    };
    encoder.OnTerminate = note_end;
    // Installed from the start, so that the first deliveries are counted even
    // when the assigning thread is slow to get going on a loaded machine.
    encoder.OnProgress = count_progress;
    encoder.OnAudioInputHook = count_hook;
    encoder.StartTask(2);
    // Another thread than the main one assigns and clears while the tasks
    // deliver, until the run is over; the main thread serves its queue.
    std::thread assigner([&] {
        while (!run_ended && calls == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The pauses between assigning and clearing are part of the race:
        // deliveries meet handlers both set and cleared.
        while (!run_ended) {
            encoder.OnProgress = count_progress;
            encoder.OnAudioInputHook = count_hook;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            encoder.OnProgress = nullptr;
            encoder.OnAudioInputHook = nullptr;
            encoder.OnTerminate = nullptr;
            encoder.OnTerminate = note_end;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    // The run's last notice may come while the terminate handler is cleared
    // for a moment; AllDone, set before that notice, still tells the end.
    const bool ended = PumpUntil([&] { return run_ended.load() || encoder.AllDone(); });
    if (!ended) {
        encoder.Stop(true);
    }
    run_ended = true;
    assigner.join();
    ASSERT_TRUE(ended);
    // The handlers were called while installed.
    EXPECT_GT(calls, 0);
}

TEST_F(EncoderEventsTest, ADetachedHandlerGetsNoQueuedNotice) {
    TZOZovadod encoder;
    std::vector<int> delivered;
    encoder.OnTerminate = [&](TCustomEncoder*, const TTerminateInfo& info) {
        delivered.push_back(info.TaskIndex);
    };
    ASSERT_EQ(encoder.AddTask(media_->Tone()), 0);  // no output: ends at once
    encoder.StartTask(1);
    // The notices wait in the main thread's queue (or on their threads)
    // while the application detaches the handler.
    ASSERT_TRUE(WaitWithoutServing([&] { return encoder.AllDone(); }));
    encoder.OnTerminate = nullptr;
    EXPECT_FALSE(PumpUntil([&] { return !delivered.empty(); }, std::chrono::milliseconds(300)));
    EXPECT_TRUE(delivered.empty());
}

TEST_F(EncoderEventsTest, AReplacedHandlerGetsTheQueuedNotices) {
    TZOZovadod encoder;
    std::vector<int> first;
    std::vector<int> second;
    encoder.OnTerminate = [&](TCustomEncoder*, const TTerminateInfo& info) {
        first.push_back(info.TaskIndex);
    };
    ASSERT_EQ(encoder.AddTask(media_->Tone()), 0);
    encoder.StartTask(1);
    ASSERT_TRUE(WaitWithoutServing([&] { return encoder.AllDone(); }));
    encoder.OnTerminate = [&](TCustomEncoder*, const TTerminateInfo& info) {
        second.push_back(info.TaskIndex);
    };
    ASSERT_TRUE(PumpUntil([&] { return !second.empty() && second.back() == -1; }));
    EXPECT_TRUE(first.empty());
    EXPECT_EQ(second, (std::vector<int>{0, -1}));
}

}  // namespace
}  // namespace tavrin::testing

#include "media/runtime/main_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {
namespace {

// Runs fn on a new thread and waits for it while serving the main thread's
// queue.
template <typename Fn>
void OnWorkerWhilePumping(Fn fn) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
        WakeMainThread();
    });
    while (!done) {
        WaitForMessages(std::chrono::milliseconds(20));
    }
    worker.join();
}

TEST(MainThreadTest, NoThreadIsTheMainThreadUntilOneIsDeclared) {
    ShutdownMainThread();  // in case an earlier test of this process declared one
    EXPECT_FALSE(MainThreadInitialised());
    EXPECT_FALSE(IsMainThread());
    bool ran = false;
    EXPECT_THROW(RunInMainThread([&] { ran = true; }), FFmpegException);
    EXPECT_FALSE(TryRunInMainThread([&] { ran = true; }));
    std::thread other([&] { EXPECT_THROW(RunInMainThread([&] { ran = true; }), FFmpegException); });
    other.join();
    EXPECT_FALSE(ran);
    EXPECT_EQ(ProcessMessages(), 0);
}

class DeclaredMainThreadTest : public ::testing::Test {
protected:
    void SetUp() override { InitMainThread(); }
    void TearDown() override {
        SetMainThreadDispatcher(nullptr);
        ShutdownMainThread();
    }
};

TEST_F(DeclaredMainThreadTest, CallsRunOnTheMainThreadAndCarryTheirErrorsBack) {
    EXPECT_TRUE(IsMainThread());
    InitMainThread();  // again from the same thread: no effect
    int direct_runs = 0;
    RunInMainThread([&] { ++direct_runs; });  // runs at once here
    EXPECT_EQ(direct_runs, 1);

    bool ran_on_main = false;
    bool returned_after_run = false;
    std::string carried_error;
    bool other_is_main = true;
    OnWorkerWhilePumping([&] {
        other_is_main = IsMainThread();
        EXPECT_THROW(InitMainThread(), FFmpegException);
        RunInMainThread([&] { ran_on_main = IsMainThread(); });
        returned_after_run = ran_on_main;
        try {
            RunInMainThread([] { throw std::runtime_error("failed on the main thread"); });
        } catch (const std::runtime_error& error) {
            carried_error = error.what();
        }
    });
    EXPECT_FALSE(other_is_main);
    EXPECT_TRUE(ran_on_main);
    EXPECT_TRUE(returned_after_run);
    EXPECT_EQ(carried_error, "failed on the main thread");
}

TEST_F(DeclaredMainThreadTest, WaitingMainThreadWakesForQueuedCalls) {
    // A long timeout: the wait must end because a call arrives, not because
    // time runs out.
    std::atomic<bool> ran{false};
    std::thread worker([&] {
        // No condition can tell that the main thread has gone to sleep in its
        // wait; a short head start makes it all but certain, so that the call
        // has to wake it (if it comes early the wait still ends, only sooner).
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        RunInMainThread([&] { ran = true; });
    });
    const auto start = std::chrono::steady_clock::now();
    int run = 0;
    while (run == 0) {
        run += WaitForMessages(std::chrono::seconds(60));
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    worker.join();
    EXPECT_TRUE(ran);
    EXPECT_LT(waited, std::chrono::seconds(30));
}

// Counts what the queue asks of it and waits like the built-in dispatcher.
class CountingDispatcher : public TMainThreadDispatcher {
public:
    void Wake() override {
        std::lock_guard lock(mutex_);
        ++wakes;
        woken_ = true;
        condition_.notify_all();
    }
    void ProcessEvents() override { ++event_rounds; }
    void WaitForEvents(std::chrono::milliseconds timeout) override {
        std::unique_lock lock(mutex_);
        condition_.wait_for(lock, timeout, [this] { return woken_; });
        woken_ = false;
    }
    std::atomic<int> wakes{0};
    std::atomic<int> event_rounds{0};

private:
    std::mutex mutex_;
    std::condition_variable condition_;
    bool woken_ = false;
};

TEST_F(DeclaredMainThreadTest, InstalledDispatcherIsWokenAndProcessesEvents) {
    const auto dispatcher = std::make_shared<CountingDispatcher>();
    SetMainThreadDispatcher(dispatcher);
    bool ran = false;
    OnWorkerWhilePumping([&] { RunInMainThread([&] { ran = true; }); });
    EXPECT_TRUE(ran);
    EXPECT_GE(dispatcher->wakes.load(), 1);
    const int rounds = dispatcher->event_rounds.load();
    EXPECT_GE(rounds, 1);
    EXPECT_EQ(ProcessMessages(), 0);
    EXPECT_EQ(dispatcher->event_rounds.load(), rounds + 1);
}

TEST_F(DeclaredMainThreadTest, ShutdownServesQueuedCallsThenRefusesNewOnes) {
    // The dispatcher is woken once the call is queued.
    const auto dispatcher = std::make_shared<CountingDispatcher>();
    SetMainThreadDispatcher(dispatcher);
    std::atomic<bool> queued_ran{false};
    std::thread early([&] { RunInMainThread([&] { queued_ran = true; }); });
    while (dispatcher->wakes.load() == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(queued_ran);
    ShutdownMainThread();
    early.join();
    EXPECT_TRUE(queued_ran);
    EXPECT_FALSE(IsMainThread());
    std::thread late([] { EXPECT_THROW(RunInMainThread([] {}), FFmpegException); });
    late.join();
}

}  // namespace
}  // namespace tavrin

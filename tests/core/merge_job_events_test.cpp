// The merge job's hold on the encoder's events: a termination notice still
// on its way when the job is destroyed never reaches the job.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/core/merge_job.h"
#include "app/core/settings.h"
#include "fixtures/media_fixtures.h"
#include "fixtures/wait_until.h"
#include "media/runtime/loader.h"
#include "media/runtime/main_thread.h"

namespace tavrin::testing {
namespace {

TEST(MergeJobEventsTest, ANoticeQueuedWhenTheJobIsDestroyedNeverReachesIt) {
    InitMainThread();
    ASSERT_TRUE(FFLoader().LibrarySetLoaded(EncoderLibs) || FFLoader().LoadLibs(EncoderLibs))
        << FFLoader().LastErrorText();
    TempDir dir;
    const std::string tone = MakeTone(dir).string();
    TSettings settings((dir.path() / "tavrin.ini").string());
    TZOZovadod encoder;
    TVEVarazez decoder;
    // Outlives the job: a notice delivered into the destroyed job would
    // still write its "mergeing finished" line here.
    std::vector<std::string> lines;
    TMergeJobCallbacks callbacks;
    callbacks.LogLine = [&lines](const std::string& line) { lines.push_back(line); };
    auto job = std::make_unique<TMergeJob>(encoder, decoder, settings, callbacks);

    // A task without output ends at once; its notices are handed to the
    // main thread, which does not serve them before the job is gone (as
    // when tavrin-merge is stopped during its final task).
    ASSERT_EQ(encoder.AddTask(tone), 0) << encoder.LastErrorText();
    encoder.StartTask(1);
    ASSERT_TRUE(WaitUntil([&encoder] { return encoder.AllDone(); }))
        << "the task without output never ended";
    job.reset();

    const auto served_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < served_until) {
        WaitForMessages(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(lines.empty()) << lines.front();
}

}  // namespace
}  // namespace tavrin::testing

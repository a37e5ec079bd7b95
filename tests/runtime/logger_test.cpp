#include "media/runtime/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "fixtures/media_fixtures.h"
#include "media/runtime/base_component.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/loader.h"
#include "media/runtime/main_thread.h"

namespace tavrin {
namespace {

struct Delivered {
    const void* sender;
    std::uint32_t thread_id;
    TLogLevel level;
    std::string text;
    bool on_main_thread;
};

// Collects what OnLog receives.
class Capture {
public:
    TLogEvent Handler() {
        return [this](const void* sender, std::uint32_t thread_id, TLogLevel level,
                      const std::string& text) {
            std::lock_guard lock(mutex_);
            items_.push_back({sender, thread_id, level, text, IsMainThread()});
        };
    }
    std::vector<Delivered> Items() {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const Delivered& item : Items()) {
            texts.push_back(item.text);
        }
        return texts;
    }

private:
    std::mutex mutex_;
    std::vector<Delivered> items_;
};

// Feeds the library callback as FFmpeg's av_log would.
void LibraryLog(void* context, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LibraryLogCallback(context, level, format, args);
    va_end(args);
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { InitMainThread(); }
    void TearDown() override {
        // The log file and its switch belong to the process, not to one
        // logger: put them back, so that no later test (in any order or
        // shard) writes into a folder a test has removed.
        {
            TREVaduzi logger;
            logger.SetLogToFile(false);
            logger.SetLogFile("");
        }
        ShutdownMainThread();
    }
};

TEST(LogLevelTest, MapsToLibraryLevelsAndBack) {
    const int library_levels[] = {-8, 0, 8, 16, 24, 32, 40, 48};
    const char* const names[] = {"Quiet",   "Panic", "Fatal",   "Error",
                                 "Warning", "Info",  "Verbose", "Debug"};
    for (int level = llQuiet; level <= llDebug; ++level) {
        const auto log_level = static_cast<TLogLevel>(level);
        EXPECT_EQ(LibraryLevelOf(log_level), library_levels[level]);
        EXPECT_EQ(LogLevelOfLibrary(library_levels[level]), log_level);
        EXPECT_STREQ(LogLevelName(log_level), names[level]);
    }
    const std::pair<int, TLogLevel> back[] = {{-1000, llQuiet}, {-9, llQuiet}, {-7, llPanic},
                                              {7, llPanic},     {15, llFatal}, {39, llInfo},
                                              {47, llVerbose},  {56, llDebug}, {1000, llDebug}};
    for (const auto& [library_level, expected] : back) {
        EXPECT_EQ(LogLevelOfLibrary(library_level), expected) << library_level;
    }
}

TEST(BaseComponentTest, DefaultsAndDebuggerQuery) {
    const TFFBaseComponent component;
    EXPECT_EQ(component.Version(), "5.2");
    EXPECT_EQ(component.About(), "");
    const int expected = DebuggerAttached() ? 0 : 30000;
    EXPECT_EQ(component.Timeout(), expected);
    EXPECT_EQ(component.WriteTimeout(), expected);

    const std::pair<const char*, bool> statuses[] = {
        {"Name:\tx\nTracerPid:\t0\nUid:\t0\n", false},
        {"Name:\tx\nTracerPid:\t4242\n", true},
        {"TracerPid: 17", true},
        {"Name:\tx\n", false},
        {"", false},
    };
    for (const auto& [status, traced] : statuses) {
        EXPECT_EQ(TracerPresentInStatus(status), traced) << status;
    }
}

TEST_F(LoggerTest, ApplicationLoggerReplacesTheAutoCreatedOne) {
    Log(nullptr, llInfo, "before the application logger");
    EXPECT_TRUE(GlobalLogger().AutoCreated());
    EXPECT_TRUE(GlobalLogger().Muted());
    {
        TREVaduzi application;
        EXPECT_EQ(&GlobalLogger(), &application);
        EXPECT_FALSE(application.AutoCreated());
        try {
            TREVaduzi second;
            ADD_FAILURE() << "a second application logger was created";
        } catch (const FFmpegException& error) {
            EXPECT_STREQ(error.what(), "Allow creating only one instance of TREVaduzi.");
        }
        EXPECT_EQ(&GlobalLogger(), &application);
    }
    // The next use makes a muted one again.
    EXPECT_TRUE(GlobalLogger().AutoCreated());
    EXPECT_TRUE(GlobalLogger().Muted());
}

TEST_F(LoggerTest, LevelFilterAndActive) {
    TREVaduzi logger;
    Capture capture;
    EXPECT_TRUE(logger.Muted());
    logger.SetOnLog(capture.Handler());
    EXPECT_FALSE(logger.Muted());

    logger.SetLogLevel(llWarning);
    EXPECT_EQ(CurrentLibraryLevel(), 24);
    Log(&logger, llInfo, "info is dropped");
    LogFmt(&logger, llError, "error %d is delivered", 7);
    LibraryLog(nullptr, 32, "library info is dropped\n");
    LibraryLog(nullptr, 16, "library error is delivered\n");

    logger.SetActive(false);
    EXPECT_TRUE(logger.Muted());
    Log(&logger, llError, "inactive");
    LibraryLog(nullptr, 16, "inactive library\n");
    logger.SetActive(true);
    logger.SetLogLevel(llInfo);
    EXPECT_EQ(CurrentLibraryLevel(), 32);

    const std::vector<Delivered> items = capture.Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].text, "error 7 is delivered");
    EXPECT_EQ(items[0].sender, &logger);
    EXPECT_EQ(items[0].level, llError);
    EXPECT_EQ(items[0].thread_id, LogThreadId());
    EXPECT_EQ(items[1].text, "library error is delivered");
    EXPECT_EQ(items[1].sender, &logger);
    EXPECT_EQ(items[1].level, llError);
}

// While a worker's handler holds the output lock, messages below the level
// filter return at once: the filter is applied before any lock.
TEST_F(LoggerTest, FilteredMessagesDoNotWaitForABusyLogger) {
    TREVaduzi logger;
    logger.SetTriggerEventInMainThread(false);
    std::mutex mutex;
    std::condition_variable changed;
    bool handler_entered = false;
    bool release_handler = false;
    logger.SetOnLog([&](const void*, std::uint32_t, TLogLevel, const std::string&) {
        std::unique_lock lock(mutex);
        handler_entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release_handler; });
    });
    std::thread holder([] { Log(nullptr, llInfo, "holds the lock"); });
    std::atomic<bool> filtered_returned{false};
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return handler_entered; });
    }
    std::thread filtered([&] {
        Log(nullptr, llDebug, "below the filter");
        LogFmt(nullptr, llVerbose, "below the filter %d", 1);
        LibraryLog(nullptr, 48, "below the library filter\n");
        filtered_returned = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!filtered_returned && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(filtered_returned) << "a filtered message waited for the output lock";
    {
        std::lock_guard lock(mutex);
        release_handler = true;
    }
    changed.notify_all();
    holder.join();
    filtered.join();
}

TEST_F(LoggerTest, LibraryLinesFoldRepeats) {
    struct Case {
        const char* name;
        std::vector<const char*> messages;  // null: the "%s" call with a null argument
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"three", {"A\n", "A\n", "A\n", "B\n"}, {"A", "    Last message repeated 2 times", "B"}},
        {"two", {"A\n", "A\n", "B\n"}, {"A", "B"}},
        {"settled",
         {"A\n", "A\n", "A\n", nullptr, "A\n"},
         {"A", "    Last message repeated 2 times", "A"}},
        {"unfinished lines never fold", {"A", "A", "\n"}, {"AA"}},
        {"split", {"A\nB\nC", "\n"}, {"A", "B", "C"}},
    };
    for (const Case& test_case : cases) {
        TREVaduzi logger;
        Capture capture;
        logger.SetOnLog(capture.Handler());
        // Each case starts after a line of its own, so earlier cases do not
        // count as repeats.
        LibraryLog(nullptr, 32, "%s\n", test_case.name);
        for (const char* message : test_case.messages) {
            if (message == nullptr) {
                LibraryLog(nullptr, 32, "%s", static_cast<const char*>(nullptr));
            } else {
                LibraryLog(nullptr, 32, "%s", message);
            }
        }
        std::vector<std::string> expected{test_case.name};
        expected.insert(expected.end(), test_case.expected.begin(), test_case.expected.end());
        EXPECT_EQ(capture.Texts(), expected) << test_case.name;
    }
}

struct FakeParent {
    const AVClass* av_class;
};
struct FakeContext {
    const AVClass* av_class;
    FakeParent* parent;
};

TEST_F(LoggerTest, LineAssembledFromPiecesCarriesTheContextOnce) {
    AVClass parent_class{};
    parent_class.class_name = "parent";
    parent_class.item_name = [](void*) { return "demuxer"; };
    AVClass context_class{};
    context_class.class_name = "context";
    context_class.item_name = [](void*) { return "decoder"; };
    context_class.parent_log_context_offset = offsetof(FakeContext, parent);
    FakeParent parent{&parent_class};
    FakeContext context{&context_class, &parent};

    TREVaduzi logger;
    Capture capture;
    logger.SetOnLog(capture.Handler());
    LibraryLog(&context, 32, "abc");
    LibraryLog(&context, 32, "%s\n", "def");
    context.parent = nullptr;  // a parent field that is not set is left out
    LibraryLog(&context, 32, "orphan\n");

    char with_parent[128];
    std::snprintf(with_parent, sizeof with_parent, "[demuxer @ %p] [decoder @ %p]abcdef",
                  static_cast<void*>(&parent), static_cast<void*>(&context));
    char without_parent[128];
    std::snprintf(without_parent, sizeof without_parent, "[decoder @ %p]orphan",
                  static_cast<void*>(&context));
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{with_parent, without_parent}));
}

TEST_F(LoggerTest, LongLibraryMessagesAreKeptWhole) {
    TREVaduzi logger;
    Capture capture;
    logger.SetOnLog(capture.Handler());
    for (const std::size_t length : {2047u, 2048u, 4097u, 10000u}) {
        const std::string text(length, 'x');
        LibraryLog(nullptr, 32, "%s|%zu\n", text.c_str(), length);
        const std::vector<std::string> texts = capture.Texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), text + "|" + std::to_string(length));
    }
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST_F(LoggerTest, LogFileLinesAreAppendedInTheirForm) {
    const testing::TempDir dir;
    const auto path = dir / "tavrin.log";
    {
        std::ofstream old(path, std::ios::binary);
        old << "old content\n";
    }
    {
        TREVaduzi logger;
        logger.SetLogFile(path.string());
        logger.SetLogToFile(true);
        EXPECT_FALSE(logger.Muted());
        Log(nullptr, llWarning, "first line");
        LogFmt(nullptr, llError, "second %s", "line");
        LibraryLog(nullptr, 32, "library line\n");
    }
    const std::string content = ReadFile(path);
    ASSERT_TRUE(content.starts_with("old content\n")) << content;
    char thread_id[16];
    std::snprintf(thread_id, sizeof thread_id, "%.8X", LogThreadId());
    const std::string head = R"(\d\d:\d\d:\d\d \d{3} \[)" + std::string(thread_id) + R"(\] )";
    const std::regex expected("old content\n" + head + "Warning: first line\n" + head +
                              "Error: second line\n" + head + "Info: library line\n");
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST_F(LoggerTest, LogFileThatCannotBeOpenedRaisesToTheLogger) {
    const testing::TempDir dir;
    TREVaduzi logger;
    logger.SetLogToFile(true);

    logger.SetLogFile((dir / "missing-folder" / "x.log").string());
    try {
        Log(nullptr, llError, "lost");
        ADD_FAILURE() << "no error for a log file in a missing folder";
    } catch (const FFmpegException& error) {
        EXPECT_NE(std::string(error.what()).find("missing-folder/x.log"), std::string::npos);
    }

    // Another writer holding the file shuts us out.
    const auto busy = dir / "busy.log";
    const int other = ::open(busy.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    logger.SetLogFile(busy.string());
    EXPECT_THROW(Log(nullptr, llError, "shut out"), FFmpegException);
    ::close(other);
    Log(nullptr, llError, "written once the other writer is gone");
    logger.SetLogToFile(false);
    EXPECT_NE(ReadFile(busy).find("Error: written once"), std::string::npos);
}

TEST_F(LoggerTest, WithoutMainThreadDeliveryTheHandlerRunsOnTheLoggingThread) {
    TREVaduzi logger;
    Capture capture;
    logger.SetOnLog(capture.Handler());
    logger.SetTriggerEventInMainThread(false);
    std::uint32_t worker_id = 0;
    std::thread worker([&] {
        worker_id = LogThreadId();
        Log(nullptr, llInfo, "from the worker");
    });
    worker.join();  // no pumping needed
    const std::vector<Delivered> items = capture.Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_FALSE(items[0].on_main_thread);
    EXPECT_EQ(items[0].thread_id, worker_id);
}

// A handler running on the worker (which holds the output lock) hands work to
// the main thread, and that work logs: it must not wait for the worker.
TEST_F(LoggerTest, WorkHandedToTheMainThreadByAHandlerMayLog) {
    TREVaduzi logger;
    logger.SetTriggerEventInMainThread(false);
    std::vector<std::string> texts;
    logger.SetOnLog([&](const void*, std::uint32_t, TLogLevel, const std::string& text) {
        texts.push_back(text);
        if (text == "from the worker") {
            RunInMainThread([] { Log(nullptr, llInfo, "from the main thread"); });
        }
    });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Log(nullptr, llInfo, "from the worker");
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "deadlocked";
        WaitForMessages(std::chrono::milliseconds(10));
    }
    worker.join();
    EXPECT_EQ(texts, (std::vector<std::string>{"from the worker", "from the main thread"}));
}

// Workers log (component and library messages) while the main thread pumps
// and logs at the same moment; the handler, on the main thread, sometimes logs
// too. Every message must arrive, every handler call on the main thread.
TEST_F(LoggerTest, WorkersAndMainThreadLogTogetherWithoutDeadlock) {
    constexpr int kWorkers = 4;
    constexpr int kMessagesPerWorker = 300;
    TREVaduzi logger;
    std::mutex mutex;
    int delivered = 0;
    int off_main_thread = 0;
    int nested = 0;
    logger.SetOnLog([&](const void*, std::uint32_t, TLogLevel, const std::string& text) {
        {
            std::lock_guard lock(mutex);
            ++delivered;
            off_main_thread += IsMainThread() ? 0 : 1;
            nested += text == "nested" ? 1 : 0;
        }
        if (text == "worker 0 message 0") {
            Log(nullptr, llInfo, "nested");  // from inside the handler
        }
    });

    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([w, &finished] {
            for (int i = 0; i < kMessagesPerWorker; ++i) {
                if (i % 2 == 0) {
                    LogFmt(nullptr, llInfo, "worker %d message %d", w, i);
                } else {
                    LibraryLog(nullptr, 32, "worker %d library %d\n", w, i);
                }
            }
            ++finished;
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int main_messages = 0;
    while (finished.load() < kWorkers) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "logging deadlocked\n");
            std::abort();
        }
        LogFmt(nullptr, llInfo, "main message %d", main_messages++);
        WaitForMessages(std::chrono::milliseconds(1));
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(delivered, kWorkers * kMessagesPerWorker + main_messages + 1);
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(off_main_thread, 0);
}

TEST_F(LoggerTest, HookNeedsTheLevelEntries) {
    if (ff.av_log_set_callback != nullptr) {
        GTEST_SKIP() << "the library is loaded in this process";
    }
    EXPECT_THROW(HookLibraryLog(), FFmpegException);
}

// Loading avutil hooks the callback: the library's own messages (with their
// context prefix) reach OnLog and the level reaches the library.
TEST_F(LoggerTest, RealLibraryMessagesArriveThroughTheHook) {
    TREVaduzi logger;
    Capture capture;
    logger.SetOnLog(capture.Handler());
    FFLoader().SetLibraryPath("");
    ASSERT_TRUE(FFLoader().LoadLibs(LibraryBit(LibraryId::avutil))) << FFLoader().LastErrorText();
    logger.SetLogLevel(llWarning);
    EXPECT_EQ(ff.av_log_get_level(), 24);

    AVClass context_class{};
    context_class.class_name = "probe";
    context_class.item_name = [](void*) { return "probe"; };
    context_class.version = LIBAVUTIL_VERSION_INT;
    const AVClass* context = &context_class;
    ff.av_log(&context, AV_LOG_INFO, "filtered by the library\n");
    ff.av_log(&context, AV_LOG_ERROR, "real %s", "library");
    ff.av_log(&context, AV_LOG_ERROR, " line\n");
    logger.SetLogLevel(llInfo);
    EXPECT_EQ(ff.av_log_get_level(), 32);

    char expected[128];
    std::snprintf(expected, sizeof expected, "[probe @ %p]real library line",
                  static_cast<const void*>(&context));
    const std::vector<Delivered> items = capture.Items();
    ASSERT_EQ(items.size(), 1u) << ::testing::PrintToString(capture.Texts());
    EXPECT_EQ(items[0].text, expected);
    EXPECT_EQ(items[0].level, llError);
    EXPECT_EQ(items[0].sender, &logger);
}

}  // namespace
}  // namespace tavrin

#include "media/runtime/logger.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/log_file.h"
#include "media/runtime/logger_in_use.h"
#include "media/runtime/main_thread.h"

namespace tavrin {

namespace {

// A handler that logs from inside OnLog is served at once; past this depth its
// messages are dropped so that a handler logging every call cannot recurse
// without end.
constexpr int kMaxReentrantDepth = 8;

// Trivially destructible, so still valid while static objects are destroyed
// at process end.
std::atomic<bool> g_logging_ended{false};
std::atomic<TREVaduzi*> g_logger{nullptr};
std::atomic<int> g_in_use{0};
std::atomic<int> g_library_level{32};
thread_local int t_in_use = 0;
// How many OnLog handlers the calling thread is running.
thread_local int t_delivery_depth = 0;

// The output lock. It may be taken again by its holder, and by the main
// thread while that runs a call the holder handed over and waits for (its
// OnLog, say): the holder cannot run meanwhile, and waiting would deadlock.
// A thread waiting for it on the main thread keeps serving queued calls, since
// the holder may be a worker waiting for the main thread.
class OutputLock {
public:
    void lock() {
        std::unique_lock guard(mutex_);
        if (held_ && ActsFor(owner_)) {
            ++reentries_;
            return;
        }
        if (IsMainThread()) {
            while (held_) {
                ++main_waiting_;
                guard.unlock();
                WaitForMessages(std::chrono::milliseconds(50));
                guard.lock();
                --main_waiting_;
            }
        } else {
            released_.wait(guard, [this] { return !held_; });
        }
        held_ = true;
        owner_ = std::this_thread::get_id();
    }

    void unlock() {
        bool wake_main = false;
        {
            std::lock_guard guard(mutex_);
            if (reentries_ > 0) {
                --reentries_;
                return;
            }
            held_ = false;
            owner_ = std::thread::id();
            wake_main = main_waiting_ > 0;
        }
        released_.notify_one();
        if (wake_main) {
            WakeMainThread();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    std::thread::id owner_;
    int reentries_ = 0;
    int main_waiting_ = 0;
};

struct LoggingState {
    LoggingState() {
        // Make the main-thread queue outlive this state at process end.
        IsMainThread();
    }
    ~LoggingState() {
        g_logging_ended = true;
        auto_created.reset();
    }

    // Creating, replacing and destroying loggers.
    std::recursive_mutex registry;
    OutputLock output;
    // Guarded by the output lock.
    std::string log_file;
    bool log_to_file = false;
    TLogFileWriter file;
    // Guarded by the registry lock.
    std::unique_ptr<TREVaduzi> auto_created;
};

LoggingState& State() {
    static LoggingState state;
    return state;
}

class OutputGuard {
public:
    OutputGuard() { State().output.lock(); }
    ~OutputGuard() { State().output.unlock(); }
    OutputGuard(const OutputGuard&) = delete;
    OutputGuard& operator=(const OutputGuard&) = delete;
};

class DeliveryDepth {
public:
    DeliveryDepth() { ++t_delivery_depth; }
    ~DeliveryDepth() { --t_delivery_depth; }
    DeliveryDepth(const DeliveryDepth&) = delete;
    DeliveryDepth& operator=(const DeliveryDepth&) = delete;
};

// Waits until no other thread uses the (already unregistered) logger. The
// main thread keeps serving queued calls meanwhile.
void WaitUntilUnused() {
    while (g_in_use.load() > t_in_use) {
        if (IsMainThread()) {
            WaitForMessages(std::chrono::milliseconds(1));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

std::string FormatV(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0) {
        return {};
    }
    if (static_cast<std::size_t>(length) < sizeof small) {
        return std::string(small, static_cast<std::size_t>(length));
    }
    std::vector<char> large(static_cast<std::size_t>(length) + 1);
    va_copy(copy, args);
    std::vsnprintf(large.data(), large.size(), format, copy);
    va_end(copy);
    return std::string(large.data(), static_cast<std::size_t>(length));
}

const char* const kLevelNames[] = {"Quiet",   "Panic", "Fatal",   "Error",
                                   "Warning", "Info",  "Verbose", "Debug"};

}  // namespace

int LibraryLevelOf(TLogLevel level) {
    return 8 * static_cast<int>(level) - 8;
}

TLogLevel LogLevelOfLibrary(int library_level) {
    const int level = library_level / 8 + 1;  // C++ division truncates toward zero
    return static_cast<TLogLevel>(level < llQuiet ? llQuiet : level > llDebug ? llDebug : level);
}

const char* LogLevelName(TLogLevel level) {
    const int index = static_cast<int>(level);
    return index >= llQuiet && index <= llDebug ? kLevelNames[index] : "Unknown";
}

int CurrentLibraryLevel() {
    return g_library_level.load();
}

std::uint32_t LogThreadId() {
    thread_local const auto id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    return id;
}

// --- LoggerInUse -----------------------------------------------------------

LoggerInUse::LoggerInUse() {
    for (;;) {
        // Count first, then look: a destructor that unregisters the logger and
        // then sees no use cannot miss this thread (both sequentially
        // consistent).
        g_in_use.fetch_add(1);
        ++t_in_use;
        counted_ = true;
        if (g_logging_ended.load()) {
            logger_ = nullptr;
            return;
        }
        logger_ = g_logger.load();
        if (logger_ != nullptr) {
            return;
        }
        --t_in_use;
        g_in_use.fetch_sub(1);
        counted_ = false;
        CreateAutoLogger();
    }
}

void LoggerInUse::CreateAutoLogger() {
    LoggingState& state = State();
    std::lock_guard registry(state.registry);
    if (g_logger.load() == nullptr && !g_logging_ended) {
        state.auto_created = std::make_unique<TREVaduzi>(TREVaduzi::AutoCreate{});
    }
}

LoggerInUse::~LoggerInUse() {
    if (counted_) {
        --t_in_use;
        g_in_use.fetch_sub(1);
    }
}

TREVaduzi& GlobalLogger() {
    const LoggerInUse logger;
    if (!logger) {
        throw FFmpegException("The process's logging has ended.");
    }
    return *logger;
}

// --- TREVaduzi --------------------------------------------------------------

TREVaduzi::TREVaduzi() : log_level_(LogLevelOfLibrary(g_library_level.load())) {
    Register();
}

TREVaduzi::TREVaduzi(AutoCreate)
    : auto_created_(true), log_level_(LogLevelOfLibrary(g_library_level.load())) {
    Register();
}

void TREVaduzi::Register() {
    LoggingState& state = State();
    std::lock_guard registry(state.registry);
    TREVaduzi* current = g_logger.load();
    if (current != nullptr && current->auto_created_ && current != this) {
        state.auto_created.reset();  // its destructor unregisters it
    }
    if (g_logger.load() != nullptr) {
        throw FFmpegException("Allow creating only one instance of TREVaduzi.");
    }
    g_logger.store(this);
}

TREVaduzi::~TREVaduzi() {
    LoggingState& state = State();
    {
        std::lock_guard registry(state.registry);
        TREVaduzi* self = this;
        if (g_logger.compare_exchange_strong(self, nullptr)) {
            WaitUntilUnused();
        } else {
            return;  // never became the process's logger
        }
    }
    const OutputGuard output;
    state.file.Close();
}

void TREVaduzi::RecomputeMuted() {
    const LoggingState& state = State();
    const bool has_output = has_on_log_.load() || (state.log_to_file && !state.log_file.empty());
    muted_.store(!(active_.load() && has_output));
}

void TREVaduzi::SetActive(bool active) {
    const OutputGuard output;
    active_.store(active);
    RecomputeMuted();
}

void TREVaduzi::SetTriggerEventInMainThread(bool value) {
    const OutputGuard output;
    trigger_in_main_thread_.store(value);
}

void TREVaduzi::SetLogLevel(TLogLevel level) {
    const OutputGuard output;
    if (level != log_level_.load()) {
        log_level_.store(level);
        ApplyLevelToLibrary();
    }
}

void TREVaduzi::ApplyLevelToLibrary() {
    g_library_level.store(LibraryLevelOf(LogLevel()));
    if (ff.av_log_set_level != nullptr) {
        ff.av_log_set_level(g_library_level.load());
    }
}

std::string TREVaduzi::LogFile() const {
    const OutputGuard output;
    return State().log_file;
}

void TREVaduzi::SetLogFile(const std::string& file_name) {
    const OutputGuard output;
    LoggingState& state = State();
    if (state.log_file != file_name) {
        state.log_file = file_name;
        state.file.Close();
    }
    RecomputeMuted();
}

bool TREVaduzi::LogToFile() const {
    const OutputGuard output;
    return State().log_to_file;
}

void TREVaduzi::SetLogToFile(bool value) {
    const OutputGuard output;
    LoggingState& state = State();
    if (state.log_to_file != value) {
        state.log_to_file = value;
        state.file.Close();
    }
    RecomputeMuted();
}

void TREVaduzi::SetOnLog(TLogEvent handler) {
    auto shared = handler ? std::make_shared<const TLogEvent>(std::move(handler)) : nullptr;
    const OutputGuard output;
    on_log_ = std::move(shared);
    has_on_log_.store(on_log_ != nullptr);
    RecomputeMuted();
}

void TREVaduzi::Log(const void* sender, TLogLevel level, const std::string& text) {
    if (Muted() || level > LogLevel() || t_delivery_depth > kMaxReentrantDepth) {
        return;
    }
    const OutputGuard output;
    Deliver(sender, LogThreadId(), level, text);
}

void TREVaduzi::LogFmt(const void* sender, TLogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    try {
        LogFmtV(sender, level, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

void TREVaduzi::LogFmtV(const void* sender, TLogLevel level, const char* format, va_list args) {
    if (Muted() || level > LogLevel() || t_delivery_depth > kMaxReentrantDepth) {
        return;
    }
    const OutputGuard output;
    Deliver(sender, LogThreadId(), level, FormatV(format, args));
}

void TREVaduzi::EmitLibraryLine(std::uint32_t thread_id, TLogLevel level, const std::string& line) {
    if (Muted() || t_delivery_depth > kMaxReentrantDepth) {
        return;
    }
    const OutputGuard output;
    Deliver(this, thread_id, level, line);
}

void TREVaduzi::Deliver(const void* sender, std::uint32_t thread_id, TLogLevel level,
                        const std::string& text) {
    if (Muted()) {
        return;  // switched off while this thread waited for the lock
    }
    // A copy: the handler may replace OnLog while it runs.
    const std::shared_ptr<const TLogEvent> handler = on_log_;
    if (handler) {
        const auto call = [&] {
            const DeliveryDepth depth;
            (*handler)(sender, thread_id, level, text);
        };
        // Without a main thread (none declared) the handler runs here.
        if (!trigger_in_main_thread_.load() || !TryRunInMainThread(call)) {
            call();
        }
    }
    LoggingState& state = State();
    if (state.log_to_file && !state.log_file.empty()) {
        state.file.Append(state.log_file,
                          FormatLogLine(std::chrono::system_clock::now(), thread_id, level, text));
    }
}

// --- Free functions ---------------------------------------------------------

void Log(const void* sender, TLogLevel level, const std::string& text) {
    const LoggerInUse logger;
    if (logger) {
        logger->Log(sender, level, text);
    }
}

void LogFmt(const void* sender, TLogLevel level, const char* format, ...) {
    const LoggerInUse logger;
    if (!logger) {
        return;
    }
    va_list args;
    va_start(args, format);
    try {
        logger->LogFmtV(sender, level, format, args);
    } catch (...) {
        va_end(args);
        throw;
    }
    va_end(args);
}

}  // namespace tavrin

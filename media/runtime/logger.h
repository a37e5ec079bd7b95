// The process-wide logger: component messages and the FFmpeg libraries' own
// output are filtered by level, handed to OnLog (on the main thread when
// asked) and, when asked, appended to a log file.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/runtime/base_component.h"

namespace tavrin {

enum TLogLevel : int {
    llQuiet = 0,
    llPanic,
    llFatal,
    llError,
    llWarning,
    llInfo,
    llVerbose,
    llDebug,
};

// library level = 8 * level - 8, and back with truncation, clamped to 0..7.
int LibraryLevelOf(TLogLevel level);
TLogLevel LogLevelOfLibrary(int library_level);
// "Quiet", "Panic", "Fatal", "Error", "Warning", "Info", "Verbose", "Debug".
const char* LogLevelName(TLogLevel level);

// A component message; sender may be null. Cheap when the logger is muted or
// the level is filtered out: no lock is taken then.
void Log(const void* sender, TLogLevel level, const std::string& text);
// As Log, formatted printf-style only when the message passes the filter.
void LogFmt(const void* sender, TLogLevel level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace tavrin

namespace tavrin {

// Installs the FFmpeg log callback and applies the logger's level to the
// library. Called by the loader whenever avutil is requested and loaded.
void HookLibraryLog();

// The callback installed into FFmpeg; it may be called on any thread, and
// without FFmpeg loaded (it only reads the context's class record).
void LibraryLogCallback(void* context, int library_level, const char* format, va_list args);

// The level library messages are filtered with (8 * LogLevel - 8); 32 at
// process start.
int CurrentLibraryLevel();

// The 32-bit id of the calling thread as the log shows it (the kernel's
// thread id).
std::uint32_t LogThreadId();

// Sender, thread id, level, text.
using TLogEvent = std::function<void(const void* sender, std::uint32_t thread_id, TLogLevel level,
                                     const std::string& text)>;

// The process's logger. At most one exists; an application creates its own,
// which replaces the muted one made on demand by GlobalLogger().
//
// Lock rules: delivery, the log file and the property setters are serialised
// by one output lock. Its holder may take it again, and so may the main thread
// while it runs a call the holder handed over and waits for (the holder's
// OnLog, or anything an OnLog handler hands to the main thread); a thread that
// waits for it on the main thread keeps processing queued calls. So a worker
// that holds the lock while the main thread runs its OnLog never deadlocks
// with the main thread logging.
// A logger must not be destroyed from inside its own OnLog.
class TREVaduzi : public TFFBaseComponent {
public:
    // The application's logger. Raises FFmpegException "Allow creating only
    // one instance of TREVaduzi." when another application logger exists.
    TREVaduzi();
    ~TREVaduzi() override;

    bool AutoCreated() const { return auto_created_; }
    // No output would happen: messages are dropped early.
    bool Muted() const { return muted_.load(std::memory_order_relaxed); }

    bool Active() const { return active_.load(std::memory_order_relaxed); }
    void SetActive(bool active);
    bool TriggerEventInMainThread() const {
        return trigger_in_main_thread_.load(std::memory_order_relaxed);
    }
    void SetTriggerEventInMainThread(bool value);
    TLogLevel LogLevel() const { return log_level_.load(std::memory_order_relaxed); }
    void SetLogLevel(TLogLevel level);
    // The log file settings are process-wide; a replacing logger sees them.
    std::string LogFile() const;
    void SetLogFile(const std::string& file_name);
    bool LogToFile() const;
    void SetLogToFile(bool value);
    void SetOnLog(TLogEvent handler);
    bool HasOnLog() const { return has_on_log_.load(std::memory_order_relaxed); }

    void Log(const void* sender, TLogLevel level, const std::string& text);
    void LogFmt(const void* sender, TLogLevel level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    void LogFmtV(const void* sender, TLogLevel level, const char* format, va_list args);

    // A line of the libraries' output, already filtered by the library level;
    // the logger itself is its sender.
    void EmitLibraryLine(std::uint32_t thread_id, TLogLevel level, const std::string& line);
    // Sets the library level (and FFmpeg's, when bound) from LogLevel.
    void ApplyLevelToLibrary();

private:
    struct AutoCreate {};

public:
    // The muted logger GlobalLogger() makes when none exists.
    explicit TREVaduzi(AutoCreate);

private:
    void Register();
    void RecomputeMuted();
    void Deliver(const void* sender, std::uint32_t thread_id, TLogLevel level,
                 const std::string& text);

    friend TREVaduzi& GlobalLogger();
    friend class LoggerInUse;

    bool auto_created_ = false;
    std::atomic<bool> muted_{true};
    std::atomic<bool> active_{true};
    std::atomic<bool> trigger_in_main_thread_{true};
    std::atomic<TLogLevel> log_level_{llInfo};
    std::atomic<bool> has_on_log_{false};
    std::shared_ptr<const TLogEvent> on_log_;
};

// The process's logger; creates a muted one (auto-created) when none exists.
TREVaduzi& GlobalLogger();

}  // namespace tavrin

// The process-wide logger: component messages and the FFmpeg libraries' own
// output are filtered by level, handed to OnLog (on the main thread when
// asked) and, when asked, appended to a log file.
#pragma once

#include <string>

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

}  // namespace tavrin

// What tavrin-transcode prints while a task runs: the engine's log on
// standard error, the task's status line updated in place on a terminal (one
// line per report otherwise), and the stop request of SIGINT and SIGTERM.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "media/runtime/logger.h"

namespace tavrin::cli {

class TranscodeConsole {
public:
    // `terminal`: rewrite the status line in place instead of adding lines.
    TranscodeConsole(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

    // The task whose status lines are shown; null shows none as such.
    void SetStatusSender(const void* sender);
    // A log line, from any thread.
    void Print(const void* sender, TLogLevel level, const std::string& text);
    // Ends a status line left open on a terminal.
    void Finish();

    // True for the status line of a progress report.
    static bool IsStatusLine(TLogLevel level, const std::string& text);

private:
    void EndStatusLine();

    std::mutex mutex_;
    std::FILE* out_;
    bool terminal_;
    const void* status_sender_ = nullptr;
    bool status_open_ = false;
};

// Turns SIGINT and SIGTERM into a stop request that StopSignal reports.
void InstallStopSignals();

// While set, a stop signal also raises `flag` (a task's AbortRequested), so
// that a library call blocked in opening an input gives up; null clears it.
void SetSignalAbortFlag(std::atomic<bool>* flag);
// The signal that asked for a stop, 0 while none did.
int StopSignal();

}  // namespace tavrin::cli

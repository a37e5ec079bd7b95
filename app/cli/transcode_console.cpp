#include "app/cli/transcode_console.h"

#include <signal.h>

#include <csignal>

namespace tavrin::cli {
namespace {

// Written by the signal handler, read by the main thread's loop.
volatile std::sig_atomic_t stop_signal = 0;

// Lock-free atomics, so the handler may use them.
std::atomic<std::atomic<bool>*> abort_flag{nullptr};
static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int signal_number) {
    stop_signal = signal_number;
    if (std::atomic<bool>* flag = abort_flag.load()) {
        flag->store(true);
    }
}

}  // namespace

void TranscodeConsole::SetStatusSender(const void* sender) {
    const std::lock_guard<std::mutex> lock(mutex_);
    status_sender_ = sender;
}

bool TranscodeConsole::IsStatusLine(TLogLevel level, const std::string& text) {
    return level == llInfo && (text.rfind("frame=", 0) == 0 || text.rfind("size=", 0) == 0);
}

void TranscodeConsole::Print(const void* sender, TLogLevel level, const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (terminal_ && sender != nullptr && sender == status_sender_ && IsStatusLine(level, text)) {
        // Back to the line start, the new line, the rest of the old one cleared.
        std::fprintf(out_, "\r%s\x1b[K", text.c_str());
        std::fflush(out_);
        status_open_ = true;
        return;
    }
    EndStatusLine();
    // Library lines carry their own line ends; component messages get one,
    // and errors their level.
    std::string line = text;
    if (level <= llError && !line.empty() && line.back() != '\n') {
        line = std::string(LogLevelName(level)) + ": " + line;
    }
    if (line.empty() || line.back() != '\n') {
        line += '\n';
    }
    std::fputs(line.c_str(), out_);
}

void TranscodeConsole::Finish() {
    const std::lock_guard<std::mutex> lock(mutex_);
    EndStatusLine();
}

void TranscodeConsole::EndStatusLine() {
    if (status_open_) {
        std::fputc('\n', out_);
        status_open_ = false;
    }
}

void InstallStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void SetSignalAbortFlag(std::atomic<bool>* flag) {
    abort_flag.store(flag);
}

int StopSignal() {
    return stop_signal;
}

}  // namespace tavrin::cli

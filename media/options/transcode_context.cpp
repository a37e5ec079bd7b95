#include "media/options/transcode_context.h"

#include <chrono>
#include <cstdarg>
#include <utility>
#include <vector>

#include "media/options/ff_options.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/string_format.h"

namespace tavrin {

// --- Records ----------------------------------------------------------------

InputStream::InputStream() = default;

InputStream::~InputStream() {
    if (ff.av_channel_layout_uninit != nullptr) {
        ff.av_channel_layout_uninit(&last_channel_layout);
    }
    if (ff.avsubtitle_free != nullptr) {
        ff.avsubtitle_free(&prev_sub.subtitle);
    }
}

OutputStream::OutputStream() {
    channel_map.fill(-1);
}

OutputStream::~OutputStream() = default;

// --- The task object ---------------------------------------------------------

namespace {

int ReadInterruptCallback(void* opaque) {
    return static_cast<const TCustomFFmpegOpt*>(opaque)->CheckReadInterrupt();
}

int WriteInterruptCallback(void* opaque) {
    return static_cast<const TCustomFFmpegOpt*>(opaque)->CheckWriteInterrupt();
}

// A stop request must not break the writes that finish the file after it
// (the encoders' last packets, the trailer): it breaks a write only once that
// write has been blocked this long, as on a stalled network output.
constexpr std::int64_t kStopBreaksWriteAfter = 1000000;

// The shared body of both checks; a stop breaks a write only after
// `stop_grace` microseconds of it.
int CheckInterrupt(const TCustomFFmpegOpt& task, std::int64_t start_time, std::int32_t timeout,
                   const char* timeout_text, std::int64_t stop_grace = 0) {
    if (task.AbortRequested.load(std::memory_order_relaxed) &&
        (stop_grace == 0 ||
         (start_time != INT64_MAX && WallClockMicroseconds() - start_time > stop_grace))) {
        Log(&task, llInfo, "reading/writing broken");
        return 1;
    }
    if (start_time != INT64_MAX && timeout > 0 &&
        WallClockMicroseconds() - start_time > static_cast<std::int64_t>(timeout) * 1000) {
        Log(&task, llInfo, timeout_text);
        return 1;
    }
    return 0;
}

}  // namespace

std::int64_t WallClockMicroseconds() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

TCustomFFmpegOpt::TCustomFFmpegOpt() : options_(std::make_unique<TFFOptions>()) {
    option_table_.reserve(kOptionTableCapacity);
}

TCustomFFmpegOpt::~TCustomFFmpegOpt() {
    // Filtergraphs point into streams and streams into files: release them in
    // the reverse order of their dependencies.
    filtergraphs.clear();
    output_streams.clear();
    output_files.clear();
    input_streams.clear();
    input_files.clear();
}

AVIOInterruptCB TCustomFFmpegOpt::InputInterrupt() const {
    return AVIOInterruptCB{&ReadInterruptCallback, const_cast<TCustomFFmpegOpt*>(this)};
}

AVIOInterruptCB TCustomFFmpegOpt::OutputInterrupt() const {
    return AVIOInterruptCB{&WriteInterruptCallback, const_cast<TCustomFFmpegOpt*>(this)};
}

int TCustomFFmpegOpt::CheckReadInterrupt() const {
    return CheckInterrupt(*this, ReadStartTime.load(std::memory_order_relaxed),
                          ReadTimeout.load(std::memory_order_relaxed),
                          "connecting/reading timeout");
}

int TCustomFFmpegOpt::CheckWriteInterrupt() const {
    return CheckInterrupt(*this, WriteStartTime.load(std::memory_order_relaxed),
                          WriteTimeout.load(std::memory_order_relaxed),
                          "connecting/writing timeout", kStopBreaksWriteAfter);
}

void TCustomFFmpegOpt::ArmReadTimer() {
    ReadStartTime.store(WallClockMicroseconds(), std::memory_order_relaxed);
}

void TCustomFFmpegOpt::ArmWriteTimer() {
    WriteStartTime.store(WallClockMicroseconds(), std::memory_order_relaxed);
}

void TCustomFFmpegOpt::RaiseError(const std::string& message) {
    Log(this, llFatal, message);
    LastError = message;
    throw FFmpegException(message);
}

void TCustomFFmpegOpt::RaiseErrorFmt(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = StringVPrintf(format, args);
    va_end(args);
    RaiseError(message);
}

int TCustomFFmpegOpt::ReturnError(int code, const std::string& message, TLogLevel level) {
    LastError = message;
    Log(this, level, message);
    return code;
}

int TCustomFFmpegOpt::OptVideoHook(const char* name, const char* /*argument*/) {
    const std::string message = std::string("Option ") + name + " is not supported yet";
    SetPendingErrorText(message);
    Log(this, llError, message);
    return AVERROR(ENOSYS);
}

int TCustomFFmpegOpt::OptVideoHookBitsPixel(const char* name, const char* argument) {
    return TCustomFFmpegOpt::OptVideoHook(name, argument);
}

// --- Options context ---------------------------------------------------------

OptionsContext::OptionsContext(TCustomFFmpegOpt& task)
    : group(&task.Options().current_group), groups_release_(task.Options()) {
    task.Options().ResetGroups();
}

OptionsContext::GroupsRelease& OptionsContext::GroupsRelease::operator=(
    GroupsRelease&& other) noexcept {
    TFFOptions* const incoming = std::exchange(other.options_, nullptr);
    // The same parser handed over again was just reset for its next file.
    if (incoming != options_) {
        Release();
    }
    options_ = incoming;
    return *this;
}

void OptionsContext::GroupsRelease::Release() {
    if (options_ != nullptr) {
        options_->FreeGroups();
        options_ = nullptr;
    }
}

}  // namespace tavrin

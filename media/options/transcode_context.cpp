#include "media/options/transcode_context.h"

#include <chrono>
#include <cstdarg>
#include <vector>

#include "media/options/ff_options.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/string_format.h"

namespace tavrin {

// --- Library handle deleters ------------------------------------------------

void FormatInputDeleter::operator()(AVFormatContext* ctx) const {
    if (ctx != nullptr && ff.avformat_close_input != nullptr) {
        ff.avformat_close_input(&ctx);
    }
}

void FormatOutputDeleter::operator()(AVFormatContext* ctx) const {
    if (ctx == nullptr || ff.avformat_free_context == nullptr) {
        return;
    }
    if (ctx->oformat != nullptr && (ctx->oformat->flags & AVFMT_NOFILE) == 0 &&
        ff.avio_closep != nullptr) {
        ff.avio_closep(&ctx->pb);
    }
    ff.avformat_free_context(ctx);
}

void CodecContextDeleter::operator()(AVCodecContext* ctx) const {
    if (ctx != nullptr && ff.avcodec_free_context != nullptr) {
        ff.avcodec_free_context(&ctx);
    }
}

void FrameDeleter::operator()(AVFrame* frame) const {
    if (frame != nullptr && ff.av_frame_free != nullptr) {
        ff.av_frame_free(&frame);
    }
}

void DictionaryDeleter::operator()(AVDictionary* dict) const {
    if (dict != nullptr && ff.av_dict_free != nullptr) {
        ff.av_dict_free(&dict);
    }
}

void FilterGraphDeleter::operator()(AVFilterGraph* graph) const {
    if (graph != nullptr && ff.avfilter_graph_free != nullptr) {
        ff.avfilter_graph_free(&graph);
    }
}

void FilterInOutDeleter::operator()(AVFilterInOut* inout) const {
    if (inout != nullptr && ff.avfilter_inout_free != nullptr) {
        ff.avfilter_inout_free(&inout);
    }
}

void IOContextDeleter::operator()(AVIOContext* io) const {
    if (io != nullptr && ff.avio_closep != nullptr) {
        ff.avio_closep(&io);
    }
}

void BsfContextDeleter::operator()(AVBSFContext* bsf) const {
    if (bsf != nullptr && ff.av_bsf_free != nullptr) {
        ff.av_bsf_free(&bsf);
    }
}

void ExprDeleter::operator()(AVExpr* expr) const {
    if (expr != nullptr && ff.av_expr_free != nullptr) {
        ff.av_expr_free(expr);
    }
}

void StdioFileDeleter::operator()(std::FILE* file) const {
    if (file != nullptr) {
        std::fclose(file);
    }
}

void Dictionary::Reset(AVDictionary* dict) {
    if (dict_ != nullptr && dict_ != dict) {
        DictionaryDeleter{}(dict_);
    }
    dict_ = dict;
}

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

void InitOptionsContext(TCustomFFmpegOpt& task, OptionsContext& ctx) {
    ctx = OptionsContext{};
    task.Options().ResetGroups();
    ctx.group = &task.Options().current_group;
}

void ReleaseOptionsContext(TCustomFFmpegOpt& task, OptionsContext& ctx) {
    // Every list, string and array of the context owns its content; putting
    // the record back to its initial state frees all of it.
    ctx = OptionsContext{};
    task.Options().FreeGroups();
}

}  // namespace tavrin

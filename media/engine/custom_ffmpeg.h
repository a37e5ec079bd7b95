// The engine class of one transcoding task: it runs what the option layer
// set up (inputs, output, streams, filtergraphs) through transcode setup and
// the loop of reading, decoding, filtering, encoding and muxing, then
// releases every resource and reports how the task ended.
//
// A task runs once. This class runs it on the caller's thread; the task's
// own worker thread, pausing and stopping from another thread come on top.
//
// Threads and the fields they own:
// - the controlling thread (the one that builds and starts the task): the
//   callbacks, hook slots, preview window factory and ProgressInterval, set
//   before Start and only read while the task runs (except that the worker
//   clears a video hook slot whose hook asks to stop);
// - the thread that runs the task (its worker, or the caller in a run
//   without a thread): the transcoding context, the progress fields and the
//   outcome (Running .. ErrorMessage), which others read after the
//   termination notice;
// - control_: shared with the task's threads, guarded by its own mutex;
// - the preview flags and the preview window: guarded by the engine's
//   PreviewLock (taken through LockPreview, hooks.h);
// - AbortRequested: written by the controlling thread, read by the worker
//   and by the interrupt checks inside library calls.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/common/bitmap.h"
#include "media/common/format_converter.h"
#include "media/engine/progress.h"
#include "media/engine/task_thread.h"
#include "media/options/transcode_context.h"

namespace tavrin {

class TCustomFFmpeg;

// Hook slots the owner of a task may assign (the encoder component does it
// from its output options). A copied stream is never decoded, so an assigned
// slot of the stream's media type makes stream copy fail at setup.
using TAudioHook = std::function<void(TCustomFFmpeg& sender, std::uint8_t* samples,
                                      std::int64_t pts, std::int32_t size, std::int32_t sample_rate,
                                      std::int32_t channels, std::int32_t sample_format)>;
using TVideoHook =
    std::function<void(TCustomFFmpeg& sender, TBitmap& bitmap, std::int32_t frame_number,
                       std::int64_t pts, bool& update, bool& stop_hook)>;
// The picture a frame hook sees. The engine fills everything but TaskIndex,
// which is the task's index in its owner's list.
struct TFrameHookInfo {
    std::int32_t TaskIndex = 0;
    std::int32_t FrameNumber = 0;
    // The picture's planes and line sizes, as the library holds them.
    std::uint8_t* const* Picture = nullptr;
    const int* LineSizes = nullptr;
    std::int32_t PixelFormat = 0;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::int64_t PTS = 0;
};
using PFrameHookInfo = TFrameHookInfo*;

using TFrameHook = std::function<void(TCustomFFmpeg& sender, const TFrameHookInfo& frame)>;
using TPreviewBitmapCallback = std::function<void(TCustomFFmpeg& sender, TBitmap& bitmap,
                                                  std::int32_t frame_number, std::int64_t pts)>;

// Where a task shows its preview pictures (the encoder's previewer). Called on
// the task's thread under PreviewLock; false once the user has closed it, and
// the task then stops previewing and frees it.
class TPreviewWindow {
public:
    virtual ~TPreviewWindow() = default;
    virtual bool ShowPicture(const TBitmap& picture, std::int32_t frame_number,
                             std::int64_t pts) = 0;
};
using TPreviewWindowFactory = std::function<std::unique_ptr<TPreviewWindow>()>;

struct TTaskHooks;
using TTerminateCallback = std::function<void(TCustomFFmpeg& sender)>;

// Bits of the preview flags.
inline constexpr std::uint8_t kPreviewWindowFlag = 1;
inline constexpr std::uint8_t kPreviewBitmapFlag = 2;

class TCustomFFmpeg : public TCustomFFmpegOpt {
public:
    // Requires the encoder's media libraries to be loaded; raises
    // FFmpegException ("Library %s not loaded.") otherwise.
    TCustomFFmpeg();
    // Releases whatever the task still holds.
    ~TCustomFFmpeg() override;

    // Runs the task on the caller's thread and delivers its termination
    // notice. Does nothing when the task is running or has terminated. A
    // task without an output or an input ends at once with HasError and
    // "At least one output file must be specified" / "At least one input
    // file must be specified".
    void Start();

    // --- State, readable after the termination notice.
    bool Running() const { return running_; }
    bool Terminated() const { return terminated_; }
    // The loop ended without a stop request.
    bool Finished() const { return finished_; }
    // The task ended because of an error; ErrorMessage holds its text.
    bool HasError() const { return has_error_; }
    const std::string& ErrorMessage() const { return error_message_; }

    // Called with the task when it has terminated, on the thread that ran it.
    TTerminateCallback TerminateCallback;

    // --- Running on a worker thread, stopping, pausing (task_thread.cpp).
    // The caller's thread controls the task; the worker runs it.

    // With use_thread: returns the task's new worker, suspended (its Resume
    // lets it run). Without: runs the task as Start() does. Null when the
    // task ran on the caller's thread, is running, has terminated, or ended
    // at once for lack of files.
    TConvertThread* Start(bool use_thread, TThreadPriority priority);
    // Asks the task to stop; the loop ends at its next check and the output
    // is still finished with its trailer. With wait, returns once the worker
    // has left Run (see WaitPumping for waits on the main thread).
    void Stop(bool wait);
    // Stops a running task; gives a task that never ran its termination
    // notice (Finished and HasError false) on a thread of its own. With wait,
    // returns once the notice was delivered.
    void Cancel(bool wait);
    // Hold and release the worker between two loop steps.
    void Pause();
    void Resume();
    bool Paused() const;
    // The loop's pause point: returns at once unless the worker is held, and
    // as soon as it is released or a stop is requested.
    void WaitWhilePaused();

    // --- Progress (progress.cpp).
    // Called on the task's thread with the progress of the run.
    TProgressCallback ProgressCallback;
    // Least time between two progress reports, microseconds.
    std::int64_t ProgressInterval = 500000;
    // Time of the latest report, -1 before the first call.
    std::int64_t LastReportTime = -1;
    // Output time of the latest report; kept while no stream has a time.
    std::int64_t LastReportedDuration = 0;
    // How many pictures were coded at each quantiser (-qphist).
    std::array<std::int32_t, 52> QpHistogram{};
    // Reports the progress: called by the loop after each successful step
    // (not is_last) and once at its end with file index -1 (is_last). Times
    // in microseconds.
    void report_progress(int file_index, bool is_last, std::int64_t cur_time,
                         std::int64_t timer_start);

    // --- Hook slots and preview state.
    TAudioHook AudioInputHook;
    TAudioHook AudioOutputHook;
    TVideoHook VideoInputHook;
    TVideoHook VideoOutputHook;
    TFrameHook FrameInputHook;
    TFrameHook FrameOutputHook;
    TPreviewBitmapCallback PreviewBitmapCallback;
    // Makes the preview window at the first picture shown in it.
    TPreviewWindowFactory PreviewWindowFactory;
    // Least time between two preview pictures, microseconds.
    std::int64_t PreviewInterval = 100000;
    // True once a "-vhook" module is loaded for this task.
    bool VideoHookModulesPresent = false;
    // Bit 0 preview window, bit 1 preview bitmap; changed under PreviewLock.
    // A window bit going to 0 frees the preview window.
    void SetFlags(std::uint8_t flags);
    std::uint8_t PreviewFlags() const;
    bool PreviewFlagsChanged() const;
    // Bits per pixel of the bitmaps of the video hooks and the preview: 8,
    // 15, 16, 24 or 32; raises FFmpegException "Invalid BitsPixel %d" else.
    void SetHookBitmapBits(int bits);
    // The "-vhook" and "VideoHookBitsPixel" options (hooks.cpp, vhook_modules.cpp).
    int OptVideoHook(const char* name, const char* argument) override;
    int OptVideoHookBitsPixel(const char* name, const char* argument) override;
    // Loads one "-vhook" module from its text; raises "Failed to add video
    // hook function: " + text on failure.
    int AddVideoHook(const std::string& text);

    // --- Hook steps of the data path (hooks.cpp), on the task's thread.
    // A decoded picture, before it goes to the filters: input hooks and
    // modules; they may change the picture in place.
    void pre_process_video_frame(InputStream& ist, AVFrame* frame);
    // A picture about to be encoded: the output hooks, then the preview.
    void run_output_hooks_and_preview(AVFrame* frame, const AVCodecContext* enc,
                                      std::int32_t frame_number, std::int64_t pts);
    bool HasOutputHooks() const { return VideoOutputHook || FrameOutputHook; }
    // Output hooks on `frame`; true when the preview converter's bitmap
    // holds the hooked picture.
    bool run_output_hooks(AVFrame* frame, std::int32_t frame_number, std::int64_t pts);
    // Runs a video hook slot on `frame` through `converter`; true when the
    // converter's bitmap holds the picture as it now is. A hook that asks to
    // stop, or whose picture cannot be converted, is cleared.
    bool call_video_hook(TVideoHook& slot, TFormatConverter& converter, std::int64_t pts,
                         std::int32_t frame_number, AVFrame* frame);
    // The throttled preview of an encoded picture.
    void show_preview(AVFrame* frame, bool converted, std::int64_t pts, std::int32_t frame_number);
    // An audio hook on the samples of `frame` (its first plane).
    void run_audio_hook(const TAudioHook& slot, AVFrame* frame, std::int64_t pts);

    // --- Steps of a run, public for the engine's own tests.

    // The body of a run: the loop, then closing every codec still open,
    // Cleanup and the termination notice. Never raises.
    void Run();
    // Transcode setup and the loop; raises FFmpegException on failure.
    void run_transcoding();
    // One step of the loop: 0, AVERROR_EOF when nothing is left to read, or
    // a negative error code.
    int run_step();
    // The active output stream whose muxer lags most, among those neither
    // unavailable nor finished; null when none qualifies.
    OutputStream* pick_output_stream();
    // True while some active output stream still wants data.
    bool output_still_needed();
    // Asks `graph` for a frame; names in `ist` the input stream to read
    // from next, or leaves it null. 0 or a negative code.
    int pull_from_filtergraph(FilterGraph& graph, InputStream*& ist);
    bool any_stream_waiting() const;
    void clear_waiting();
    // Closes the codecs still open and frees what transcode setup attached
    // to the output streams.
    void release_stream_resources();
    // Frees the whole transcoding context; an output file that received no
    // byte is deleted from disk.
    void Cleanup();
    void free_context();

private:
    friend class TConvertThread;
    friend class TDoTerminateThread;
    // The thread and hold state, shared with the task's threads.
    std::shared_ptr<TTaskControl> control_ = MakeTaskControl();

    void DeliverTermination();
    // Stops the worker and waits for it and for a notice on its way; the
    // destructor's first step.
    void EndTaskThreads();
    // Logs a failure of the run and keeps it as the task's error.
    void RecordError(const std::string& message);
    void CloseOpenedEncoders();
    void CloseOpenedDecoders();

    bool running_ = false;
    bool terminated_ = false;
    bool finished_ = false;
    bool has_error_ = false;
    std::string error_message_;
    // Stores the flags (PreviewLock held); a window bit that went to 0
    // frees the window.
    void StoreFlags(std::uint8_t flags);
    // Frees the modules' nodes, the preview window and the hook state.
    void ReleaseHooks();

    std::uint8_t preview_flags_ = 0;
    bool preview_flags_changed_ = false;
    // Converters, modules and preview state; see hooks.h.
    std::unique_ptr<TTaskHooks> hooks_;
};

}  // namespace tavrin

// The encoder component: an ordered list of transcoding tasks built from
// option records, run one after another on the caller's thread or on worker
// threads, paused, resumed and stopped, with the tasks' progress, termination,
// preview and hook callbacks turned into the component's events.
//
// TCustomEncoder holds the state, the library loading, the engine callbacks
// and their locks; TZOZovadod adds the task operations and the run control.
// Every operation is called from one thread (the main thread in the
// applications); the engine callbacks arrive on the tasks' threads.
//
// Threads and the fields they own:
// - the caller's thread (the main thread): the task list, the properties,
//   the decoder; the task list changes only while no run is active.
// - any thread: the event handlers (TEventHandler: assigning one waits for a
//   delivery under way, and a cleared handler is never called afterwards,
//   also not by a notice queued before).
// - task threads, each event family under its own lock: the event record of
//   that family.
// - the termination lock (task and caller threads): the run counters and
//   terminate_info_; the run-state atomics are written under it, or by the
//   caller before the run's threads exist, and read by anyone.
// - notice_mutex_: the notice threads' count and delivery tickets.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/common/bitmap.h"
#include "media/encoder/ffmpeg_task.h"
#include "media/encoder/option_records.h"
#include "media/encoder/previewer.h"
#include "media/engine/progress.h"
#include "media/engine/task_thread.h"
#include "media/probe/decoder_component.h"
#include "media/runtime/base_component.h"
#include "media/runtime/event_handler.h"
#include "media/runtime/loader.h"

namespace tavrin {

class TCustomEncoder;

// The records the events carry; TaskIndex is the task's index in the list.
struct TPreviewInfo {
    std::int32_t TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    std::int32_t FrameNumber = 0;
    std::int64_t PTS = 0;
};
using PPreviewInfo = TPreviewInfo*;

struct THookInfo {
    std::int32_t TaskIndex = 0;
    TBitmap* Bitmap = nullptr;
    std::int32_t FrameNumber = 0;
    std::int64_t PTS = 0;
    // In and out: left true, the bitmap is written back into the picture.
    bool Update = true;
    // In and out: set true, the task stops calling this hook.
    bool StopHook = false;
};
using PHookInfo = THookInfo*;

// TFrameHookInfo comes with the engine's hook slots (custom_ffmpeg.h).

using TProgressEvent = std::function<void(TCustomEncoder* sender, PProgressInfo info)>;
using TTerminateEvent = std::function<void(TCustomEncoder* sender, const TTerminateInfo& info)>;
using TPreviewBitmapEvent = std::function<void(TCustomEncoder* sender, PPreviewInfo info)>;
using THookEvent = std::function<void(TCustomEncoder* sender, PHookInfo info)>;
using TFrameHookEvent = std::function<void(TCustomEncoder* sender, PFrameHookInfo info)>;
using TAudioHookEvent =
    std::function<void(TCustomEncoder* sender, std::int32_t task_index, std::int64_t pts,
                       std::uint8_t* sample, std::int32_t size, std::int32_t sample_rate,
                       std::int32_t channels, std::int32_t sample_format)>;
// Sender is the task whose input is being opened.
using TEncoderBeforeFindStreamInfoEvent =
    std::function<void(TFFmpeg* sender, AVFormatContext* format_context)>;

class TCustomEncoder : public TFFBaseComponent, public LibraryUser {
public:
    TCustomEncoder();
    // Detaches every event, stops and destroys the tasks (waiting for their
    // threads), waits for notices on their way, then frees the locks and the
    // decoder.
    ~TCustomEncoder() override;

    // --- Properties.
    bool StrictOptions = true;
    bool Preview() const { return preview_; }
    bool PreviewBitmap() const { return preview_bitmap_; }
    // Both apply the new value to every task at once.
    void SetPreview(bool value);
    void SetPreviewBitmap(bool value);
    // Milliseconds between two progress events; 100 or less is stored as 100.
    std::int32_t ProgressInterval() const { return progress_interval_; }
    void SetProgressInterval(std::int32_t milliseconds);
    TThreadPriority ThreadPriority = tpNormal;
    // Makes the preview windows of the tasks when Preview is on; set once by
    // a windowed program before any task runs. Without it there is no
    // preview window.
    TPreviewViewFactory PreviewViewFactory;
    // Progress, termination, preview and before-find-stream-info events run
    // on the main thread; hook events always run on the task's thread.
    bool TriggerEventInMainThread = true;

    // --- Events: assigned and cleared from any thread, at any time.
    TEventHandler<TAudioHookEvent> OnAudioInputHook;
    TEventHandler<TAudioHookEvent> OnAudioOutputHook;
    TEventHandler<TEncoderBeforeFindStreamInfoEvent> OnBeforeFindStreamInfo;
    TEventHandler<THookEvent> OnVideoInputHook;
    TEventHandler<THookEvent> OnVideoOutputHook;
    TEventHandler<TPreviewBitmapEvent> OnPreviewBitmap;
    TEventHandler<TProgressEvent> OnProgress;
    TEventHandler<TTerminateEvent> OnTerminate;
    TEventHandler<TFrameHookEvent> OnFrameInputHook;
    TEventHandler<TFrameHookEvent> OnFrameOutputHook;

    // The encoder's own decoder, for inspecting a file before building a task.
    TVEVarazez& Decoder() { return *decoder_; }

    // --- Run state, polled by callers without a lock.
    bool Working() const { return working_; }
    bool AllDone() const { return all_done_; }
    bool Paused() const { return paused_; }

    std::int32_t TaskCount() const { return static_cast<std::int32_t>(tasks_.size()); }
    // The task at index; raises the list's index error outside the list.
    TFFmpeg& Task(std::int32_t index) const;
    // The index of a task of this encoder, -1 for any other.
    std::int32_t IndexOf(const TCustomFFmpeg* task) const;

    // --- Engine callbacks (called on the tasks' threads).
    virtual void DoVideoInputHook(TFFmpeg& task, TBitmap& bitmap, std::int32_t frame_number,
                                  std::int64_t pts, bool& update, bool& stop_hook);
    virtual void DoVideoOutputHook(TFFmpeg& task, TBitmap& bitmap, std::int32_t frame_number,
                                   std::int64_t pts, bool& update, bool& stop_hook);
    // `frame` as the task passed it; the event's record gets the task's index.
    virtual void DoFrameInputHook(TFFmpeg& task, const TFrameHookInfo& frame);
    virtual void DoFrameOutputHook(TFFmpeg& task, const TFrameHookInfo& frame);
    virtual void DoPreviewBitmap(TFFmpeg& task, TBitmap& bitmap, std::int32_t frame_number,
                                 std::int64_t pts);
    virtual void DoProgress(TCustomFFmpeg& task, std::int32_t file_index, std::int32_t frame,
                            std::int32_t fps, float quality, float bit_rate,
                            std::int64_t current_size, std::int64_t current_duration,
                            std::int64_t total_duration);
    // Null `task` ends the run.
    virtual void DoTerminate(TCustomFFmpeg* task);
    void DoAudioInputHook(TCustomFFmpeg& task, std::uint8_t* samples, std::int64_t pts,
                          std::int32_t size, std::int32_t sample_rate, std::int32_t channels,
                          std::int32_t sample_format);
    void DoAudioOutputHook(TCustomFFmpeg& task, std::uint8_t* samples, std::int64_t pts,
                           std::int32_t size, std::int32_t sample_rate, std::int32_t channels,
                           std::int32_t sample_format);
    void DoBeforeFindStreamInfo(TCustomFFmpegOpt& task, AVFormatContext* format_context);

protected:
    // Raises "Cannot <operation> while working." while a run is active.
    void RefuseWhileWorking(const char* operation) const;
    // Connects a new task to the encoder: its owner, before-find-stream-info
    // handler and preview flags.
    void ConnectTask(TFFmpeg& task);
    // Copies StrictOptions and the time-outs into the task.
    void ApplyTaskSettings(TFFmpeg& task) const;
    // Applies the settings and opens `file_name` as the task's next input with
    // the options' text and presets (an empty FileName there takes the name).
    // The open's result; a failure's text becomes the last error text.
    int OpenTaskInput(TFFmpeg& task, const std::string& file_name, TInputOptions* options);
    std::uint8_t PreviewFlagsValue() const;
    // Starts the task at the next index (caller holds the termination lock).
    void StartNextTask();
    // Sets AllDone, then sends the run's last notice (termination lock held):
    // a handler of that notice sees AllDone.
    void EndRun();
    // Runs `call` on the main thread when events go there, else here.
    void RaiseEvent(const std::function<void()>& call) const;
    void SendNotice(const TTerminateInfo& info, bool wait_for_previous);
    void WaitForNoticeThreads();

    // Seven locks, one per event family. The termination lock is re-entrant:
    // a task that cannot start reports its end on the thread that started it.
    std::mutex audio_hook_lock_;
    std::mutex preview_lock_;
    std::mutex progress_lock_;
    std::recursive_mutex terminate_lock_;
    std::mutex video_hook_lock_;
    std::mutex frame_hook_lock_;
    std::mutex before_find_lock_;

    std::unique_ptr<TVEVarazez> decoder_;
    std::vector<std::unique_ptr<TFFmpeg>> tasks_;

    // Event records, overwritten for each event of their family.
    TProgressInfo progress_info_;
    TTerminateInfo terminate_info_;
    TPreviewInfo preview_info_;
    THookInfo hook_info_;
    TFrameHookInfo frame_hook_info_;

    bool preview_ = false;
    bool preview_bitmap_ = false;
    std::int32_t progress_interval_ = 500;

    // Run state; plain counters are changed under the termination lock or by
    // the caller's thread before the run's threads exist.
    std::atomic<std::int32_t> finished_count_{0};
    std::atomic<std::int32_t> next_task_index_{-1};
    std::atomic<std::int32_t> tasks_left_{0};
    std::atomic<bool> all_done_{false};
    std::atomic<bool> threaded_run_{false};
    std::atomic<bool> working_{false};
    std::atomic<bool> paused_{false};
    // False while a single task's notice is on its way to the application.
    std::atomic<bool> notice_delivered_{true};

    // Notice threads in flight, and the order they deliver in: each takes a
    // ticket when it is created and delivers once every earlier ticket has.
    std::mutex notice_mutex_;
    std::condition_variable notice_changed_;
    std::int32_t notice_threads_ = 0;
    std::uint64_t next_ticket_ = 0;
    std::uint64_t delivered_tickets_ = 0;
    std::atomic<bool> destroying_{false};

private:
    friend class TNoticeThread;

    // Calls `event` under the audio hook lock, unless it is empty or the
    // encoder is being destroyed.
    void RunAudioHook(const TEventHandler<TAudioHookEvent>& event, TCustomFFmpeg& task,
                      std::uint8_t* samples, std::int64_t pts, std::int32_t size,
                      std::int32_t sample_rate, std::int32_t channels, std::int32_t sample_format);
};

class TZOZovadod : public TCustomEncoder {
public:
    TZOZovadod() = default;

    // --- Building tasks (refused while working).
    // The new task's index, or a negative value with LastErrorText.
    std::int32_t AddTask(const std::string& file_name, TInputOptions* options = nullptr);
    // 0 or more on success, negative with LastErrorText.
    std::int32_t AddInput(std::int32_t task_index, const std::string& file_name,
                          TInputOptions* options = nullptr);
    std::int32_t SetOutput(std::int32_t task_index, const std::string& file_name,
                           TOutputOptions* options = nullptr);
    void RemoveTask(std::int32_t task_index);
    // Destroys every task and resets the run state; refused only while a run
    // is active and not yet done.
    void ClearTasks();

    // --- Running.
    // thread_count >= 1: worker threads, at most that many tasks at a time,
    // returns at once. 0 or less: every task runs to its end here first. An
    // empty list ends its run at once (AllDone and the last notice).
    void StartTask(std::int32_t thread_count);
    void Pause();
    void Resume();
    // No further task starts; with `wait`, returns once every task has ended.
    void Stop(bool wait);
};

// The options text of an output with the engine's hook and join option
// names spelled the way the option table has them.
std::string RewriteHookOptionNames(const std::string& options);

}  // namespace tavrin

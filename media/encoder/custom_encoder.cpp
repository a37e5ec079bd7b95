// The encoder's state, properties and engine callbacks: progress, termination
// with its notice threads, preview and hooks.
#include "media/encoder/custom_encoder.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>

#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/logger.h"
#include "media/runtime/main_thread.h"

namespace tavrin {

namespace {
constexpr std::chrono::milliseconds kNoticePoll{10};
constexpr std::int32_t kLeastProgressInterval = 100;
}  // namespace

// Delivers one termination notice on a thread of its own. It holds a copy of
// the record; the handler is the one installed when the notice is delivered,
// so a handler detached meanwhile (or an encoder being destroyed) receives
// nothing.
class TNoticeThread {
public:
    static void Create(TCustomEncoder& encoder, TTerminateInfo info, bool wait_for_previous,
                       bool main_thread) {
        std::uint64_t ticket = 0;
        {
            const std::lock_guard<std::mutex> guard(encoder.notice_mutex_);
            ticket = encoder.next_ticket_++;
            ++encoder.notice_threads_;
        }
        auto body = [&encoder, info = std::move(info), ticket, wait_for_previous, main_thread] {
            Deliver(encoder, info, ticket, wait_for_previous, main_thread);
        };
        try {
            std::thread(body).detach();
        } catch (const std::system_error&) {
            // Without a thread the notice is still delivered, on this one.
            body();
        }
    }

private:
    static void Deliver(TCustomEncoder& encoder, const TTerminateInfo& info, std::uint64_t ticket,
                        bool wait_for_previous, bool main_thread) {
        if (wait_for_previous) {
            while (!encoder.notice_delivered_) {
                std::this_thread::sleep_for(kNoticePoll);
            }
        }
        {
            // Notices keep the order the tasks ended in.
            std::unique_lock<std::mutex> lock(encoder.notice_mutex_);
            encoder.notice_changed_.wait(
                lock, [&encoder, ticket] { return encoder.delivered_tickets_ == ticket; });
        }
        if (!encoder.destroying_) {
            try {
                TTerminateInfo copy = info;
                // Checked again where the handler runs: the main thread may
                // have detached it, or begun destroying the encoder, while
                // this call waited in its queue.
                const auto call = [&] {
                    if (!encoder.destroying_) {
                        encoder.OnTerminate.Invoke(&encoder, copy);
                    }
                };
                if (!main_thread || !TryRunInMainThread(call)) {
                    call();
                }
            } catch (const std::exception& error) {
                Log(&encoder, llError, std::string("OnTerminate failed: ") + error.what());
            }
        }
        encoder.notice_delivered_ = true;
        const std::lock_guard<std::mutex> guard(encoder.notice_mutex_);
        ++encoder.delivered_tickets_;
        --encoder.notice_threads_;
        // Notified under the lock: a destructor waiting for the count may
        // free the encoder as soon as the lock is released.
        encoder.notice_changed_.notify_all();
    }
};

TCustomEncoder::TCustomEncoder()
    : LibraryUser(EncoderLibs), decoder_(std::make_unique<TVEVarazez>()) {}

TCustomEncoder::~TCustomEncoder() {
    // From here on no event reaches the application. The handlers themselves
    // are cleared only once no task thread can read them any more.
    destroying_ = true;
    tasks_left_ = 0;
    // Every running task ends first, while the list is still whole: a task
    // that ends still calls DoTerminate, which looks it up.
    for (const auto& task : tasks_) {
        task->Stop(true);
    }
    OnAudioInputHook = nullptr;
    OnAudioOutputHook = nullptr;
    OnBeforeFindStreamInfo = nullptr;
    OnVideoInputHook = nullptr;
    OnVideoOutputHook = nullptr;
    OnPreviewBitmap = nullptr;
    OnProgress = nullptr;
    OnTerminate = nullptr;
    OnFrameInputHook = nullptr;
    OnFrameOutputHook = nullptr;
    tasks_.clear();
    WaitForNoticeThreads();
}

void TCustomEncoder::WaitForNoticeThreads() {
    std::unique_lock<std::mutex> lock(notice_mutex_);
    while (notice_threads_ > 0) {
        lock.unlock();
        if (IsMainThread()) {
            ProcessMessages();
        }
        lock.lock();
        notice_changed_.wait_for(lock, kNoticePoll, [this] { return notice_threads_ == 0; });
    }
}

// --- Properties --------------------------------------------------------------

std::uint8_t TCustomEncoder::PreviewFlagsValue() const {
    return static_cast<std::uint8_t>((preview_ ? kPreviewWindowFlag : 0) |
                                     (preview_bitmap_ ? kPreviewBitmapFlag : 0));
}

void TCustomEncoder::SetPreview(bool value) {
    preview_ = value;
    for (const auto& task : tasks_) {
        task->SetFlags(PreviewFlagsValue());
    }
}

void TCustomEncoder::SetPreviewBitmap(bool value) {
    preview_bitmap_ = value;
    for (const auto& task : tasks_) {
        task->SetFlags(PreviewFlagsValue());
    }
}

void TCustomEncoder::SetProgressInterval(std::int32_t milliseconds) {
    progress_interval_ =
        milliseconds <= kLeastProgressInterval ? kLeastProgressInterval : milliseconds;
}

TFFmpeg& TCustomEncoder::Task(std::int32_t index) const {
    if (index < 0 || index >= TaskCount()) {
        throw FFmpegException("List index out of bounds (" + std::to_string(index) + ")");
    }
    return *tasks_[static_cast<std::size_t>(index)];
}

std::int32_t TCustomEncoder::IndexOf(const TCustomFFmpeg* task) const {
    for (std::size_t i = 0; i < tasks_.size(); ++i) {
        if (tasks_[i].get() == task) {
            return static_cast<std::int32_t>(i);
        }
    }
    return -1;
}

void TCustomEncoder::RefuseWhileWorking(const char* operation) const {
    if (working_) {
        throw FFmpegException(std::string("Cannot ") + operation + " while working.");
    }
}

void TCustomEncoder::RaiseEvent(const std::function<void()>& call) const {
    const auto guarded = [this, &call] {
        if (!destroying_) {
            call();
        }
    };
    if (!TriggerEventInMainThread || !TryRunInMainThread(guarded)) {
        guarded();
    }
}

// --- Termination -------------------------------------------------------------

void TCustomEncoder::SendNotice(const TTerminateInfo& info, bool wait_for_previous) {
    TNoticeThread::Create(*this, info, wait_for_previous, TriggerEventInMainThread);
}

void TCustomEncoder::DoTerminate(TCustomFFmpeg* task) {
    const std::lock_guard<std::recursive_mutex> guard(terminate_lock_);
    notice_delivered_ = true;
    if (task == nullptr) {
        EndRun();
        return;
    }
    if (OnTerminate && !destroying_) {
        terminate_info_.TaskIndex = IndexOf(task);
        terminate_info_.Finished = task->Finished();
        terminate_info_.Exception = task->HasError();
        terminate_info_.ExceptionMsg = task->ErrorMessage();
        if (threaded_run_ || !working_) {
            notice_delivered_ = false;
            SendNotice(terminate_info_, false);
        } else {
            OnTerminate.Invoke(this, terminate_info_);
        }
    }
    ++finished_count_;
    if (tasks_left_ <= 0) {
        if (finished_count_ >= TaskCount()) {
            EndRun();
        }
    } else if (threaded_run_) {
        StartNextTask();
    }
}

void TCustomEncoder::EndRun() {
    const bool notify = OnTerminate && !destroying_;
    TTerminateInfo info;
    if (notify) {
        terminate_info_.TaskIndex = -1;
        terminate_info_.Finished = true;
        terminate_info_.Exception = false;
        terminate_info_.ExceptionMsg.clear();
        info = terminate_info_;
    }
    const bool by_notice = threaded_run_ || !working_;
    // Set before the notice leaves, so that its handler sees it. A caller
    // that sees it may clear the tasks at once: from here on only the
    // encoder's own fields are used, never the list.
    all_done_ = true;
    if (!notify) {
        return;
    }
    if (by_notice) {
        SendNotice(info, true);
    } else {
        OnTerminate.Invoke(this, info);
    }
}

// --- Progress, preview and before-find-stream-info ---------------------------

void TCustomEncoder::DoProgress(TCustomFFmpeg& task, std::int32_t file_index, std::int32_t frame,
                                std::int32_t fps, float quality, float bit_rate,
                                std::int64_t current_size, std::int64_t current_duration,
                                std::int64_t total_duration) {
    if (destroying_ || !OnProgress) {
        return;
    }
    const std::lock_guard<std::mutex> guard(progress_lock_);
    progress_info_.TaskIndex = IndexOf(&task);
    progress_info_.FileIndex = file_index;
    progress_info_.Frame = frame;
    progress_info_.FPS = fps;
    progress_info_.Quality = quality;
    progress_info_.BitRate = bit_rate;
    progress_info_.CurrentSize = current_size;
    progress_info_.CurrentDuration = current_duration;
    progress_info_.TotalDuration = total_duration;
    RaiseEvent([this] { OnProgress.Invoke(this, &progress_info_); });
}

void TCustomEncoder::DoPreviewBitmap(TFFmpeg& task, TBitmap& bitmap, std::int32_t frame_number,
                                     std::int64_t pts) {
    if (destroying_ || !OnPreviewBitmap) {
        return;
    }
    const std::lock_guard<std::mutex> guard(preview_lock_);
    preview_info_.TaskIndex = IndexOf(&task);
    preview_info_.Bitmap = &bitmap;
    preview_info_.FrameNumber = frame_number;
    preview_info_.PTS = pts;
    RaiseEvent([this] { OnPreviewBitmap.Invoke(this, &preview_info_); });
}

void TCustomEncoder::DoBeforeFindStreamInfo(TCustomFFmpegOpt& task,
                                            AVFormatContext* format_context) {
    if (destroying_ || !OnBeforeFindStreamInfo) {
        return;
    }
    const std::lock_guard<std::mutex> guard(before_find_lock_);
    auto* sender = dynamic_cast<TFFmpeg*>(&task);
    RaiseEvent(
        [this, sender, format_context] { OnBeforeFindStreamInfo.Invoke(sender, format_context); });
}

// --- Hooks: always on the task's thread ---------------------------------------

namespace {

void RunPictureHook(TCustomEncoder& encoder, const TEventHandler<THookEvent>& handler,
                    std::mutex& lock, THookInfo& record, std::int32_t task_index, TBitmap& bitmap,
                    std::int32_t frame_number, std::int64_t pts, bool& update, bool& stop_hook) {
    if (!handler) {
        return;
    }
    const std::lock_guard<std::mutex> guard(lock);
    record.TaskIndex = task_index;
    record.Bitmap = &bitmap;
    record.FrameNumber = frame_number;
    record.PTS = pts;
    record.Update = update;
    record.StopHook = stop_hook;
    handler.Invoke(&encoder, &record);
    update = record.Update;
    stop_hook = record.StopHook;
}

void RunFrameHook(TCustomEncoder& encoder, const TEventHandler<TFrameHookEvent>& handler,
                  std::mutex& lock, TFrameHookInfo& record, std::int32_t task_index,
                  const TFrameHookInfo& frame) {
    if (!handler) {
        return;
    }
    const std::lock_guard<std::mutex> guard(lock);
    record = frame;
    record.TaskIndex = task_index;
    handler.Invoke(&encoder, &record);
}

}  // namespace

void TCustomEncoder::DoVideoInputHook(TFFmpeg& task, TBitmap& bitmap, std::int32_t frame_number,
                                      std::int64_t pts, bool& update, bool& stop_hook) {
    RunPictureHook(*this, OnVideoInputHook, video_hook_lock_, hook_info_, IndexOf(&task), bitmap,
                   frame_number, pts, update, stop_hook);
}

void TCustomEncoder::DoVideoOutputHook(TFFmpeg& task, TBitmap& bitmap, std::int32_t frame_number,
                                       std::int64_t pts, bool& update, bool& stop_hook) {
    RunPictureHook(*this, OnVideoOutputHook, video_hook_lock_, hook_info_, IndexOf(&task), bitmap,
                   frame_number, pts, update, stop_hook);
}

void TCustomEncoder::DoFrameInputHook(TFFmpeg& task, const TFrameHookInfo& frame) {
    RunFrameHook(*this, OnFrameInputHook, frame_hook_lock_, frame_hook_info_, IndexOf(&task),
                 frame);
}

void TCustomEncoder::DoFrameOutputHook(TFFmpeg& task, const TFrameHookInfo& frame) {
    RunFrameHook(*this, OnFrameOutputHook, frame_hook_lock_, frame_hook_info_, IndexOf(&task),
                 frame);
}

void TCustomEncoder::DoAudioInputHook(TCustomFFmpeg& task, std::uint8_t* samples, std::int64_t pts,
                                      std::int32_t size, std::int32_t sample_rate,
                                      std::int32_t channels, std::int32_t sample_format) {
    RunAudioHook(OnAudioInputHook, task, samples, pts, size, sample_rate, channels, sample_format);
}

void TCustomEncoder::DoAudioOutputHook(TCustomFFmpeg& task, std::uint8_t* samples, std::int64_t pts,
                                       std::int32_t size, std::int32_t sample_rate,
                                       std::int32_t channels, std::int32_t sample_format) {
    RunAudioHook(OnAudioOutputHook, task, samples, pts, size, sample_rate, channels, sample_format);
}

void TCustomEncoder::RunAudioHook(const TEventHandler<TAudioHookEvent>& event, TCustomFFmpeg& task,
                                  std::uint8_t* samples, std::int64_t pts, std::int32_t size,
                                  std::int32_t sample_rate, std::int32_t channels,
                                  std::int32_t sample_format) {
    if (!event || destroying_) {
        return;
    }
    const std::lock_guard<std::mutex> guard(audio_hook_lock_);
    event.Invoke(this, IndexOf(&task), pts, samples, size, sample_rate, channels, sample_format);
}

}  // namespace tavrin

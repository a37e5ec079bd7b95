// Running the encoder's tasks: StartTask, Pause, Resume and Stop.
#include <mutex>

#include "media/encoder/custom_encoder.h"

namespace tavrin {

void TCustomEncoder::StartNextTask() {
    if (tasks_left_ <= 0) {
        return;
    }
    --tasks_left_;
    const std::int32_t index = next_task_index_;
    TFFmpeg& task = Task(index);
    task.ProgressInterval = static_cast<std::int64_t>(progress_interval_) * 1000;
    // Counted before the start: a task that cannot start ends on this thread
    // at once, and its notice starts the next task.
    next_task_index_ = index + 1;
    if (threaded_run_) {
        TConvertThread* thread = task.Start(true, ThreadPriority);
        if (thread != nullptr) {
            // A task started while the run is paused joins the pause.
            if (paused_) {
                task.Pause();
            }
            thread->Resume();
        }
    } else {
        task.Start(false, ThreadPriority);
    }
}

void TZOZovadod::StartTask(std::int32_t thread_count) {
    RefuseWhileWorking("StartTask");
    finished_count_ = 0;
    next_task_index_ = 0;
    tasks_left_ = TaskCount();
    all_done_ = false;
    threaded_run_ = thread_count > 0;
    working_ = true;
    paused_ = false;
    if (TaskCount() == 0) {
        // Nothing will end, so the run ends here.
        DoTerminate(nullptr);
        return;
    }
    if (!threaded_run_) {
        while (tasks_left_ > 0) {
            StartNextTask();
        }
        return;
    }
    // Workers that end early wait here before they start further tasks.
    const std::lock_guard<std::recursive_mutex> guard(terminate_lock_);
    std::int32_t slots = thread_count;
    while (tasks_left_ > 0 && slots > 0) {
        StartNextTask();
        --slots;
    }
}

void TZOZovadod::Pause() {
    if (!working_ || paused_) {
        return;
    }
    for (const auto& task : tasks_) {
        task->Pause();
    }
    paused_ = true;
}

void TZOZovadod::Resume() {
    if (!working_ || !paused_) {
        return;
    }
    for (const auto& task : tasks_) {
        task->Resume();
    }
    paused_ = false;
}

void TZOZovadod::Stop(bool wait) {
    {
        const std::lock_guard<std::recursive_mutex> guard(terminate_lock_);
        tasks_left_ = 0;
    }
    if (!working_) {
        return;
    }
    for (const auto& task : tasks_) {
        task->Cancel(wait);
    }
}

}  // namespace tavrin

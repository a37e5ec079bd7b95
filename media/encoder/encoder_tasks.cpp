// Building the encoder's tasks: AddTask, AddInput, SetOutput, RemoveTask and
// ClearTasks.
#include <cctype>
#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "media/encoder/custom_encoder.h"
#include "media/options/input_file.h"
#include "media/options/option_table.h"
#include "media/options/output_file.h"
#include "media/options/transcode_context.h"
#include "media/runtime/ffmpeg_exception.h"

namespace tavrin {

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Replaces every occurrence of `from` (ignoring case) by `to`. The blank that
// ends one match may start the next, so "-join -join" is rewritten whole.
void ReplaceIgnoringCase(std::string& text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while (pos + from.size() <= text.size()) {
        if (EqualIgnoringCase(std::string_view(text).substr(pos, from.size()), from)) {
            text.replace(pos, from.size(), to);
            pos += to.size() - 1;
        } else {
            ++pos;
        }
    }
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

}  // namespace

std::string RewriteHookOptionNames(const std::string& options) {
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        {" -audioinputhook ", " -AudioInputHook "},
        {" -audiooutputhook ", " -AudioOutputHook "},
        {" -videoinputhook ", " -VideoInputHook "},
        {" -videooutputhook ", " -VideoOutputHook "},
        {" -frameinputhook ", " -FrameInputHook "},
        {" -frameoutputhook ", " -FrameOutputHook "},
        {" -join ", " -Join "},
    };
    std::string text = " " + options + " ";
    for (const auto& [from, to] : kNames) {
        ReplaceIgnoringCase(text, from, to);
    }
    return Trimmed(text);
}

void TCustomEncoder::ConnectTask(TFFmpeg& task) {
    task.OnBeforeFindStreamInfo = [this](TCustomFFmpegOpt& sender, AVFormatContext* context) {
        DoBeforeFindStreamInfo(sender, context);
    };
    task.PreviewBitmapCallback = [this](TCustomFFmpeg& sender, TBitmap& bitmap,
                                        std::int32_t frame_number, std::int64_t pts) {
        DoPreviewBitmap(static_cast<TFFmpeg&>(sender), bitmap, frame_number, pts);
    };
    task.PreviewWindowFactory = [this]() -> std::unique_ptr<TPreviewWindow> {
        return std::make_unique<TPreviewer>(PreviewViewFactory);
    };
    task.SetOwner(this);
    task.SetFlags(PreviewFlagsValue());
}

void TCustomEncoder::ApplyTaskSettings(TFFmpeg& task) const {
    task.LastError.clear();
    task.StrictOptions = StrictOptions;
    task.ReadTimeout = Timeout();
    task.WriteTimeout = WriteTimeout();
}

int TCustomEncoder::OpenTaskInput(TFFmpeg& task, const std::string& file_name,
                                  TInputOptions* options) {
    ApplyTaskSettings(task);
    std::string options_text;
    std::string presets_text;
    if (options != nullptr) {
        if (options->FileName.empty()) {
            options->FileName = file_name;
        }
        options_text = options->Options;
        presets_text = options->Presets;
    }
    int result = 0;
    {
        OptionsContext ctx(task);
        result = OpenInputFile(task, ctx, options_text, file_name, presets_text);
    }
    if (result < 0) {
        SetLastErrorText(task.LastError);
    }
    return result;
}

std::int32_t TZOZovadod::AddTask(const std::string& file_name, TInputOptions* options) {
    RefuseWhileWorking("AddTask");
    std::unique_ptr<TFFmpeg> task;
    try {
        task = std::make_unique<TFFmpeg>();
        BuildOptionTable(*task);
        ConnectTask(*task);
        const int result = OpenTaskInput(*task, file_name, options);
        if (result < 0) {
            return result;
        }
    } catch (const std::exception& error) {
        SetLastErrorText(error.what());
        return -1;
    }
    task->ProgressCallback = [this](TCustomFFmpeg& sender, std::int32_t file_index,
                                    std::int32_t frame, std::int32_t fps, float quality,
                                    float bit_rate, std::int64_t current_size,
                                    std::int64_t current_duration, std::int64_t total_duration) {
        DoProgress(sender, file_index, frame, fps, quality, bit_rate, current_size,
                   current_duration, total_duration);
    };
    task->TerminateCallback = [this](TCustomFFmpeg& sender) { DoTerminate(&sender); };
    tasks_.push_back(std::move(task));
    return TaskCount() - 1;
}

std::int32_t TZOZovadod::AddInput(std::int32_t task_index, const std::string& file_name,
                                  TInputOptions* options) {
    RefuseWhileWorking("AddInput");
    TFFmpeg& task = Task(task_index);
    try {
        return OpenTaskInput(task, file_name, options);
    } catch (const std::exception& error) {
        SetLastErrorText(error.what());
        return -1;
    }
}

std::int32_t TZOZovadod::SetOutput(std::int32_t task_index, const std::string& file_name,
                                   TOutputOptions* options) {
    RefuseWhileWorking("SetOutput");
    TFFmpeg& task = Task(task_index);
    try {
        ApplyTaskSettings(task);
        std::string options_text;
        std::string presets_text;
        bool join = false;
        if (options != nullptr) {
            if (options->FileName.empty()) {
                options->FileName = file_name;
            }
            if (options->AudioInputHook) {
                task.AudioInputHook = [this](TCustomFFmpeg& sender, std::uint8_t* samples,
                                             std::int64_t pts, std::int32_t size, std::int32_t rate,
                                             std::int32_t channels, std::int32_t format) {
                    DoAudioInputHook(sender, samples, pts, size, rate, channels, format);
                };
            }
            if (options->AudioOutputHook) {
                task.AudioOutputHook = [this](TCustomFFmpeg& sender, std::uint8_t* samples,
                                              std::int64_t pts, std::int32_t size,
                                              std::int32_t rate, std::int32_t channels,
                                              std::int32_t format) {
                    DoAudioOutputHook(sender, samples, pts, size, rate, channels, format);
                };
            }
            if (options->VideoInputHook) {
                task.VideoInputHook = [this](TCustomFFmpeg& sender, TBitmap& bitmap,
                                             std::int32_t frame, std::int64_t pts, bool& update,
                                             bool& stop_hook) {
                    DoVideoInputHook(static_cast<TFFmpeg&>(sender), bitmap, frame, pts, update,
                                     stop_hook);
                };
            }
            if (options->VideoOutputHook) {
                task.VideoOutputHook = [this](TCustomFFmpeg& sender, TBitmap& bitmap,
                                              std::int32_t frame, std::int64_t pts, bool& update,
                                              bool& stop_hook) {
                    DoVideoOutputHook(static_cast<TFFmpeg&>(sender), bitmap, frame, pts, update,
                                      stop_hook);
                };
            }
            task.SetHookBitsPixel(options->VideoHookBitsPixel);
            if (options->FrameInputHook) {
                task.FrameInputHook = [this](TCustomFFmpeg& sender, const TFrameHookInfo& frame) {
                    DoFrameInputHook(static_cast<TFFmpeg&>(sender), frame);
                };
            }
            if (options->FrameOutputHook) {
                task.FrameOutputHook = [this](TCustomFFmpeg& sender, const TFrameHookInfo& frame) {
                    DoFrameOutputHook(static_cast<TFFmpeg&>(sender), frame);
                };
            }
            options_text = options->Options;
            presets_text = options->Presets;
            join = options->Join;
        }
        int result = 0;
        {
            OptionsContext ctx(task);
            result = OpenOutputFile(task, ctx, RewriteHookOptionNames(options_text), join,
                                    file_name, presets_text);
        }
        if (result < 0) {
            SetLastErrorText(task.LastError);
        }
        return result;
    } catch (const std::exception& error) {
        const std::string message = error.what();
        // A raised failure usually kept its own text as the task's error too;
        // it is given once.
        if (!task.LastError.empty() && task.LastError != message) {
            SetLastErrorText(task.LastError + "\n" + message);
        } else {
            SetLastErrorText(message);
        }
        return -1;
    }
}

void TZOZovadod::RemoveTask(std::int32_t task_index) {
    RefuseWhileWorking("RemoveTask");
    Task(task_index);  // the index error, before anything changes
    tasks_.erase(tasks_.begin() + task_index);
}

void TZOZovadod::ClearTasks() {
    if (working_ && !all_done_) {
        throw FFmpegException("Cannot ClearTasks while working.");
    }
    // Destroyed in list order; each waits for its threads.
    for (auto& task : tasks_) {
        task.reset();
    }
    tasks_.clear();
    SetLastErrorText(std::string());
    finished_count_ = 0;
    next_task_index_ = -1;
    tasks_left_ = 0;
    all_done_ = false;
    threaded_run_ = false;
    working_ = false;
    paused_ = false;
}

}  // namespace tavrin

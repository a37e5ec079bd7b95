#include "app/core/merge_job.h"

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/core/output_file_name.h"
#include "app/core/path_text.h"
#include "app/core/settings.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/loader.h"
#include "media/runtime/main_thread.h"

namespace tavrin {

namespace {

constexpr std::chrono::milliseconds kWaitSlice{10};
constexpr char kTempAudioMark[] = "tempaudio-";

}  // namespace

std::int64_t MergeProgressPercent(std::int64_t currentDuration, std::int64_t totalDuration) {
    if (totalDuration <= 0) {
        return 0;
    }
    return currentDuration * 100 / totalDuration;
}

TMergeJob::TMergeJob(TZOZovadod& encoder, TVEVarazez& decoder, TSettings& settings,
                     TMergeJobCallbacks callbacks)
    : encoder_(encoder), decoder_(decoder), settings_(settings), callbacks_(std::move(callbacks)) {
    encoder_.OnProgress = [this](TCustomEncoder*, PProgressInfo info) { OnProgress(*info); };
    encoder_.OnTerminate = [this](TCustomEncoder*, const TTerminateInfo& info) {
        OnTerminate(info);
    };
}

TMergeJob::~TMergeJob() {
    DetachEvents();
}

void TMergeJob::DetachEvents() {
    encoder_.OnProgress = nullptr;
    encoder_.OnTerminate = nullptr;
}

// --- Events ------------------------------------------------------------------

void TMergeJob::OnProgress(const TProgressInfo& info) {
    if (callbacks_.Progress) {
        callbacks_.Progress(stage_, MergeProgressPercent(info.CurrentDuration, info.TotalDuration),
                            info);
    }
}

void TMergeJob::OnTerminate(const TTerminateInfo& info) {
    if (info.TaskIndex < 0) {
        Log(info.Finished ? "mergeing finished" : "mergeing broken");
        run_ended_ = true;
    } else {
        task_finished_ = info.Finished;
    }
    if (info.Exception) {
        task_failed_ = true;
        task_error_ = info.ExceptionMsg;
        if (callbacks_.ShowError) {
            callbacks_.ShowError(info.ExceptionMsg);
        }
    }
}

// --- Small steps ---------------------------------------------------------------

void TMergeJob::Log(const std::string& line) const {
    if (callbacks_.LogLine) {
        callbacks_.LogLine(line);
    }
}

void TMergeJob::LogFailure(const std::string& text) const {
    Log("");
    Log(text);
    Log("");
}

void TMergeJob::SetIdle() const {
    if (callbacks_.SetIdle) {
        callbacks_.SetIdle();
    }
}

void TMergeJob::RemoveTempAudioFile() {
    // Only a file this merge named: a user's own file is never the
    // temporary file, whatever its name.
    if (temp_audio_file_.find(kTempAudioMark) != std::string::npos) {
        std::error_code ignored;
        std::filesystem::remove(temp_audio_file_, ignored);
    }
    temp_audio_file_.clear();
}

TMergeResult TMergeJob::End(TMergeOutcome outcome, std::string errorText) {
    RemoveTempAudioFile();
    TMergeResult result;
    // A step that failed because the user stopped it (an open broken off by
    // the signal, say) ends the merge as stopped.
    result.Outcome =
        stop_requested_ && outcome != TMergeOutcome::Finished ? TMergeOutcome::Stopped : outcome;
    result.ErrorText = std::move(errorText);
    return result;
}

EncoderTest TMergeJob::HasEncoder() const {
    return [](std::string_view name) {
        return ff.avcodec_find_encoder_by_name(std::string(name).c_str()) != nullptr;
    };
}

std::int64_t TMergeJob::ProbeDuration(const std::string& file) {
    std::int64_t duration = -1;
    if (decoder_.LoadFile(file)) {
        TFileStreamInfo info;
        decoder_.GetFileStreamInfo(info);
        duration = info.Duration;
    }
    return duration;
}

bool TMergeJob::EnsureLibraries(std::string& errorText) {
    if (!encoder_.LibrariesLoaded() && !encoder_.LoadLibraries(DefaultLibraryFolder())) {
        errorText = encoder_.LastErrorText();
        return false;
    }
    if (!decoder_.LibrariesLoaded() && !decoder_.LoadLibraries(DefaultLibraryFolder())) {
        errorText = decoder_.LastErrorText();
        return false;
    }
    return true;
}

void TMergeJob::StopEncoder() {
    encoder_.Stop(true);
    encoder_.Decoder().CloseFile();
    encoder_.ClearTasks();
}

TMergeJob::WaitEnd TMergeJob::WaitForRun() {
    while (encoder_.Working()) {
        // Waits for the next queued call instead of spinning: the tasks'
        // events arrive as queued calls, and a stop request is seen within
        // one slice.
        WaitForMessages(kWaitSlice);
        if (stop_requested_) {
            StopEncoder();
            return WaitEnd::Stopped;
        }
        // The run's last notice comes after every task's notice; waiting
        // for it means the tasks' results are known here.
        if (encoder_.AllDone() && (run_ended_ || !encoder_.OnTerminate)) {
            break;
        }
    }
    return WaitEnd::Done;
}

// --- The join task -------------------------------------------------------------

std::string TMergeJob::BuildAudioJoinTask(const TMergeSource& source, bool& ok) {
    ok = true;
    if (source.AudioFiles.empty()) {
        return std::string();
    }
    encoder_.ClearTasks();
    TMergeRequest request;
    request.VideoFile = source.VideoFile;
    request.FirstVideoStreamIndex = first_video_stream_;
    request.Choices = source.Choices;
    request.OutputFolder = settings_.OutputDir();
    std::int32_t join_task = -1;
    for (const std::string& path : source.AudioFiles) {
        TInputOptions input;
        InitInputOptions(input);
        input.FileName = path;
        TMergeAudioFile audio;
        audio.Path = path;
        audio.Duration = ProbeDuration(path);
        if (stop_requested_) {
            // The probe was broken off (a pipe with no writer blocks there).
            decoder_.CloseFile();
            encoder_.ClearTasks();
            ok = false;
            return std::string();
        }
        request.AudioFiles.push_back(audio);
        std::int32_t result = 0;
        if (encoder_.TaskCount() == 0) {
            result = encoder_.AddTask(path, &input);
            join_task = result;
        } else {
            result = encoder_.AddInput(join_task, path, &input);
        }
        if (result < 0) {
            // Leaving the file out would silently drop part of the audio.
            decoder_.CloseFile();
            encoder_.ClearTasks();
            LogFailure("***Audio file open error: " + path + ": " + encoder_.LastErrorText());
            ok = false;
            return std::string();
        }
    }
    decoder_.CloseFile();
    request.VideoDuration = ProbeDuration(source.VideoFile);
    decoder_.CloseFile();
    video_duration_ = request.VideoDuration;

    std::string errorText;
    plan_ = PlanMerge(request, HasEncoder(), &errorText);
    if (!plan_) {
        LogFailure("***Cannot do convert, error: " + errorText);
        ok = false;
        return std::string();
    }
    if (!plan_->JoinOutput) {
        return std::string();
    }
    TOutputOptions output;
    InitOutputOptions(output);
    output.Options = plan_->JoinOutput->Options;
    output.Join = plan_->JoinOutput->Join;
    const std::string temp_path = plan_->TempAudioFile;
    temp_audio_file_ = temp_path;
    if (encoder_.SetOutput(join_task, temp_path, &output) < 0) {
        // Running a task without its output would only fail later.
        const std::string reason = encoder_.LastErrorText();
        encoder_.ClearTasks();
        LogFailure("***Cannot do convert, error: " + reason);
        ok = false;
        return std::string();
    }
    stage_ = TMergeStage::Join;
    run_ended_ = false;
    task_failed_ = false;
    task_finished_ = false;
    task_error_.clear();
    encoder_.StartTask(1);
    return temp_path;
}

// --- The merge -----------------------------------------------------------------

TMergeResult TMergeJob::Merge(const TMergeSource& source) {
    stop_requested_ = false;
    temp_audio_file_.clear();
    plan_.reset();
    std::string errorText;
    if (!EnsureLibraries(errorText)) {
        return End(TMergeOutcome::NotStarted, errorText);
    }
    if (callbacks_.StopPreview) {
        callbacks_.StopPreview();
    }
    TVEVarazez& inspector = encoder_.Decoder();
    if (!inspector.LoadFile(source.VideoFile)) {
        return End(TMergeOutcome::NotStarted, inspector.LastErrorText());
    }
    first_video_stream_ = inspector.FirstVideoStreamIndex();
    if (callbacks_.SetBusy) {
        callbacks_.SetBusy();
    }
    // Checked before any join runs, so no temporary file is made for nothing.
    if (first_video_stream_ < 0) {
        inspector.CloseFile();
        LogFailure("***No video stream");
        SetIdle();
        return End(TMergeOutcome::Failed, "No video stream");
    }

    std::string audio_input;
    if (!source.AudioFiles.empty()) {
        bool ok = true;
        const std::string joined = BuildAudioJoinTask(source, ok);
        if (!ok) {
            inspector.CloseFile();
            SetIdle();
            return End(TMergeOutcome::Failed, "The audio join could not be set up");
        }
        if (!joined.empty() && WaitForRun() == WaitEnd::Stopped) {
            return End(TMergeOutcome::Stopped, "Stopped");
        }
        audio_input = joined.empty() ? source.AudioFiles.front() : joined;
        encoder_.ClearTasks();
        if (!joined.empty() && task_failed_) {
            // The temporary file is broken: no final task is built on it.
            inspector.CloseFile();
            SetIdle();
            return End(TMergeOutcome::Failed, task_error_);
        }
    }
    if (!plan_) {
        TMergeRequest request;
        request.VideoFile = source.VideoFile;
        request.FirstVideoStreamIndex = first_video_stream_;
        request.Choices = source.Choices;
        request.OutputFolder = settings_.OutputDir();
        plan_ = PlanMerge(request, HasEncoder(), &errorText);
        if (!plan_) {
            inspector.CloseFile();
            LogFailure("***Cannot do convert, error: " + errorText);
            SetIdle();
            return End(TMergeOutcome::Failed, errorText);
        }
    }
    inspector.CloseFile();

    TInputOptions video_input;
    InitInputOptions(video_input);
    const std::int32_t task = encoder_.AddTask(source.VideoFile, &video_input);
    if (task < 0) {
        LogFailure("***Video file open error: " + encoder_.LastErrorText());
        SetIdle();
        return End(TMergeOutcome::Failed, encoder_.LastErrorText());
    }
    TInputOptions audio_record;
    InitInputOptions(audio_record);
    if (encoder_.AddInput(task, audio_input, &audio_record) < 0) {
        const std::string reason = encoder_.LastErrorText();
        encoder_.ClearTasks();
        LogFailure("***Audio file open error: " + reason);
        SetIdle();
        return End(TMergeOutcome::Failed, reason);
    }
    TOutputOptions output;
    InitOutputOptions(output);
    output.Options = plan_->FinalOptions;
    const std::string base_name = FinalOutputBaseName(source.VideoFile, audio_input);
    const std::string output_file =
        MakeOutputFileName(settings_, base_name, plan_->OutputSuffix,
                           [this](std::string_view title, std::string_view text) {
                               if (callbacks_.Warn) {
                                   callbacks_.Warn(std::string(title), std::string(text));
                               }
                           });
    if (encoder_.SetOutput(task, output_file, &output) < 0) {
        const std::string reason = encoder_.LastErrorText();
        encoder_.RemoveTask(task);
        LogFailure("***Cannot do convert, error: " + reason);
        SetIdle();
        return End(TMergeOutcome::Failed, reason);
    }
    if (stop_requested_) {
        StopEncoder();
        return End(TMergeOutcome::Stopped, "Stopped");
    }

    stage_ = TMergeStage::Final;
    run_ended_ = false;
    task_failed_ = false;
    task_finished_ = false;
    task_error_.clear();
    encoder_.StartTask(1);
    const WaitEnd end = WaitForRun();
    SetIdle();
    TMergeResult result;
    if (end == WaitEnd::Stopped) {
        result = End(TMergeOutcome::Stopped, "Stopped");
    } else if (task_failed_ || !task_finished_) {
        result =
            End(TMergeOutcome::Failed, task_failed_ ? task_error_ : "The merge was broken off");
    } else {
        result = End(TMergeOutcome::Finished, std::string());
    }
    result.OutputFile = output_file;
    return result;
}

// --- The plan alone --------------------------------------------------------------

std::optional<TMergePreview> TMergeJob::Preview(const TMergeSource& source,
                                                std::string& errorText) {
    if (!EnsureLibraries(errorText)) {
        return std::nullopt;
    }
    TMergePreview preview;
    TMergeRequest& request = preview.Request;
    request.VideoFile = source.VideoFile;
    request.Choices = source.Choices;
    request.OutputFolder = settings_.OutputDir();
    if (!decoder_.LoadFile(source.VideoFile)) {
        errorText = "cannot open the video file: " + decoder_.LastErrorText();
        return std::nullopt;
    }
    TFileStreamInfo info;
    decoder_.GetFileStreamInfo(info);
    request.VideoDuration = info.Duration;
    request.FirstVideoStreamIndex = decoder_.FirstVideoStreamIndex();
    decoder_.CloseFile();
    if (request.FirstVideoStreamIndex < 0) {
        errorText = "No video stream";
        return std::nullopt;
    }
    for (const std::string& path : source.AudioFiles) {
        TMergeAudioFile audio;
        audio.Path = path;
        if (!decoder_.LoadFile(path)) {
            errorText = "cannot open the audio file " + path + ": " + decoder_.LastErrorText();
            return std::nullopt;
        }
        TFileStreamInfo audio_info;
        decoder_.GetFileStreamInfo(audio_info);
        audio.Duration = audio_info.Duration;
        decoder_.CloseFile();
        request.AudioFiles.push_back(audio);
    }
    auto plan = PlanMerge(request, HasEncoder(), &errorText);
    if (!plan) {
        return std::nullopt;
    }
    preview.Plan = std::move(*plan);
    // The name MakeOutputFileName would give, without creating the folder.
    const std::string folder = request.OutputFolder;
    const std::string stem =
        JoinPath(folder, FileNameWithoutExtension(preview.Plan.OutputBaseName));
    std::string candidate = stem + "_(new)" + preview.Plan.OutputSuffix;
    std::error_code error;
    for (unsigned counter = 1; std::filesystem::exists(candidate, error); ++counter) {
        candidate = stem + "_(new_" + std::to_string(counter) + ")" + preview.Plan.OutputSuffix;
    }
    preview.OutputFile = candidate;
    return preview;
}

}  // namespace tavrin

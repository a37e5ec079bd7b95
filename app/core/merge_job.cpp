#include "app/core/merge_job.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <utility>

#include "app/core/format_listing.h"
#include "app/core/media_libraries.h"
#include "app/core/output_file_name.h"
#include "app/core/settings.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/main_thread.h"

namespace tavrin {

namespace {

constexpr std::chrono::milliseconds kWaitSlice{10};

// Runs a call when the scope is left, whichever way.
template <typename Call>
class ScopeExit {
public:
    explicit ScopeExit(Call call) : call_(std::move(call)) {}
    ~ScopeExit() { call_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Call call_;
};

// What the plan needs to know of the video file open in the decoder.
TVideoFacts ReadVideoFacts(const TCustomDecoder& decoder) {
    TVideoFacts facts;
    const AVFormatContext* context = decoder.FormatContext();
    if (context == nullptr) {
        return facts;
    }
    if (context->iformat != nullptr) {
        facts.ContainerName = context->iformat->name;
    }
    const auto codecOf = [&](int index) { return context->streams[index]->codecpar->codec_id; };
    if (const int video = decoder.FirstVideoStreamIndex(); video >= 0) {
        facts.VideoCodec = ff.avcodec_get_name(codecOf(video));
    }
    facts.FirstAudioStreamIndex = decoder.FirstAudioStreamIndex();
    facts.SoundDecodable = facts.FirstAudioStreamIndex >= 0 &&
                           ff.avcodec_find_decoder(codecOf(facts.FirstAudioStreamIndex)) != nullptr;
    return facts;
}

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
        // A task that failed did not finish, whatever the run's notice says.
        Log(info.Finished && !task_failed_ ? "mergeing finished" : "mergeing broken");
        run_ended_ = true;
    } else {
        task_finished_ = info.Finished;
    }
    if (info.Exception) {
        task_failed_ = true;
        task_error_ = NamingSuspects(info.ExceptionMsg);
        // The user knows the output by its name, not by the hidden one it is
        // written under.
        for (std::size_t at = 0;
             !partial_output_.Path().empty() &&
             (at = task_error_.find(partial_output_.Path(), at)) != std::string::npos;) {
            task_error_.replace(at, partial_output_.Path().size(), output_file_.Path());
            at += output_file_.Path().size();
        }
        if (callbacks_.ShowError) {
            callbacks_.ShowError(task_error_);
        }
    }
}

// --- Small steps ---------------------------------------------------------------

void TMergeJob::Log(const std::string& line) const {
    if (callbacks_.LogLine) {
        callbacks_.LogLine(line);
    }
}

void TMergeJob::LogNotes() const {
    for (const std::string& note : plan_->Notes) {
        Log(note);
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

TMergeResult TMergeJob::End(TMergeOutcome outcome, std::string errorText) {
    outcome_ = outcome;
    TMergeResult result;
    // A step that failed because the user stopped it (an open broken off by
    // the signal, say) ends the merge as stopped.
    result.Outcome =
        stop_requested_ && outcome != TMergeOutcome::Finished ? TMergeOutcome::Stopped : outcome;
    result.ErrorText = std::move(errorText);
    return result;
}

TMergeResult TMergeJob::Fail(const std::string& prefix, const std::string& reason) {
    LogFailure(prefix + reason);
    return End(TMergeOutcome::Failed, reason);
}

std::string TMergeJob::JoinFailed(const std::string& prefix, const std::string& reason) {
    LogFailure(prefix + reason);
    join_failure_ = reason;
    return std::string();
}

void TMergeJob::EndMerge() {
    // Cleared when a merge ends, not when one starts, so that a stop asked
    // for just before a merge is not lost.
    stop_requested_ = false;
    encoder_.Decoder().CloseFile();
    if (busy_) {
        SetIdle();
        busy_ = false;
    }
    temp_audio_file_.Remove();
    const bool output_written = outcome_ == TMergeOutcome::Finished ||
                                (outcome_ == TMergeOutcome::Stopped && final_task_started_);
    if (output_written) {
        output_file_.Keep();
    } else {
        // A failed final task leaves a file without its index, and one never
        // started an empty file: neither is of use.
        output_file_.Remove();
    }
    partial_output_.Remove();
    run_mark_ = TRunMark();
}

EncoderTest TMergeJob::HasEncoder() const {
    return [](std::string_view name) {
        return ff.avcodec_find_encoder_by_name(std::string(name).c_str()) != nullptr;
    };
}

template <typename Open>
auto TMergeJob::Opening(Open open) -> decltype(open()) {
    if (!open_on_worker_) {
        return open();
    }
    encoder_lent_ = true;
    auto pending = std::async(std::launch::async, [&open] {
        // Ends the wait below at once instead of after its slice.
        const ScopeExit wake([] { WakeMainThread(); });
        return open();
    });
    while (pending.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        WaitForMessages(kWaitSlice);
    }
    encoder_lent_ = false;
    std::vector<std::function<void()>> deferred;
    deferred.swap(deferred_encoder_calls_);
    for (const auto& call : deferred) {
        call();
    }
    return pending.get();
}

void TMergeJob::WithEncoder(const std::function<void()>& call) {
    if (encoder_lent_) {
        deferred_encoder_calls_.push_back(call);
        return;
    }
    call();
}

TMergeJob::ProbedFile TMergeJob::Probe(TVEVarazez& decoder, const std::string& file) {
    ProbedFile probed;
    probed.Opened = decoder.LoadFile(file);
    if (probed.Opened) {
        TFileStreamInfo info;
        decoder.GetFileStreamInfo(info);
        probed.Duration = info.Duration;
        probed.FirstAudioStream = decoder.FirstAudioStreamIndex();
        if (probed.FirstAudioStream >= 0) {
            TAudioStreamInfo audio;
            decoder.GetAudioStreamInfo(probed.FirstAudioStream, audio);
            probed.SoundKnown = audio.Channels > 0 && audio.SampleRate > 0;
        }
    }
    decoder.CloseFile();
    return probed;
}

TMergeJob::ProbedFile TMergeJob::ProbeForMerge(const std::string& file) {
    return Opening([&] { return Probe(encoder_.Decoder(), file); });
}

std::string TMergeJob::NamingSuspects(const std::string& text) const {
    std::string named = text;
    for (const std::string& file : suspect_audio_files_) {
        named += (named.size() == text.size() ? " (" : ", ") + file;
    }
    return named.size() == text.size() ? named : named + ")";
}

bool TMergeJob::EnsureLibraries(std::string& errorText) {
    return EnsureMediaLibraries({encoder_, decoder_}, errorText);
}

bool TMergeJob::PromoteOutput(std::string& errorText) {
    const std::string& name = output_file_.Path();
    if (!output_file_.StillCreated()) {
        errorText = name + ": the reserved name was taken by another file meanwhile";
        return false;
    }
    if (std::rename(partial_output_.Path().c_str(), name.c_str()) != 0) {
        errorText = name + ": " + std::strerror(errno);
        return false;
    }
    partial_output_.Keep();
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

std::string TMergeJob::BuildAudioJoinTask(const TMergeSource& source,
                                          const std::string& outputFolder, bool& ok) {
    ok = false;
    join_failure_.clear();
    if (source.AudioFiles.empty()) {
        ok = true;
        return std::string();
    }
    encoder_.ClearTasks();
    TMergeRequest request;
    request.VideoFile = source.VideoFile;
    request.FirstVideoStreamIndex = first_video_stream_;
    request.Video = video_facts_;
    request.Choices = source.Choices;
    request.OutputFolder = outputFolder;
    std::int32_t join_task = -1;
    for (const std::string& path : source.AudioFiles) {
        TInputOptions input;
        InitInputOptions(input);
        input.FileName = path;
        TMergeAudioFile audio;
        audio.Path = path;
        const ProbedFile probed = ProbeForMerge(path);
        if (stop_requested_) {
            // The probe was broken off (a pipe with no writer blocks there).
            encoder_.ClearTasks();
            ok = false;
            return std::string();
        }
        audio.Duration = probed.Duration;
        if (probed.Opened) {
            audio.FirstAudioStreamIndex = probed.FirstAudioStream;
        }
        if (probed.Opened && probed.FirstAudioStream >= 0 && !probed.SoundKnown) {
            // Random bytes pass for an MP3 stream whose sound nothing can
            // make out; the join would fail on it with a text naming no file.
            encoder_.ClearTasks();
            return JoinFailed("***Audio file open error: ",
                              path + ": the file has no decodable audio");
        }
        request.AudioFiles.push_back(audio);
        std::int32_t result = 0;
        if (encoder_.TaskCount() == 0) {
            result = Opening([&] { return encoder_.AddTask(path, &input); });
            join_task = result;
        } else {
            result = Opening([&] { return encoder_.AddInput(join_task, path, &input); });
        }
        if (result < 0) {
            // Leaving the file out would silently drop part of the audio.
            // The reason is read before ClearTasks clears it.
            const std::string reason = encoder_.LastErrorText();
            encoder_.ClearTasks();
            // The engine's text names the file already when it could not open it.
            return JoinFailed("***Audio file open error: ", reason.find(path) == std::string::npos
                                                                ? path + ": " + reason
                                                                : reason);
        }
        if (probed.Opened && probed.FirstAudioStream < 0) {
            encoder_.ClearTasks();
            return JoinFailed("***Audio file open error: ",
                              path + ": the file has no audio stream");
        }
    }
    request.VideoDuration = ProbeForMerge(source.VideoFile).Duration;
    video_duration_ = request.VideoDuration;

    std::string errorText;
    plan_ = PlanMerge(request, HasEncoder(), &errorText, LibraryMuxerCarries);
    if (!plan_) {
        encoder_.ClearTasks();
        return JoinFailed("***Cannot do convert, error: ", errorText);
    }
    LogNotes();
    if (!plan_->JoinOutput) {
        ok = true;
        return std::string();
    }
    // Repeated songs: the list again, in order, as often as the plan says.
    for (int pass = 1; pass < plan_->JoinOutput->Passes; ++pass) {
        for (const std::string& path : source.AudioFiles) {
            TInputOptions input;
            InitInputOptions(input);
            input.FileName = path;
            if (Opening([&] { return encoder_.AddInput(join_task, path, &input); }) < 0) {
                const std::string reason = encoder_.LastErrorText();
                encoder_.ClearTasks();
                return JoinFailed("***Audio file open error: ", path + ": " + reason);
            }
        }
    }
    // Created here, exclusively: a user's file or link of that name, or
    // another merge's temporary file, moves it on to the next free name.
    TFileIdentity temp_identity;
    const auto temp_path =
        FreeFileName(TempAudioPattern(request.OutputFolder, source.AudioFiles.front(),
                                      plan_->JoinOutput->FileSuffix),
                     TNameUse::Reserve, &errorText, &temp_identity);
    if (!temp_path) {
        encoder_.ClearTasks();
        return JoinFailed("***Cannot do convert, error: ", errorText);
    }
    temp_audio_file_ = TCreatedFile(*temp_path, temp_identity);
    run_mark_.Record(*temp_path, temp_identity);
    plan_->TempAudioFile = *temp_path;
    plan_->AudioInput = *temp_path;
    TOutputOptions output;
    InitOutputOptions(output);
    output.Options = plan_->JoinOutput->Options;
    output.Join = plan_->JoinOutput->Join;
    if (Opening([&] { return encoder_.SetOutput(join_task, *temp_path, &output); }) < 0) {
        // Running a task without its output would only fail later.
        const std::string reason = NamingSuspects(encoder_.LastErrorText());
        encoder_.ClearTasks();
        return JoinFailed("***Cannot do convert, error: ", reason);
    }
    stage_ = TMergeStage::Join;
    run_ended_ = false;
    task_failed_ = false;
    task_finished_ = false;
    task_error_.clear();
    encoder_.StartTask(1);
    ok = true;
    return *temp_path;
}

// --- The merge -----------------------------------------------------------------

TMergeResult TMergeJob::Merge(const TMergeSource& source) {
    plan_.reset();
    suspect_audio_files_.clear();
    outcome_ = TMergeOutcome::NotStarted;
    final_task_started_ = false;
    const ScopeExit end_of_merge([this] { EndMerge(); });
    return RunMerge(source);
}

TMergeResult TMergeJob::RunMerge(const TMergeSource& source) {
    if (stop_requested_) {
        return End(TMergeOutcome::Stopped, "Stopped");
    }
    std::string errorText;
    if (!EnsureLibraries(errorText)) {
        return End(TMergeOutcome::NoLibraries, errorText);
    }
    if (callbacks_.StopPreview) {
        callbacks_.StopPreview();
    }
    TVEVarazez& videoProbe = encoder_.Decoder();
    const bool videoOpened = Opening([&] {
        if (!videoProbe.LoadFile(source.VideoFile)) {
            return false;
        }
        first_video_stream_ = videoProbe.FirstVideoStreamIndex();
        video_facts_ = ReadVideoFacts(videoProbe);
        videoProbe.CloseFile();
        return true;
    });
    if (!videoOpened) {
        return End(TMergeOutcome::NotStarted, videoProbe.LastErrorText());
    }
    if (callbacks_.SetBusy) {
        callbacks_.SetBusy();
    }
    busy_ = true;
    // Checked before any join runs, so no temporary file is made for nothing.
    if (first_video_stream_ < 0) {
        LogFailure("***No video stream");
        return End(TMergeOutcome::Failed, "No video stream");
    }

    // Prepared once, before the join: both of the merge's files go there.
    const std::string folder =
        PrepareOutputFolder(settings_, [this](std::string_view title, std::string_view text) {
            if (callbacks_.Warn) {
                callbacks_.Warn(std::string(title), std::string(text));
            }
        });
    // Files of killed runs are removed before this run names its own.
    RemoveStaleRunFiles(folder);
    run_mark_ = TRunMark(folder);
    std::string audio_input;
    if (!source.AudioFiles.empty()) {
        bool ok = true;
        const std::string joined = BuildAudioJoinTask(source, folder, ok);
        if (!ok) {
            return End(TMergeOutcome::Failed, join_failure_);
        }
        if (!joined.empty() && WaitForRun() == WaitEnd::Stopped) {
            return End(TMergeOutcome::Stopped, "Stopped");
        }
        audio_input = joined.empty() ? source.AudioFiles.front() : joined;
        encoder_.ClearTasks();
        if (!joined.empty() && task_failed_) {
            // The temporary file is broken: no final task is built on it.
            return End(TMergeOutcome::Failed, task_error_);
        }
    }
    if (!plan_) {
        TMergeRequest request;
        request.VideoFile = source.VideoFile;
        request.FirstVideoStreamIndex = first_video_stream_;
        request.Video = video_facts_;
        request.Choices = source.Choices;
        request.OutputFolder = folder;
        plan_ = PlanMerge(request, HasEncoder(), &errorText, LibraryMuxerCarries);
        if (!plan_) {
            return Fail("***Cannot do convert, error: ", errorText);
        }
        LogNotes();
    }

    TInputOptions video_input;
    InitInputOptions(video_input);
    const std::int32_t task =
        Opening([&] { return encoder_.AddTask(source.VideoFile, &video_input); });
    if (task < 0) {
        return Fail("***Video file open error: ", encoder_.LastErrorText());
    }
    TInputOptions audio_record;
    InitInputOptions(audio_record);
    if (Opening([&] { return encoder_.AddInput(task, audio_input, &audio_record); }) < 0) {
        const std::string reason = NamingSuspects(encoder_.LastErrorText());
        encoder_.ClearTasks();
        return Fail("***Audio file open error: ", reason);
    }
    TOutputOptions output;
    InitOutputOptions(output);
    output.Options = plan_->FinalOptions;
    // Created here, exclusively, so that two merges at once never pick the
    // same name; the dry run proposes the same name by the same rule.
    TFileIdentity output_identity;
    const auto output_path =
        FreeFileName(MergeOutputPattern(folder, source.VideoFile, audio_input, plan_->OutputSuffix),
                     TNameUse::Reserve, &errorText, &output_identity);
    if (!output_path) {
        encoder_.RemoveTask(task);
        return Fail("***Cannot do convert, error: ", errorText);
    }
    output_file_ = TCreatedFile(*output_path, output_identity);
    run_mark_.Record(*output_path, output_identity);
    // Written under a hidden name: until the task ends, nothing half-written
    // carries the output's name.
    TFileIdentity partial_identity;
    const auto partial_path = FreeFileName(PartialOutputPattern(folder, plan_->OutputSuffix),
                                           TNameUse::Reserve, &errorText, &partial_identity);
    if (!partial_path) {
        encoder_.RemoveTask(task);
        return Fail("***Cannot do convert, error: ", errorText);
    }
    partial_output_ = TCreatedFile(*partial_path, partial_identity);
    run_mark_.Record(*partial_path, partial_identity);
    if (Opening([&] { return encoder_.SetOutput(task, *partial_path, &output); }) < 0) {
        const std::string reason = NamingSuspects(encoder_.LastErrorText());
        encoder_.RemoveTask(task);
        return Fail("***Cannot do convert, error: ", reason);
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
    final_task_started_ = true;
    encoder_.StartTask(1);
    const WaitEnd end = WaitForRun();
    TMergeResult result;
    if (end == WaitEnd::Stopped) {
        // The stopped task finished its file properly: it is kept, as a part.
        if (PromoteOutput(errorText)) {
            Log("The merge was stopped: " + *output_path + " holds the part written so far");
        }
        result = End(TMergeOutcome::Stopped, "Stopped");
    } else if (task_failed_ || !task_finished_) {
        result =
            End(TMergeOutcome::Failed, task_failed_ ? task_error_ : "The merge was broken off");
    } else if (!PromoteOutput(errorText)) {
        LogFailure(errorText);
        result = End(TMergeOutcome::Failed, errorText);
    } else {
        result = End(TMergeOutcome::Finished, std::string());
    }
    result.OutputFile = *output_path;
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
    request.Video = ReadVideoFacts(decoder_);
    decoder_.CloseFile();
    if (request.FirstVideoStreamIndex < 0) {
        errorText = "No video stream";
        return std::nullopt;
    }
    for (const std::string& path : source.AudioFiles) {
        TMergeAudioFile audio;
        audio.Path = path;
        const ProbedFile probed = Probe(decoder_, path);
        if (!probed.Opened) {
            errorText = "cannot open the audio file " + path + ": " + decoder_.LastErrorText();
            return std::nullopt;
        }
        audio.Duration = probed.Duration;
        audio.FirstAudioStreamIndex = probed.FirstAudioStream;
        if (audio.FirstAudioStreamIndex < 0) {
            errorText = "the audio file " + path + " has no audio stream";
            return std::nullopt;
        }
        request.AudioFiles.push_back(audio);
    }
    auto plan = PlanMerge(request, HasEncoder(), &errorText, LibraryMuxerCarries);
    if (!plan) {
        return std::nullopt;
    }
    preview.Plan = std::move(*plan);
    preview.OutputFile =
        *FreeFileName(MergeOutputPattern(request.OutputFolder, source.VideoFile,
                                         preview.Plan.AudioInput, preview.Plan.OutputSuffix),
                      TNameUse::Propose);
    return preview;
}

}  // namespace tavrin

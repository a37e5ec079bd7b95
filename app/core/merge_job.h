// The merge as a job object: the video and the ordered audio files are
// inspected, the audio join task (when the plan wants one) and the final task
// are built and run one after the other on the encoder component, each waited
// for while the main thread keeps processing its messages, and the temporary
// file is removed. The window and tavrin-merge run this same code; they see
// it through the callbacks (log lines, busy and idle state, progress, task
// errors).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/core/created_file.h"
#include "app/core/merge_plan.h"
#include "app/core/run_mark.h"
#include "media/encoder/custom_encoder.h"
#include "media/probe/decoder_component.h"

namespace tavrin {

class TSettings;

// Which task a progress report belongs to.
enum class TMergeStage { Join, Final };

struct TMergeJobCallbacks {
    // One line of the window's log; an empty text is an empty line.
    std::function<void(const std::string& line)> LogLine;
    std::function<void()> SetBusy;
    std::function<void()> SetIdle;
    // percent = CurrentDuration * 100 div TotalDuration (0 while the total is
    // unknown); not clamped.
    std::function<void(TMergeStage stage, std::int64_t percent, const TProgressInfo& info)>
        Progress;
    // A task ended with an error: its message (the window shows a box).
    std::function<void(const std::string& message)> ShowError;
    // Stops the preview player and waits for it.
    std::function<void()> StopPreview;
    // A warning about the output folder (title, text).
    std::function<void(const std::string& title, const std::string& text)> Warn;
};

struct TMergeSource {
    std::string VideoFile;
    std::vector<std::string> AudioFiles;  // in list order
    TOutputChoices Choices;
};

enum class TMergeOutcome {
    NoLibraries,  // the media libraries could not be loaded; nothing changed
    NotStarted,   // the video could not be opened; nothing changed
    Finished,     // the output file was written to its end
    Stopped,      // Stop was asked for; a final task's partial output stays
    Failed,       // a log line or a task error said why; no output stays
};

struct TMergeResult {
    TMergeOutcome Outcome = TMergeOutcome::NotStarted;
    // The final task's output file, once it was set up ("" before that).
    std::string OutputFile;
    // Why the merge did not finish, when it is known.
    std::string ErrorText;
};

// What a merge would do, without running it.
struct TMergePreview {
    TMergeRequest Request;
    TMergePlan Plan;
    std::string OutputFile;
};

// Threads: the job lives on the main thread and every field is used there;
// the encoder delivers its progress and termination events there too. Only
// stop_requested_ is touched elsewhere (any thread, a signal handler), and,
// with SetOpenOnWorker, one open at a time runs on a worker thread while the
// main thread waits for it and keeps off the encoder (WithEncoder). Its
// destructor detaches the events, and the encoder then drops the notices
// still on their way, so none reaches a destroyed job.
class TMergeJob {
public:
    // Connects the encoder's progress and termination events to the job.
    TMergeJob(TZOZovadod& encoder, TVEVarazez& decoder, TSettings& settings,
              TMergeJobCallbacks callbacks);
    // Detaches the encoder's events.
    ~TMergeJob();
    TMergeJob(const TMergeJob&) = delete;
    TMergeJob& operator=(const TMergeJob&) = delete;

    // Runs the whole merge on the calling (main) thread.
    TMergeResult Merge(const TMergeSource& source);
    // Asks the running merge to stop; its wait loop does the stopping. Only
    // stores a flag: safe from any thread and from a signal handler.
    void Stop() { stop_requested_ = true; }
    bool StopRequested() const { return stop_requested_; }
    // The temporary joined audio file of the current merge; "" without one.
    const std::string& TempAudioFile() const { return temp_audio_file_.Path(); }

    // Sets up and starts the audio join task; returns the temporary file, or
    // "" when no join runs. False in `ok` when the merge must end (the reason
    // was logged). The temporary file is created by this call in the output
    // folder, exclusively, and removed when the merge ends.
    std::string BuildAudioJoinTask(const TMergeSource& source, const std::string& outputFolder,
                                   bool& ok);

    // The plan of a merge with the files' facts read from them; nothing runs
    // and nothing is written. nullopt with the reason in errorText.
    std::optional<TMergePreview> Preview(const TMergeSource& source, std::string& errorText);

    // Detaches the encoder's events (the window does it when it closes).
    void DetachEvents();

    // Opens files on a worker thread while this thread keeps serving its
    // messages, so that a window stays responsive while a large video opens.
    // Off by default: a stop signal breaks off an open that blocks (a named
    // pipe with no writer) only on the thread it is delivered to, which is
    // the program's main thread.
    void SetOpenOnWorker(bool value) { open_on_worker_ = value; }
    // Runs the call now, or, while an open on the worker uses the encoder,
    // as soon as that open returns: the encoder's task list belongs to one
    // thread at a time. For the owner's own calls on the encoder (Pause,
    // Stop, the preview switch) made from the messages served meanwhile.
    void WithEncoder(const std::function<void()>& call);
    // Whether an open runs on the worker now.
    bool EncoderLent() const { return encoder_lent_; }

private:
    enum class WaitEnd { Done, Stopped };

    // The merge up to its end; Merge then tidies up on every way out.
    TMergeResult RunMerge(const TMergeSource& source);
    // What every end of a merge does: the window idle again (once it was
    // busy), the temporary file removed, and the output removed unless the
    // final task finished or was stopped after it began to write.
    void EndMerge();
    bool EnsureLibraries(std::string& errorText);
    // Waits while the encoder works, processing messages; stops the encoder
    // when asked to.
    WaitEnd WaitForRun();
    void StopEncoder();
    // Gives the written file the output's name; false with the reason.
    bool PromoteOutput(std::string& errorText);
    void Log(const std::string& line) const;
    // An empty line, the text, an empty line.
    void LogFailure(const std::string& text) const;
    // What the plan says its choices could not do as asked.
    void LogNotes() const;
    void SetIdle() const;
    TMergeResult End(TMergeOutcome outcome, std::string errorText);
    // Logs the failure line (prefix + reason) and ends the merge as failed.
    TMergeResult Fail(const std::string& prefix, const std::string& reason);
    // BuildAudioJoinTask's failure: logged, the reason kept for the result.
    std::string JoinFailed(const std::string& prefix, const std::string& reason);
    void OnProgress(const TProgressInfo& info);
    void OnTerminate(const TTerminateInfo& info);
    EncoderTest HasEncoder() const;
    struct ProbedFile {
        bool Opened = false;
        std::int64_t Duration = -1;
        int FirstAudioStream = -1;
        // The first audio stream tells its channels and sample rate.
        bool SoundKnown = false;
    };
    // What a decoder reads of a file; the decoder is left closed.
    static ProbedFile Probe(TVEVarazez& decoder, const std::string& file);
    // A merge reads with the encoder's decoder, which is the job's alone
    // while it runs: the window keeps using its own decoder while an open
    // runs on the worker.
    ProbedFile ProbeForMerge(const std::string& file);
    // Runs one call that may block on a file (an open on the encoder or a
    // decoder) on a worker thread when SetOpenOnWorker asked for it, serving
    // this thread's messages meanwhile; else here. Its result is returned.
    template <typename Open>
    auto Opening(Open open) -> decltype(open());
    // The text with the listed audio files added whose sound the decoder
    // could not make out (random bytes that pass for MP3, say): the engine's
    // texts for what they cause do not name a file.
    std::string NamingSuspects(const std::string& text) const;

    TZOZovadod& encoder_;
    TVEVarazez& decoder_;
    TSettings& settings_;
    TMergeJobCallbacks callbacks_;

    std::atomic<bool> stop_requested_{false};
    bool open_on_worker_ = false;
    bool encoder_lent_ = false;
    std::vector<std::function<void()>> deferred_encoder_calls_;
    bool busy_ = false;
    TMergeOutcome outcome_ = TMergeOutcome::NotStarted;
    bool final_task_started_ = false;
    std::string join_failure_;
    std::vector<std::string> suspect_audio_files_;
    TCreatedFile temp_audio_file_;
    // The output's name, reserved empty, and the hidden file the final task
    // writes; the written file takes the name once the task has ended.
    TCreatedFile output_file_;
    TCreatedFile partial_output_;
    // Lists the files above, so that a run after a killed one removes them.
    TRunMark run_mark_;
    TMergeStage stage_ = TMergeStage::Join;
    std::optional<TMergePlan> plan_;
    int first_video_stream_ = -1;
    TVideoFacts video_facts_;
    std::int64_t video_duration_ = -1;
    // What the termination notices of the current run said.
    bool run_ended_ = false;
    bool task_failed_ = false;
    bool task_finished_ = false;
    std::string task_error_;
};

// "merging" progress as a whole percentage: current * 100 div total in
// 64-bit arithmetic, 0 while the total is unknown (0 or negative).
std::int64_t MergeProgressPercent(std::int64_t currentDuration, std::int64_t totalDuration);

}  // namespace tavrin

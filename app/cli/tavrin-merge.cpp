// tavrin-merge: the merge of the windowed program without its window. The
// video and the audio files are merged with the choices of the settings file,
// or those given on the command line, by the same merge job the window runs.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "app/cli/merge_arguments.h"
#include "app/core/choice_lists.h"
#include "app/core/duration_text.h"
#include "app/core/global_object.h"
#include "app/core/merge_job.h"
#include "app/core/settings.h"
#include "media/encoder/custom_encoder.h"
#include "media/probe/decoder_component.h"
#include "media/runtime/logger.h"
#include "media/runtime/main_thread.h"

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "Usage: tavrin-merge [--format NAME] [--size ENTRY] [--quality N | --no-quality]\n"
    "                    [--out FOLDER] [--dry-run] VIDEO AUDIO...\n"
    "Merges the video stream of VIDEO with the AUDIO files, played one after\n"
    "another and cut to the video's length, into a new file in the output folder.\n"
    "\n"
    "  --format NAME   output format: 3GP AVI FLV iPod MKV MOV MP4 OGG PSP RM10\n"
    "                  RM20 SWF WMV WebM M1V M2V\n"
    "  --size ENTRY    frame size such as 640x480, hd720 or Auto\n"
    "  --quality N     video quality from 0 (best) to 10 (lowest)\n"
    "  --no-quality    leave the video quality to the encoder\n"
    "  --out FOLDER    output folder (also for the temporary audio file)\n"
    "  --dry-run       print the plan (join, option texts, file names) and stop\n"
    "  -h, --help      print this help\n"
    "\n"
    "Unset choices come from the settings of the windowed program. Ctrl-C stops\n"
    "the merge; what was written so far stays a playable file.\n"
    "Exit status: 0 when the merge finished, 1 when it failed, 2 on a usage\n"
    "error, 130 when it was stopped.\n";

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStopped = 130;

// The running job, for the signal handler; its Stop only stores a flag.
std::atomic<tavrin::TMergeJob*> g_running_job{nullptr};

void MergeStopSignal(int /*signal*/) {
    if (tavrin::TMergeJob* job = g_running_job.load()) {
        job->Stop();
    }
}

void InstallStopSignals() {
    struct sigaction action = {};
    action.sa_handler = MergeStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// A settings file of this run only: it holds the choices the job reads
// (the output folder) without touching the user's settings.
class PrivateSettings {
public:
    PrivateSettings() {
        std::string pattern = (fs::temp_directory_path() / "tavrin-merge-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            folder_ = pattern;
        }
    }
    ~PrivateSettings() {
        std::error_code ignored;
        if (!folder_.empty()) {
            fs::remove_all(folder_, ignored);
        }
    }
    PrivateSettings(const PrivateSettings&) = delete;
    PrivateSettings& operator=(const PrivateSettings&) = delete;

    bool Ready() const { return !folder_.empty(); }
    std::string IniFileName() const { return folder_ + "/tavrin.ini"; }

private:
    std::string folder_;
};

// The progress line on a terminal: percent, output time and size.
class ProgressBar {
public:
    ProgressBar() : enabled_(isatty(STDERR_FILENO) == 1) {}

    void Show(tavrin::TMergeStage stage, std::int64_t percent, const tavrin::TProgressInfo& info) {
        if (!enabled_) {
            return;
        }
        const std::int64_t shown = percent < 0 ? 0 : (percent > 100 ? 100 : percent);
        constexpr int kWidth = 30;
        const int filled = static_cast<int>(shown * kWidth / 100);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kWidth - filled), '.');
        std::fprintf(stderr, "\r%-5s [%s] %3lld%%  %s  %.1f MiB ",
                     stage == tavrin::TMergeStage::Join ? "join" : "merge", bar.c_str(),
                     static_cast<long long>(shown),
                     tavrin::FormatDuration(info.CurrentDuration).c_str(),
                     static_cast<double>(info.CurrentSize) / (1024.0 * 1024.0));
        std::fflush(stderr);
        visible_ = true;
    }
    // Ends the bar's line before other text is printed.
    void Break() {
        if (visible_) {
            std::fputc('\n', stderr);
            visible_ = false;
        }
    }

private:
    bool enabled_;
    bool visible_ = false;
};

void PrintLibraryLine(const void* /*sender*/, std::uint32_t /*thread*/, tavrin::TLogLevel level,
                      const std::string& text) {
    std::string line = text;
    if (!line.empty() && line.back() != '\n') {
        line = std::string(tavrin::LogLevelName(level)) + ": " + line + "\n";
    }
    std::fputs(line.c_str(), stderr);
}

void PrintPreview(const tavrin::TMergePreview& preview) {
    const auto& request = preview.Request;
    const auto& plan = preview.Plan;
    std::printf(
        "video: %s (%s, video stream %d)\n", request.VideoFile.c_str(),
        tavrin::FormatDuration(request.VideoDuration < 0 ? 0 : request.VideoDuration).c_str(),
        request.FirstVideoStreamIndex);
    for (const auto& audio : request.AudioFiles) {
        std::printf("audio: %s (%s)\n", audio.Path.c_str(),
                    tavrin::FormatDuration(audio.Duration < 0 ? 0 : audio.Duration).c_str());
    }
    if (plan.JoinOutput) {
        std::printf("join: yes\n");
        std::printf("join options: %s\n", plan.JoinOutput->Options.c_str());
        std::printf("join flag: %s\n", plan.JoinOutput->Join ? "set" : "not set");
        std::printf("temporary file: %s\n", plan.TempAudioFile.c_str());
    } else {
        std::printf("join: no\n");
    }
    std::printf("audio input: %s\n", plan.AudioInput.c_str());
    std::printf("final options: %s\n", plan.FinalOptions.c_str());
    std::printf("output file: %s\n", preview.OutputFile.c_str());
}

int Run(int argc, char** argv) {
    const std::vector<std::string> raw(argv + 1, argv + argc);
    std::string error;
    const auto args = tavrin::cli::ParseMergeArguments(raw, error);
    if (!args) {
        std::fprintf(stderr, "tavrin-merge: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (args->Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    tavrin::InitMainThread();
    tavrin::TREVaduzi logger;
    logger.SetTriggerEventInMainThread(false);
    logger.SetLogLevel(tavrin::llError);
    logger.SetOnLog(PrintLibraryLine);

    // The user's choices, then what the command line says.
    tavrin::TSettings user_settings(tavrin::CreateGlobalObject().IniFileName());
    const tavrin::TChoiceState stored = tavrin::RestoreChoices(user_settings);
    tavrin::TMergeSource source;
    source.VideoFile = args->VideoFile;
    source.AudioFiles = args->AudioFiles;
    tavrin::TOutputChoices& choices = source.Choices;
    choices.FormatIndex = args->FormatIndex.value_or(stored.FormatIndex);
    if (choices.FormatIndex < 0) {
        std::fprintf(stderr, "tavrin-merge: no output format is stored; give one with --format\n");
        return kExitUsage;
    }
    choices.FrameSizeIndex = stored.FrameSizeIndex < 0 ? 0 : stored.FrameSizeIndex;
    if (args->Size) {
        choices.FrameSizeIndex = tavrin::cli::FindFrameSizeIndex(choices.FormatIndex, *args->Size);
        if (choices.FrameSizeIndex < 0) {
            std::fprintf(stderr, "tavrin-merge: the format %s has no frame size \"%s\"\n",
                         std::string(tavrin::FormatNameAt(choices.FormatIndex)).c_str(),
                         args->Size->c_str());
            return kExitUsage;
        }
    }
    choices.QualityIndex = args->QualityIndex.value_or(stored.QualityIndex);
    choices.UseVideoQuality = args->UseQuality.value_or(stored.UseVideoQuality);
    choices.ProcessorCount = tavrin::GetProcessorCount();

    PrivateSettings private_settings;
    if (!private_settings.Ready()) {
        std::fprintf(stderr, "tavrin-merge: cannot create a temporary folder\n");
        return kExitFailed;
    }
    tavrin::TSettings settings(private_settings.IniFileName());
    const std::string folder = args->OutputFolder.value_or(user_settings.OutputDir());
    if (!settings.SetOutputDir(folder)) {
        std::fprintf(stderr, "tavrin-merge: %s\n", settings.LastErrorText().c_str());
        return kExitFailed;
    }

    tavrin::TZOZovadod encoder;
    tavrin::TVEVarazez decoder;
    ProgressBar bar;
    tavrin::TMergeJobCallbacks callbacks;
    callbacks.LogLine = [&bar](const std::string& line) {
        bar.Break();
        std::fprintf(stderr, "%s\n", line.c_str());
    };
    callbacks.Progress = [&bar](tavrin::TMergeStage stage, std::int64_t percent,
                                const tavrin::TProgressInfo& info) {
        bar.Show(stage, percent, info);
    };
    callbacks.ShowError = [&bar](const std::string& message) {
        bar.Break();
        std::fprintf(stderr, "tavrin-merge: %s\n", message.c_str());
    };
    callbacks.Warn = [&bar](const std::string& title, const std::string& text) {
        bar.Break();
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    };
    tavrin::TMergeJob job(encoder, decoder, settings, callbacks);

    if (args->DryRun) {
        const auto preview = job.Preview(source, error);
        if (!preview) {
            std::fprintf(stderr, "tavrin-merge: %s\n", error.c_str());
            return kExitFailed;
        }
        PrintPreview(*preview);
        return 0;
    }

    std::error_code folder_error;
    fs::create_directories(folder, folder_error);
    if (!fs::is_directory(folder)) {
        std::fprintf(stderr, "tavrin-merge: the output folder %s cannot be created: %s\n",
                     folder.c_str(), folder_error.message().c_str());
        return kExitFailed;
    }

    g_running_job = &job;
    InstallStopSignals();
    const tavrin::TMergeResult result = job.Merge(source);
    g_running_job = nullptr;
    bar.Break();
    logger.SetOnLog(nullptr);

    switch (result.Outcome) {
        case tavrin::TMergeOutcome::Finished:
            std::printf("%s\n", result.OutputFile.c_str());
            return 0;
        case tavrin::TMergeOutcome::Stopped:
            std::fprintf(stderr, "tavrin-merge: stopped\n");
            if (!result.OutputFile.empty() && fs::exists(result.OutputFile)) {
                std::fprintf(stderr, "tavrin-merge: partial output: %s\n",
                             result.OutputFile.c_str());
            }
            return kExitStopped;
        case tavrin::TMergeOutcome::NotStarted:
            std::fprintf(stderr, "tavrin-merge: cannot open the video file %s: %s\n",
                         source.VideoFile.c_str(), result.ErrorText.c_str());
            return kExitFailed;
        case tavrin::TMergeOutcome::Failed:
            std::fprintf(stderr, "tavrin-merge: the merge failed: %s\n", result.ErrorText.c_str());
            return kExitFailed;
    }
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavrin-merge: %s\n", error.what());
        return kExitFailed;
    }
}

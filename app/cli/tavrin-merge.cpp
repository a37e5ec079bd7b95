// tavrin-merge: the merge of the windowed program without its window. The
// video and the audio files are merged with the choices of the settings file,
// or those given on the command line, by the same merge job the window runs.
#include <signal.h>
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
#include "app/cli/merge_dry_run.h"
#include "app/cli/merge_listings.h"
#include "app/cli/private_settings.h"
#include "app/cli/program_version.h"
#include "app/cli/standard_output.h"
#include "app/core/choice_lists.h"
#include "app/core/created_folders.h"
#include "app/core/duration_text.h"
#include "app/core/format_choice.h"
#include "app/core/format_listing.h"
#include "app/core/global_object.h"
#include "app/core/merge_job.h"
#include "app/core/settings.h"
#include "media/encoder/custom_encoder.h"
#include "media/probe/decoder_component.h"
#include "media/runtime/loader.h"
#include "media/runtime/logger.h"
#include "media/runtime/main_thread.h"

namespace {

namespace fs = std::filesystem;

constexpr char kUsage[] =
    "Usage: tavrin-merge [--format NAME] [--size ENTRY] [--quality N | --no-quality]\n"
    "                    [--fade-out S] [--repeat | --no-repeat] [--video-sound PCT]\n"
    "                    [--out FOLDER] [--dry-run [--json]] [-q | -v] VIDEO AUDIO...\n"
    "       tavrin-merge --list-formats | --list-sizes FORMAT | --version | --help\n"
    "Merges the video stream of VIDEO with the AUDIO files, played one after\n"
    "another and cut to the video's length, into a new file in the output folder.\n"
    "\n"
    "  --format NAME   output format: 3GP AVI FLV iPod MKV MOV MP4 OGG PSP RM10\n"
    "                  RM20 SWF WMV WebM M1V M2V Original (see --list-formats);\n"
    "                  Original copies the video as it is into its own container\n"
    "                  (Matroska when that cannot carry it with the sound)\n"
    "  --size ENTRY    frame size such as 640x480, hd720 or Auto (see --list-sizes)\n"
    "  --quality N     video quality from 0 (best) to 10 (lowest)\n"
    "  --no-quality    leave the video quality to the encoder\n"
    "  --fade-out S    fade the last S seconds of the sound out, 0 (off) to 10\n"
    "  --repeat        play the songs again, in order, until the video ends\n"
    "  --no-repeat     play the songs once\n"
    "  --video-sound PCT  keep the video's own sound under the songs at PCT\n"
    "                  percent, 0 (off) to 100\n"
    "  --out FOLDER    output folder (also for the temporary audio file)\n"
    "  --dry-run       print the plan (join, option texts, file names) and stop\n"
    "  --json          with --dry-run: the plan as one JSON object\n"
    "  -q, --quiet     print errors only\n"
    "  -v, --verbose   print the media libraries' log at verbose level\n"
    "  --list-formats  print every format with its container and encoders\n"
    "  --list-sizes FORMAT  print the frame sizes of a format\n"
    "  --version       print the program's version\n"
    "  -h, --help      print this help\n"
    "\n"
    "Unset choices come from the settings of the windowed program; with no\n"
    "format given or stored, MP4 is used. The first line on standard error says\n"
    "which format and frame size are used and why. The settings file is never\n"
    "written. Ctrl-C stops the merge; what was written so far stays a playable\n"
    "file.\n"
    "Exit status: 0 when the merge finished, 1 when it failed, 2 on a usage\n"
    "error, 128 + the signal's number when it was stopped (130 for Ctrl-C).\n";

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The running job, for the signal handler; its Stop only stores a flag.
std::atomic<tavrin::TMergeJob*> g_running_job{nullptr};
// The signal that asked for a stop, 0 while none did. Whatever the program
// is doing then, it ends through the destructors that remove its temporary
// folder, with the stop's exit status.
std::atomic<int> g_stop_signal{0};

void MergeStopSignal(int signal) {
    g_stop_signal = signal;
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

bool StopSignalled() {
    return g_stop_signal.load() != 0;
}

int StoppedExit() {
    std::fprintf(stderr, "tavrin-merge: stopped\n");
    return 128 + g_stop_signal.load();
}

// The progress line on a terminal: percent, output time and size.
class ProgressBar {
public:
    explicit ProgressBar(bool quiet) : enabled_(!quiet && isatty(STDERR_FILENO) == 1) {}

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

// --list-formats needs the libraries for the containers' codecs and the
// encoders this machine has.
int ListFormats() {
    tavrin::TZOZovadod encoder;
    if (!encoder.LoadLibraries(tavrin::DefaultLibraryFolder())) {
        std::fprintf(stderr,
                     "tavrin-merge: the media libraries could not be loaded (looked in %s, then "
                     "the system's library path): %s\n",
                     tavrin::DefaultLibraryFolder().c_str(), encoder.LastErrorText().c_str());
        return kExitFailed;
    }
    const auto formats =
        tavrin::DescribeFormats(tavrin::LibraryHasEncoder, tavrin::LibraryContainerFacts);
    std::fputs(tavrin::cli::FormatListText(formats).c_str(), stdout);
    return 0;
}

// The format and frame size of the merge: given, else stored, else the
// first-run default; nullopt after a message when they cannot be used.
std::optional<tavrin::cli::ShownChoices> ChooseOutput(const tavrin::cli::MergeArguments& args,
                                                      const tavrin::TSettings& settings,
                                                      tavrin::TOutputChoices& choices) {
    const tavrin::TSourcedChoice format =
        tavrin::ChooseFormat(args.FormatIndex, settings.StoredOutputFormatIndex());
    const std::string_view format_name = tavrin::FormatNameAt(format.Index);
    if (format_name.empty()) {
        std::fprintf(stderr,
                     "tavrin-merge: the stored output format %d is not in the list; give one "
                     "with --format\n",
                     format.Index);
        return std::nullopt;
    }
    std::optional<int> given_size;
    if (args.Size) {
        given_size = tavrin::cli::FindFrameSizeIndex(format.Index, *args.Size);
        if (*given_size < 0) {
            std::fprintf(stderr, "tavrin-merge: the format %s has no frame size \"%s\"\n",
                         std::string(format_name).c_str(), args.Size->c_str());
            return std::nullopt;
        }
    }
    if (tavrin::IsOriginalFormat(format_name) && (args.Size || args.QualityIndex)) {
        std::fprintf(
            stderr,
            "tavrin-merge: %s does not go with the format Original (%s): the video is "
            "copied as it is, at its own size and quality\n",
            args.Size ? "--size" : "--quality",
            tavrin::ChoiceSourceText(format.Source, "--format", settings.IniFileName()).c_str());
        return std::nullopt;
    }
    const tavrin::TSourcedChoice size =
        tavrin::ChooseFrameSize(format_name, given_size, settings.StoredFrameSizeIndex());
    choices.FormatIndex = format.Index;
    choices.FrameSizeIndex = size.Index;
    const auto sizes = tavrin::FrameSizeNames(format_name);
    tavrin::cli::ShownChoices shown;
    shown.Format = std::string(format_name);
    shown.FormatSource = format.Source;
    shown.FrameSize = tavrin::ListSelection(sizes.size(), size.Index) < 0
                          ? std::string()
                          : std::string(sizes[static_cast<std::size_t>(size.Index)]);
    shown.FrameSizeSource = size.Source;
    shown.SettingsFile = settings.IniFileName();
    return shown;
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
    if (args->Version) {
        std::printf("%s\n", tavrin::cli::VersionLine("tavrin-merge").c_str());
        return 0;
    }
    if (args->ListSizesOf) {
        if (tavrin::IsOriginalFormat(tavrin::FormatNameAt(*args->ListSizesOf))) {
            // Nothing on standard output: the completion offers no size.
            std::fprintf(stderr,
                         "tavrin-merge: Original copies the video at its own size; it has no "
                         "frame sizes\n");
            return 0;
        }
        std::fputs(tavrin::cli::SizeListText(*args->ListSizesOf).c_str(), stdout);
        return 0;
    }

    // From the start, so that a stop at any moment ends the program through
    // its destructors, leaving nothing behind.
    InstallStopSignals();
    tavrin::InitMainThread();
    tavrin::TREVaduzi logger;
    logger.SetTriggerEventInMainThread(false);
    logger.SetLogLevel(args->Verbose ? tavrin::llVerbose : tavrin::llError);
    logger.SetOnLog(PrintLibraryLine);
    if (args->ListFormats) {
        const int status = ListFormats();
        return StopSignalled() ? StoppedExit() : status;
    }

    // What the command line says, else the user's stored choices, else the
    // first-run default.
    tavrin::TSettings user_settings(tavrin::CreateGlobalObject().IniFileName());
    const tavrin::TChoiceState stored = tavrin::RestoreChoices(user_settings);
    tavrin::TMergeSource source;
    source.VideoFile = args->VideoFile;
    source.AudioFiles = args->AudioFiles;
    tavrin::TOutputChoices& choices = source.Choices;
    auto shown = ChooseOutput(*args, user_settings, choices);
    if (!shown) {
        return kExitUsage;
    }
    choices.QualityIndex = args->QualityIndex.value_or(stored.QualityIndex);
    choices.UseVideoQuality = args->UseQuality.value_or(stored.UseVideoQuality);
    choices.ProcessorCount = tavrin::GetProcessorCount();
    choices.FadeOutSeconds = args->FadeOutSeconds.value_or(user_settings.FadeOutSeconds());
    choices.RepeatSongs = args->RepeatSongs.value_or(user_settings.RepeatSongs());
    choices.VideoSoundPercent = args->VideoSoundPercent.value_or(user_settings.VideoSoundPercent());
    shown->MergeChoices = tavrin::cli::MergeChoicesText(choices);
    // The dry run's plan carries the same line.
    if (!args->Quiet && !args->DryRun) {
        std::fprintf(stderr, "tavrin-merge: %s\n", tavrin::cli::ChoicesLine(*shown).c_str());
    }

    tavrin::cli::PrivateSettings private_settings;
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
    ProgressBar bar(args->Quiet);
    tavrin::TMergeJobCallbacks callbacks;
    callbacks.LogLine = [&bar, quiet = args->Quiet](const std::string& line) {
        if (quiet) {
            return;
        }
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
    callbacks.Warn = [&bar, quiet = args->Quiet](const std::string& title,
                                                 const std::string& text) {
        if (quiet) {
            return;
        }
        bar.Break();
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
    };
    tavrin::TMergeJob job(encoder, decoder, settings, callbacks);

    if (args->DryRun) {
        const auto preview = job.Preview(source, error);
        if (StopSignalled()) {
            return StoppedExit();
        }
        if (!preview) {
            std::fprintf(stderr, "tavrin-merge: %s\n", error.c_str());
            return kExitFailed;
        }
        const std::string plan = args->Json ? tavrin::cli::DryRunJson(*preview, *shown)
                                            : tavrin::cli::DryRunText(*preview, *shown);
        std::fputs(plan.c_str(), stdout);
        return 0;
    }

    std::error_code folder_error;
    tavrin::TCreatedFolders created_folders;
    if (!created_folders.Create(folder, folder_error)) {
        created_folders.RemoveEmpty();
        std::fprintf(stderr, "tavrin-merge: the output folder %s cannot be created: %s\n",
                     folder.c_str(), folder_error.message().c_str());
        return kExitFailed;
    }

    g_running_job = &job;
    if (StopSignalled()) {
        g_running_job = nullptr;
        created_folders.RemoveEmpty();
        return StoppedExit();
    }
    const tavrin::TMergeResult result = job.Merge(source);
    g_running_job = nullptr;
    // A merge that wrote nothing leaves no folder it made.
    created_folders.RemoveEmpty();
    bar.Break();
    logger.SetOnLog(nullptr);

    switch (result.Outcome) {
        case tavrin::TMergeOutcome::Finished:
            std::printf("%s\n", result.OutputFile.c_str());
            return 0;
        case tavrin::TMergeOutcome::Stopped: {
            const int status = StoppedExit();
            if (!result.OutputFile.empty() && fs::exists(result.OutputFile)) {
                std::fprintf(stderr, "tavrin-merge: partial output: %s\n",
                             result.OutputFile.c_str());
            }
            return status;
        }
        case tavrin::TMergeOutcome::NoLibraries:
            std::fprintf(stderr, "tavrin-merge: %s\n", result.ErrorText.c_str());
            return kExitFailed;
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
        const int status = Run(argc, argv);
        // A failure after a stop signal, such as an open the signal broke
        // off, is the stop.
        return tavrin::cli::WithStandardOutputFlushed(
            "tavrin-merge", status != 0 && status != 128 + g_stop_signal.load() && StopSignalled()
                                ? StoppedExit()
                                : status);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavrin-merge: %s\n", error.what());
        return kExitFailed;
    }
}

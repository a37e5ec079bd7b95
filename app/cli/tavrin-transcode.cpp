// tavrin-transcode: the transcoding engine behind a command line in the
// ffmpeg option language. It builds one task the way the encoder component
// does (each input opened with its options text, then the output), runs it
// and prints the engine's log at the chosen level.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "app/cli/program_version.h"
#include "app/cli/standard_output.h"
#include "app/cli/transcode_arguments.h"
#include "app/cli/transcode_console.h"
#include "app/core/created_file.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/options/input_file.h"
#include "media/options/option_table.h"
#include "media/options/output_file.h"
#include "media/options/transcode_context.h"
#include "media/runtime/loader.h"
#include "media/runtime/logger.h"
#include "media/runtime/main_thread.h"

namespace {

constexpr char kUsage[] =
    "Usage: tavrin-transcode [-loglevel LEVEL] [-join]\n"
    "                        [INPUT OPTIONS] -i INPUT [[INPUT OPTIONS] -i INPUT]...\n"
    "                        [OUTPUT OPTIONS] OUTPUT\n"
    "Transcodes the INPUT files into OUTPUT. Options are those of the ffmpeg\n"
    "program: the options before each -i belong to that input, the options after\n"
    "the last input belong to the output.\n"
    "\n"
    "  -join            play the inputs one after another into the output\n"
    "  -loglevel LEVEL  quiet, panic, fatal, error, warning, info (default),\n"
    "                   verbose or debug\n"
    "  -y               replace an output file that exists\n"
    "  -n               never replace an output file that exists; without -y or\n"
    "                   -n the program asks when standard input is a terminal\n"
    "                   and keeps the file otherwise\n"
    "  -h, --help       print this help\n"
    "      --version    print the program's version\n"
    "\n"
    "The media libraries are taken from the folder \"LibAV\" next to the program\n"
    "when it holds them, else from the system.\n"
    "While it runs, the progress is shown on one updating line (one line per\n"
    "report when standard error is not a terminal; -nostats shows only the\n"
    "final one, -progress URL writes key=value reports). Ctrl-C or SIGTERM\n"
    "stops the task: the output is finished properly with what was written.\n"
    "\n"
    "Exit status: 0 when the task finished without error, 1 when it failed,\n"
    "2 on a usage error or when the libraries cannot be loaded, 128 + the\n"
    "signal number (130 for SIGINT, 143 for SIGTERM) when a signal stopped it.\n";

// Runs the task on its worker while the main thread serves it and watches
// for a stop signal. The signal number that stopped it, or 0.
int RunUntilEnded(tavrin::TCustomFFmpeg& task) {
    std::atomic<bool> ended{false};
    task.TerminateCallback = [&ended](tavrin::TCustomFFmpeg&) {
        ended = true;
        tavrin::WakeMainThread();
    };
    tavrin::cli::InstallStopSignals();
    if (tavrin::TConvertThread* worker = task.Start(true, tavrin::tpNormal)) {
        worker->Resume();
    }
    int stopped_by = 0;
    while (!ended) {
        tavrin::WaitForMessages(std::chrono::milliseconds(100));
        if (stopped_by == 0 && tavrin::cli::StopSignal() != 0) {
            stopped_by = tavrin::cli::StopSignal();
            tavrin::Log(nullptr, tavrin::llWarning, "Stopping: finishing the output file...");
            task.Stop(false);
        }
    }
    task.Stop(true);  // the worker has left the task
    return stopped_by;
}

// Asks on the terminal whether an existing output may be replaced.
bool UserAllowsReplacing(const std::string& file_name) {
    std::fprintf(stderr, "File '%s' already exists. Overwrite? [y/N] ", file_name.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (std::fgets(answer, sizeof(answer), stdin) == nullptr) {
        std::fputc('\n', stderr);
        return false;
    }
    return answer[0] == 'y' || answer[0] == 'Y';
}

// Opens every input and then the output; false with the message printed.
bool BuildTask(tavrin::TCustomFFmpeg& task, const tavrin::cli::TranscodeArguments& args) {
    tavrin::BuildOptionTable(task);
    // -y and -n are read when the output opens: an input's options may hold them too.
    task.OnReplaceExistingOutput = [](tavrin::TCustomFFmpegOpt& opened, const std::string& name) {
        switch (tavrin::cli::DecideExistingOutput(opened.overwrite_output != 0,
                                                  opened.never_overwrite != 0,
                                                  ::isatty(STDIN_FILENO) == 1)) {
            case tavrin::cli::ExistingOutputAnswer::Replace:
                return true;
            case tavrin::cli::ExistingOutputAnswer::Keep:
                return false;
            case tavrin::cli::ExistingOutputAnswer::Ask:
                return UserAllowsReplacing(name);
        }
        return false;
    };
    for (const tavrin::cli::TranscodeInput& input : args.Inputs) {
        task.LastError.clear();
        int result = -1;
        try {
            tavrin::OptionsContext ctx(task);
            result = tavrin::OpenInputFile(task, ctx, input.Options, input.FileName, "");
        } catch (const std::exception& error) {
            task.LastError = error.what();
        }
        if (result < 0) {
            std::fprintf(stderr, "tavrin-transcode: cannot open input \"%s\": %s\n",
                         input.FileName.c_str(), task.LastError.c_str());
            return false;
        }
    }
    task.LastError.clear();
    int result = -1;
    try {
        tavrin::OptionsContext ctx(task);
        result = tavrin::OpenOutputFile(task, ctx, args.OutputOptions, args.Join,
                                        args.OutputFileName, "");
    } catch (const std::exception& error) {
        task.LastError = error.what();
    }
    if (result < 0) {
        // The refusal of an existing file names it already.
        if (task.LastError.rfind("File '", 0) == 0) {
            std::fprintf(stderr, "%s\n", task.LastError.c_str());
        } else {
            std::fprintf(stderr, "tavrin-transcode: cannot set up output \"%s\": %s\n",
                         args.OutputFileName.c_str(), task.LastError.c_str());
        }
        return false;
    }
    return true;
}

// The output file the task opened for writing, when it is a regular file of
// the local file system: removed again when the task fails, so that nothing
// half-written stays under the name.
tavrin::TCreatedFile WrittenOutput(const tavrin::TCustomFFmpeg& task, const std::string& name) {
    if (task.output_files.empty() || !task.output_files.front()->ctx) {
        return {};
    }
    const AVFormatContext* muxer = task.output_files.front()->ctx.get();
    struct stat info {};
    if ((muxer->oformat->flags & AVFMT_NOFILE) != 0 || muxer->pb == nullptr ||
        ::lstat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return {};
    }
    return tavrin::TCreatedFile(name, {info.st_dev, info.st_ino});
}

int Run(int argc, char** argv) {
    if (tavrin::cli::PrintVersionIfAsked("tavrin-transcode", argc, argv)) {
        return 0;
    }
    std::vector<std::string> raw(argv + 1, argv + argc);
    std::string error;
    const auto args = tavrin::cli::SplitTranscodeArguments(raw, error);
    if (!args) {
        std::fprintf(stderr, "tavrin-transcode: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (args->Help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    tavrin::InitMainThread();
    tavrin::TREVaduzi logger;
    logger.SetTriggerEventInMainThread(false);
    logger.SetLogLevel(args->LogLevel);
    tavrin::cli::TranscodeConsole console(stderr, ::isatty(STDERR_FILENO) == 1);
    logger.SetOnLog([&console](const void* sender, std::uint32_t, tavrin::TLogLevel level,
                               const std::string& text) { console.Print(sender, level, text); });

    tavrin::cli::InstallStopSignals();
    tavrin::TFFLoader& loader = tavrin::FFLoader();
    loader.SetLibraryPath(tavrin::DefaultLibraryFolder());
    if (!loader.LoadLibs(tavrin::EncoderLibs)) {
        std::fprintf(stderr, "tavrin-transcode: %s\n", loader.LastErrorText().c_str());
        return 2;
    }
    // The libraries apply the logger's level once they are bound.
    logger.ApplyLevelToLibrary();

    int status = 1;
    {
        tavrin::TCustomFFmpeg task;
        console.SetStatusSender(&task);
        // A stop signal while an input opens (a pipe with no writer blocks
        // there) ends the program as a stop, not as a failed open.
        tavrin::cli::SetSignalAbortFlag(&task.AbortRequested);
        const bool built = BuildTask(task, *args);
        tavrin::cli::SetSignalAbortFlag(nullptr);
        if (!built) {
            status = tavrin::cli::StopSignal() != 0 ? 128 + tavrin::cli::StopSignal() : 1;
        } else {
            tavrin::TCreatedFile output = WrittenOutput(task, args->OutputFileName);
            const int stopped_by = RunUntilEnded(task);
            console.Finish();
            if (task.HasError()) {
                std::fprintf(stderr, "tavrin-transcode: %s\n", task.ErrorMessage().c_str());
            }
            if (task.Finished() && !task.HasError()) {
                status = 0;
            } else {
                // A stopped task's file was finished properly; a failed one's
                // was not.
                if (stopped_by != 0 && !task.HasError()) {
                    output.Keep();
                }
                // A stop the user asked for ends as a stop, whatever it made fail.
                status = stopped_by != 0 ? 128 + stopped_by : 1;
            }
            if (status == 0) {
                output.Keep();
            }
        }
        if (status > 128) {
            std::fprintf(stderr, "tavrin-transcode: stopped\n");
        }
    }
    logger.SetOnLog(nullptr);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return tavrin::cli::WithStandardOutputFlushed("tavrin-transcode", Run(argc, argv));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavrin-transcode: %s\n", error.what());
        return 1;
    }
}

// Splitting the command line of tavrin-transcode, which follows the ffmpeg
// program's order: the options before each -i are that input's options, the
// options after the last input and before the output name are the output's,
// -join plays the inputs one after another into the output and -loglevel
// chooses how much of the engine's log is printed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "media/runtime/logger.h"

namespace tavrin::cli {

struct TranscodeInput {
    std::string FileName;
    std::string Options;  // options text, each argument quoted as needed
};

struct TranscodeArguments {
    std::vector<TranscodeInput> Inputs;
    std::string OutputFileName;
    std::string OutputOptions;
    bool Join = false;
    TLogLevel LogLevel = llInfo;
    bool Help = false;
};

// The arguments after the program name. nullopt with the reason in `error`
// when they cannot be used.
std::optional<TranscodeArguments> SplitTranscodeArguments(const std::vector<std::string>& args,
                                                          std::string& error);

// One argument written so that the options tokenizer gives it back
// unchanged: quoted when it holds blanks, tabs or quotes, or is empty.
std::string QuoteOptionArgument(const std::string& argument);

// What to do with an output file that exists already, as the ffmpeg
// program does: -n always keeps it, -y replaces it, and otherwise the user is
// asked when standard input is a terminal and the file is kept when not.
enum class ExistingOutputAnswer { Replace, Keep, Ask };
ExistingOutputAnswer DecideExistingOutput(bool overwrite, bool neverOverwrite,
                                          bool inputIsTerminal);

// A level name (quiet, panic, fatal, error, warning, info, verbose, debug,
// trace) or a library level number.
std::optional<TLogLevel> ParseLogLevel(const std::string& text);

}  // namespace tavrin::cli

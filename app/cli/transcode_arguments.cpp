#include "app/cli/transcode_arguments.h"

#include <cerrno>
#include <cstdlib>

namespace tavrin::cli {
namespace {

void Append(std::string& text, const std::string& argument) {
    if (!text.empty()) {
        text += ' ';
    }
    text += QuoteOptionArgument(argument);
}

}  // namespace

std::string QuoteOptionArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        return argument;
    }
    // Backslashes count only before a quote: n of them before a literal
    // quote become 2n + 1, and before the closing quote 2n.
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(2 * backslashes + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}

ExistingOutputAnswer DecideExistingOutput(bool overwrite, bool neverOverwrite,
                                          bool inputIsTerminal) {
    if (neverOverwrite) {
        return ExistingOutputAnswer::Keep;
    }
    if (overwrite) {
        return ExistingOutputAnswer::Replace;
    }
    return inputIsTerminal ? ExistingOutputAnswer::Ask : ExistingOutputAnswer::Keep;
}

std::optional<TLogLevel> ParseLogLevel(const std::string& text) {
    static const struct {
        const char* name;
        TLogLevel level;
    } kNames[] = {{"quiet", llQuiet},     {"panic", llPanic},     {"fatal", llFatal},
                  {"error", llError},     {"warning", llWarning}, {"info", llInfo},
                  {"verbose", llVerbose}, {"debug", llDebug},     {"trace", llDebug}};
    for (const auto& entry : kNames) {
        if (text == entry.name) {
            return entry.level;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || number < -8 || number > 64) {
        return std::nullopt;
    }
    return LogLevelOfLibrary(static_cast<int>(number));
}

std::optional<TranscodeArguments> SplitTranscodeArguments(const std::vector<std::string>& args,
                                                          std::string& error) {
    TranscodeArguments result;
    std::vector<std::string> pending;  // options waiting for their file
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help" || arg == "-help") {
            result.Help = true;
            return result;
        }
        if (arg == "-join") {
            result.Join = true;
            continue;
        }
        if (arg == "-loglevel" || arg == "-v") {
            if (i + 1 >= args.size()) {
                error = arg + " needs a level";
                return std::nullopt;
            }
            const std::optional<TLogLevel> level = ParseLogLevel(args[++i]);
            if (!level) {
                error = "Unknown log level \"" + args[i] + "\"";
                return std::nullopt;
            }
            result.LogLevel = *level;
            continue;
        }
        if (arg == "-i") {
            if (i + 1 >= args.size()) {
                error = "-i needs a file name";
                return std::nullopt;
            }
            TranscodeInput input;
            input.FileName = args[++i];
            for (const std::string& option : pending) {
                Append(input.Options, option);
            }
            pending.clear();
            result.Inputs.push_back(std::move(input));
            continue;
        }
        pending.push_back(arg);
    }
    if (result.Inputs.empty()) {
        error = "At least one input file must be given with -i";
        return std::nullopt;
    }
    if (pending.empty()) {
        error = "An output file name must follow the inputs and their options";
        return std::nullopt;
    }
    result.OutputFileName = pending.back();
    pending.pop_back();
    for (const std::string& option : pending) {
        Append(result.OutputOptions, option);
    }
    return result;
}

}  // namespace tavrin::cli

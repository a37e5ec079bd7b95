#include "app/cli/merge_arguments.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "app/core/choice_lists.h"
#include "app/core/merge_plan.h"

namespace tavrin::cli {

namespace {

std::string Lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// A whole number from 0 to highest, digits only.
std::optional<int> ParseWholeNumber(const std::string& text, int highest) {
    if (text.empty() || text.size() > 3 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return std::nullopt;
    }
    const int value = std::stoi(text);
    if (value > highest) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> ParseQuality(const std::string& text) {
    return text.size() > 2 ? std::nullopt
                           : ParseWholeNumber(text, static_cast<int>(QualityNames().size()) - 1);
}

// The options that take no value, by name.
bool* FlagOf(MergeArguments& result, const std::string& arg) {
    if (arg == "-h" || arg == "--help") {
        return &result.Help;
    }
    if (arg == "--version") {
        return &result.Version;
    }
    if (arg == "--list-formats") {
        return &result.ListFormats;
    }
    if (arg == "--dry-run") {
        return &result.DryRun;
    }
    if (arg == "--json") {
        return &result.Json;
    }
    if (arg == "-q" || arg == "--quiet") {
        return &result.Quiet;
    }
    if (arg == "-v" || arg == "--verbose") {
        return &result.Verbose;
    }
    return nullptr;
}

}  // namespace

int FindFormatIndex(const std::string& name) {
    const auto names = FormatNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (Lower(names[i]) == Lower(name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int FindFrameSizeIndex(int formatIndex, const std::string& entry) {
    const auto sizes = FrameSizeNames(FormatNameAt(formatIndex));
    const std::string wanted = Lower(entry);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::string text = Lower(sizes[i]);
        // "1280x720 - hd720": the dimensions and the name are the entry's words.
        const std::string head = text.substr(0, text.find(' '));
        const std::string name = text.substr(text.rfind(' ') + 1);
        if (text == wanted || head == wanted || name == wanted) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::optional<MergeArguments> ParseMergeArguments(const std::vector<std::string>& args,
                                                  std::string& error) {
    MergeArguments result;
    std::vector<std::string> files;
    bool options_ended = false;
    bool quality_given = false;
    bool no_quality_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        // "--name=value" or "--name value".
        std::optional<std::string> inline_value;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inline_value = arg.substr(eq + 1);
            arg.erase(eq);
        }
        const auto value = [&](std::string& out) {
            if (inline_value) {
                out = *inline_value;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        const auto no_value = [&] {
            if (inline_value) {
                error = arg + " takes no value";
                return false;
            }
            return true;
        };
        std::string text;
        if (bool* flag = FlagOf(result, arg)) {
            if (!no_value()) {
                return std::nullopt;
            }
            *flag = true;
        } else if (arg == "--format" || arg == "--list-sizes") {
            if (!value(text)) {
                return std::nullopt;
            }
            const int index = FindFormatIndex(text);
            if (index < 0) {
                error = "unknown format \"" + text + "\" (one of:";
                for (const auto name : FormatNames()) {
                    error += " " + std::string(name);
                }
                error += ")";
                return std::nullopt;
            }
            (arg == "--format" ? result.FormatIndex : result.ListSizesOf) = index;
        } else if (arg == "--size") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (text.empty()) {
                error = "--size needs a frame size such as 640x480";
                return std::nullopt;
            }
            result.Size = text;
        } else if (arg == "--quality") {
            if (!value(text)) {
                return std::nullopt;
            }
            const auto quality = ParseQuality(text);
            if (!quality) {
                error = "--quality takes a whole number from 0 (best) to 10, not \"" + text + "\"";
                return std::nullopt;
            }
            result.QualityIndex = *quality;
            result.UseQuality = true;
            quality_given = true;
        } else if (arg == "--no-quality") {
            if (!no_value()) {
                return std::nullopt;
            }
            result.UseQuality = false;
            no_quality_given = true;
        } else if (arg == "--fade-out" || arg == "--video-sound") {
            if (!value(text)) {
                return std::nullopt;
            }
            const bool fade = arg == "--fade-out";
            const auto number =
                ParseWholeNumber(text, fade ? kMaxFadeOutSeconds : kMaxVideoSoundPercent);
            if (!number) {
                error = fade ? "--fade-out takes whole seconds from 0 (no fade) to " +
                                   std::to_string(kMaxFadeOutSeconds) + ", not \"" + text + "\""
                             : "--video-sound takes a volume in percent from 0 (none) to " +
                                   std::to_string(kMaxVideoSoundPercent) + ", not \"" + text + "\"";
                return std::nullopt;
            }
            (fade ? result.FadeOutSeconds : result.VideoSoundPercent) = *number;
        } else if (arg == "--repeat" || arg == "--no-repeat") {
            if (!no_value()) {
                return std::nullopt;
            }
            if (result.RepeatSongs && *result.RepeatSongs != (arg == "--repeat")) {
                error = "--repeat and --no-repeat exclude each other";
                return std::nullopt;
            }
            result.RepeatSongs = arg == "--repeat";
        } else if (arg == "--out") {
            if (!value(text)) {
                return std::nullopt;
            }
            if (text.empty()) {
                error = "--out needs a folder";
                return std::nullopt;
            }
            result.OutputFolder = text;
        } else {
            error = "unknown option " + args[i];
            return std::nullopt;
        }
    }
    if (quality_given && no_quality_given) {
        error = "--quality and --no-quality exclude each other";
        return std::nullopt;
    }
    if (result.Quiet && result.Verbose) {
        error = "-q and -v exclude each other";
        return std::nullopt;
    }
    if (result.Json && !result.DryRun) {
        error = "--json only goes with --dry-run";
        return std::nullopt;
    }
    if (result.Help || result.Version || result.ListFormats || result.ListSizesOf) {
        return result;
    }
    if (files.empty()) {
        error = "no video file given";
        return std::nullopt;
    }
    if (files.size() < 2) {
        error = "no audio file given";
        return std::nullopt;
    }
    result.VideoFile = files.front();
    result.AudioFiles.assign(files.begin() + 1, files.end());
    if (result.FormatIndex && IsOriginalFormat(FormatNameAt(*result.FormatIndex))) {
        if (const char* option = result.Size ? "--size" : quality_given ? "--quality" : nullptr) {
            error = std::string(option) +
                    " does not go with --format Original: the video is copied as it is, at its "
                    "own size and quality";
            return std::nullopt;
        }
    }
    if (result.Size && result.FormatIndex) {
        if (FindFrameSizeIndex(*result.FormatIndex, *result.Size) < 0) {
            error = "the format " + std::string(FormatNameAt(*result.FormatIndex)) +
                    " has no frame size \"" + *result.Size + "\"";
            return std::nullopt;
        }
    }
    return result;
}

}  // namespace tavrin::cli

#include "app/cli/play_arguments.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace tavrin::cli {

namespace {

// A non-negative decimal number, the whole text.
std::optional<double> ParseNumber(const std::string& text) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<int64_t> ParsePlayTime(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, ':');) {
        parts.push_back(part);
    }
    if (parts.empty() || parts.size() > 3 || text.back() == ':') {
        return std::nullopt;
    }
    double seconds = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const auto value = ParseNumber(parts[i]);
        const bool last = i + 1 == parts.size();
        // Hours and minutes are whole numbers; minutes and seconds below 60
        // once a larger unit is given.
        if (!value || (!last && *value != std::floor(*value)) || (i > 0 && *value >= 60)) {
            return std::nullopt;
        }
        seconds = seconds * 60 + *value;
    }
    if (seconds > 1e10) {
        return std::nullopt;
    }
    return std::llround(seconds * 1000000.0);
}

std::optional<PlayArguments> ParsePlayArguments(const std::vector<std::string>& args,
                                                std::string& error) {
    PlayArguments result;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                error = "Missing value for " + arg + ".";
                return std::nullopt;
            }
            return args[++i];
        };
        if (options_ended || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!result.File.empty()) {
                error = "Only one file can be played.";
                return std::nullopt;
            }
            result.File = arg;
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--no-display") {
            result.NoDisplay = true;
        } else if (arg == "--no-audio") {
            result.NoAudio = true;
        } else if (arg == "--mute") {
            result.Mute = true;
        } else if (arg == "--start-paused") {
            result.StartPaused = true;
        } else if (arg == "--verbose" || arg == "-v") {
            result.Verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            result.Help = true;
        } else if (arg == "--version") {
            result.Version = true;
        } else if (arg == "--volume") {
            const auto text = value();
            const auto number = text ? ParseNumber(*text) : std::nullopt;
            if (!number || *number > 128 || *number != std::floor(*number)) {
                error = text ? "Invalid volume \"" + *text + "\": give 0 to 128." : error;
                return std::nullopt;
            }
            result.Volume = static_cast<int>(*number);
        } else if (arg == "--start" || arg == "--length") {
            const auto text = value();
            const auto time = text ? ParsePlayTime(*text) : std::nullopt;
            if (!time) {
                error = text ? "Invalid time \"" + *text + "\" for " + arg + "." : error;
                return std::nullopt;
            }
            (arg == "--start" ? result.Start : result.Length) = *time;
        } else if (arg == "--aspect") {
            const auto text = value();
            if (!text) {
                return std::nullopt;
            }
            char* end = nullptr;
            const float ratio = std::strtof(text->c_str(), &end);
            if (text->empty() || end != text->c_str() + text->size() || !std::isfinite(ratio)) {
                error = "Invalid aspect ratio \"" + *text + "\".";
                return std::nullopt;
            }
            result.Aspect = ratio;
        } else {
            error = "Unknown option " + arg + ".";
            return std::nullopt;
        }
    }
    if (result.File.empty() && !result.Help && !result.Version) {
        error = "No file to play.";
        return std::nullopt;
    }
    return result;
}

}  // namespace tavrin::cli

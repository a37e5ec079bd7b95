#include "media/options/file_options.h"

#include <strings.h>
#include <filesystem>
#include <fstream>
#include <span>
#include <utility>
#include <vector>

#include "media/common/error_text.h"
#include "media/options/ff_options.h"
#include "media/options/option_table.h"
#include "media/options/option_tokenizer.h"
#include "media/options/stream_options.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/logger.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

// Removes blanks and control characters at both ends.
std::string Trim(std::string_view text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') {
        ++begin;
    }
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') {
        --end;
    }
    return std::string(text.substr(begin, end - begin));
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// Every CR LF, lone CR and lone LF becomes one LF.
std::string UnifyLineBreaks(std::string text) {
    ReplaceAll(text, "\r\n", "\n");
    ReplaceAll(text, "\r", "\n");
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            lines.push_back(text.substr(begin));
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

void AppendPendingError(const std::string& message) {
    std::string pending = PendingErrorText();
    if (!pending.empty()) {
        pending += "\n";
    }
    SetPendingErrorText(pending + message);
}

// The row of "acodec", "vcodec", "scodec" or "dcodec" when `key` names one of
// them in any letter case, else null.
const OptionEntry* CodecShortcutRow(TCustomFFmpegOpt& task, const std::string& key) {
    for (const char* name : {"acodec", "vcodec", "scodec", "dcodec"}) {
        if (strcasecmp(key.c_str(), name) == 0) {
            const OptionEntry* row = FindOption(OptionTableOf(task), name);
            return row->IsEnd() ? nullptr : row;
        }
    }
    return nullptr;
}

// Where the messages of one preset line name their source.
struct PresetSource {
    std::string syntax_prefix;  // "" for a presets text, "<path>: " for a file
    std::string option_prefix;  // "" for a presets text, "<file name>: " for a file
};

// Applies one line of a presets text or preset file: 0 to go on with the
// next line, a negative code to stop with.
int ApplyPresetLine(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& raw_line,
                    const PresetSource& source) {
    const std::string line = Trim(raw_line);
    if (line.empty() || line.front() == '#') {
        return 0;
    }
    const std::size_t equals = line.find('=');
    std::string key = Trim(line.substr(0, equals));
    std::string value = equals == std::string::npos ? std::string() : Trim(line.substr(equals + 1));
    if (key.empty() || value.empty()) {
        const std::string message = source.syntax_prefix + "Invalid syntax: \"" + line + "\"";
        Log(&task, llError, message);
        if (task.StrictOptions) {
            SetPendingErrorText(message);
            return AVERROR(EINVAL);
        }
    }

    LogFmt(&task, llDebug, "Applying preset %s with argument %s.\n", key.c_str(), value.c_str());
    ClearPendingErrorText();
    const OptionEntry* shortcut = CodecShortcutRow(task, key);
    const int applied = shortcut != nullptr && shortcut->handler
                            ? shortcut->handler(&ctx, shortcut->name, value)
                            : OptDefaultForFile(task, ctx, key, value);
    if (applied < 0) {
        const std::string message = source.option_prefix + "Invalid option or argument: \"" + line +
                                    "\", parsed as \"" + key + "\" = \"" + value + "\"";
        Log(&task, llError, message);
        if (task.StrictOptions) {
            AppendPendingError(message);
            return applied;
        }
    }
    return 0;
}

}  // namespace

int ApplyPresetText(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& presets_text,
                    const std::string& group_name) {
    if (presets_text.empty()) {
        return 0;
    }
    LogFmt(&task, llInfo, "ParsePresets for %s:\n%s", group_name.c_str(),
           UnifyLineBreaks(presets_text).c_str());

    std::string text = UnifyLineBreaks(Trim(presets_text));
    ReplaceAll(text, "<CRLF>", "\n");

    const PresetSource source;
    for (const std::string& line : SplitLines(text)) {
        if (const int result = ApplyPresetLine(task, ctx, line, source); result < 0) {
            return result;
        }
    }
    return 0;
}

int ApplyPresetFile(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& option_name,
                    const std::string& path) {
    if (option_name.empty() ||
        std::string_view("afsv").find(option_name.front()) == std::string_view::npos) {
        task.RaiseError("Preset option \"" + option_name +
                        "\" is not one of apre, fpre, spre, vpre");
    }
    if (ctx == nullptr) {
        task.RaiseError("Preset option \"" + option_name + "\" needs the file's options");
    }

    std::error_code error;
    const std::filesystem::path file_path(path);
    if (path.empty() || !std::filesystem::is_regular_file(file_path, error)) {
        const std::string message = "Preset file \"" + path + "\" not found";
        Log(&task, llError, message);
        SetPendingErrorText(message);
        return AVERROR(EINVAL);
    }
    std::ifstream file(file_path, std::ios::binary);
    if (!file) {
        const int code = AVERROR(errno != 0 ? errno : EIO);
        const std::string message = "Cannot read file \"" + path + "\"";
        Log(&task, llError, message);
        SetPendingErrorText(message);
        return code;
    }

    LogFmt(&task, llInfo, "Parse preset file: %s", path.c_str());
    const PresetSource source{path + ": ", file_path.filename().string() + ": "};
    std::string line;
    while (std::getline(file, line)) {
        if (const int result = ApplyPresetLine(task, *ctx, line, source); result < 0) {
            return result;
        }
    }
    if (file.bad()) {
        const std::string message = "Error while reading file \"" + path + "\"";
        Log(&task, llError, message);
        SetPendingErrorText(message);
        return AVERROR(EIO);
    }
    return 0;
}

namespace {

// Starts the parser's pending codec, format and audio-resampler sets empty
// for one option, so that exactly what it stores can be moved into the
// file's group; on leaving, what it stored is freed and the sets come back.
class PendingSetsAside {
public:
    explicit PendingSetsAside(TFFOptions& options)
        : options_(options),
          codec_(std::move(options.codec_opts)),
          format_(std::move(options.format_opts)),
          swr_(std::move(options.swr_opts)) {}
    // Moving the saved sets back frees what the option stored.
    ~PendingSetsAside() {
        options_.codec_opts = std::move(codec_);
        options_.format_opts = std::move(format_);
        options_.swr_opts = std::move(swr_);
    }
    PendingSetsAside(const PendingSetsAside&) = delete;
    PendingSetsAside& operator=(const PendingSetsAside&) = delete;

private:
    TFFOptions& options_;
    Dictionary codec_;
    Dictionary format_;
    Dictionary swr_;
};

}  // namespace

int OptDefaultForFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& name,
                      const std::string& value) {
    TFFOptions& options = task.Options();
    const PendingSetsAside aside(options);
    const int result = options.OptDefault(name, value);

    const bool stored_elsewhere = options.codec_opts.Get() != nullptr ||
                                  options.format_opts.Get() != nullptr ||
                                  options.swr_opts.Get() != nullptr;
    OptionGroup* group = ctx.group;
    if (group != nullptr) {
        ff.av_dict_copy(group->codec_opts.Address(), options.codec_opts.Get(), 0);
        ff.av_dict_copy(group->format_opts.Address(), options.format_opts.Get(), 0);
        ff.av_dict_copy(group->swr_opts.Address(), options.swr_opts.Get(), 0);
        // A scaler option: the file's own scaler settings take it as well.
        if (result >= 0 && !stored_elsewhere && group->sws_opts != nullptr) {
            ff.av_opt_set(group->sws_opts.get(), name.c_str(), value.c_str(), 0);
        }
    }
    return result;
}

namespace {

// Presets are applied before the file's own options so that the options text
// overrides them. Table options get that from their order of application;
// library options of the options text already sit in the file's group when
// the presets run, so they are put back over whatever a preset line stored.
int ApplyPresetTextUnderOptions(TCustomFFmpegOpt& task, OptionsContext& ctx,
                                const std::string& presets_text, const std::string& group_name) {
    OptionGroup* group = ctx.group;
    if (presets_text.empty() || group == nullptr) {
        return ApplyPresetText(task, ctx, presets_text, group_name);
    }
    Dictionary own_codec;
    Dictionary own_format;
    ff.av_dict_copy(own_codec.Address(), group->codec_opts.Get(), 0);
    ff.av_dict_copy(own_format.Address(), group->format_opts.Get(), 0);
    const int result = ApplyPresetText(task, ctx, presets_text, group_name);
    ff.av_dict_copy(group->codec_opts.Address(), own_codec.Get(), 0);
    ff.av_dict_copy(group->format_opts.Address(), own_format.Get(), 0);
    return result;
}

// Writes the options of one group. A strict task stops at the first
// failure; a non-strict one logs each failure and skips only that option, so
// that the rest of the file's options still apply.
int ApplyGroup(TCustomFFmpegOpt& task, OptionsContext* ctx, const OptionGroup& group,
               const std::string& group_name) {
    if (task.StrictOptions) {
        return ApplyOptionGroup(ctx, group, group_name);
    }
    LogFmt(&task, llDebug, "Parsing a group of options: %s.\n", group_name.c_str());
    for (const ParsedOption& option : group.options) {
        LogFmt(&task, llDebug, "Applying option %s (%s) with argument %s.\n", option.key.c_str(),
               option.entry->help.c_str(), option.value.c_str());
        const int result = WriteOption(ctx, option.entry, option.key, option.value);
        if (result < 0) {
            Log(&task, llFatal, ErrorText(result));
        }
    }
    LogFmt(&task, llDebug, "Successfully parsed a group of options.\n");
    return 0;
}

// A negative -t would give an empty file and a negative -to an ignored
// one: both are refused like values that do not convert.
void RefuseNegativeTimeLimits(const OptionsContext& ctx) {
    const auto refuse = [](const char* option, std::int64_t microseconds, const char* what) {
        throw FFmpegException(StringPrintf("The value for -%s (%g s) is out of range: %s", option,
                                           static_cast<double>(microseconds) / 1e6, what));
    };
    if (ctx.recording_time < 0) {
        refuse("t", ctx.recording_time, "a duration cannot be negative");
    }
    if (ctx.stop_time < 0) {
        refuse("to", ctx.stop_time, "a stop time cannot be negative");
    }
}

}  // namespace

int ParseFileOptions(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& options_text,
                     const std::string& group_name, const std::string& presets_text) {
    const OptionEntry* table = OptionTableOf(task);
    TFFOptions& options = task.Options();
    int result = 0;
    try {
        if (!options_text.empty()) {
            LogFmt(&task, llInfo, "ParseOptions for %s: %s", group_name.c_str(),
                   options_text.c_str());
            const std::vector<std::string> tokens = TokenizeOptions(options_text);
            ApplyLogLevelFirst(tokens, table);
            ClearPendingErrorText();
            result = options.SplitOptions(&ctx, task.StrictOptions, group_name, table, tokens);
            if (result >= 0 && !options.global_group.options.empty()) {
                result = ApplyGroup(task, nullptr, options.global_group, "global");
            }
            if (result >= 0) {
                result = ApplyPresetTextUnderOptions(task, ctx, presets_text, group_name);
            }
            if (result >= 0 && !options.current_group.options.empty()) {
                result = ApplyGroup(task, &ctx, options.current_group, group_name);
            }
        } else {
            result = ApplyPresetText(task, ctx, presets_text, group_name);
        }
        RefuseNegativeTimeLimits(ctx);
    } catch (const FFmpegException& error) {
        // Raised errors leave at once in both modes; fatal handlers have
        // already recorded theirs, the value parsers have not.
        if (task.LastError != error.what()) {
            Log(&task, llFatal, error.what());
            task.LastError = error.what();
        }
        throw;
    }

    if (result < 0) {
        const std::string message = ErrorText(result);
        Log(&task, llFatal, message);
        if (task.StrictOptions) {
            const std::string pending = PendingErrorText();
            task.LastError = pending.empty() ? message : pending + "\n" + message;
        }
    }
    return task.StrictOptions ? result : 0;
}

const SpecifierValue* MatchPerStreamOption(TCustomFFmpegOpt& task, AVFormatContext* format_ctx,
                                           AVStream* stream, const SpecifierList& list) {
    const SpecifierValue* match = nullptr;
    for (const SpecifierValue& occurrence : list) {
        const int checked = CheckStreamSpecifier(format_ctx, stream, occurrence.specifier.c_str());
        if (checked > 0) {
            match = &occurrence;
        } else if (checked < 0) {
            task.RaiseError(ErrorText("check_stream_specifier", checked));
        }
    }
    return match;
}

const std::string* MatchPerTypeOption(const SpecifierList& list, const std::string& type_letter) {
    const std::string* match = nullptr;
    for (const SpecifierValue& occurrence : list) {
        if (occurrence.specifier == type_letter) {
            match = &occurrence.str;
        }
    }
    return match;
}

}  // namespace tavrin

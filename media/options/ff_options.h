// The generic option parser: splits a token vector into option groups,
// applies a group to a file's options context and hands the options that no
// table row knows to the libraries' own option systems (codec, format,
// scaler, audio resampler).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "media/common/ff_handles.h"
#include "media/options/option_entry.h"
#include "media/runtime/ff_headers.h"

namespace tavrin {

// The options collected for one file (or the global ones).
struct OptionGroup {
    std::vector<ParsedOption> options;
    Dictionary codec_opts;
    Dictionary format_opts;
    Dictionary resample_opts;
    ScalerPtr sws_opts;  // holds and validates scaler options only
    Dictionary swr_opts;

    // Frees the parsed options, the dictionaries and the scaler context.
    void Free();
};

class TFFOptions {
public:
    // FreeOptions, then a fresh pending scaler context (16x16 yuv420p to
    // 16x16 yuv420p with sws_flags).
    void InitOptions();
    // Frees the pending scaler context and the four pending dictionaries.
    void FreeOptions();
    // FreeGroups, both groups cleared, InitOptions.
    void ResetGroups();
    // Frees both groups' content, then FreeOptions.
    void FreeGroups();
    // Moves the pending option sets into the current group (which must not
    // hold any: FFmpegException otherwise) and starts fresh pending sets.
    void FinishGroup();
    // Appends to the global group for a global row, else to the current group.
    void AddOption(const OptionEntry* entry, const std::string& value, const std::string& key);

    // Offers name=value to the codec, format, scaler and audio-resampler
    // option systems, in that order. 0 when one took it,
    // AVERROR_OPTION_NOT_FOUND when none knows the name, another negative
    // code (pending error text set) when the value was rejected.
    int OptDefault(const std::string& name, const std::string& value);

    // Walks the tokens once, adding table options to the groups and offering
    // unknown ones to OptDefault; ends with FinishGroup. 0 or a negative code.
    int SplitOptions(OptionsContext* ctx, bool strict, const std::string& group_name,
                     const OptionEntry* table, std::span<const std::string> tokens);

    // Scaler flags used for the pending scaler context (SWS_BICUBIC).
    int sws_flags = SWS_BICUBIC;
    // Pending option sets, filled by OptDefault until FinishGroup.
    ScalerPtr sws_opts;
    Dictionary swr_opts;
    Dictionary format_opts;
    Dictionary codec_opts;
    Dictionary resample_opts;
    // Options without PerFile/Offset/Spec, and those of the file being parsed.
    OptionGroup global_group;
    OptionGroup current_group;
};

// The row whose name equals `name` up to its first ":" (the whole name when
// there is none), else the terminating row.
const OptionEntry* FindOption(const OptionEntry* table, std::string_view name);

// Looks `name` up (also as a "no" form of a Bool row) and writes it. 1 when
// the option consumed its argument, 0 when not, negative on error (pending
// error text set). A missing value is std::nullopt.
int ParseOption(OptionsContext* ctx, const std::string& name,
                const std::optional<std::string>& value, const OptionEntry* table);

// Stores `value` where the row points, or runs its handler. 0 or the
// handler's negative code. Conversion errors raise FFmpegException.
int WriteOption(OptionsContext* ctx, const OptionEntry* entry, const std::string& name,
                const std::string& value);

// Writes every parsed option of the group in order; the first negative result
// is returned at once.
int ApplyOptionGroup(OptionsContext* ctx, const OptionGroup& group, const std::string& group_name);

// Index of the token that names option `name`, or -1.
int LocateOption(std::span<const std::string> tokens, const OptionEntry* table,
                 std::string_view name);

// Applies "-loglevel" (else "-v") before anything else is parsed.
void ApplyLogLevelFirst(std::span<const std::string> tokens, const OptionEntry* table);

// Sets the logger's level from a level name ("quiet" ... "debug") or a
// library level number. 0, or -22 with the pending error text set.
int OptLogLevel(const std::string& name, const std::string& value);

}  // namespace tavrin

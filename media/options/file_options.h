// Parsing the two texts that describe one file of a task (its options text
// and its presets text) into the file's options context and the task's
// global values, preset files, and the per-stream look-ups used when the
// file's streams are created.
#pragma once

#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

// Parses one file's texts; `group_name` is "input file" or "output file".
// Order: the options text is tokenised, a log level option applied first,
// the options split into the global and the file's group; then the global
// options, the presets text and the file's own options are applied, in that
// order. Returns 0 or a negative code. A strict task stops at the first
// failure, and its LastError receives the pending error text and the code's
// message; a non-strict task logs a failing option, skips it, applies the
// rest and always gets 0. Raised errors (value conversions, fatal handlers)
// leave at once in both modes, with LastError set.
int ParseFileOptions(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& options_text,
                     const std::string& group_name, const std::string& presets_text);

// Applies a presets text of key=value lines; line breaks and the marker
// "<CRLF>" separate lines, empty lines and lines starting with "#" are
// skipped. 0 or a negative code.
int ApplyPresetText(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& presets_text,
                    const std::string& group_name);

// The handler of "apre", "vpre", "spre" and "fpre": applies the key=value
// lines of the preset file at `path` as ApplyPresetText does. 0 or negative.
int ApplyPresetFile(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& option_name,
                    const std::string& path);

// OptDefault, with the codec and format options landing in the file's group.
int OptDefaultForFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& name,
                      const std::string& value);

// The last occurrence of `list` whose specifier matches the stream (an empty
// specifier matches every stream), or null when none does. An invalid
// specifier is raised as a fatal error of the task.
const SpecifierValue* MatchPerStreamOption(TCustomFFmpegOpt& task, AVFormatContext* format_ctx,
                                           AVStream* stream, const SpecifierList& list);

// The string value of the last occurrence whose specifier is exactly
// `type_letter` ("v", "a" or "s"), or null.
const std::string* MatchPerTypeOption(const SpecifierList& list, const std::string& type_letter);

}  // namespace tavrin

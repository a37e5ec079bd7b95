// The option table of a transcoding task: the 150 options of the option
// language the task understands, in look-up order (first row with a name
// wins), each writing into the file's options context, into a global value
// of the task, or running a handler.
#pragma once

#include <string>

#include "media/options/option_entry.h"
#include "media/options/transcode_context.h"

namespace tavrin {

// Number of rows of the table, its terminating empty row not counted.
inline constexpr int kOptionTableRows = 150;

// Fills the task's option table once; later calls return at once. Handler
// rows refer to the task, which owns the table.
void BuildOptionTable(TCustomFFmpegOpt& task);

// The table's first row, for FindOption, ParseOption and SplitOptions.
// Builds the table when that has not happened yet.
const OptionEntry* OptionTableOf(TCustomFFmpegOpt& task);

// ---------------------------------------------------------------------------
// Handlers with behaviour of their own: maps, targets, stream ids, time
// codes, channel layouts, the video sync method, progress output, complex
// filtergraphs, attachments, statistics files, library limits and the
// TimeStart/TimeLength options. The table routes those rows to the functions
// below (map_options.cpp, target_option.cpp, option_handlers.cpp).
//
// Every handler receives the task, the options context (null for global
// rows), the option name as written and its argument, and returns 0 or a
// negative code; fatal failures are raised with task.RaiseError.

int OptMaxAlloc(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                const std::string& arg);
int OptCpuFlags(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                const std::string& arg);
int OptMap(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
           const std::string& arg);
int OptMapChannel(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                  const std::string& arg);
int OptRecordingTimestamp(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                          const std::string& arg);
int OptProgress(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                const std::string& arg);
int OptTarget(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
              const std::string& arg);
int OptVideoSync(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                 const std::string& arg);
int OptFilterComplex(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                     const std::string& arg);
int OptAttach(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
              const std::string& arg);
int OptTimecode(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                const std::string& arg);
int OptDeinterlace(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                   const std::string& arg);
int OptVstats(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
              const std::string& arg);
int OptVstatsFile(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                  const std::string& arg);
int OptStreamId(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                const std::string& arg);
int OptChannelLayout(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                     const std::string& arg);
// TimeStart / timestart and TimeLength / timelength.
int OptTimeStart(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                 const std::string& arg);
int OptTimeLength(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                  const std::string& arg);

}  // namespace tavrin

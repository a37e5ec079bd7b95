// Pieces the option handlers share: running another option of the task's
// table, and the "returned" failure style (logged, left as the pending error
// text, a negative code).
#pragma once

#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

// Runs option `name` of the task's table with `value`, as if it had been
// written in the options text. 0 or the option's negative code.
int ForwardToOption(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                    const std::string& value);

// Logs `message` at `level` with the task as sender, makes it the pending
// error text and returns `code`.
int RefuseOption(const TCustomFFmpegOpt& task, TLogLevel level, int code,
                 const std::string& message);

}  // namespace tavrin

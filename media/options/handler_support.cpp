#include "media/options/handler_support.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "media/options/ff_options.h"
#include "media/options/option_table.h"
#include "media/options/value_parsers.h"

namespace tavrin {

int ForwardToOption(TCustomFFmpegOpt& task, OptionsContext* ctx, const std::string& name,
                    const std::string& value) {
    // ParseOption answers 1 when the option took its argument: a success.
    const int result = ParseOption(ctx, name, value, OptionTableOf(task));
    return result < 0 ? result : 0;
}

int RefuseOption(const TCustomFFmpegOpt& task, TLogLevel level, int code,
                 const std::string& message) {
    Log(&task, level, message);
    SetPendingErrorText(message);
    return code;
}

}  // namespace tavrin

// An output must never be one of its task's inputs: writing it would destroy
// what the task is reading (a song cut short, or a task that never ends as it
// reads what it writes). The check compares files, not names, so links and
// other spellings of a path count.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "media/options/transcode_context.h"

namespace tavrin {

// The path of the local file a media-library name stands for: the name
// itself, or the path after "file:" or after the unicode protocol's prefix
// (a name the locale cannot spell). Other URLs come back as they are.
std::string LocalPathOfMediaName(std::string_view media_name);

// The refusal text when the output file (a name as given to OpenOutputFile)
// is the same file as one of the task's inputs, naming both; nullopt when it
// is not, or is no regular file.
std::optional<std::string> OutputOverInputError(const TCustomFFmpegOpt& task,
                                                const std::string& output_name);

}  // namespace tavrin

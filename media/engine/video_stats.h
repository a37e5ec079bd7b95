// Per-frame video statistics of -vstats: one line per coded video picture
// with its quantiser, size, time, bit rates and picture type.
#pragma once

#include "media/options/transcode_context.h"

namespace tavrin {

// Appends the line of the picture `ost` just wrote (frame_size bytes) to the
// task's video statistics file, opening it on first use. Streams that are
// not video are ignored. Raises "fopen fail: " + name when the file cannot
// be created.
void write_video_stats(TCustomFFmpegOpt& task, OutputStream& ost, int frame_size);

}  // namespace tavrin

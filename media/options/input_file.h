// Opening the input files of a task: the file's options are parsed, the file
// opened and probed with the task's interrupt checks armed, the start seek
// done, and one InputStream per stream plus one InputFile appended.
#pragma once

#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

// Adds one input file to the task. `ctx` is initialised by the caller and
// released by it afterwards; `file_name` is UTF-8. Returns the new file's
// index (0 for the first), or a negative code with LastError set (unknown
// forced format -22, allocation -12, the library's code when the file cannot
// be opened or probed). Option value errors, unknown forced decoders and, in
// a strict task, unconsumed demuxer options are raised (FFmpegException); a
// raised or returned failure leaves no record of this file in the task.
int OpenInputFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& options_text,
                  const std::string& file_name, const std::string& presets_text);

// Creates the InputStream records of one opened file, in stream order. They
// get the index the file is about to receive (the current input file count).
void AddInputStreams(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* ic);

// The encoder or decoder called `name`, else the one registered for the codec
// descriptor of that name. Raises "Unknown encoder|decoder \"name\"" when
// there is none and "Invalid encoder|decoder type \"name\"" when its media
// type is not `type`.
const AVCodec* FindCodec(TCustomFFmpegOpt& task, const std::string& name, AVMediaType type,
                         bool encoder);

// The decoder forced with -c for the stream (which also sets the stream's
// codec id), else the one registered for the stream's codec id, or null.
const AVCodec* ChooseDecoder(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* ic,
                             AVStream* st);

// Gives an audio stream without a channel layout the default layout for its
// channel count, unless the count exceeds the stream's guess_layout_max.
// True when the stream has a layout afterwards.
bool GuessInputChannelLayout(TCustomFFmpegOpt& task, InputStream& ist);

// Writes the data of an attachment stream into `file_name` (empty: the
// stream's "filename" tag). Failures to write are logged only; a missing
// name is raised.
void DumpAttachment(TCustomFFmpegOpt& task, AVStream* st, const std::string& file_name);

// True when `file_name` may be written: -y without -n, a URL, or a file that
// does not exist. Otherwise LastError = "File \"...\" already exists. Ignore."
// (logged as a warning) and false.
bool CheckFileOverwrite(TCustomFFmpegOpt& task, const std::string& file_name);

// An entry left in `dict` is an option no library used: raised as
// "Option <key> not found." in a strict task, only kept in LastError (and
// logged as a warning) otherwise.
void CheckOptionsConsumed(TCustomFFmpegOpt& task, const AVDictionary* dict);

}  // namespace tavrin

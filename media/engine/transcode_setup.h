// Transcode setup: turns the streams, maps and filtergraphs the option layer
// described into a running pipeline. For every output stream it decides
// between stream copy and encoding, fills the output codec parameters,
// prepares two-pass log files and forced key frames, opens the encoders and
// decoders, sets the program discard levels, writes the container headers
// and logs the stream mapping.
#pragma once

#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

class TCustomFFmpeg;

// Runs once per task before the first packet is read. 0, or a negative code:
// -22 invalid arguments, -12 out of memory, -1 for the system's own
// failures, else the failing library call's code. On failure the text is
// either logged, or kept in LastError without logging; fatal failures raise
// FFmpegException. Nothing done before a failure is undone here (except the
// encoders when a decoder cannot be opened): the task's cleanup releases it.
int transcode_init(TCustomFFmpeg& task);

// Opens the decoder of input stream `index` when something consumes its
// decoded frames. 0, or a negative code with the message in `error`.
int open_input_decoder(TCustomFFmpegOpt& task, int index, std::string& error);

// The input stream that feeds `ost`; null when none does.
InputStream* get_source_stream(TCustomFFmpegOpt& task, const OutputStream& ost);

// Fills ost.forced_key_times / forced_key_count from a comma-separated list
// of times ("chapters[+offset]" adds one time per chapter of the output
// file), in `codec`'s time base, sorted. Raises on allocation failure.
void parse_key_frame_times(TCustomFFmpegOpt& task, const std::string& spec, OutputStream& ost,
                           AVCodecContext* codec);

void print_stream_mapping(TCustomFFmpegOpt& task);
void log_sdp(TCustomFFmpegOpt& task);

// Frees the encoder's pass-2 statistics and closes it; the stream is marked
// closed and leaves OpenedEncoders.
void close_output_encoder(TCustomFFmpegOpt& task, OutputStream& ost);

// Format of the two-pass statistics file name: prefix, then the output
// stream's position in the task.
std::string PassLogFileName(const std::string& prefix, int stream_index);

}  // namespace tavrin

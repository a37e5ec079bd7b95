// Creating the streams of an output file: the muxer stream, its OutputStream
// record, the encoder (or stream copy) and the per-stream options of the
// output's options context. Every failure here is raised in the fatal style
// (logged, kept in LastError, FFmpegException).
#pragma once

#include <cstdint>
#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

// The common part of the five operations below. `source_index` is an index
// into the task's input streams, or -1 for a stream fed by a filtergraph, a
// feed stream or an attachment. The record is appended to the task's output
// streams before the per-stream options are read, so a raised failure leaves
// it there for the task's cleanup.
OutputStream& NewOutputStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                              AVMediaType type, int source_index);

OutputStream& NewVideoStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                             int source_index);
OutputStream& NewAudioStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                             int source_index);
OutputStream& NewSubtitleStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                                int source_index);
OutputStream& NewDataStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                            int source_index);
OutputStream& NewAttachmentStream(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                                  int source_index);

// The encoder of the stream from -c (and its forms), "copy" for a stream
// copy, else the one registered for the codec the output format guesses.
void ChooseEncoder(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                   OutputStream& ost);

// Reads 64 comma-separated coefficients into `target` (64 entries); fewer
// values raise "Syntax error in matrix ...".
void ParseMatrixCoefficients(TCustomFFmpegOpt& task, std::uint16_t* target,
                             const std::string& text);

}  // namespace tavrin

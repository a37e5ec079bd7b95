// Decoding packets into the filtergraphs: the per-stream time predictions,
// the audio, video and subtitle decoders, rebuilding graphs when the decoded
// format changes, and the canvas that carries bitmap subtitles into video
// filters. The entry points the loop uses are declared in pipeline.h.
#pragma once

#include <cstdint>

#include "media/engine/pipeline.h"

namespace tavrin {

// Each sends `packet` (null drains) to the stream's decoder and pushes every
// frame it gives into the stream's filter inputs (subtitles go to their
// encoders). `got_output` tells whether anything came out. 0 or a negative
// code of the decoder.
int decode_audio_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet,
                        bool& got_output);
int decode_video_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet,
                        bool& got_output);
int decode_subtitle_packet(TCustomFFmpegOpt& task, InputStream& ist, const AVPacket* packet,
                           bool& got_output);

// Microseconds one video frame of `ist` lasts: the packet's duration when it
// has one, else one frame at the stream's frame rate, else 0.
std::int64_t VideoFrameDuration(const InputStream& ist, std::int64_t packet_duration);

// Draws the palette-indexed `rect` onto a 32-bit canvas of `canvas_width` x
// `canvas_height` pixels; false (nothing drawn) when it does not fit.
bool DrawSubtitleRect(std::uint8_t* canvas, int canvas_linesize, int canvas_width,
                      int canvas_height, const AVSubtitleRect& rect);

}  // namespace tavrin

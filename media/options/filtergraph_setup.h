// Building the filtergraphs between decoded input streams and encoders: the
// simple graphs (one input stream to one output stream) and the complex ones
// of -filter_complex, with the source, the helper filters that carry options
// given outside the graph (-s, -pix_fmt, -map_channel, -async, -vol, forced
// input rates) and the sink.
//
// Filter instances get names that are unique within their graph: a name that
// is already taken gets " #2", " #3", ... appended.
#pragma once

#include <optional>
#include <string>

#include "media/options/transcode_context.h"

namespace tavrin {

// A new, not yet built graph joining `ist` to `ost`, appended to the task.
FilterGraph& InitSimpleFilterGraph(TCustomFFmpegOpt& task, InputStream& ist, OutputStream& ost);

// Builds every graph that has not been built yet; 0 or the first failure.
int ConfigureComplexFilters(TCustomFFmpegOpt& task);

// Builds (or rebuilds) one graph; 0 or a negative code. The first build of a
// complex graph binds its inputs to input streams and keeps its outputs
// pending until InitOutputFilter gives them streams.
int ConfigureFilterGraph(TCustomFFmpegOpt& task, FilterGraph& fg);

// Binds an unconnected graph input to an input stream (labelled "[1:v]" or
// the first unused stream of the pad's type). Raises on failure.
void InitInputFilter(TCustomFFmpegOpt& task, FilterGraph& fg, AVFilterInOut* in);

// Gives a pending complex-graph output its output stream and builds its
// output chain. Raises on failure; returns 0.
int InitOutputFilter(TCustomFFmpegOpt& task, OutputFilter& ofilter, OptionsContext& ctx,
                     AVFormatContext* oc);

int ConfigureInputFilter(TCustomFFmpegOpt& task, FilterGraph& fg, InputFilter& ifilter,
                         AVFilterInOut* in);
int ConfigureOutputFilter(TCustomFFmpegOpt& task, FilterGraph& fg, OutputFilter& ofilter,
                          AVFilterInOut* out);

// The pad's filter name, plus ":" and the pad name when the filter has more
// than one pad on that side.
std::string DescribeFilterLink(const AVFilterInOut* pad, bool is_input);

// The canvas for drawing bitmap subtitles as video; 0 or -12.
int PrepareSub2Video(TCustomFFmpegOpt& task, InputStream& ist);

// Format lists for the helper filters in front of the sink, in the list
// syntax of the "format" and "aformat" filters (names separated by "|");
// nullopt when nothing constrains the choice.
std::optional<std::string> ChoosePixelFormats(OutputStream& ost);
std::optional<std::string> ChooseSampleFormats(const OutputStream& ost);
std::optional<std::string> ChooseSampleRates(const OutputStream& ost);
std::optional<std::string> ChooseChannelLayouts(const OutputStream& ost);

// `format` when the encoder takes it (or lists nothing), else the closest
// format the encoder takes, with a warning when `format` was set.
AVPixelFormat ChoosePixelFormat(const AVCodecContext* codec_ctx, const AVCodec* encoder,
                                AVPixelFormat format);
// Replaces a sample format the encoder does not take by its first one.
void ChooseSampleFormat(AVCodecContext* codec_ctx, const AVCodec* encoder);

}  // namespace tavrin

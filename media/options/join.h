// Joining the inputs of a task one after another into its single output.
//
// The first output file and its streams are built from input 0. For every
// further input k, AddJoinedInput appends one group: a clone of each output
// stream of the first file, fed from input k, and a clone of the output file.
// Group k holds the output streams k * JoinStreamCount to
// k * JoinStreamCount + JoinStreamCount - 1 and output file k; every group has
// the same media types in the same order.
//
// Sharing: the clones share the muxer stream, the encoder, the output filter
// and the sync/feed bookkeeping pointers of their first-group stream, which
// alone owns the codec context, the bitstream filter chain, the pass log file
// and the filtered frame. A clone's owning members are therefore empty; use
// JoinOwnerOf() to reach them. A cloned OutputFile holds no format context;
// OutputContextOf() gives the one the first output file owns.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "media/options/transcode_context.h"

namespace tavrin {

// Appends one group per input after the first and sets TotalDuration.
// 0, or -1 with LastError after releasing the whole output (streams of every
// group, output files, the format context and an empty written file),
// clearing Joined and JoinStreamCount.
int SetupJoin(TCustomFFmpegOpt& task, OptionsContext& ctx);

// Appends the group of input `input_index`; the new output file's index, or
// -1 with LastError ("Cannot join files with diffrent steams state", ...).
int AddJoinedInput(TCustomFFmpegOpt& task, OptionsContext& ctx, int input_index);

// The sum of the durations of the inputs that report one, -1 when it is 0.
std::int64_t JoinedDuration(const TCustomFFmpegOpt& task);

// The first-group stream that owns what output stream `index` shares (the
// stream itself outside a join).
OutputStream& JoinOwnerOf(TCustomFFmpegOpt& task, std::size_t index);
// How many output streams own a codec context and a muxer stream: the first
// group in a join, every stream otherwise.
std::size_t OwningStreamCount(const TCustomFFmpegOpt& task);
// The output streams [first, end) of group `group` (every stream outside a
// join); both ends are clamped to the streams that exist.
std::pair<std::size_t, std::size_t> JoinGroupStreams(const TCustomFFmpegOpt& task,
                                                     std::size_t group);

// The format context of output file `file_index` (the first file's for a
// joined clone).
AVFormatContext* OutputContextOf(TCustomFFmpegOpt& task, std::size_t file_index);

// Streams of a server feed. The feed format does not exist in this library
// generation: the answer is always AVERROR_DEMUXER_NOT_FOUND, logged.
int ReadFeedStreams(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                    const std::string& feed_name);

}  // namespace tavrin

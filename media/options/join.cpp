#include "media/options/join.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "media/options/output_file.h"
#include "media/runtime/logger.h"
#include "media/runtime/media_file_name.h"

namespace tavrin {

namespace {

void CopyDictionary(Dictionary& target, const Dictionary& source) {
    if (source.Get() != nullptr) {
        ff.av_dict_copy(target.Address(), source.Get(), 0);
    }
}

// A clone of `source` for the group whose output file gets `file_index`;
// see join.h for what it shares and what stays with `source`.
std::unique_ptr<OutputStream> CloneOutputStream(const OutputStream& source, int file_index) {
    auto clone = std::make_unique<OutputStream>();
    clone->file_index = file_index;
    clone->index = source.index;
    clone->source_index = -1;
    clone->stream = source.stream;
    clone->needs_encoding = source.needs_encoding;
    clone->frame_number = source.frame_number;
    clone->sync_stream = source.sync_stream;
    clone->output_counter = source.output_counter;
    clone->first_pts = source.first_pts;
    clone->encoder = source.encoder;
    clone->max_frames = source.max_frames;
    clone->frame_rate = source.frame_rate;
    clone->force_fps = source.force_fps;
    clone->top_field_first = source.top_field_first;
    clone->frame_aspect_ratio = source.frame_aspect_ratio;
    clone->forced_key_times = source.forced_key_times;
    clone->forced_key_count = source.forced_key_count;
    clone->forced_key_index = source.forced_key_index;
    clone->forced_key_spec = source.forced_key_spec;
    clone->forced_key_expr_values = source.forced_key_expr_values;
    clone->channel_map = source.channel_map;
    clone->channel_map_count = source.channel_map_count;
    clone->pass_log_prefix = source.pass_log_prefix;
    clone->filter = source.filter;
    clone->filter_desc = source.filter_desc;
    clone->sws_flags = source.sws_flags;
    CopyDictionary(clone->encoder_options, source.encoder_options);
    CopyDictionary(clone->audio_resampler_options, source.audio_resampler_options);
    CopyDictionary(clone->resample_options, source.resample_options);
    clone->finished = source.finished;
    clone->unavailable = source.unavailable;
    clone->stream_copy = source.stream_copy;
    clone->attachment_filename = source.attachment_filename;
    clone->copy_initial_nonkeyframes = source.copy_initial_nonkeyframes;
    clone->copy_before_start = source.copy_before_start;
    clone->keep_pixel_format = source.keep_pixel_format;
    clone->saved_codec_id = source.saved_codec_id;
    clone->join_done = source.join_done;
    clone->flushed = source.flushed;
    clone->last_pts = source.last_pts;
    clone->last_dts = source.last_dts;
    clone->encoder_opened = source.encoder_opened;
    clone->encoder_closed = source.encoder_closed;
    return clone;
}

AVMediaType StreamType(const OutputStream& ost) {
    return ost.stream->codecpar->codec_type;
}

// Gives the first clone of `type` without a source the input stream `source`.
void FeedFirstClone(TCustomFFmpegOpt& task, std::size_t group_start, AVMediaType type, int source,
                    InputStream* sync) {
    for (std::size_t i = group_start; i < task.output_streams.size(); ++i) {
        OutputStream& clone = *task.output_streams[i];
        if (clone.source_index < 0 && StreamType(clone) == type) {
            InputStream& ist = *task.input_streams[static_cast<std::size_t>(source)];
            clone.source_index = source;
            clone.sync_stream = sync != nullptr ? sync : &ist;
            ist.discard = 0;
            ist.stream->discard = AVDISCARD_DEFAULT;
            return;
        }
    }
}

// Releases everything the output has: streams of every group, output files,
// the written file when empty, the format context.
void ReleaseJoinedOutput(TCustomFFmpegOpt& task) {
    OutputFormatContextPtr context;
    std::string file_name;
    if (!task.output_files.empty()) {
        context = std::move(task.output_files.front()->ctx);
        if (context && context->url != nullptr) {
            file_name = FromMediaFileName(context->url);
        }
    }
    RemoveOutputStreams(task, 0);
    task.output_files.clear();
    DiscardOutputContext(std::move(context), file_name, true);
    task.Joined = false;
    task.JoinStreamCount = 0;
}

}  // namespace

int AddJoinedInput(TCustomFFmpegOpt& task, OptionsContext& ctx, int input_index) {
    const int count = task.JoinStreamCount;
    const int file_index = static_cast<int>(task.output_files.size());
    const std::size_t group_start = task.output_streams.size();
    const InputFile& input = *task.input_files[static_cast<std::size_t>(input_index)];
    const OutputFile& first_file = *task.output_files[0];

    try {
        for (int i = 0; i < count; ++i) {
            const OutputStream& source =
                *task.output_streams[static_cast<std::size_t>(first_file.first_stream + i)];
            task.output_streams.push_back(CloneOutputStream(source, file_index));
        }
    } catch (const std::bad_alloc&) {
        return task.ReturnError(-1, "av_mallocz() failed");
    }

    AVFormatContext* oc = first_file.ctx.get();
    if (!ctx.stream_maps.empty()) {
        for (const StreamMap& map : ctx.stream_maps) {
            if (map.disabled != 0 || !map.link_label.empty() || map.file_index != input_index ||
                map.stream_index < 0 || map.stream_index >= input.stream_count) {
                continue;
            }
            const int source = input.first_stream + map.stream_index;
            const AVMediaType type =
                task.input_streams[static_cast<std::size_t>(source)]->stream->codecpar->codec_type;
            if (TypeDisabled(ctx, type)) {
                continue;
            }
            if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO &&
                type != AVMEDIA_TYPE_SUBTITLE && type != AVMEDIA_TYPE_DATA &&
                type != AVMEDIA_TYPE_ATTACHMENT) {
                char message[96];
                std::snprintf(message, sizeof(message),
                              "Cannot map stream #%d:%d - unsupported type.", map.file_index,
                              map.stream_index);
                return task.ReturnError(-1, message);
            }
            InputStream* sync = nullptr;
            if (map.sync_file_index >= 0 &&
                map.sync_file_index < static_cast<int>(task.input_files.size())) {
                const InputFile& sync_file =
                    *task.input_files[static_cast<std::size_t>(map.sync_file_index)];
                if (map.sync_stream_index >= 0 && map.sync_stream_index < sync_file.stream_count) {
                    sync = task.input_streams[static_cast<std::size_t>(sync_file.first_stream +
                                                                       map.sync_stream_index)]
                               .get();
                }
            }
            FeedFirstClone(task, group_start, type, source, sync);
        }
    } else {
        // Only the format's own subtitle codec opens the subtitle rule here.
        const AutomaticStreams chosen = ChooseAutomaticStreams(
            task, ctx, oc, input.first_stream, input.first_stream + input.stream_count, false);
        if (chosen.video >= 0) {
            FeedFirstClone(task, group_start, AVMEDIA_TYPE_VIDEO, chosen.video, nullptr);
        }
        if (chosen.audio >= 0) {
            FeedFirstClone(task, group_start, AVMEDIA_TYPE_AUDIO, chosen.audio, nullptr);
        }
        if (chosen.subtitle >= 0) {
            FeedFirstClone(task, group_start, AVMEDIA_TYPE_SUBTITLE, chosen.subtitle, nullptr);
        }
    }

    for (std::size_t i = group_start; i < task.output_streams.size(); ++i) {
        if (task.output_streams[i]->source_index < 0) {
            return task.ReturnError(-1, "Cannot join files with diffrent steams state");
        }
    }

    try {
        auto clone = std::make_unique<OutputFile>();
        CopyDictionary(clone->muxer_options, first_file.muxer_options);
        clone->first_stream = static_cast<std::int32_t>(task.output_streams.size()) - count;
        clone->recording_time = first_file.recording_time;
        clone->start_time = first_file.start_time;
        clone->size_limit = first_file.size_limit;
        clone->shortest = first_file.shortest;
        task.output_files.push_back(std::move(clone));
    } catch (const std::bad_alloc&) {
        return task.ReturnError(-1, "av_mallocz() failed");
    }
    return file_index;
}

int SetupJoin(TCustomFFmpegOpt& task, OptionsContext& ctx) {
    if (task.output_files.empty() || !task.output_files[0]->ctx) {
        return task.ReturnError(-1, "Cannot join files with diffrent steams state");
    }
    task.JoinStreamCount = static_cast<std::int32_t>(task.output_files[0]->ctx->nb_streams);
    for (std::size_t k = 1; k < task.input_files.size(); ++k) {
        if (AddJoinedInput(task, ctx, static_cast<int>(k)) < 0) {
            const std::string message = task.LastError;
            ReleaseJoinedOutput(task);
            task.LastError = message;
            return -1;
        }
    }
    task.TotalDuration = JoinedDuration(task);
    // A join cut by -t ends at the cut, not at the end of its inputs; without
    // this the progress of such a join would stop short of 100 %.
    if (ctx.recording_time != INT64_MAX &&
        (task.TotalDuration < 0 || ctx.recording_time < task.TotalDuration)) {
        task.TotalDuration = ctx.recording_time;
    }
    return 0;
}

std::int64_t JoinedDuration(const TCustomFFmpegOpt& task) {
    std::int64_t total = 0;
    for (const std::unique_ptr<InputFile>& file : task.input_files) {
        if (file->ctx && file->ctx->duration != AV_NOPTS_VALUE && file->ctx->duration > 0) {
            total += file->ctx->duration;
        }
    }
    return total == 0 ? -1 : total;
}

namespace {

// Streams per group in a joined task, 0 when the task is not grouped.
std::size_t JoinGroupSize(const TCustomFFmpegOpt& task) {
    return task.Joined && task.JoinStreamCount > 0 ? static_cast<std::size_t>(task.JoinStreamCount)
                                                   : 0;
}

}  // namespace

OutputStream& JoinOwnerOf(TCustomFFmpegOpt& task, std::size_t index) {
    if (const std::size_t group_size = JoinGroupSize(task); group_size > 0) {
        index %= group_size;
    }
    return *task.output_streams.at(index);
}

std::size_t OwningStreamCount(const TCustomFFmpegOpt& task) {
    const std::size_t group_size = JoinGroupSize(task);
    return group_size > 0 ? std::min(task.output_streams.size(), group_size)
                          : task.output_streams.size();
}

std::pair<std::size_t, std::size_t> JoinGroupStreams(const TCustomFFmpegOpt& task,
                                                     std::size_t group) {
    const std::size_t count = task.output_streams.size();
    const std::size_t group_size = JoinGroupSize(task);
    if (group_size == 0) {
        return {0, count};
    }
    const std::size_t first = group * group_size;
    return {std::min(first, count), std::min(first + group_size, count)};
}

AVFormatContext* OutputContextOf(TCustomFFmpegOpt& task, std::size_t file_index) {
    const OutputFile& file = *task.output_files.at(file_index);
    if (file.ctx) {
        return file.ctx.get();
    }
    return task.output_files.empty() ? nullptr : task.output_files.front()->ctx.get();
}

int ReadFeedStreams(TCustomFFmpegOpt& task, OptionsContext& /*ctx*/, AVFormatContext* /*oc*/,
                    const std::string& feed_name) {
    LogFmt(&task, llError, "Cannot read the feed %s: the feed format is not available.",
           feed_name.c_str());
    return AVERROR_DEMUXER_NOT_FOUND;
}

}  // namespace tavrin

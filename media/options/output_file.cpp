#include "media/options/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "media/common/error_text.h"
#include "media/options/ff_options.h"
#include "media/options/file_options.h"
#include "media/options/filtergraph_setup.h"
#include "media/options/join.h"
#include "media/options/output_over_input.h"
#include "media/options/output_stream.h"
#include "media/options/stream_options.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/media_file_name.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

constexpr AVRational kMicroseconds{1, AV_TIME_BASE};

int Fail(TCustomFFmpegOpt& task, const std::string& message) {
    return task.ReturnError(-1, message);
}

OutputStream* NewStreamOfType(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                              AVMediaType type, int source_index) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO:
            return &NewVideoStream(task, ctx, oc, source_index);
        case AVMEDIA_TYPE_AUDIO:
            return &NewAudioStream(task, ctx, oc, source_index);
        case AVMEDIA_TYPE_SUBTITLE:
            return &NewSubtitleStream(task, ctx, oc, source_index);
        case AVMEDIA_TYPE_DATA:
            return &NewDataStream(task, ctx, oc, source_index);
        case AVMEDIA_TYPE_ATTACHMENT:
            return &NewAttachmentStream(task, ctx, oc, source_index);
        default:
            return nullptr;
    }
}

std::string WithoutBrackets(const std::string& label) {
    if (label.size() >= 2 && label.front() == '[' && label.back() == ']') {
        return label.substr(1, label.size() - 2);
    }
    return label;
}

// Step 6: unlabelled outputs of complex graphs get their streams first.
void CreateUnlabelledFilterOutputs(TCustomFFmpegOpt& task, OptionsContext& ctx,
                                   AVFormatContext* oc) {
    for (const std::unique_ptr<FilterGraph>& fg : task.filtergraphs) {
        for (const std::unique_ptr<OutputFilter>& ofilter : fg->outputs) {
            const AVFilterInOut* pending = ofilter->pending_output.get();
            if (ofilter->output_stream != nullptr || pending == nullptr ||
                pending->name != nullptr) {
                continue;
            }
            switch (ff.avfilter_pad_get_type(pending->filter_ctx->output_pads, pending->pad_idx)) {
                case AVMEDIA_TYPE_VIDEO:
                    ctx.video_disable = 1;
                    break;
                case AVMEDIA_TYPE_AUDIO:
                    ctx.audio_disable = 1;
                    break;
                case AVMEDIA_TYPE_SUBTITLE:
                    ctx.subtitle_disable = 1;
                    break;
                default:
                    break;
            }
            InitOutputFilter(task, *ofilter, ctx, oc);
        }
    }
}

int CreateMappedStreams(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                        bool join_mode) {
    for (const StreamMap& map : ctx.stream_maps) {
        if (map.disabled != 0) {
            continue;
        }
        if (!map.link_label.empty()) {
            const std::string label = WithoutBrackets(map.link_label);
            OutputFilter* found = nullptr;
            for (const std::unique_ptr<FilterGraph>& fg : task.filtergraphs) {
                for (const std::unique_ptr<OutputFilter>& ofilter : fg->outputs) {
                    const AVFilterInOut* pending = ofilter->pending_output.get();
                    if (found == nullptr && ofilter->output_stream == nullptr &&
                        pending != nullptr && pending->name != nullptr && label == pending->name) {
                        found = ofilter.get();
                    }
                }
            }
            if (found == nullptr) {
                return Fail(task, "Output with label \"" + label +
                                      "\" does not exist in any defined filter graph, or was "
                                      "already used elsewhere.");
            }
            InitOutputFilter(task, *found, ctx, oc);
            continue;
        }
        if (map.file_index < 0 || map.file_index >= static_cast<int>(task.input_files.size())) {
            return Fail(task, StringPrintf("Cannot map stream #%d:%d - unsupported type.",
                                           map.file_index, map.stream_index));
        }
        const InputFile& file = *task.input_files[static_cast<std::size_t>(map.file_index)];
        if (map.stream_index < 0 || map.stream_index >= file.stream_count) {
            return Fail(task, StringPrintf("Cannot map stream #%d:%d - unsupported type.",
                                           map.file_index, map.stream_index));
        }
        const int source = file.first_stream + map.stream_index;
        const InputStream& ist = *task.input_streams[static_cast<std::size_t>(source)];
        if (join_mode && ist.file_index != 0) {
            continue;
        }
        const AVMediaType type = ist.stream->codecpar->codec_type;
        if (TypeDisabled(ctx, type)) {
            continue;
        }
        if (NewStreamOfType(task, ctx, oc, type, source) == nullptr) {
            return Fail(task, StringPrintf("Cannot map stream #%d:%d - unsupported type.",
                                           map.file_index, map.stream_index));
        }
    }
    return 0;
}

void CreateAutomaticStreams(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                            bool join_mode) {
    int first = 0;
    int last = static_cast<int>(task.input_streams.size());
    if (join_mode) {
        first = task.input_files[0]->first_stream;
        last = first + task.input_files[0]->stream_count;
    }
    const bool subtitle_named = MatchPerTypeOption(ctx.codec_names, "s") != nullptr;
    const AutomaticStreams chosen =
        ChooseAutomaticStreams(task, ctx, oc, first, last, subtitle_named);
    if (chosen.video >= 0) {
        NewVideoStream(task, ctx, oc, chosen.video);
    }
    if (chosen.audio >= 0) {
        NewAudioStream(task, ctx, oc, chosen.audio);
    }
    if (chosen.subtitle >= 0) {
        NewSubtitleStream(task, ctx, oc, chosen.subtitle);
    }
}

// The part of the path after its last "/", else after its last "\", else the path.
std::string AttachmentName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        slash = path.rfind('\\');
    }
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int AddAttachments(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc) {
    for (const std::string& path : ctx.attachments) {
        task.ArmReadTimer();
        AVIOContext* raw = nullptr;
        const AVIOInterruptCB interrupt = task.InputInterrupt();
        const std::string media_name = ToMediaFileName(path);
        if (ff.avio_open2(&raw, media_name.c_str(), AVIO_FLAG_READ, &interrupt, nullptr) < 0) {
            return Fail(task, StringPrintf("Could not open attachment file %s.", path.c_str()));
        }
        const IOContextPtr io(raw);
        const std::int64_t size = ff.avio_size(io.get());
        if (size <= 0) {
            return Fail(task,
                        StringPrintf("Could not get size of the attachment %s.", path.c_str()));
        }
        std::uint8_t* data = nullptr;
        if (size < INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) {
            data = static_cast<std::uint8_t*>(
                ff.av_mallocz(static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
        }
        if (data == nullptr) {
            return Fail(task,
                        StringPrintf("Attachment %s too large to fit into memory.", path.c_str()));
        }
        task.ArmReadTimer();
        const int read = ff.avio_read(io.get(), data, static_cast<int>(size));
        if (read != static_cast<int>(size)) {
            ff.av_free(data);
            return Fail(task, StringPrintf("Could not read the attachment %s.", path.c_str()));
        }

        OutputStream& ost = NewAttachmentStream(task, ctx, oc, -1);
        ost.stream_copy = 0;
        ost.attachment_filename = path;
        ost.finished = 1;
        ost.codec_ctx->extradata = data;
        ost.codec_ctx->extradata_size = static_cast<int>(size);
        ff.av_dict_set(&ost.stream->metadata, "filename", AttachmentName(path).c_str(),
                       AV_DICT_DONT_OVERWRITE);
    }
    return 0;
}

// Step 9: the "flags" codec option also reaches copied streams and attachments.
int ApplyCopyFlags(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc,
                   std::size_t first_stream) {
    const AVDictionaryEntry* flags =
        ctx.group != nullptr
            ? ff.av_dict_get(ctx.group->codec_opts.Get(), "flags", nullptr, AV_DICT_IGNORE_SUFFIX)
            : nullptr;
    if (flags == nullptr) {
        return 0;
    }
    const std::string key = flags->key;
    for (std::size_t i = first_stream; i < task.output_streams.size(); ++i) {
        OutputStream& ost = *task.output_streams[i];
        if (ost.stream_copy == 0 && ost.stream->codecpar->codec_type != AVMEDIA_TYPE_ATTACHMENT) {
            continue;
        }
        const bool applies =
            key == "flags" || (key.size() > 5 && key[5] == ':' &&
                               CheckStreamSpecifier(oc, ost.stream, key.c_str() + 6) != 0);
        if (applies && ff.av_opt_set(ost.codec_ctx.get(), "flags", flags->value, 0) < 0) {
            return Fail(task, "failed to set flags");
        }
    }
    return 0;
}

void ApplyTimeLimits(TCustomFFmpegOpt& task, OptionsContext& ctx) {
    if (ctx.stop_time != INT64_MAX && ctx.recording_time != INT64_MAX) {
        ctx.stop_time = INT64_MAX;
        Log(&task, llWarning, "-t and -to cannot be used together; using -t.");
    } else if (ctx.stop_time != INT64_MAX) {
        if (ctx.stop_time > ctx.start_time) {
            ctx.recording_time = ctx.stop_time - ctx.start_time;
        } else {
            ctx.stop_time = INT64_MAX;
            Log(&task, llWarning, "-to value smaller than -ss; ignoring -to.");
        }
    }
}

int ApplyMetadataMaps(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc) {
    for (const SpecifierValue& occurrence : ctx.metadata_map) {
        char* rest = nullptr;
        const long index = std::strtol(occurrence.str.c_str(), &rest, 0);
        const std::string in_spec = *rest != '\0' ? std::string(rest + 1) : std::string();
        if (index >= static_cast<long>(task.input_files.size())) {
            return Fail(task,
                        StringPrintf("Invalid input file index %d while processing metadata maps",
                                     static_cast<int>(index)));
        }
        AVFormatContext* ic =
            index >= 0 ? task.input_files[static_cast<std::size_t>(index)]->ctx.get() : nullptr;
        if (CopyMetadata(task, occurrence.specifier, in_spec, ctx, oc, ic) < 0) {
            return -1;
        }
    }
    return 0;
}

void CopyAutomaticMetadata(TCustomFFmpegOpt& task, const OptionsContext& ctx, AVFormatContext* oc,
                           std::size_t first_stream) {
    if (ctx.manual_global_metadata == 0 && !task.input_files.empty()) {
        ff.av_dict_copy(&oc->metadata, task.input_files[0]->ctx->metadata, AV_DICT_DONT_OVERWRITE);
        if (ctx.recording_time != INT64_MAX) {
            ff.av_dict_set(&oc->metadata, "duration", nullptr, 0);
        }
        ff.av_dict_set(&oc->metadata, "creation_time", nullptr, 0);
    }
    if (ctx.manual_stream_metadata == 0) {
        for (std::size_t i = first_stream; i < task.output_streams.size(); ++i) {
            OutputStream& ost = *task.output_streams[i];
            if (ost.source_index >= 0) {
                const InputStream& ist =
                    *task.input_streams[static_cast<std::size_t>(ost.source_index)];
                ff.av_dict_copy(&ost.stream->metadata, ist.stream->metadata,
                                AV_DICT_DONT_OVERWRITE);
            }
        }
    }
}

int ApplyMetadataOptions(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* oc) {
    for (const SpecifierValue& occurrence : ctx.metadata) {
        const std::size_t equals = occurrence.str.find('=');
        if (equals == std::string::npos) {
            return Fail(task, StringPrintf("No \"=\" character in metadata string %s.",
                                           occurrence.str.c_str()));
        }
        const std::string key = occurrence.str.substr(0, equals);
        const std::string value = occurrence.str.substr(equals + 1);
        const char* stored = value.empty() ? nullptr : value.c_str();
        MetaSpecifier spec;
        if (ParseMetaType(task, occurrence.specifier, spec) < 0) {
            return -1;
        }
        switch (spec.type) {
            case 's':
                for (unsigned i = 0; i < oc->nb_streams; ++i) {
                    const int match =
                        CheckStreamSpecifier(oc, oc->streams[i], spec.stream_spec.c_str());
                    if (match > 0) {
                        ff.av_dict_set(&oc->streams[i]->metadata, key.c_str(), stored, 0);
                    } else if (match < 0) {
                        return Fail(task, ErrorText("check_stream_specifier", match));
                    }
                }
                break;
            case 'g':
                ff.av_dict_set(&oc->metadata, key.c_str(), stored, 0);
                break;
            case 'c':
                if (spec.index < 0 || spec.index >= static_cast<int>(oc->nb_chapters)) {
                    return Fail(task,
                                StringPrintf("Invalid chapter index %d in metadata specifier.",
                                             spec.index));
                }
                ff.av_dict_set(&oc->chapters[spec.index]->metadata, key.c_str(), stored, 0);
                break;
            default:
                return Fail(task, StringPrintf("Invalid metadata specifier %s.",
                                               occurrence.specifier.c_str()));
        }
    }
    return 0;
}

// Source or target dictionary of a metadata copy; null with LastError set
// when the index is out of range.
AVDictionary** MetadataOf(TCustomFFmpegOpt& task, AVFormatContext* s, const MetaSpecifier& spec) {
    switch (spec.type) {
        case 'g':
            return &s->metadata;
        case 'c':
            if (spec.index < 0 || spec.index >= static_cast<int>(s->nb_chapters)) {
                Fail(task, StringPrintf("Invalid %s index %d while processing metadata maps.",
                                        "chapter", spec.index));
                return nullptr;
            }
            return &s->chapters[spec.index]->metadata;
        case 'p':
            if (spec.index < 0 || spec.index >= static_cast<int>(s->nb_programs)) {
                Fail(task, StringPrintf("Invalid %s index %d while processing metadata maps.",
                                        "program", spec.index));
                return nullptr;
            }
            return &s->programs[spec.index]->metadata;
        default:
            return nullptr;
    }
}

}  // namespace

bool TypeDisabled(const OptionsContext& ctx, AVMediaType type) {
    switch (type) {
        case AVMEDIA_TYPE_VIDEO:
            return ctx.video_disable != 0;
        case AVMEDIA_TYPE_AUDIO:
            return ctx.audio_disable != 0;
        case AVMEDIA_TYPE_SUBTITLE:
            return ctx.subtitle_disable != 0;
        case AVMEDIA_TYPE_DATA:
            return ctx.data_disable != 0;
        default:
            return false;
    }
}

// --- Metadata and chapters ----------------------------------------------------------

int ParseMetaType(TCustomFFmpegOpt& task, const std::string& spec, MetaSpecifier& result) {
    result = MetaSpecifier{};
    if (spec.empty()) {
        return 0;
    }
    result.type = spec[0];
    switch (spec[0]) {
        case 'g':
            return 0;
        case 'c':
        case 'p':
            if (spec.size() > 1 && spec[1] == ':') {
                result.index = static_cast<int>(std::strtol(spec.c_str() + 2, nullptr, 0));
            }
            return 0;
        case 's':
            if (spec.size() > 1 && spec[1] != ':') {
                const std::string message = "Invalid metadata specifier " + spec.substr(1) + ".";
                task.ReturnError(-1, message);
                return -1;
            }
            result.stream_spec = spec.size() > 1 ? spec.substr(2) : std::string();
            return 0;
        default:
            task.ReturnError(-1, "Invalid metadata type " + spec.substr(0, 1) + ".");
            return -1;
    }
}

int CopyMetadata(TCustomFFmpegOpt& task, const std::string& out_spec, const std::string& in_spec,
                 OptionsContext& ctx, AVFormatContext* oc, AVFormatContext* ic) {
    MetaSpecifier out;
    MetaSpecifier in;
    if (ParseMetaType(task, out_spec, out) < 0 || ParseMetaType(task, in_spec, in) < 0) {
        return -1;
    }
    if (ic == nullptr) {
        if (out.type == 'g' || out_spec.empty()) {
            ctx.manual_global_metadata = 1;
        }
        if (out.type == 's' || out_spec.empty()) {
            ctx.manual_stream_metadata = 1;
        }
        if (out.type == 'c' || out_spec.empty()) {
            ctx.manual_chapter_metadata = 1;
        }
        return 0;
    }
    if (in.type == 'g' || out.type == 'g') {
        ctx.manual_global_metadata = 1;
    }
    if (in.type == 's' || out.type == 's') {
        ctx.manual_stream_metadata = 1;
    }
    if (in.type == 'c' || out.type == 'c') {
        ctx.manual_chapter_metadata = 1;
    }

    AVDictionary** source = nullptr;
    if (in.type == 's') {
        for (unsigned i = 0; i < ic->nb_streams && source == nullptr; ++i) {
            const int match = CheckStreamSpecifier(ic, ic->streams[i], in.stream_spec.c_str());
            if (match > 0) {
                source = &ic->streams[i]->metadata;
            } else if (match < 0) {
                return task.ReturnError(match, ErrorText("check_stream_specifier", match));
            }
        }
        if (source == nullptr) {
            return Fail(task, StringPrintf("Stream specifier %s does not match  any streams.",
                                           in.stream_spec.c_str()));
        }
    } else {
        source = MetadataOf(task, ic, in);
        if (source == nullptr) {
            return -1;
        }
    }

    if (out.type == 's') {
        for (unsigned i = 0; i < oc->nb_streams; ++i) {
            const int match = CheckStreamSpecifier(oc, oc->streams[i], out.stream_spec.c_str());
            if (match > 0) {
                ff.av_dict_copy(&oc->streams[i]->metadata, *source, AV_DICT_DONT_OVERWRITE);
            } else if (match < 0) {
                return task.ReturnError(match, ErrorText("check_stream_specifier", match));
            }
        }
        return 0;
    }
    AVDictionary** target = MetadataOf(task, oc, out);
    if (target == nullptr) {
        return -1;
    }
    ff.av_dict_copy(target, *source, AV_DICT_DONT_OVERWRITE);
    return 0;
}

int CopyChapters(const InputFile& input, OutputFile& output, AVFormatContext* oc,
                 bool copy_metadata) {
    const AVFormatContext* is = input.ctx.get();
    if (is == nullptr || is->nb_chapters == 0) {
        return 0;
    }
    const std::size_t capacity = static_cast<std::size_t>(oc->nb_chapters) + is->nb_chapters;
    void* grown = ff.av_realloc(oc->chapters, capacity * sizeof(AVChapter*));
    if (grown == nullptr) {
        return AVERROR(ENOMEM);
    }
    oc->chapters = static_cast<AVChapter**>(grown);

    const std::int64_t ts_off = output.start_time - input.ts_offset;
    for (unsigned i = 0; i < is->nb_chapters; ++i) {
        const AVChapter* in_ch = is->chapters[i];
        const std::int64_t start = ff.av_rescale_q(ts_off, kMicroseconds, in_ch->time_base);
        const std::int64_t rt =
            output.recording_time == INT64_MAX
                ? INT64_MAX
                : ff.av_rescale_q(output.recording_time, kMicroseconds, in_ch->time_base);
        if (in_ch->end < start) {
            continue;
        }
        if (rt != INT64_MAX && in_ch->start > rt + start) {
            break;
        }
        auto* out_ch = static_cast<AVChapter*>(ff.av_mallocz(sizeof(AVChapter)));
        if (out_ch == nullptr) {
            return AVERROR(ENOMEM);
        }
        out_ch->id = in_ch->id;
        out_ch->time_base = in_ch->time_base;
        out_ch->start = std::max<std::int64_t>(0, in_ch->start - start);
        out_ch->end = std::min(rt, in_ch->end - start);
        if (copy_metadata) {
            ff.av_dict_copy(&out_ch->metadata, in_ch->metadata, 0);
        }
        oc->chapters[oc->nb_chapters++] = out_ch;
    }
    return 0;
}

// --- Stream selection ---------------------------------------------------------------

AutomaticStreams ChooseAutomaticStreams(const TCustomFFmpegOpt& task, const OptionsContext& ctx,
                                        const AVFormatContext* oc, int first, int last,
                                        bool subtitle_codec_given) {
    AutomaticStreams chosen;
    const AVOutputFormat* format = oc->oformat;
    if (ctx.video_disable == 0 && format->video_codec != AV_CODEC_ID_NONE) {
        const bool takes_attached_pictures =
            ff.avformat_query_codec(format, format->video_codec, 0) ==
            static_cast<int>(MKTAG('A', 'P', 'I', 'C'));
        std::int64_t best_area = 0;
        for (int i = first; i < last; ++i) {
            const AVStream* st = task.input_streams[static_cast<std::size_t>(i)]->stream;
            if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) {
                continue;
            }
            const bool attached = (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
            std::int64_t area =
                static_cast<std::int64_t>(st->codecpar->width) * st->codecpar->height;
            if (attached) {
                area = 1;
            }
            if (takes_attached_pictures && !attached) {
                area = 0;
            }
            if (area > best_area) {
                best_area = area;
                chosen.video = i;
            }
        }
    }
    if (ctx.audio_disable == 0 && format->audio_codec != AV_CODEC_ID_NONE) {
        int most_channels = 0;
        for (int i = first; i < last; ++i) {
            const AVStream* st = task.input_streams[static_cast<std::size_t>(i)]->stream;
            if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO &&
                st->codecpar->ch_layout.nb_channels > most_channels) {
                most_channels = st->codecpar->ch_layout.nb_channels;
                chosen.audio = i;
            }
        }
    }
    if (ctx.subtitle_disable == 0 &&
        (format->subtitle_codec != AV_CODEC_ID_NONE || subtitle_codec_given)) {
        for (int i = first; i < last; ++i) {
            const AVStream* st = task.input_streams[static_cast<std::size_t>(i)]->stream;
            if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) {
                chosen.subtitle = i;
                break;
            }
        }
    }
    return chosen;
}

// --- Cleanup ----------------------------------------------------------------------

void DiscardOutputContext(OutputFormatContextPtr oc, const std::string& file_name,
                          bool file_opened) {
    if (!oc) {
        return;
    }
    if (file_opened && oc->oformat != nullptr && (oc->oformat->flags & AVFMT_NOFILE) == 0) {
        ff.avio_closep(&oc->pb);
        struct stat info {};
        if (::stat(file_name.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
            ::unlink(file_name.c_str());
        }
    }
    oc.reset();
}

void RemoveOutputStreams(TCustomFFmpegOpt& task, std::size_t first) {
    if (first >= task.output_streams.size()) {
        return;
    }
    for (const std::unique_ptr<FilterGraph>& fg : task.filtergraphs) {
        for (const std::unique_ptr<OutputFilter>& ofilter : fg->outputs) {
            for (std::size_t i = first; i < task.output_streams.size(); ++i) {
                if (ofilter->output_stream == task.output_streams[i].get()) {
                    ofilter->output_stream = nullptr;
                }
            }
        }
    }
    task.output_streams.erase(task.output_streams.begin() + static_cast<std::ptrdiff_t>(first),
                              task.output_streams.end());
}

// --- Opening ------------------------------------------------------------------------

namespace {

// A name of the local file system: neither a URL nor standard output.
bool IsLocalFileName(const std::string& file_name, const std::string& media_name) {
    if (file_name == "-") {
        return false;
    }
    const char* protocol = ff.avio_find_protocol_name(media_name.c_str());
    return protocol != nullptr &&
           (std::string_view(protocol) == "file" || std::string_view(protocol) == "unicode");
}

// What one OpenOutputFile call has made so far, undone unless committed.
class OutputOpening {
public:
    OutputOpening(TCustomFFmpegOpt& task, std::string file_name)
        : task_(task),
          file_name_(std::move(file_name)),
          first_stream_(task.output_streams.size()),
          file_count_(task.output_files.size()) {}
    ~OutputOpening() {
        if (!committed_) {
            Undo();
        }
    }
    OutputOpening(const OutputOpening&) = delete;
    OutputOpening& operator=(const OutputOpening&) = delete;

    OutputFormatContextPtr context;
    bool file_opened = false;

    void Commit() { committed_ = true; }
    std::size_t FirstStream() const { return first_stream_; }

private:
    void Undo() {
        if (task_.output_files.size() > file_count_) {
            context = std::move(task_.output_files.back()->ctx);
            task_.output_files.resize(file_count_);
        }
        RemoveOutputStreams(task_, first_stream_);
        DiscardOutputContext(std::move(context), file_name_, file_opened);
    }

    TCustomFFmpegOpt& task_;
    std::string file_name_;
    std::size_t first_stream_;
    std::size_t file_count_;
    bool committed_ = false;
};

}  // namespace

int OpenOutputFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& options_text,
                   bool join, const std::string& file_name, const std::string& presets_text) {
    const int parsed = ParseFileOptions(task, ctx, options_text, "output file", presets_text);
    if (parsed < 0) {
        return parsed;
    }
    if (task.Joined || (join && task.input_files.size() > 1 && !task.output_files.empty())) {
        return Fail(task, "Cannot join more than one output file.");
    }
    const bool join_mode = join && task.input_files.size() > 1;
    if (const auto clash = OutputOverInputError(task, file_name)) {
        return Fail(task, *clash);
    }

    if (ConfigureComplexFilters(task) < 0) {
        return Fail(task, "Error configuring filters.");
    }

    OutputOpening opening(task, file_name);
    const std::string media_name = ToMediaFileName(file_name);
    {
        AVFormatContext* raw = nullptr;
        const int code = ff.avformat_alloc_output_context2(
            &raw, nullptr, ctx.format.empty() ? nullptr : ctx.format.c_str(), media_name.c_str());
        opening.context.reset(raw);
        if (code < 0 || raw == nullptr) {
            return Fail(task, ErrorText(file_name, code < 0 ? code : AVERROR(ENOMEM)));
        }
    }
    AVFormatContext* oc = opening.context.get();
    oc->interrupt_callback = task.OutputInterrupt();

    if (ctx.recording_time != INT64_MAX && ctx.recording_time > task.TotalDuration) {
        task.TotalDuration = ctx.recording_time;
    }

    CreateUnlabelledFilterOutputs(task, ctx, oc);

    if (std::string(oc->oformat->name) == "ffm" && file_name.rfind("http:", 0) == 0) {
        const int code = ReadFeedStreams(task, ctx, oc, file_name);
        if (code < 0) {
            return Fail(task, ErrorText(file_name, code));
        }
    } else if (!ctx.stream_maps.empty()) {
        if (CreateMappedStreams(task, ctx, oc, join_mode) < 0) {
            return -1;
        }
    } else {
        CreateAutomaticStreams(task, ctx, oc, join_mode);
    }

    if (AddAttachments(task, ctx, oc) < 0 ||
        ApplyCopyFlags(task, ctx, oc, opening.FirstStream()) < 0) {
        return -1;
    }
    ApplyTimeLimits(task, ctx);

    std::unique_ptr<OutputFile> record;
    try {
        record = std::make_unique<OutputFile>();
        task.output_files.reserve(task.output_files.size() + 1);
    } catch (const std::bad_alloc&) {
        task.RaiseError("av_mallocz() failed");
    }
    OutputFile& of = *record;
    of.first_stream = static_cast<std::int32_t>(task.output_streams.size() - oc->nb_streams);
    of.recording_time = ctx.recording_time;
    if (of.recording_time != INT64_MAX) {
        oc->duration = of.recording_time;
    }
    of.start_time = ctx.start_time;
    of.size_limit = ctx.size_limit;
    of.shortest = ctx.shortest;
    if (ctx.group != nullptr && ctx.group->format_opts.Get() != nullptr) {
        ff.av_dict_copy(of.muxer_options.Address(), ctx.group->format_opts.Get(), 0);
    }
    of.ctx = std::move(opening.context);
    task.output_files.push_back(std::move(record));

    if ((oc->oformat->flags & AVFMT_NEEDNUMBER) != 0 && ff.av_filename_number_test(oc->url) == 0) {
        return Fail(task, ErrorText(file_name, AVERROR(EINVAL)));
    }
    if ((oc->oformat->flags & AVFMT_NOFILE) == 0) {
        if (task.OnReplaceExistingOutput && IsLocalFileName(file_name, media_name) &&
            ff.avio_check(media_name.c_str(), 0) >= 0 &&
            !task.OnReplaceExistingOutput(task, file_name)) {
            return Fail(task, "File '" + file_name + "' already exists. Exiting.");
        }
        task.ArmWriteTimer();
        const int code = ff.avio_open2(&oc->pb, oc->url, AVIO_FLAG_WRITE, &oc->interrupt_callback,
                                       of.muxer_options.Address());
        if (code < 0) {
            return Fail(task, ErrorText(file_name, code));
        }
        opening.file_opened = true;
    }

    // Computed in single precision like the option values, so that the
    // default 0.7 s gives exactly 700000.
    if (ctx.mux_preload != 0) {
        const float preload = ctx.mux_preload * static_cast<float>(AV_TIME_BASE);
        ff.av_dict_set(of.muxer_options.Address(), "preload",
                       std::to_string(static_cast<int>(preload)).c_str(), 0);
    }
    oc->max_delay = static_cast<int>(ctx.mux_delay * static_cast<float>(AV_TIME_BASE));

    if (ApplyMetadataMaps(task, ctx, oc) < 0) {
        return -1;
    }

    if (ctx.chapters_source == INT_MAX) {
        ctx.chapters_source = -1;
        for (std::size_t i = 0; i < task.input_files.size(); ++i) {
            if (task.input_files[i]->ctx->nb_chapters > 0) {
                ctx.chapters_source = static_cast<std::int32_t>(i);
                break;
            }
        }
    } else if (ctx.chapters_source >= static_cast<int>(task.input_files.size())) {
        return Fail(task, StringPrintf("Invalid input file index %d in chapter mapping.",
                                       ctx.chapters_source));
    }
    if (ctx.chapters_source >= 0) {
        const int code =
            CopyChapters(*task.input_files[static_cast<std::size_t>(ctx.chapters_source)], of, oc,
                         ctx.manual_chapter_metadata == 0);
        if (code < 0) {
            return Fail(task, ErrorText(code));
        }
    }

    CopyAutomaticMetadata(task, ctx, oc, opening.FirstStream());
    if (ApplyMetadataOptions(task, ctx, oc) < 0) {
        return -1;
    }

    const int index = static_cast<int>(task.output_files.size()) - 1;
    if (join_mode) {
        // SetupJoin undoes the whole output itself when it fails.
        opening.Commit();
        if (SetupJoin(task, ctx) < 0) {
            return -1;
        }
        task.Joined = true;
        return index;
    }
    opening.Commit();
    return index;
}

}  // namespace tavrin

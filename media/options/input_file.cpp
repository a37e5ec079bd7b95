#include "media/options/input_file.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "media/common/error_text.h"
#include "media/options/ff_options.h"
#include "media/options/file_options.h"
#include "media/options/stream_options.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/media_file_name.h"

namespace tavrin {

namespace {

const char* CoderKind(bool encoder) {
    return encoder ? "encoder" : "decoder";
}

// The value of the last occurrence of a per-stream list, whatever its
// specifier: what a demuxer option taken from that list gets.
const SpecifierValue* LastOccurrence(const SpecifierList& list) {
    return list.empty() ? nullptr : &list.back();
}

bool PrivateClassKnows(const AVInputFormat* format, const char* name) {
    if (format == nullptr || format->priv_class == nullptr) {
        return false;
    }
    const AVClass* search = format->priv_class;
    return ff.av_opt_find(&search, name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

// Options that describe raw input (rates, sizes, formats) belong to the
// demuxer; each comes from the last occurrence of its per-stream list.
void StoreDemuxerOptions(const OptionsContext& ctx, const AVInputFormat* forced_format) {
    AVDictionary** format_opts = ctx.group->format_opts.Address();
    if (const SpecifierValue* rate = LastOccurrence(ctx.audio_sample_rate)) {
        ff.av_dict_set(format_opts, "sample_rate", std::to_string(rate->i).c_str(), 0);
    }
    if (const SpecifierValue* channels = LastOccurrence(ctx.audio_channels);
        channels != nullptr && PrivateClassKnows(forced_format, "channels")) {
        ff.av_dict_set(format_opts, "channels", std::to_string(channels->i).c_str(), 0);
    }
    if (const SpecifierValue* rate = LastOccurrence(ctx.frame_rates);
        rate != nullptr && PrivateClassKnows(forced_format, "framerate")) {
        ff.av_dict_set(format_opts, "framerate", rate->str.c_str(), 0);
    }
    if (const SpecifierValue* size = LastOccurrence(ctx.frame_sizes)) {
        ff.av_dict_set(format_opts, "video_size", size->str.c_str(), 0);
    }
    if (const SpecifierValue* format = LastOccurrence(ctx.pixel_formats)) {
        ff.av_dict_set(format_opts, "pixel_format", format->str.c_str(), 0);
    }
}

// -c:v, -c:a and -c:s of an input force the demuxer's codec ids.
void ForceDecoders(TCustomFFmpegOpt& task, const OptionsContext& ctx, AVFormatContext* ic) {
    const std::string* video = MatchPerTypeOption(ctx.codec_names, "v");
    const std::string* audio = MatchPerTypeOption(ctx.codec_names, "a");
    const std::string* subtitle = MatchPerTypeOption(ctx.codec_names, "s");
    ic->video_codec = video ? FindCodec(task, *video, AVMEDIA_TYPE_VIDEO, false) : nullptr;
    ic->audio_codec = audio ? FindCodec(task, *audio, AVMEDIA_TYPE_AUDIO, false) : nullptr;
    ic->subtitle_codec =
        subtitle ? FindCodec(task, *subtitle, AVMEDIA_TYPE_SUBTITLE, false) : nullptr;
    ic->video_codec_id = ic->video_codec ? ic->video_codec->id : AV_CODEC_ID_NONE;
    ic->audio_codec_id = ic->audio_codec ? ic->audio_codec->id : AV_CODEC_ID_NONE;
    ic->subtitle_codec_id = ic->subtitle_codec ? ic->subtitle_codec->id : AV_CODEC_ID_NONE;
}

// A -tag value: a number (C conventions, so "0x" and leading "0" select the
// base), else its first four bytes as a little-endian tag.
std::uint32_t ParseCodecTag(const std::string& text) {
    char* end = nullptr;
    const unsigned long number = std::strtoul(text.c_str(), &end, 0);
    if (!text.empty() && end != nullptr && *end == '\0') {
        return static_cast<std::uint32_t>(number);
    }
    std::uint32_t tag = 0;
    for (std::size_t i = 0; i < 4 && i < text.size(); ++i) {
        tag |= static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])) << (8 * i);
    }
    return tag;
}

const SpecifierValue* Match(TCustomFFmpegOpt& task, AVFormatContext* ic, AVStream* st,
                            const SpecifierList& list) {
    return MatchPerStreamOption(task, ic, st, list);
}

// The decoding context of a stream, filled from the stream's parameters.
CodecContextPtr NewDecoderContext(TCustomFFmpegOpt& task, const AVCodec* decoder, AVStream* st) {
    CodecContextPtr codec_ctx(ff.avcodec_alloc_context3(decoder));
    if (!codec_ctx) {
        task.RaiseError("av_mallocz() failed");
    }
    const int result = ff.avcodec_parameters_to_context(codec_ctx.get(), st->codecpar);
    if (result < 0) {
        task.RaiseError(ErrorText("avcodec_parameters_to_context", result));
    }
    codec_ctx->pkt_timebase = st->time_base;
    return codec_ctx;
}

void AddVideoStreamFields(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* ic,
                          InputStream& ist) {
    AVStream* st = ist.stream;
    if (ist.decoder == nullptr) {
        ist.decoder = ff.avcodec_find_decoder(st->codecpar->codec_id);
    }
    const AVCodecContext* codec_ctx = ist.codec_ctx.get();
    ist.last_height = codec_ctx->height;
    ist.last_width = codec_ctx->width;
    ist.last_pix_fmt = codec_ctx->pix_fmt;
    if (const SpecifierValue* rate = Match(task, ic, st, ctx.frame_rates)) {
        if (ff.av_parse_video_rate(&ist.forced_frame_rate, rate->str.c_str()) < 0) {
            task.RaiseErrorFmt("Error parsing framerate %s.", rate->str.c_str());
        }
    }
    ist.top_field_first = -1;
    if (const SpecifierValue* top = Match(task, ic, st, ctx.top_field_first)) {
        ist.top_field_first = top->i;
    }
}

void AddAudioStreamFields(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* ic,
                          InputStream& ist) {
    AVStream* st = ist.stream;
    ist.guess_layout_max = INT_MAX;
    if (const SpecifierValue* max = Match(task, ic, st, ctx.guess_layout_max)) {
        ist.guess_layout_max = max->i;
    }
    GuessInputChannelLayout(task, ist);
    const AVCodecContext* codec_ctx = ist.codec_ctx.get();
    ist.last_sample_fmt = codec_ctx->sample_fmt;
    ist.last_sample_rate = codec_ctx->sample_rate;
    ist.last_channels = codec_ctx->ch_layout.nb_channels;
    if (ff.av_channel_layout_copy(&ist.last_channel_layout, &codec_ctx->ch_layout) < 0) {
        task.RaiseError("av_mallocz() failed");
    }
}

// The dump name: "file:" names and plain paths are local files; anything
// whose part before the first ":" is a protocol name is a URL. A drive-like
// single letter before ":" counts as a local name.
bool IsUrl(std::string_view name) {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos || colon == 1 || name.substr(0, 5) == "file:") {
        return false;
    }
    if (colon == 0) {
        return false;
    }
    for (const char c : name.substr(0, colon)) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0 && c != '+' && c != '-' && c != '.') {
            return false;  // a path that holds ":" further on, e.g. /tmp/a:b
        }
    }
    return true;
}

int AddOpenedFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& file_name,
                  InputFormatContextPtr ic, std::int64_t timestamp);

}  // namespace

const AVCodec* FindCodec(TCustomFFmpegOpt& task, const std::string& name, AVMediaType type,
                         bool encoder) {
    const char* kind = CoderKind(encoder);
    const AVCodec* codec = encoder ? ff.avcodec_find_encoder_by_name(name.c_str())
                                   : ff.avcodec_find_decoder_by_name(name.c_str());
    if (codec == nullptr) {
        if (const AVCodecDescriptor* descriptor = ff.avcodec_descriptor_get_by_name(name.c_str())) {
            codec = encoder ? ff.avcodec_find_encoder(descriptor->id)
                            : ff.avcodec_find_decoder(descriptor->id);
            if (codec != nullptr) {
                LogFmt(&task, llVerbose, "Matched %s \"%s\" for codec \"%s\".", kind, codec->name,
                       descriptor->name);
            }
        }
    }
    if (codec == nullptr) {
        task.RaiseErrorFmt("Unknown %s \"%s\"", kind, name.c_str());
    }
    if (codec->type != type) {
        task.RaiseErrorFmt("Invalid %s type \"%s\"", kind, name.c_str());
    }
    return codec;
}

const AVCodec* ChooseDecoder(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* ic,
                             AVStream* st) {
    if (const SpecifierValue* name = Match(task, ic, st, ctx.codec_names)) {
        const AVCodec* codec = FindCodec(task, name->str, st->codecpar->codec_type, false);
        st->codecpar->codec_id = codec->id;
        return codec;
    }
    return ff.avcodec_find_decoder(st->codecpar->codec_id);
}

bool GuessInputChannelLayout(TCustomFFmpegOpt& task, InputStream& ist) {
    AVCodecContext* codec_ctx = ist.codec_ctx.get();
    if (codec_ctx->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) {
        return true;
    }
    const int channels = codec_ctx->ch_layout.nb_channels;
    if (channels > ist.guess_layout_max) {
        return false;
    }
    AVChannelLayout guessed{};
    ff.av_channel_layout_default(&guessed, channels);
    if (guessed.order == AV_CHANNEL_ORDER_UNSPEC || guessed.nb_channels == 0) {
        ff.av_channel_layout_uninit(&guessed);
        return false;
    }
    // The stream's parameters and its decoding context describe the same
    // stream: both get the layout.
    ff.av_channel_layout_uninit(&codec_ctx->ch_layout);
    ff.av_channel_layout_copy(&codec_ctx->ch_layout, &guessed);
    ff.av_channel_layout_uninit(&ist.stream->codecpar->ch_layout);
    ff.av_channel_layout_copy(&ist.stream->codecpar->ch_layout, &guessed);
    char description[256] = {};
    ff.av_channel_layout_describe(&guessed, description, sizeof description);
    ff.av_channel_layout_uninit(&guessed);
    LogFmt(&task, llWarning, "Guessed Channel Layout for  Input Stream #%d.%d : %s", ist.file_index,
           ist.stream->index, description);
    return true;
}

void AddInputStreams(TCustomFFmpegOpt& task, OptionsContext& ctx, AVFormatContext* ic) {
    const int file_index = static_cast<int>(task.input_files.size());
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        AVStream* st = ic->streams[i];
        InputStream& ist = *task.input_streams.emplace_back(std::make_unique<InputStream>());
        ist.stream = st;
        ist.file_index = file_index;
        ist.discard = 1;
        st->discard = AVDISCARD_ALL;

        ist.ts_scale = 1.0;
        if (const SpecifierValue* scale = Match(task, ic, st, ctx.ts_scale)) {
            ist.ts_scale = scale->dbl;
        }
        const SpecifierValue* tag = Match(task, ic, st, ctx.codec_tags);

        ist.decoder = ChooseDecoder(task, ctx, ic, st);
        ist.codec_ctx = NewDecoderContext(task, ist.decoder, st);
        if (tag != nullptr) {
            const std::uint32_t codec_tag = ParseCodecTag(tag->str);
            ist.codec_ctx->codec_tag = codec_tag;
            st->codecpar->codec_tag = codec_tag;
        }
        ist.decoder_options.Reset(FilterCodecOptions(ctx.group->codec_opts.Get(),
                                                     st->codecpar->codec_id, ic, st, ist.decoder));

        ist.reinit_filter = -1;
        if (const SpecifierValue* reinit = Match(task, ic, st, ctx.reinit_filter)) {
            ist.reinit_filter = reinit->i;
        }
        ist.filter_rescale_remainder = kNoTimestamp;

        switch (st->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                AddVideoStreamFields(task, ctx, ic, ist);
                break;
            case AVMEDIA_TYPE_AUDIO:
                AddAudioStreamFields(task, ctx, ic, ist);
                break;
            case AVMEDIA_TYPE_DATA:
            case AVMEDIA_TYPE_SUBTITLE:
                if (ist.decoder == nullptr) {
                    ist.decoder = ff.avcodec_find_decoder(st->codecpar->codec_id);
                }
                if (const SpecifierValue* fix = Match(task, ic, st, ctx.fix_sub_duration)) {
                    ist.fix_sub_duration = fix->i;
                }
                break;
            case AVMEDIA_TYPE_ATTACHMENT:
            case AVMEDIA_TYPE_UNKNOWN:
                break;
            default:
                task.RaiseError("Never occur");
        }
    }
}

bool CheckFileOverwrite(TCustomFFmpegOpt& task, const std::string& file_name) {
    if (task.overwrite_output != 0 && task.never_overwrite == 0) {
        return true;
    }
    if (IsUrl(file_name)) {
        return true;
    }
    if (ff.avio_check(ToMediaFileName(file_name).c_str(), 0) < 0) {
        return true;  // not there (or not reachable): nothing to lose
    }
    task.LastError = "File \"" + file_name + "\" already exists. Ignore.";
    Log(&task, llWarning, task.LastError);
    return false;
}

void CheckOptionsConsumed(TCustomFFmpegOpt& task, const AVDictionary* dict) {
    const AVDictionaryEntry* entry = ff.av_dict_get(dict, "", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (entry == nullptr) {
        return;
    }
    const std::string message = std::string("Option ") + entry->key + " not found.";
    if (task.StrictOptions) {
        task.RaiseError(message);
    }
    task.LastError = message;
    Log(&task, llWarning, message);
}

void DumpAttachment(TCustomFFmpegOpt& task, AVStream* st, const std::string& file_name) {
    const int file_index = static_cast<int>(task.input_files.size()) - 1;
    const AVCodecParameters* par = st->codecpar;
    if (par->extradata == nullptr || par->extradata_size <= 0) {
        LogFmt(&task, llWarning, "No extradata to dump in stream #%d:%d.", file_index, st->index);
        return;
    }
    std::string name = file_name;
    if (name.empty()) {
        const AVDictionaryEntry* tag = ff.av_dict_get(st->metadata, "filename", nullptr, 0);
        if (tag == nullptr || tag->value[0] == '\0') {
            task.RaiseErrorFmt("No filename specified and no \"filename\" tag in stream #%d:%d.",
                               file_index, st->index);
        }
        name = tag->value;
    }
    if (!CheckFileOverwrite(task, name)) {
        return;
    }
    task.ArmWriteTimer();
    const AVIOInterruptCB interrupt = task.OutputInterrupt();
    AVIOContext* raw = nullptr;
    if (ff.avio_open2(&raw, ToMediaFileName(name).c_str(), AVIO_FLAG_WRITE, &interrupt, nullptr) <
        0) {
        LogFmt(&task, llError, "Could not open file %s for writing.", name.c_str());
        return;
    }
    const IOContextPtr out(raw);
    task.ArmWriteTimer();
    ff.avio_write(out.get(), par->extradata, par->extradata_size);
    ff.avio_flush(out.get());
}

int OpenInputFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& options_text,
                  const std::string& file_name, const std::string& presets_text) {
    int result = ParseFileOptions(task, ctx, options_text, "input file", presets_text);
    if (result < 0) {
        return result;
    }

    const AVInputFormat* forced_format = nullptr;
    if (!ctx.format.empty()) {
        forced_format = ff.av_find_input_format(ctx.format.c_str());
        if (forced_format == nullptr) {
            return task.ReturnError(AVERROR(EINVAL), "Unknown input format: \"" + ctx.format + "\"",
                                    llFatal);
        }
    }

    InputFormatContextPtr ic(ff.avformat_alloc_context());
    if (!ic) {
        return task.ReturnError(AVERROR(ENOMEM), "avformat_alloc_context() failed", llFatal);
    }
    StoreDemuxerOptions(ctx, forced_format);
    ForceDecoders(task, ctx, ic.get());
    ic->flags |= AVFMT_FLAG_NONBLOCK;
    ic->interrupt_callback = task.InputInterrupt();

    // avformat_open_input frees the context when it fails.
    const std::string media_name = ToMediaFileName(file_name);
    AVFormatContext* raw = ic.release();
    task.ArmReadTimer();
    result = ff.avformat_open_input(&raw, media_name.c_str(), forced_format,
                                    ctx.group->format_opts.Address());
    ic.reset(raw);
    if (result < 0) {
        return task.ReturnError(result, ErrorText(file_name, result), llFatal);
    }
    CheckOptionsConsumed(task, ctx.group->format_opts.Get());

    // Forced decoders set the streams' codec ids before probing.
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        ChooseDecoder(task, ctx, ic.get(), ic->streams[i]);
    }
    {
        StreamDictionaries probe_options = StreamInfoOptions(ic.get(), ctx.group->codec_opts.Get());
        if (task.OnBeforeFindStreamInfo) {
            task.OnBeforeFindStreamInfo(task, ic.get());
        }
        task.ArmReadTimer();
        result = ff.avformat_find_stream_info(ic.get(), probe_options.data());
        if (result < 0) {
            ic.reset();
            return task.ReturnError(result, file_name + ": could not find codec parameters",
                                    llFatal);
        }
    }

    std::int64_t timestamp = ctx.start_time;
    if (ic->start_time != AV_NOPTS_VALUE) {
        timestamp += ic->start_time;
    }
    if (ctx.start_time != 0) {
        task.ArmReadTimer();
        if (ff.avformat_seek_file(ic.get(), -1, INT64_MIN, timestamp, timestamp, 0) < 0) {
            LogFmt(&task, llWarning, "%s: could not seek to position %0.3f", file_name.c_str(),
                   static_cast<double>(timestamp) / AV_TIME_BASE);
        }
    }

    // The streams point into the format context: should anything below be
    // raised, the streams and the file go with it, so that nothing of this
    // file stays behind.
    const std::size_t first_stream = task.input_streams.size();
    const std::size_t file_count = task.input_files.size();
    const std::int64_t input_duration = task.InputDuration;
    try {
        return AddOpenedFile(task, ctx, file_name, std::move(ic), timestamp);
    } catch (...) {
        task.input_files.resize(file_count);
        task.input_streams.resize(first_stream);
        task.InputDuration = input_duration;
        throw;
    }
}

namespace {

// -t wins over -to; -to is an end position on the input, so it counts from -ss.
std::int64_t InputRecordingTime(TCustomFFmpegOpt& task, const OptionsContext& ctx) {
    if (ctx.stop_time == INT64_MAX) {
        return ctx.recording_time;
    }
    if (ctx.recording_time != INT64_MAX) {
        Log(&task, llWarning, "-t and -to cannot be used together; using -t.");
        return ctx.recording_time;
    }
    if (ctx.stop_time <= ctx.start_time) {
        Log(&task, llWarning, "-to value smaller than -ss; ignoring -to.");
        return INT64_MAX;
    }
    return ctx.stop_time - ctx.start_time;
}

int AddOpenedFile(TCustomFFmpegOpt& task, OptionsContext& ctx, const std::string& file_name,
                  InputFormatContextPtr ic, std::int64_t timestamp) {
    const std::size_t first_stream = task.input_streams.size();
    AddInputStreams(task, ctx, ic.get());

    const int file_index = static_cast<int>(task.input_files.size());
    ff.av_dump_format(ic.get(), file_index, file_name.c_str(), 0);

    // An input cut by -t or -to is expected to last only until its cut.
    const std::int64_t recording_time = InputRecordingTime(task, ctx);
    if (ic->duration != AV_NOPTS_VALUE) {
        const std::int64_t readable = std::min(ic->duration - ctx.start_time, recording_time);
        if (readable > task.InputDuration) {
            task.InputDuration = readable;
        }
    }

    InputFile& file = *task.input_files.emplace_back(std::make_unique<InputFile>());
    file.first_stream = static_cast<std::int32_t>(first_stream);
    file.stream_count = static_cast<std::int32_t>(ic->nb_streams);
    file.native_rate = ctx.native_rate;
    file.ts_offset =
        task.copy_timestamps != 0 ? ctx.input_ts_offset : ctx.input_ts_offset - timestamp;
    file.time_origin = timestamp + file.ts_offset;
    file.seeked = ctx.start_time != 0 ? 1 : 0;
    file.recording_time = recording_time;
    file.ctx = std::move(ic);

    AVFormatContext* opened = file.ctx.get();
    for (const SpecifierValue& dump : ctx.dump_attachment) {
        for (unsigned i = 0; i < opened->nb_streams; ++i) {
            if (CheckStreamSpecifier(opened, opened->streams[i], dump.specifier.c_str()) == 1) {
                DumpAttachment(task, opened->streams[i], dump.str);
            }
        }
    }
    return file_index;
}

}  // namespace

}  // namespace tavrin

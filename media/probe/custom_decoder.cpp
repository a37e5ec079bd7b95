#include "media/probe/custom_decoder.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <filesystem>
#include <system_error>

#include "media/common/error_text.h"
#include "media/common/text_helpers.h"
#include "media/options/stream_options.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/main_thread.h"
#include "media/runtime/media_file_name.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

constexpr char kFileNotLoaded[] = "file not loaded.";

// Whole decimal number, 0 for anything else ("3/12", "", "2021-05-01").
int32_t WholeNumber(const std::string& text) {
    int32_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
    }
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || first == last) {
        return 0;
    }
    return value;
}

int32_t ClampToInt32(int64_t value) {
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

// The stream's start and duration, raw and in microseconds. A time base with
// a zero denominator is mended in the stream itself first, as later readers
// of the stream would divide by it too.
void StreamTimes(AVStream* st, int64_t& stream_start, int64_t& start, int64_t& stream_duration,
                 int64_t& duration) {
    if (st->time_base.den == 0) {
        st->time_base.den = st->time_base.num != 0 ? st->time_base.num : 1;
    }
    constexpr AVRational kMicroseconds{1, AV_TIME_BASE};
    stream_start = st->start_time;
    if (stream_start != AV_NOPTS_VALUE) {
        start = ff.av_rescale_q(stream_start, st->time_base, kMicroseconds);
    }
    stream_duration = st->duration;
    if (stream_duration != AV_NOPTS_VALUE) {
        duration = ff.av_rescale_q(stream_duration, st->time_base, kMicroseconds);
    }
}

}  // namespace

TCustomDecoder::TCustomDecoder() : LibraryUser(DecoderLibs) {}

TCustomDecoder::~TCustomDecoder() {
    TCustomDecoder::CloseFile();
}

void TCustomDecoder::OnLibrariesLoaded() {
    options_.ResetGroups();
}

void TCustomDecoder::LogError(TLogLevel level, const std::string& text) {
    Log(this, level, text);
    SetLastErrorText(text);
}

bool TCustomDecoder::NotLoaded() {
    if (format_context_ != nullptr) {
        return false;
    }
    LogError(llWarning, kFileNotLoaded);
    return true;
}

void TCustomDecoder::MarkActivity() {
    timed_out_ = false;
    activity_timestamp_ = ff.av_gettime();
}

void TCustomDecoder::MarkIdle() {
    activity_timestamp_ = INT64_MAX;
}

int TCustomDecoder::InterruptCallback(void* opaque) {
    auto* self = static_cast<TCustomDecoder*>(opaque);
    const int64_t stamp = self->activity_timestamp_.load();
    const int32_t timeout = self->Timeout();
    if (stamp == INT64_MAX || timeout <= 0) {
        return 0;
    }
    if (ff.av_gettime() - stamp <= static_cast<int64_t>(timeout) * 1000) {
        return 0;
    }
    // The library keeps asking while it unwinds; say it once per phase.
    if (!self->timed_out_.exchange(true)) {
        Log(self, llInfo,
            stamp == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
    }
    return 1;
}

bool TCustomDecoder::LoadFile(const std::string& file_name, const std::string& format_name) {
    CheckLibraries();
    CloseFile();
    // Fresh options on first use; but options set before it (the libraries
    // loaded by another component) are kept, not silently dropped.
    if (options_.sws_opts == nullptr && options_.format_opts.Get() == nullptr &&
        options_.codec_opts.Get() == nullptr && options_.swr_opts.Get() == nullptr &&
        options_.resample_opts.Get() == nullptr) {
        options_.ResetGroups();
    }
    // Every failure leaves no file open and the options fresh for the next try.
    const auto fail = [this](std::string text, bool log) {
        if (log) {
            LogError(llError, text);
        } else {
            SetLastErrorText(std::move(text));
        }
        options_.ResetGroups();
        CloseFile();
        MarkIdle();
        return false;
    };

    const AVInputFormat* input_format = nullptr;
    if (!format_name.empty()) {
        input_format = ff.av_find_input_format(format_name.c_str());
        if (input_format == nullptr) {
            return fail(StringPrintf("Unknown input format: %s", format_name.c_str()), true);
        }
    }

    AVFormatContext* opened = ff.avformat_alloc_context();
    if (opened == nullptr) {
        return fail(ErrorText(file_name, AVERROR(ENOMEM)), false);
    }
    opened->interrupt_callback.callback = &TCustomDecoder::InterruptCallback;
    opened->interrupt_callback.opaque = this;
    MarkActivity();

    const std::string media_name = ToMediaFileName(file_name);
    // On failure the library frees the context itself.
    int ret = ff.avformat_open_input(&opened, media_name.c_str(), input_format,
                                     options_.format_opts.Address());
    if (ret < 0) {
        if (ret == AVERROR_EXIT && TimedOut()) {
            return fail(file_name + ": connecting/reading timeout", false);
        }
        return fail(ErrorText(file_name, ret), false);
    }
    owned_context_.reset(opened);
    format_context_ = opened;

    const AVDictionaryEntry* left = nullptr;
    while ((left = ff.av_dict_get(options_.format_opts.Get(), "", left, AV_DICT_IGNORE_SUFFIX)) !=
           nullptr) {
        LogError(llError, StringPrintf("Option %s not found, ignored.", left->key));
    }

    format_context_->flags |= AVFMT_FLAG_GENPTS;

    try {
        RaiseBeforeFindStreamInfo();
        StreamDictionaries stream_options =
            StreamInfoOptions(format_context_, options_.codec_opts.Get());
        MarkActivity();
        ret = ff.avformat_find_stream_info(format_context_, stream_options.data());
    } catch (...) {
        options_.ResetGroups();
        CloseFile();
        MarkIdle();
        throw;
    }
    if (ret < 0) {
        if (ret == AVERROR_EXIT && TimedOut()) {
            return fail(file_name + ": connecting/reading timeout", false);
        }
        return fail(StringPrintf("%s: could not find codec parameters", file_name.c_str()), false);
    }
    if (format_context_->pb != nullptr) {
        format_context_->pb->eof_reached = 0;
        format_context_->pb->error = 0;
    }

    RefreshStreamCounts();
    ApplyLoadOptions(options_);
    options_.ResetGroups();
    format_name_ = format_name;
    MarkIdle();
    return true;
}

void TCustomDecoder::ApplyLoadOptions(TFFOptions& /*options*/) {}

void TCustomDecoder::RaiseBeforeFindStreamInfo() {
    if (!OnBeforeFindStreamInfo) {
        return;
    }
    AVFormatContext* const context = format_context_;
    const auto raise = [this, context] { OnBeforeFindStreamInfo(this, context); };
    if (TriggerEventInMainThread && MainThreadInitialised() && !IsMainThread()) {
        RunInMainThread(raise);
    } else {
        raise();
    }
}

void TCustomDecoder::CloseFile() {
    format_name_.clear();
    codec_contexts_.clear();
    // An attached context is only forgotten; with the libraries gone the
    // owned one can only be forgotten too (its deleter calls nothing then).
    format_context_ = nullptr;
    owned_context_.reset();
    RefreshStreamCounts();
}

void TCustomDecoder::SetFormatContext(AVFormatContext* context) {
    if (context == format_context_) {
        return;
    }
    CheckLibraries();
    CloseFile();
    format_context_ = context;
    RefreshStreamCounts();
}

int64_t TCustomDecoder::InputSize() const {
    const AVFormatContext* ctx = format_context_;
    int64_t size = 0;
    if (ctx->iformat != nullptr && (ctx->iformat->flags & AVFMT_NOFILE) == 0 &&
        ctx->pb != nullptr) {
        size = std::max<int64_t>(ff.avio_size(ctx->pb), 0);
    }
    if (size == 0 && ctx->url != nullptr && ctx->url[0] != '\0') {
        std::error_code error;
        const std::filesystem::path path(FromMediaFileName(ctx->url));
        if (std::filesystem::is_regular_file(path, error)) {
            const auto disk_size = std::filesystem::file_size(path, error);
            if (!error) {
                size = static_cast<int64_t>(disk_size);
            }
        }
    }
    return size;
}

void TCustomDecoder::RefreshStreamCounts() {
    file_size_ = -1;
    stream_count_ = program_count_ = -1;
    audio_stream_count_ = video_stream_count_ = subtitle_stream_count_ = -1;
    first_audio_stream_index_ = first_video_stream_index_ = first_subtitle_stream_index_ = -1;
    if (format_context_ == nullptr) {
        return;
    }
    file_size_ = InputSize();
    stream_count_ = static_cast<int32_t>(format_context_->nb_streams);
    program_count_ = static_cast<int32_t>(format_context_->nb_programs);
    audio_stream_count_ = video_stream_count_ = subtitle_stream_count_ = 0;
    for (int32_t i = 0; i < stream_count_; ++i) {
        switch (format_context_->streams[i]->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                if (video_stream_count_++ == 0) {
                    first_video_stream_index_ = i;
                }
                break;
            case AVMEDIA_TYPE_AUDIO:
                if (audio_stream_count_++ == 0) {
                    first_audio_stream_index_ = i;
                }
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                if (subtitle_stream_count_++ == 0) {
                    first_subtitle_stream_index_ = i;
                }
                break;
            default:
                break;
        }
    }
}

AVCodecContext* TCustomDecoder::StreamCodecContext(int stream_index) {
    if (format_context_ == nullptr || stream_index < 0 ||
        static_cast<unsigned>(stream_index) >= format_context_->nb_streams) {
        return nullptr;
    }
    if (codec_contexts_.size() < format_context_->nb_streams) {
        codec_contexts_.resize(format_context_->nb_streams);
    }
    CodecContextPtr& slot = codec_contexts_[static_cast<size_t>(stream_index)];
    if (!slot) {
        slot.reset(ff.avcodec_alloc_context3(nullptr));
        if (!slot) {
            return nullptr;
        }
    }
    // Refilled on every use: an attached context's owner may update the
    // parameters while we hold it.
    const AVStream* st = format_context_->streams[stream_index];
    if (ff.avcodec_parameters_to_context(slot.get(), st->codecpar) < 0) {
        return nullptr;
    }
    slot->pkt_timebase = st->time_base;
    return slot.get();
}

bool TCustomDecoder::CheckStreamIndex(int stream_index) {
    if (stream_index < 0 || stream_index >= stream_count_) {
        LogError(llError, StringPrintf("stream index #%d is invalid.", stream_index));
        return false;
    }
    return true;
}

void TCustomDecoder::GetFileStreamInfo(TFileStreamInfo& info) {
    info = TFileStreamInfo{};
    if (NotLoaded()) {
        return;
    }
    const AVFormatContext* ctx = format_context_;
    info.StartTime = ctx->start_time;
    info.Duration = ctx->duration == AV_NOPTS_VALUE ? -1 : ctx->duration;
    info.BitRate = ClampToInt32(ctx->bit_rate);
    const AVDictionary* metadata = ctx->metadata;
    info.Title = MetadataValue(metadata, "title", "");
    info.Author = MetadataValue(metadata, "author", "");
    info.Copyright = MetadataValue(metadata, "copyright", "");
    info.Comment = MetadataValue(metadata, "comment", "");
    info.Album = MetadataValue(metadata, "album", "");
    info.Genre = MetadataValue(metadata, "genre", "");
    info.Year = WholeNumber(MetadataValue(metadata, "year", ""));
    info.Track = WholeNumber(MetadataValue(metadata, "track", ""));
}

AVStream* TCustomDecoder::StreamOfType(int& stream_index, AVMediaType type) {
    const char* const name = type == AVMEDIA_TYPE_AUDIO ? "audio" : "video";
    if (stream_index == -1) {
        stream_index =
            type == AVMEDIA_TYPE_AUDIO ? first_audio_stream_index_ : first_video_stream_index_;
        if (stream_index == -1) {
            LogError(llError, StringPrintf("no %s stream.", name));
            return nullptr;
        }
    }
    if (!CheckStreamIndex(stream_index)) {
        return nullptr;
    }
    AVStream* st = format_context_->streams[stream_index];
    if (st->codecpar->codec_type != type) {
        LogError(llError, StringPrintf("stream #%d is not %s stream.", stream_index, name));
        return nullptr;
    }
    return st;
}

void TCustomDecoder::GetAudioStreamInfo(int stream_index, TAudioStreamInfo& info) {
    info = TAudioStreamInfo{};
    if (NotLoaded()) {
        return;
    }
    AVStream* st = StreamOfType(stream_index, AVMEDIA_TYPE_AUDIO);
    if (st == nullptr) {
        return;
    }
    const AVCodecContext* codec = StreamCodecContext(stream_index);
    info.Language = MetadataValue(st->metadata, "language", "");
    if (codec != nullptr) {
        info.CodecName = CodecDisplayName(codec, false);
    }
    StreamTimes(st, info.StreamStartTime, info.StartTime, info.StreamDuration, info.Duration);
    if (codec != nullptr) {
        info.BitRate = ClampToInt32(codec->bit_rate);
        info.Channels = codec->ch_layout.nb_channels;
        info.SampleRate = codec->sample_rate;
        info.SampleFormat = codec->sample_fmt;
    }
}

void TCustomDecoder::GetVideoStreamInfo(int stream_index, TVideoStreamInfo& info) {
    info = TVideoStreamInfo{};
    if (NotLoaded()) {
        return;
    }
    AVStream* st = StreamOfType(stream_index, AVMEDIA_TYPE_VIDEO);
    if (st == nullptr) {
        return;
    }
    const AVCodecContext* codec = StreamCodecContext(stream_index);
    info.Language = MetadataValue(st->metadata, "language", "");
    if (codec != nullptr) {
        info.CodecName = CodecDisplayName(codec, false);
    }
    StreamTimes(st, info.StreamStartTime, info.StartTime, info.StreamDuration, info.Duration);
    if (codec != nullptr) {
        info.BitRate = ClampToInt32(codec->bit_rate);
        info.Height = codec->height;
        info.Width = codec->width;
        info.SampleAspectRatio =
            st->sample_aspect_ratio.num != 0 ? st->sample_aspect_ratio : codec->sample_aspect_ratio;
        if (info.SampleAspectRatio.den != 0) {
            info.SampleAspectRatioValue = static_cast<float>(info.SampleAspectRatio.num) /
                                          static_cast<float>(info.SampleAspectRatio.den);
        }
        if (info.SampleAspectRatio.num != 0) {
            ff.av_reduce(&info.DisplayAspectRatio.num, &info.DisplayAspectRatio.den,
                         static_cast<int64_t>(info.Width) * info.SampleAspectRatio.num,
                         static_cast<int64_t>(info.Height) * info.SampleAspectRatio.den,
                         1024 * 1024);
            if (info.DisplayAspectRatio.den != 0) {
                info.DisplayAspectRatioValue = static_cast<float>(info.DisplayAspectRatio.num) /
                                               static_cast<float>(info.DisplayAspectRatio.den);
            }
        }
        info.PixelFormat = codec->pix_fmt;
    }
    info.FrameRate = st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0 ? st->avg_frame_rate
                                                                                : st->r_frame_rate;
}

std::vector<std::string> TCustomDecoder::LibraryVersions() const {
    struct Entry {
        LibraryId id;
        unsigned (*const* version)();
    };
    const Entry entries[] = {
        {LibraryId::avcodec, &ff.avcodec_version}, {LibraryId::avformat, &ff.avformat_version},
        {LibraryId::avutil, &ff.avutil_version},   {LibraryId::swresample, &ff.swresample_version},
        {LibraryId::swscale, &ff.swscale_version},
    };
    std::vector<std::string> lines;
    for (const Entry& entry : entries) {
        const LibrarySet bit = LibraryBit(entry.id);
        if ((Libraries() & bit) == 0) {
            continue;
        }
        if (!FFLoader().LibrarySetLoaded(bit) || *entry.version == nullptr) {
            lines.push_back(StringPrintf("%s not loaded", LibraryName(entry.id)));
            continue;
        }
        const unsigned version = (*entry.version)();
        lines.push_back(StringPrintf("%s %u.%u.%u", LibraryName(entry.id),
                                     AV_VERSION_MAJOR(version), AV_VERSION_MINOR(version),
                                     AV_VERSION_MICRO(version)));
    }
    return lines;
}

bool TCustomDecoder::IsAudioStream(int stream_index) {
    if (NotLoaded() || !CheckStreamIndex(stream_index)) {
        return false;
    }
    return format_context_->streams[stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

bool TCustomDecoder::IsVideoStream(int stream_index) {
    if (NotLoaded() || !CheckStreamIndex(stream_index)) {
        return false;
    }
    return format_context_->streams[stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
}

}  // namespace tavrin

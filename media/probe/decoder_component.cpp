#include "media/probe/decoder_component.h"

#include <cinttypes>

#include "media/common/error_text.h"
#include "media/common/text_helpers.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

constexpr char kClassName[] = "TVEVarazez";
constexpr char kSeekName[] = "Seek()";
constexpr AVRational kMicroseconds{1, AV_TIME_BASE};

bool IsStreamOfType(const AVFormatContext* ctx, int index, AVMediaType type) {
    return ctx != nullptr && index >= 0 && static_cast<unsigned>(index) < ctx->nb_streams &&
           ctx->streams[index]->codecpar->codec_type == type;
}

}  // namespace

// With the libraries unloaded under us nothing can be handed back any more.
TVEVarazez::TVEVarazez() = default;

TVEVarazez::~TVEVarazez() {
    TVEVarazez::CloseFile();
}

void TVEVarazez::ResetVideoState() {
    picture_time_ = AV_NOPTS_VALUE;
    picture_count_ = 0;
    picture_position_ = -1;
    video_flushed_ = false;
}

void TVEVarazez::ResetAudioState() {
    out_channels_ = audio_channels_;
    out_sample_rate_ = audio_sample_rate_;
    out_sample_format_ = audio_sample_format_;
    bytes_per_sample_ = 0;
    if (ff.av_get_bytes_per_sample != nullptr) {
        bytes_per_sample_ =
            ff.av_get_bytes_per_sample(static_cast<AVSampleFormat>(out_sample_format_));
    }
    bytes_per_second_ = bytes_per_sample_ * out_sample_rate_ * out_channels_;
    audio_time_ = AV_NOPTS_VALUE;
    audio_samples_delivered_ = 0;
    audio_flushed_ = false;
}

void TVEVarazez::SetAudioChannels(int32_t channels) {
    if (channels == audio_channels_) {
        return;
    }
    audio_channels_ = channels;
    ResetAudioState();
    resampler_.reset();
}

void TVEVarazez::SetAudioSampleRate(int32_t sample_rate) {
    if (sample_rate == audio_sample_rate_) {
        return;
    }
    audio_sample_rate_ = sample_rate;
    ResetAudioState();
    resampler_.reset();
}

void TVEVarazez::SetAudioSampleFormat(int32_t sample_format) {
    if (sample_format == audio_sample_format_) {
        return;
    }
    audio_sample_format_ = sample_format;
    ResetAudioState();
    resampler_.reset();
}

void TVEVarazez::ResetDecoding() {
    video_end_ = audio_end_ = false;
    input_ended_ = false;
    ResetVideoState();
    ResetAudioState();
    video_packets_.clear();
    audio_packets_.clear();
}

void TVEVarazez::CloseFile() {
    video_stream_index_ = audio_stream_index_ = -1;
    frame_rate_ = {0, 0};
    ResetDecoding();
    video_decoder_.reset();
    audio_decoder_.reset();
    resampler_.reset();
    frame_.reset();
    TCustomDecoder::CloseFile();
}

void TVEVarazez::ApplyLoadOptions(TFFOptions& options) {
    if (options.sws_opts == nullptr) {
        return;
    }
    int64_t flags = -1;
    if (ff.av_opt_get_int(options.sws_opts.get(), "sws_flags", 0, &flags) >= 0 && flags >= 0) {
        picture_converter_.SetScalerFlags(static_cast<int>(flags));
    }
}

bool TVEVarazez::Seek(int seek_flags, int64_t target) {
    if (NotLoaded()) {
        return false;
    }
    if (!OwnsContext()) {
        LogError(llWarning, "file cannot be seeked, handle is readonly.");
        throw FFmpegException(LastErrorText());
    }
    AVFormatContext* ctx = FormatContext();
    if (ctx->iformat != nullptr && ff.av_strcasecmp(ctx->iformat->name, "image2") == 0) {
        LogError(llInfo, "\"image2\" format cannot to be seeked.");
        return false;
    }
    if (ctx->pb != nullptr) {
        LogFmt(this, llDebug, "%s.%s: current position %" PRId64 " bytes", kClassName, kSeekName,
               ff.avio_seek(ctx->pb, 0, SEEK_CUR));
    }

    const int64_t requested = target;
    const bool by_bytes = (seek_flags & AVSEEK_FLAG_BYTE) != 0;
    const bool on_video = IsStreamOfType(ctx, video_stream_index_, AVMEDIA_TYPE_VIDEO);
    // Aim half a frame early so that the first picture itself is found.
    if (target == 0 && frame_rate_.den != 0 && on_video) {
        target -= FrameDuration(frame_rate_) / 2;
    }
    if (!by_bytes) {
        int64_t start = ctx->start_time;
        if (video_stream_index_ >= 0 && on_video) {
            const AVStream* st = ctx->streams[video_stream_index_];
            target = ff.av_rescale_q(target, kMicroseconds, st->time_base);
            start = st->start_time;
        }
        if (start != AV_NOPTS_VALUE) {
            target += start;
        }
    }
    const int stream_index = on_video ? video_stream_index_ : -1;

    if (video_decoder_) {
        ff.avcodec_flush_buffers(video_decoder_.get());
    }
    if (audio_decoder_) {
        ff.avcodec_flush_buffers(audio_decoder_.get());
    }
    ResetDecoding();

    const int flags = seek_flags & 0x0F;
    const bool seek2 = ctx->iformat != nullptr && ctx->iformat->read_seek2 != nullptr;
    const auto seek = [&](int with_flags) {
        return seek2 ? ff.avformat_seek_file(ctx, stream_index, INT64_MIN, target, INT64_MAX,
                                             with_flags)
                     : ff.av_seek_frame(ctx, stream_index, target, with_flags);
    };
    MarkActivity();
    int ret = seek(flags);
    if (ret < 0) {
        ret = seek(flags ^ AVSEEK_FLAG_BACKWARD);
    }
    MarkIdle();
    if (ret < 0) {
        if (by_bytes) {
            LogError(llError, StringPrintf("%s.%s: could not seek to position %" PRId64 " bytes",
                                           kClassName, kSeekName, requested));
        } else {
            LogError(llError,
                     StringPrintf("%s.%s: could not seek to position %0.3f seconds", kClassName,
                                  kSeekName, static_cast<double>(requested) / 1000000.0));
        }
        return false;
    }
    if (ctx->pb != nullptr) {
        LogFmt(this, llDebug, "%s.%s: seek to position %" PRId64 " bytes", kClassName, kSeekName,
               ff.avio_seek(ctx->pb, 0, SEEK_CUR));
    }
    return true;
}

bool TVEVarazez::ReadingRefused() {
    // Reading would take packets away from the context's owner.
    if (OwnsContext()) {
        return false;
    }
    LogError(llWarning, "file cannot be read, handle is readonly.");
    return true;
}

TVEVarazez::DecoderPtr TVEVarazez::OpenDecoder(int stream_index) {
    const AVStream* st = FormatContext()->streams[stream_index];
    const AVCodec* codec = ff.avcodec_find_decoder(st->codecpar->codec_id);
    if (codec == nullptr) {
        LogError(llError, StringPrintf("stream #%d: %s", stream_index,
                                       ErrorText(AVERROR_DECODER_NOT_FOUND).c_str()));
        return nullptr;
    }
    DecoderPtr decoder(ff.avcodec_alloc_context3(codec));
    if (!decoder) {
        LogError(llError, ErrorText(AVERROR(ENOMEM)));
        return nullptr;
    }
    int ret = ff.avcodec_parameters_to_context(decoder.get(), st->codecpar);
    if (ret >= 0) {
        decoder->pkt_timebase = st->time_base;
        ret = ff.avcodec_open2(decoder.get(), codec, nullptr);
    }
    if (ret < 0) {
        LogError(llError, ErrorText(StringPrintf("stream #%d", stream_index), ret));
        return nullptr;
    }
    return decoder;
}

bool TVEVarazez::OpenVideoStream(int stream_index) {
    if (NotLoaded()) {
        return false;
    }
    if (stream_index == -1) {
        stream_index = FirstVideoStreamIndex();
        if (stream_index == -1) {
            LogError(llError, "no video stream.");
            return false;
        }
    }
    if (!IsVideoStream(stream_index)) {
        if (stream_index >= 0 && stream_index < StreamCount()) {
            LogError(llError, StringPrintf("stream #%d is not video stream.", stream_index));
        }
        return false;
    }
    DecoderPtr decoder = OpenDecoder(stream_index);
    if (!decoder) {
        return false;
    }
    AVStream* st = FormatContext()->streams[stream_index];
    video_decoder_ = std::move(decoder);
    video_stream_index_ = stream_index;
    frame_rate_ = ff.av_guess_frame_rate(FormatContext(), st, nullptr);
    video_packets_.clear();
    video_end_ = false;
    ResetVideoState();
    return true;
}

bool TVEVarazez::OpenAudioStream(int stream_index) {
    if (NotLoaded()) {
        return false;
    }
    if (stream_index == -1) {
        stream_index = FirstAudioStreamIndex();
        if (stream_index == -1) {
            LogError(llError, "no audio stream.");
            return false;
        }
    }
    if (!IsAudioStream(stream_index)) {
        if (stream_index >= 0 && stream_index < StreamCount()) {
            LogError(llError, StringPrintf("stream #%d is not audio stream.", stream_index));
        }
        return false;
    }
    DecoderPtr decoder = OpenDecoder(stream_index);
    if (!decoder) {
        return false;
    }
    audio_decoder_ = std::move(decoder);
    audio_stream_index_ = stream_index;
    audio_packets_.clear();
    audio_end_ = false;
    resampler_.reset();
    ResetAudioState();
    return true;
}

PacketPtr TVEVarazez::NextPacket(int stream_index, int& error) {
    error = 0;
    std::deque<PacketPtr>& queue =
        stream_index == video_stream_index_ ? video_packets_ : audio_packets_;
    if (!queue.empty()) {
        PacketPtr packet = std::move(queue.front());
        queue.pop_front();
        return packet;
    }
    if (input_ended_) {
        return nullptr;
    }
    PacketPtr packet(ff.av_packet_alloc());
    if (!packet) {
        error = AVERROR(ENOMEM);
        return nullptr;
    }
    for (;;) {
        MarkActivity();
        const int ret = ff.av_read_frame(FormatContext(), packet.get());
        MarkIdle();
        if (ret < 0) {
            if (ret == AVERROR_EOF || ff.avio_feof(FormatContext()->pb)) {
                input_ended_ = true;
            } else {
                error = ret;
            }
            return nullptr;
        }
        if (packet->stream_index == stream_index) {
            return packet;
        }
        // Keep what the other current stream will ask for; drop the rest.
        if (packet->stream_index == video_stream_index_ && video_decoder_) {
            video_packets_.push_back(std::move(packet));
        } else if (packet->stream_index == audio_stream_index_ && audio_decoder_) {
            audio_packets_.push_back(std::move(packet));
        } else {
            ff.av_packet_unref(packet.get());
        }
        if (!packet) {
            packet.reset(ff.av_packet_alloc());
            if (!packet) {
                error = AVERROR(ENOMEM);
                return nullptr;
            }
        }
    }
}

int TVEVarazez::ReceiveFrame(AVCodecContext* decoder, int stream_index, bool& flushed,
                             AVFrame* frame) {
    for (;;) {
        int ret = ff.avcodec_receive_frame(decoder, frame);
        if (ret != AVERROR(EAGAIN)) {
            return ret;
        }
        int error = 0;
        PacketPtr packet = NextPacket(stream_index, error);
        if (error < 0) {
            return error;
        }
        if (!packet) {
            if (flushed) {
                return AVERROR_EOF;
            }
            flushed = true;  // drain what the decoder still holds
        }
        ret = ff.avcodec_send_packet(decoder, packet.get());
        // A damaged packet is skipped, as a player would.
        if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_INVALIDDATA && ret != AVERROR_EOF) {
            return ret;
        }
    }
}

bool TVEVarazez::DecodeNextPicture() {
    if (NotLoaded()) {
        return false;
    }
    if (!video_decoder_) {
        LogError(llError, "no video stream.");
        return false;
    }
    if (ReadingRefused()) {
        return false;
    }
    if (!frame_) {
        frame_.reset(ff.av_frame_alloc());
    }
    if (!frame_) {
        LogError(llError, ErrorText(AVERROR(ENOMEM)));
        return false;
    }
    ff.av_frame_unref(frame_.get());
    const int ret =
        ReceiveFrame(video_decoder_.get(), video_stream_index_, video_flushed_, frame_.get());
    if (ret == AVERROR_EOF) {
        video_end_ = true;
        return false;
    }
    if (ret < 0) {
        LogError(llError, ErrorText(StringPrintf("stream #%d", video_stream_index_), ret));
        return false;
    }
    const AVStream* st = FormatContext()->streams[video_stream_index_];
    picture_time_ =
        frame_->best_effort_timestamp == AV_NOPTS_VALUE
            ? AV_NOPTS_VALUE
            : ff.av_rescale_q(frame_->best_effort_timestamp, st->time_base, kMicroseconds);
    picture_position_ = frame_->pkt_pos;
    ++picture_count_;
    if (!picture_converter_.PictureToBitmap(frame_.get(), true)) {
        LogError(llError, picture_converter_.LastErrorText());
        return false;
    }
    return true;
}

bool TVEVarazez::EnsureResampler(const AVFrame* frame) {
    if (resampler_) {
        return true;
    }
    AVChannelLayout out_layout{};
    ff.av_channel_layout_default(&out_layout, out_channels_);
    // Delivered interleaved, whatever the wanted format's layout.
    const AVSampleFormat out_format =
        ff.av_get_packed_sample_fmt(static_cast<AVSampleFormat>(out_sample_format_));
    SwrContext* swr = nullptr;
    int ret = ff.swr_alloc_set_opts2(&swr, &out_layout, out_format, out_sample_rate_,
                                     const_cast<AVChannelLayout*>(&frame->ch_layout),
                                     static_cast<AVSampleFormat>(frame->format), frame->sample_rate,
                                     0, nullptr);
    ff.av_channel_layout_uninit(&out_layout);
    ResamplerPtr resampler(swr);
    if (ret >= 0) {
        ret = ff.swr_init(resampler.get());
    }
    if (ret < 0) {
        LogError(llError, ErrorText("Cannot create the audio resampler", ret));
        return false;
    }
    resampler_ = std::move(resampler);
    return true;
}

int TVEVarazez::DecodeNextAudio(std::vector<uint8_t>& output) {
    if (NotLoaded()) {
        return -1;
    }
    if (!audio_decoder_) {
        LogError(llError, "no audio stream.");
        return -1;
    }
    if (ReadingRefused()) {
        return AVERROR(EPERM);
    }
    if (out_channels_ <= 0 || out_sample_rate_ <= 0 || bytes_per_sample_ <= 0) {
        LogError(llError, StringPrintf("invalid audio output: %d channels, %d Hz, format %d",
                                       out_channels_, out_sample_rate_, out_sample_format_));
        return AVERROR(EINVAL);
    }
    if (!frame_) {
        frame_.reset(ff.av_frame_alloc());
    }
    if (!frame_) {
        LogError(llError, ErrorText(AVERROR(ENOMEM)));
        return AVERROR(ENOMEM);
    }
    const AVStream* st = FormatContext()->streams[audio_stream_index_];
    const size_t frame_bytes = static_cast<size_t>(bytes_per_sample_) * out_channels_;
    // A resampler may hold samples back; go on until some come out or the
    // stream and the resampler are both drained.
    for (;;) {
        ff.av_frame_unref(frame_.get());
        int ret = audio_end_ ? AVERROR_EOF
                             : ReceiveFrame(audio_decoder_.get(), audio_stream_index_,
                                            audio_flushed_, frame_.get());
        if (ret < 0 && ret != AVERROR_EOF) {
            LogError(llError, ErrorText(StringPrintf("stream #%d", audio_stream_index_), ret));
            return ret;
        }
        const bool draining = ret == AVERROR_EOF;
        if (draining) {
            audio_end_ = true;
            if (!resampler_) {
                return 0;
            }
        } else {
            if (!EnsureResampler(frame_.get())) {
                return AVERROR(EINVAL);
            }
            if (frame_->best_effort_timestamp != AV_NOPTS_VALUE) {
                audio_time_ =
                    ff.av_rescale_q(frame_->best_effort_timestamp, st->time_base, kMicroseconds);
            }
        }
        const int in_rate = draining ? out_sample_rate_ : frame_->sample_rate;
        const int64_t capacity = ff.av_rescale_rnd(ff.swr_get_delay(resampler_.get(), in_rate) +
                                                       (draining ? 0 : frame_->nb_samples),
                                                   out_sample_rate_, in_rate, AV_ROUND_UP) +
                                 32;
        const size_t old_size = output.size();
        output.resize(old_size + static_cast<size_t>(capacity) * frame_bytes);
        uint8_t* out_planes[1] = {output.data() + old_size};
        ret =
            ff.swr_convert(resampler_.get(), out_planes, static_cast<int>(capacity),
                           draining ? nullptr : const_cast<const uint8_t**>(frame_->extended_data),
                           draining ? 0 : frame_->nb_samples);
        if (ret < 0) {
            output.resize(old_size);
            LogError(llError, ErrorText("Cannot convert audio", ret));
            return ret;
        }
        output.resize(old_size + static_cast<size_t>(ret) * frame_bytes);
        audio_samples_delivered_ += ret;
        if (ret > 0 || draining) {
            return static_cast<int>(static_cast<size_t>(ret) * frame_bytes);
        }
    }
}

}  // namespace tavrin

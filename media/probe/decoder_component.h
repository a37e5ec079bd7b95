// The concrete decoder component: TCustomDecoder plus seeking and decoding of
// the opened file's pictures (into a bitmap through the picture converter)
// and audio (resampled to the wanted output format).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "media/common/ff_handles.h"
#include "media/common/format_converter.h"
#include "media/probe/custom_decoder.h"

namespace tavrin {

class TVEVarazez : public TCustomDecoder {
public:
    TVEVarazez();
    ~TVEVarazez() override;

    // Converts decoded pictures into its bitmap; its scaling flags follow the
    // "sws_flags" option at each successful LoadFile.
    TFormatConverter& PictureConverter() { return picture_converter_; }

    // The wanted audio output: 2 channels, 44100 Hz, signed 16-bit by default.
    // A new value resets the audio decoding state and drops the resampler.
    int32_t AudioChannels() const { return audio_channels_; }
    void SetAudioChannels(int32_t channels);
    int32_t AudioSampleRate() const { return audio_sample_rate_; }
    void SetAudioSampleRate(int32_t sample_rate);
    int32_t AudioSampleFormat() const { return audio_sample_format_; }
    void SetAudioSampleFormat(int32_t sample_format);

    void CloseFile() override;

    // Seeks to `target` microseconds, or bytes with AVSEEK_FLAG_BYTE in
    // `seek_flags`. False with LastErrorText when it cannot; raises
    // FFmpegException on a context that belongs to someone else.
    bool Seek(int seek_flags, int64_t target);

    // Opens a decoder for the stream (-1: the first of the type) and makes it
    // the current one of its type. False with LastErrorText.
    bool OpenVideoStream(int stream_index = -1);
    bool OpenAudioStream(int stream_index = -1);
    int32_t CurrentVideoStreamIndex() const { return video_stream_index_; }
    int32_t CurrentAudioStreamIndex() const { return audio_stream_index_; }
    AVRational FrameRate() const { return frame_rate_; }
    bool VideoEnded() const { return video_end_; }
    bool AudioEnded() const { return audio_end_; }

    // Decodes the next picture of the current video stream into the picture
    // converter's bitmap. False at the end (VideoEnded) or on an error
    // (LastErrorText); an attached context is never read.
    bool DecodeNextPicture();
    // Time of the last decoded picture in microseconds (AV_NOPTS_VALUE when
    // unknown) and the pictures decoded since the last reset.
    int64_t PictureTime() const { return picture_time_; }
    int64_t PictureCount() const { return picture_count_; }

    // Decodes the next audio frame of the current audio stream, converted to
    // the wanted output (interleaved), and appends it to `output`. The number
    // of bytes appended; 0 at the end (AudioEnded); negative on an error
    // (LastErrorText).
    int DecodeNextAudio(std::vector<uint8_t>& output);
    // The output the audio is converted to and its byte rates.
    int32_t OutputChannels() const { return out_channels_; }
    int32_t OutputSampleRate() const { return out_sample_rate_; }
    int32_t OutputSampleFormat() const { return out_sample_format_; }
    int32_t BytesPerSample() const { return bytes_per_sample_; }
    // Bytes per sample x rate x channels; 0 when the sample size is unknown.
    int32_t BytesPerSecond() const { return bytes_per_second_; }
    // Time of the last decoded audio frame (AV_NOPTS_VALUE when unknown) and
    // the output samples per channel delivered since the last reset.
    int64_t AudioTime() const { return audio_time_; }
    int64_t AudioSamplesDelivered() const { return audio_samples_delivered_; }
    bool HasResampler() const { return resampler_ != nullptr; }

protected:
    void ApplyLoadOptions(TFFOptions& options) override;

private:
    using DecoderPtr = CodecContextPtr;

    void ResetDecoding();
    void ResetVideoState();
    void ResetAudioState();
    DecoderPtr OpenDecoder(int stream_index);
    // Logs and returns true for an attached context, which only its owner reads.
    bool ReadingRefused();
    // The next packet of the stream: queued ones first, then read from the
    // input, queueing the other current stream's packets on the way. Null at
    // the end of the input or on a read error (`error` < 0 then).
    PacketPtr NextPacket(int stream_index, int& error);
    // Receives the next frame of a decoder, feeding it packets as it asks. 0,
    // AVERROR_EOF at the end, or another negative code.
    int ReceiveFrame(AVCodecContext* decoder, int stream_index, bool& flushed, AVFrame* frame);
    bool EnsureResampler(const AVFrame* frame);

    TFormatConverter picture_converter_;
    int32_t video_stream_index_ = -1;
    int32_t audio_stream_index_ = -1;
    AVRational frame_rate_{0, 0};
    bool video_end_ = false;
    bool audio_end_ = false;
    bool video_flushed_ = false;
    bool audio_flushed_ = false;
    bool input_ended_ = false;
    int64_t picture_time_ = AV_NOPTS_VALUE;
    int64_t picture_count_ = 0;
    int64_t picture_position_ = -1;
    int32_t audio_channels_ = 2;
    int32_t audio_sample_rate_ = 44100;
    int32_t audio_sample_format_ = AV_SAMPLE_FMT_S16;
    int32_t out_channels_ = 2;
    int32_t out_sample_rate_ = 44100;
    int32_t out_sample_format_ = AV_SAMPLE_FMT_S16;
    int32_t bytes_per_sample_ = 2;
    int32_t bytes_per_second_ = 2 * 44100 * 2;
    int64_t audio_time_ = AV_NOPTS_VALUE;
    int64_t audio_samples_delivered_ = 0;
    DecoderPtr video_decoder_;
    DecoderPtr audio_decoder_;
    ResamplerPtr resampler_;
    FramePtr frame_;
    std::deque<PacketPtr> video_packets_;
    std::deque<PacketPtr> audio_packets_;
};

}  // namespace tavrin

#include "media/player/player_audio.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "media/player/custom_player.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

constexpr int kSilenceBytes = 1024;
constexpr uint8_t kSilence[kSilenceBytes] = {};
constexpr int kSamplesPerCallback = 1024;
constexpr int kEmptyQueueRetries = 10;

uint64_t DefaultChannelMask(int channels) {
    AVChannelLayout layout{};
    ff.av_channel_layout_default(&layout, channels);
    const uint64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? layout.u.mask : 0;
    ff.av_channel_layout_uninit(&layout);
    return mask;
}

}  // namespace

int NextChannelCountToTry(int refused) {
    static constexpr int kNext[8] = {0, 0, 1, 6, 2, 6, 4, 6};
    return kNext[std::clamp(refused, 0, 7)];
}

int WantedSampleCount(TAudioSyncState& state, int samples, double difference, int sample_rate) {
    if (std::isnan(difference) || std::fabs(difference) >= kNoSyncThreshold) {
        state.cumulative = 0;
        state.count = 0;
        return samples;
    }
    state.cumulative = difference + state.coefficient * state.cumulative;
    if (state.count < kAudioDiffAverageCount) {
        ++state.count;
        return samples;
    }
    if (std::fabs(state.cumulative * (1.0 - state.coefficient)) < state.threshold) {
        return samples;
    }
    const int wanted = samples + static_cast<int>(difference * sample_rate);
    return std::clamp(wanted, samples * 90 / 100, samples * 110 / 100);
}

int TPlayerAudio::Open(TCustomPlayer& player, TPlayback& playback, int wanted_channels,
                       uint64_t channel_mask, int sample_rate) {
    const TSDLEntries& sdl = player.sdl_;
    if (const char* forced = sdl.SDL_getenv("SDL_AUDIO_CHANNELS")) {
        wanted_channels = std::atoi(forced);
        channel_mask = DefaultChannelMask(wanted_channels);
    }
    if (channel_mask == 0 || std::popcount(channel_mask) != wanted_channels) {
        channel_mask = DefaultChannelMask(wanted_channels) & ~AV_CH_LAYOUT_STEREO_DOWNMIX;
    }
    int channels = std::popcount(channel_mask);
    if (sample_rate <= 0 || channels == 0) {
        Log(&player, llError, "Invalid sample rate or channel count!");
        return -1;
    }
    SDL_AudioSpec wanted{};
    wanted.freq = sample_rate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<uint8_t>(channels);
    wanted.silence = 0;
    wanted.samples = kSamplesPerCallback;
    wanted.callback = &TPlayerAudio::Callback;
    wanted.userdata = &player;
    SDL_AudioSpec obtained{};
    while (sdl.SDL_OpenAudio(&wanted, &obtained) < 0) {
        LogFmt(&player, llError, "SDL_OpenAudio (%d channels): %s", wanted.channels,
               sdl.SDL_GetError());
        channels = NextChannelCountToTry(wanted.channels);
        if (channels == 0) {
            Log(&player, llError, "No more channel combinations to try, audio open failed");
            return -1;
        }
        wanted.channels = static_cast<uint8_t>(channels);
        channel_mask = DefaultChannelMask(channels);
    }
    playback.audio_device_open = true;
    if (obtained.format != AUDIO_S16SYS) {
        LogFmt(&player, llError, "SDL advised audio format %d is not supported!", obtained.format);
        return -1;
    }
    if (obtained.channels != wanted.channels) {
        channel_mask = DefaultChannelMask(obtained.channels);
        if (channel_mask == 0) {
            LogFmt(&player, llError, "SDL advised channel count %d is not supported!",
                   obtained.channels);
            return -1;
        }
    }
    playback.audio_target = {obtained.freq, obtained.channels, channel_mask, AV_SAMPLE_FMT_S16};
    return static_cast<int>(obtained.size);
}

int TPlayerAudio::StartStream(TCustomPlayer& player, TPlayback& playback, AVStream* stream) {
    const AVCodecContext* decoder = playback.audio_decoder.get();
    const uint64_t mask =
        decoder->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? decoder->ch_layout.u.mask : 0;
    const int buffer_size =
        Open(player, playback, decoder->ch_layout.nb_channels, mask, decoder->sample_rate);
    if (buffer_size < 0) {
        return -1;
    }
    playback.audio_hw_buffer_size = buffer_size;
    playback.audio_source = playback.audio_target;
    playback.audio_stream = stream;
    playback.audio_stream_duration =
        stream->duration != AV_NOPTS_VALUE
            ? ff.av_rescale_q(stream->duration, stream->time_base, AVRational{1, AV_TIME_BASE})
            : -1;
    playback.audio_buffer_size = 0;
    playback.audio_buffer_index = 0;
    playback.audio_diff_coefficient = std::exp(std::log(0.01) / kAudioDiffAverageCount);
    playback.audio_diff_count = 0;
    const int bytes_per_second =
        playback.audio_target.sample_rate * playback.audio_target.channels * 2;
    playback.audio_diff_threshold = 2.0 * buffer_size / bytes_per_second;
    playback.visualisation.assign(kVisualisationSamples, 0);
    playback.audio_queue.Start();
    player.sdl_.SDL_PauseAudio(0);
    return 0;
}

void TPlayerAudio::CloseStream(TCustomPlayer& player, TPlayback& playback) {
    playback.audio_queue.Abort();
    if (playback.audio_device_open) {
        player.sdl_.SDL_CloseAudio();  // waits for a running callback
        playback.audio_device_open = false;
    }
    playback.audio_queue.Flush();
    playback.audio_packet = {};
    playback.audio_frame.reset();
    playback.resampler.reset();
    playback.resample_buffer.clear();
    playback.audio_buffer = nullptr;
    playback.audio_stream_duration = -1;
}

void TPlayerAudio::Callback(void* userdata, uint8_t* stream, int length) {
    auto& player = *static_cast<TCustomPlayer*>(userdata);
    TPlayback* const current = player.playback_being_read_.load();
    if (current == nullptr || current->paused.load() || current->closing.load()) {
        // Paused: silence, and the decoded sound waits where it stopped; the
        // audio position stays where it is. Stopping resumes the threads but
        // plays nothing more.
        std::memset(stream, 0, static_cast<std::size_t>(length));
        if (current != nullptr) {
            current->audio_current_pos_drift =
                current->audio_current_pos.load() - ff.av_gettime_relative() / 1000000.0;
        }
        return;
    }
    TPlayback& playback = *current;
    const int frame_size = playback.audio_target.channels * 2;
    const int64_t callback_time = ff.av_gettime_relative();
    playback.audio_callback_time = callback_time;
    const int volume = player.mute_.load() ? 0 : player.audio_volume_.load();

    while (length > 0) {
        if (playback.audio_buffer_index >= playback.audio_buffer_size) {
            double piece_time = NAN;
            const int size = DecodeFrame(player, playback, piece_time);
            if (playback.audio_queue.Aborted()) {
                break;
            }
            if (size < 0) {
                playback.audio_buffer = kSilence;
                playback.audio_buffer_size = kSilenceBytes / frame_size * frame_size;
                playback.silence_after_sound += playback.audio_buffer_size;
            } else {
                playback.silence_after_sound = 0;
                playback.audio_buffer_size = size;
                if (player.audio_hook_.load() && player.on_audio_hook_) {
                    const int64_t position =
                        std::llround(piece_time * 1000000.0) - playback.start_time;
                    // The hook may change the samples in place: they are ours
                    // (the resampling buffer or the decoded frame).
                    player.on_audio_hook_(
                        &player, position, const_cast<uint8_t*>(playback.audio_buffer), size,
                        playback.audio_target.sample_rate, playback.audio_target.channels);
                }
                if (playback.show_mode != 1) {
                    const auto* samples = reinterpret_cast<const int16_t*>(playback.audio_buffer);
                    const std::lock_guard lock(playback.visualisation_mutex);
                    for (int i = 0; i < size / 2; ++i) {
                        playback
                            .visualisation[static_cast<std::size_t>(playback.visualisation_index)] =
                            samples[i];
                        playback.visualisation_index =
                            (playback.visualisation_index + 1) % kVisualisationSamples;
                    }
                }
            }
            playback.audio_buffer_index = 0;
        }
        const int chunk =
            std::min(length, playback.audio_buffer_size - playback.audio_buffer_index);
        const uint8_t* source = playback.audio_buffer + playback.audio_buffer_index;
        if (volume <= 0) {
            std::memset(stream, 0, static_cast<std::size_t>(chunk));
        } else if (volume >= SDL_MIX_MAXVOLUME) {
            std::memcpy(stream, source, static_cast<std::size_t>(chunk));
        } else {
            std::memset(stream, 0, static_cast<std::size_t>(chunk));
            player.sdl_.SDL_MixAudioFormat(stream, source, AUDIO_S16SYS,
                                           static_cast<uint32_t>(chunk), volume);
        }
        length -= chunk;
        stream += chunk;
        playback.audio_buffer_index += chunk;
    }
    if (length > 0) {
        std::memset(stream, 0, static_cast<std::size_t>(length));
    }

    const bool sound_pending = playback.audio_buffer != kSilence;
    const int write_buffer_size =
        sound_pending ? playback.audio_buffer_size - playback.audio_buffer_index : 0;
    playback.audio_write_buffer_size = write_buffer_size;
    const double bytes_per_second = playback.audio_target.sample_rate * frame_size;
    if (!std::isnan(playback.audio_clock)) {
        const int64_t in_device = std::max<int64_t>(
            0, 2 * int64_t{playback.audio_hw_buffer_size} - playback.silence_after_sound);
        const double position =
            playback.audio_clock -
            static_cast<double>(in_device + write_buffer_size) / bytes_per_second;
        playback.audio_current_pos_drift = position - callback_time / 1000000.0;
        playback.audio_current_pos = position;
        playback.audio_clock_serial = playback.audio_clock_serial_local;
    }
}

int TPlayerAudio::DecodeFrame(TCustomPlayer& player, TPlayback& playback, double& piece_time) {
    AVCodecContext* decoder = playback.audio_decoder.get();
    TPacketQueue& queue = playback.audio_queue;
    for (;;) {
        if (playback.paused.load() || queue.Aborted()) {
            return -1;
        }
        if (playback.audio_packet_pending) {
            if (!playback.audio_frame) {
                playback.audio_frame.reset(ff.av_frame_alloc());
                if (!playback.audio_frame) {
                    return AVERROR(ENOMEM);
                }
            }
            AVFrame* frame = playback.audio_frame.get();
            ff.av_frame_unref(frame);
            const int received = ff.avcodec_receive_frame(decoder, frame);
            if (received == 0) {
                if (playback.audio_packet.serial != queue.Serial()) {
                    continue;  // from before a seek
                }
                piece_time = playback.audio_clock;
                const int size = ConvertFrame(player, playback, frame);
                if (size < 0) {
                    continue;  // dropped, reported
                }
                return size;
            }
            playback.audio_packet_pending = false;
            if (received == AVERROR_EOF) {
                playback.audio_flush_complete = true;
            }
        }

        // The next packet: without blocking, so pause and abort are seen
        // quickly.
        if (queue.Count() == 0) {
            playback.continue_read.notify_all();
        }
        // A short wait for a late packet; then silence, so an empty queue
        // (at the end of the file, or a slow input) never holds up the device.
        TQueuedPacket next;
        for (int attempt = 0;; ++attempt) {
            const int got = queue.Get(next, false);
            if (got < 0) {
                return -1;
            }
            if (got > 0) {
                break;
            }
            if (attempt == kEmptyQueueRetries || playback.paused.load() || queue.Aborted()) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (next.flush) {
            ff.avcodec_flush_buffers(decoder);
            playback.audio_flush_complete = false;
            continue;
        }
        if (next.serial != queue.Serial()) {
            continue;
        }
        playback.audio_packet = std::move(next);
        AVPacket* packet = playback.audio_packet.packet.get();
        if (packet->pts != AV_NOPTS_VALUE) {
            playback.audio_clock = packet->pts * av_q2d(playback.audio_stream->time_base);
            playback.audio_clock_serial_local = playback.audio_packet.serial;
        }
        const bool end_packet = packet->data == nullptr;
        if (end_packet && playback.audio_flush_complete) {
            continue;
        }
        const int sent = ff.avcodec_send_packet(decoder, end_packet ? nullptr : packet);
        if (sent < 0 && sent != AVERROR_EOF) {
            Log(&player, llInfo, "avcodec_decode_audio3() failed");
            continue;
        }
        playback.audio_packet_pending = true;
    }
}

int TPlayerAudio::ConvertFrame(TCustomPlayer& player, TPlayback& playback, AVFrame* frame) {
    const int channels = frame->ch_layout.nb_channels;
    uint64_t mask = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
    if (mask == 0 || std::popcount(mask) != channels) {
        mask = DefaultChannelMask(channels);
    }
    const auto format = static_cast<AVSampleFormat>(frame->format);
    int wanted = frame->nb_samples;
    if (player.MasterSyncType() != syncAudio) {
        TAudioSyncState sync{playback.audio_diff_cumulative, playback.audio_diff_coefficient,
                             playback.audio_diff_count, playback.audio_diff_threshold};
        wanted = WantedSampleCount(sync, frame->nb_samples,
                                   player.AudioClock() - player.MasterClock(), frame->sample_rate);
        playback.audio_diff_cumulative = sync.cumulative;
        playback.audio_diff_count = sync.count;
    }

    const TAudioParams& target = playback.audio_target;
    TAudioParams& source = playback.audio_source;
    if (format != source.format || mask != source.channel_mask ||
        frame->sample_rate != source.sample_rate ||
        (wanted != frame->nb_samples && !playback.resampler)) {
        playback.resampler.reset();
        AVChannelLayout in_layout{};
        AVChannelLayout out_layout{};
        ff.av_channel_layout_from_mask(&in_layout, mask);
        ff.av_channel_layout_from_mask(&out_layout, target.channel_mask);
        SwrContext* resampler = nullptr;
        const bool made =
            ff.swr_alloc_set_opts2(&resampler, &out_layout, target.format, target.sample_rate,
                                   &in_layout, format, frame->sample_rate, 0, nullptr) >= 0;
        playback.resampler.reset(resampler);
        ff.av_channel_layout_uninit(&in_layout);
        ff.av_channel_layout_uninit(&out_layout);
        if (!made || ff.swr_init(resampler) < 0) {
            LogFmt(&player, llError,
                   "Cannot create sample rate converter for conversion of %d Hz %s %d channels "
                   "to %d Hz %s %d channels!",
                   frame->sample_rate, ff.av_get_sample_fmt_name(format), channels,
                   target.sample_rate, ff.av_get_sample_fmt_name(target.format), target.channels);
            playback.resampler.reset();
            return -1;
        }
        source = {frame->sample_rate, channels, mask, format};
    }

    int size = 0;
    if (playback.resampler) {
        SwrContext* resampler = playback.resampler.get();
        const int capacity = static_cast<int>(static_cast<int64_t>(wanted) * target.sample_rate /
                                              frame->sample_rate) +
                             256;
        if (wanted != frame->nb_samples) {
            const int delta = static_cast<int>(static_cast<int64_t>(wanted - frame->nb_samples) *
                                               target.sample_rate / frame->sample_rate);
            const int distance = static_cast<int>(static_cast<int64_t>(wanted) *
                                                  target.sample_rate / frame->sample_rate);
            if (ff.swr_set_compensation(resampler, delta, distance) < 0) {
                Log(&player, llError, "swr_set_compensation() failed");
                return -1;
            }
        }
        const int buffer_size =
            ff.av_samples_get_buffer_size(nullptr, target.channels, capacity, target.format, 0);
        if (buffer_size < 0) {
            Log(&player, llError, "av_samples_get_buffer_size() failed");
            return -1;
        }
        playback.resample_buffer.resize(static_cast<std::size_t>(buffer_size));
        uint8_t* out = playback.resample_buffer.data();
        const int converted =
            ff.swr_convert(resampler, &out, capacity,
                           const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        if (converted < 0) {
            Log(&player, llError, "swr_convert() failed");
            return -1;
        }
        if (converted == capacity) {
            Log(&player, llWarning, "warning: audio buffer is probably too small");
            ff.swr_init(resampler);
        }
        playback.audio_buffer = out;
        size = converted * target.channels * 2;
    } else {
        playback.audio_buffer = frame->data[0];
        size = ff.av_samples_get_buffer_size(nullptr, channels, frame->nb_samples, format, 1);
    }

    const double frame_start = frame->pts != AV_NOPTS_VALUE
                                   ? frame->pts * av_q2d(playback.audio_stream->time_base)
                                   : playback.audio_clock;
    if (!std::isnan(frame_start)) {
        playback.audio_clock =
            frame_start + static_cast<double>(frame->nb_samples) / frame->sample_rate;
        playback.audio_decoded_end = playback.audio_clock;
    }
    return size;
}

}  // namespace tavrin

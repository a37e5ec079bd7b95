#include "media/player/player_subtitles.h"

#include <algorithm>
#include <thread>

#include "media/common/error_text.h"
#include "media/player/custom_player.h"
#include "media/player/player_video.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"

namespace tavrin {

namespace {

// Fixed point with 10 fractional bits, the video range scaled in.
constexpr int kScaleBits = 10;
constexpr int kOneHalf = 1 << (kScaleBits - 1);
constexpr int Fix(double x) {
    return static_cast<int>(x * (1 << kScaleBits) + 0.5);
}

uint8_t Blend(uint8_t under, uint8_t over, int alpha) {
    return static_cast<uint8_t>((under * (255 - alpha) + over * alpha) / 255);
}

}  // namespace

uint32_t RgbaToYuva(uint32_t argb) {
    const int a = static_cast<int>(argb >> 24);
    const int r = static_cast<int>((argb >> 16) & 0xff);
    const int g = static_cast<int>((argb >> 8) & 0xff);
    const int b = static_cast<int>(argb & 0xff);
    const int y = (Fix(0.29900 * 219.0 / 255.0) * r + Fix(0.58700 * 219.0 / 255.0) * g +
                   Fix(0.11400 * 219.0 / 255.0) * b + (kOneHalf + (16 << kScaleBits))) >>
                  kScaleBits;
    const int u = ((-Fix(0.16874 * 224.0 / 255.0) * r - Fix(0.33126 * 224.0 / 255.0) * g +
                    Fix(0.50000 * 224.0 / 255.0) * b + kOneHalf - 1) >>
                   kScaleBits) +
                  128;
    const int v = ((Fix(0.50000 * 224.0 / 255.0) * r - Fix(0.41869 * 224.0 / 255.0) * g -
                    Fix(0.08131 * 224.0 / 255.0) * b + kOneHalf - 1) >>
                   kScaleBits) +
                  128;
    return (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(y) << 16) |
           (static_cast<uint32_t>(u) << 8) | static_cast<uint32_t>(v);
}

void BlendSubtitle(AVFrame& picture, const AVSubtitle& subtitle) {
    for (unsigned i = 0; i < subtitle.num_rects; ++i) {
        const AVSubtitleRect& rect = *subtitle.rects[i];
        if (rect.type != SUBTITLE_BITMAP || !rect.data[0] || !rect.data[1]) {
            continue;
        }
        const auto* palette = reinterpret_cast<const uint32_t*>(rect.data[1]);
        const auto colour = [&](int x, int y) {
            return palette[rect.data[0][y * rect.linesize[0] + x]];
        };
        const int left = std::max(rect.x, 0);
        const int top = std::max(rect.y, 0);
        const int right = std::min(rect.x + rect.w, picture.width);
        const int bottom = std::min(rect.y + rect.h, picture.height);
        for (int y = top; y < bottom; ++y) {
            uint8_t* luma = picture.data[0] + static_cast<std::ptrdiff_t>(y) * picture.linesize[0];
            for (int x = left; x < right; ++x) {
                const uint32_t yuva = colour(x - rect.x, y - rect.y);
                luma[x] =
                    Blend(luma[x], static_cast<uint8_t>(yuva >> 16), static_cast<int>(yuva >> 24));
            }
        }
        // Each chroma sample covers 2 × 2 pixels; those outside the bitmap
        // count as transparent.
        for (int cy = top / 2; cy < (bottom + 1) / 2; ++cy) {
            uint8_t* u_row =
                picture.data[1] + static_cast<std::ptrdiff_t>(cy) * picture.linesize[1];
            uint8_t* v_row =
                picture.data[2] + static_cast<std::ptrdiff_t>(cy) * picture.linesize[2];
            for (int cx = left / 2; cx < (right + 1) / 2; ++cx) {
                int alpha_sum = 0;
                int u_sum = 0;
                int v_sum = 0;
                for (int y = 2 * cy; y < 2 * cy + 2; ++y) {
                    for (int x = 2 * cx; x < 2 * cx + 2; ++x) {
                        if (x < left || x >= right || y < top || y >= bottom) {
                            continue;
                        }
                        const uint32_t yuva = colour(x - rect.x, y - rect.y);
                        const int alpha = static_cast<int>(yuva >> 24);
                        alpha_sum += alpha;
                        u_sum += alpha * static_cast<int>((yuva >> 8) & 0xff);
                        v_sum += alpha * static_cast<int>(yuva & 0xff);
                    }
                }
                if (alpha_sum == 0) {
                    continue;
                }
                u_row[cx] =
                    static_cast<uint8_t>((u_row[cx] * (4 * 255 - alpha_sum) + u_sum) / (4 * 255));
                v_row[cx] =
                    static_cast<uint8_t>((v_row[cx] * (4 * 255 - alpha_sum) + v_sum) / (4 * 255));
            }
        }
    }
}

void TSubtitle::Free() {
    if (held) {
        ff.avsubtitle_free(&subtitle);
        held = false;
    }
}

void TPlayerSubtitles::StartStream(TPlayback& playback, AVStream* stream) {
    playback.subtitle_stream = stream;
    playback.subtitle_queue.Start();
    playback.subtitle_thread = std::thread([&playback] { Run(playback); });
}

void TPlayerSubtitles::CloseStream(TPlayback& playback) {
    playback.subtitle_queue.Abort();
    {
        const std::lock_guard lock(playback.subtitle_mutex);
        playback.subtitles_closing = true;
        playback.subtitle_changed.notify_all();
    }
    if (playback.subtitle_thread.joinable()) {
        playback.subtitle_thread.join();
    }
    playback.subtitle_queue.Flush();
    const std::lock_guard lock(playback.subtitle_mutex);
    for (TSubtitle& subtitle : playback.subtitles) {
        subtitle.Free();
    }
    playback.subtitle_count = 0;
}

void TPlayerSubtitles::ShowWith(TCustomPlayer& player, TPlayback& playback, AVFrame& picture,
                                double pts) {
    const std::lock_guard lock(playback.subtitle_mutex);
    const auto free_oldest = [&playback] {
        playback.subtitles[static_cast<std::size_t>(playback.subtitle_read)].Free();
        playback.subtitle_read = (playback.subtitle_read + 1) % kSubtitleSlots;
        --playback.subtitle_count;
        playback.subtitle_changed.notify_all();
    };
    const auto start_of = [](const TSubtitle& subtitle) {
        return subtitle.pts + subtitle.subtitle.start_display_time / 1000.0;
    };
    while (playback.subtitle_count > 0) {
        const TSubtitle& oldest =
            playback.subtitles[static_cast<std::size_t>(playback.subtitle_read)];
        const TSubtitle* next = playback.subtitle_count > 1
                                    ? &playback.subtitles[static_cast<std::size_t>(
                                          (playback.subtitle_read + 1) % kSubtitleSlots)]
                                    : nullptr;
        const bool stale = oldest.serial != playback.subtitle_queue.Serial();
        const bool ended = pts > oldest.pts + oldest.subtitle.end_display_time / 1000.0;
        const bool superseded = next && pts >= start_of(*next);
        if (!playback.subtitles_closing && !stale && !ended && !superseded) {
            break;
        }
        free_oldest();
    }
    if (playback.subtitle_count == 0) {
        return;
    }
    const TSubtitle& due = playback.subtitles[static_cast<std::size_t>(playback.subtitle_read)];
    if (pts < start_of(due)) {
        return;
    }
    // The picture may share its buffer with the decoder's reference frames.
    const int writable = ff.av_frame_make_writable(&picture);
    if (writable < 0) {
        Log(&player, llError, ErrorText("av_frame_make_writable() failed", writable));
        return;
    }
    BlendSubtitle(picture, due.subtitle);
}

void TPlayerSubtitles::Run(TPlayback& playback) {
    AVCodecContext* decoder = playback.subtitle_decoder.get();
    const AVRational time_base = playback.subtitle_stream->time_base;
    for (;;) {
        WaitWhilePaused(playback, playback.subtitle_queue);
        TQueuedPacket packet;
        if (playback.subtitle_queue.Get(packet, true) < 0) {
            return;
        }
        if (packet.flush) {
            ff.avcodec_flush_buffers(decoder);
            continue;
        }
        {
            std::unique_lock lock(playback.subtitle_mutex);
            playback.subtitle_changed.wait(lock, [&] {
                return playback.subtitle_count < kSubtitleSlots ||
                       playback.subtitle_queue.Aborted() || playback.subtitles_closing;
            });
            if (playback.subtitle_queue.Aborted() || playback.subtitles_closing) {
                return;
            }
        }
        TSubtitle decoded;
        int got = 0;
        if (ff.avcodec_decode_subtitle2(decoder, &decoded.subtitle, &got, packet.packet.get()) <
                0 ||
            !got) {
            continue;
        }
        decoded.held = true;
        if (decoded.subtitle.format != 0) {
            continue;  // text: not shown
        }
        const AVPacket& source = *packet.packet;
        decoded.pts = decoded.subtitle.pts != AV_NOPTS_VALUE
                          ? decoded.subtitle.pts / static_cast<double>(AV_TIME_BASE)
                      : source.pts != AV_NOPTS_VALUE ? source.pts * av_q2d(time_base)
                                                     : 0.0;
        decoded.serial = packet.serial;
        for (unsigned i = 0; i < decoded.subtitle.num_rects; ++i) {
            AVSubtitleRect& rect = *decoded.subtitle.rects[i];
            auto* palette = reinterpret_cast<uint32_t*>(rect.data[1]);
            for (int entry = 0; palette && entry < rect.nb_colors; ++entry) {
                palette[entry] = RgbaToYuva(palette[entry]);
            }
        }
        const std::lock_guard lock(playback.subtitle_mutex);
        TSubtitle& slot = playback.subtitles[static_cast<std::size_t>(playback.subtitle_write)];
        slot.Free();
        slot.subtitle = decoded.subtitle;
        slot.pts = decoded.pts;
        slot.serial = decoded.serial;
        slot.held = true;
        decoded.held = false;  // the slot owns it now
        playback.subtitle_write = (playback.subtitle_write + 1) % kSubtitleSlots;
        ++playback.subtitle_count;
    }
}

}  // namespace tavrin

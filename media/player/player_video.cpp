#include "media/player/player_video.h"

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>

#include "media/common/error_text.h"
#include "media/player/custom_player.h"
#include "media/player/player_subtitles.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

constexpr double kMinSyncThreshold = 0.01;

}  // namespace

double TargetDelay(double delay, double difference, bool video_is_master) {
    if (video_is_master || std::isnan(difference) || std::fabs(difference) >= kNoSyncThreshold) {
        return delay;
    }
    const double threshold = std::max(kMinSyncThreshold, delay);
    if (difference <= -threshold) {
        return 0;
    }
    if (difference >= threshold) {
        return 2 * delay;
    }
    return delay;
}

void WaitWhilePaused(const TPlayback& playback, const TPacketQueue& queue) {
    while (playback.paused.load() && !queue.Aborted() && !playback.seek_request.load() &&
           !playback.seek_while_paused.load() && playback.first_frame_paused.load() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int TPlayerVideo::StartStream(TCustomPlayer& player, TPlayback& playback, AVStream* stream) {
    playback.video_stream = stream;
    const AVRational rate = ff.av_guess_frame_rate(playback.format_context, stream, nullptr);
    playback.frame_duration = rate.num > 0 && rate.den > 0 ? av_q2d(av_inv_q(rate)) : 0.04;
    playback.frame_timer = NowSeconds();
    playback.video_queue.Start();
    playback.video_thread = std::thread([&player, &playback] { Run(player, playback); });
    return 0;
}

void TPlayerVideo::CloseStream(TPlayback& playback) {
    playback.video_queue.Abort();
    {
        const std::lock_guard lock(playback.picture_mutex);
        playback.picture_changed.notify_all();
    }
    if (playback.video_thread.joinable()) {
        playback.video_thread.join();
    }
    playback.video_queue.Flush();
    const std::lock_guard lock(playback.picture_mutex);
    for (TPicture& picture : playback.pictures) {
        picture.frame.reset();
    }
    playback.picture_count = 0;
}

bool TPlayerVideo::ConfigureFilter(TCustomPlayer& player, TPlayback& playback, const AVFrame* frame,
                                   int serial) {
    TVideoFilter& filter = playback.filter;
    filter.graph.reset(ff.avfilter_graph_alloc());
    filter.source = filter.sink = nullptr;
    if (!filter.graph) {
        return false;
    }
    AVFilterGraph* graph = filter.graph.get();
    const AVRational time_base = playback.video_stream->time_base;
    const AVRational aspect = frame->sample_aspect_ratio;
    const std::string source_args =
        StringPrintf("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", frame->width,
                     frame->height, frame->format, time_base.num, time_base.den, aspect.num,
                     std::max(aspect.den, 1));
    AVFilterContext* crop = nullptr;
    AVFilterContext* format = nullptr;
    const bool built =
        ff.avfilter_graph_create_filter(&filter.source, ff.avfilter_get_by_name("buffer"),
                                        "ffplay_buffer", source_args.c_str(), nullptr,
                                        graph) >= 0 &&
        ff.avfilter_graph_create_filter(&filter.sink, ff.avfilter_get_by_name("buffersink"),
                                        "ffplay_buffersink", nullptr, nullptr, graph) >= 0 &&
        ff.avfilter_graph_create_filter(&crop, ff.avfilter_get_by_name("crop"), "ffplay_crop",
                                        "floor(in_w/2)*2:floor(in_h/2)*2", nullptr, graph) >= 0 &&
        ff.avfilter_graph_create_filter(&format, ff.avfilter_get_by_name("format"), "ffplay_format",
                                        "yuv420p", nullptr, graph) >= 0 &&
        ff.avfilter_link(filter.source, 0, crop, 0) >= 0 &&
        ff.avfilter_link(crop, 0, format, 0) >= 0 &&
        ff.avfilter_link(format, 0, filter.sink, 0) >= 0;
    const int configured = built ? ff.avfilter_graph_config(graph, nullptr) : AVERROR(EINVAL);
    if (configured < 0) {
        Log(&player, llError, ErrorText("configure_video_filters() failed", configured));
        filter.graph.reset();
        return false;
    }
    filter.width = frame->width;
    filter.height = frame->height;
    filter.format = frame->format;
    filter.serial = serial;
    return true;
}

bool TPlayerVideo::QueuePicture(TCustomPlayer& player, TPlayback& playback, FramePtr frame,
                                double pts, int serial) {
    {
        std::unique_lock lock(playback.picture_mutex);
        playback.picture_changed.wait(lock, [&] {
            return playback.picture_count < kPicturesWaiting || playback.video_queue.Aborted();
        });
        if (playback.video_queue.Aborted()) {
            return false;
        }
    }
    // Outside the lock: a slow handler must not hold up the refresh.
    RunHooks(player, playback, *frame, pts);
    const std::lock_guard lock(playback.picture_mutex);
    if (playback.video_queue.Aborted()) {
        return false;
    }
    TPicture& slot = playback.pictures[static_cast<std::size_t>(playback.picture_write)];
    const AVRational aspect = frame->sample_aspect_ratio;
    slot.sample_aspect = aspect.num > 0 && aspect.den > 0 ? av_q2d(aspect) : 0;
    slot.pos = frame->pkt_pos;
    slot.frame = std::move(frame);
    slot.pts = pts;
    slot.serial = serial;
    playback.picture_write = (playback.picture_write + 1) % kPictureSlots;
    ++playback.picture_count;
    return true;
}

void TPlayerVideo::RunHooks(TCustomPlayer& player, const TPlayback& playback, AVFrame& picture,
                            double pts) {
    const bool video_hook = player.video_hook_.load() && player.on_video_hook_;
    const bool frame_hook = player.frame_hook_.load() && player.on_frame_hook_;
    if (!video_hook && !frame_hook) {
        return;
    }
    // The picture may share its buffer with the decoder's reference frames;
    // what the handlers change must land in a copy of its own.
    const int writable = ff.av_frame_make_writable(&picture);
    if (writable < 0) {
        Log(&player, llError, ErrorText("av_frame_make_writable() failed", writable));
        return;
    }
    const int64_t pts_us = std::llround(pts * 1000000.0) - playback.start_time;
    const auto guarded = [&player](const char* event, const std::function<void()>& call) {
        try {
            call();
            return true;
        } catch (const std::exception& error) {
            Log(&player, llError, std::string("Error occurs ") + event + ": " + error.what());
        } catch (...) {
            Log(&player, llError, std::string("Error occurs ") + event + ": unknown error");
        }
        return false;
    };
    if (video_hook) {
        TFormatConverter& converter = player.hook_converter_;
        if (!converter.PictureToBitmap(&picture, true)) {
            Log(&player, llError, converter.LastErrorText());
        } else {
            bool update = true;
            // A handler that raises keeps the picture as it was.
            if (guarded(
                    "OnVideoHook",
                    [&] { player.on_video_hook_(&player, converter.Bitmap(), pts_us, update); }) &&
                update) {
                converter.CopyFromBitmap();
                if (!converter.BitmapToPicture(&picture)) {
                    Log(&player, llError, converter.LastErrorText());
                }
            }
        }
    }
    if (frame_hook) {
        guarded("OnFrameHook", [&] {
            player.on_frame_hook_(&player, &picture, picture.format, picture.width, picture.height,
                                  pts_us);
        });
    }
}

void TPlayerVideo::Run(TCustomPlayer& player, TPlayback& playback) {
    AVCodecContext* decoder = playback.video_decoder.get();
    FramePtr decoded(ff.av_frame_alloc());
    FramePtr filtered(ff.av_frame_alloc());
    if (!decoded || !filtered) {
        return;
    }
    const AVRational stream_base = playback.video_stream->time_base;
    for (;;) {
        WaitWhilePaused(playback, playback.video_queue);
        TQueuedPacket packet;
        if (playback.video_queue.Get(packet, true) < 0) {
            return;
        }
        if (packet.flush) {
            ff.avcodec_flush_buffers(decoder);
            std::unique_lock lock(playback.picture_mutex);
            playback.picture_changed.wait(lock, [&] {
                return playback.picture_count == 0 || playback.video_queue.Aborted();
            });
            playback.video_flushed = true;
            continue;
        }
        if (packet.serial != playback.video_queue.Serial()) {
            continue;
        }
        const bool end_packet = packet.packet->data == nullptr;
        const int sent =
            ff.avcodec_send_packet(decoder, end_packet ? nullptr : packet.packet.get());
        if (sent < 0 && sent != AVERROR_EOF && sent != AVERROR(EAGAIN)) {
            continue;  // a damaged packet: the next one may decode
        }
        for (;;) {
            const int received = ff.avcodec_receive_frame(decoder, decoded.get());
            if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
                break;
            }
            if (received < 0) {
                LogFmt(&player, llError, "Error: get_video_frame() return %d", received);
                return;
            }
            const int64_t timestamp = decoded->best_effort_timestamp;
            decoded->pts = timestamp == AV_NOPTS_VALUE ? 0 : timestamp;
            TVideoFilter& filter = playback.filter;
            if (!filter.graph || decoded->width != filter.width ||
                decoded->height != filter.height || decoded->format != filter.format ||
                packet.serial != filter.serial) {
                if (filter.graph) {
                    LogFmt(&player, llInfo,
                           "Video frame changed from size:%dx%d format:%s serial:%d to "
                           "size:%dx%d format:%s serial:%d",
                           filter.width, filter.height,
                           filter.format >= 0
                               ? ff.av_get_pix_fmt_name(static_cast<AVPixelFormat>(filter.format))
                               : "none",
                           filter.serial, decoded->width, decoded->height,
                           ff.av_get_pix_fmt_name(static_cast<AVPixelFormat>(decoded->format)),
                           packet.serial);
                }
                if (!ConfigureFilter(player, playback, decoded.get(), packet.serial)) {
                    player.PushSDLEvent(player.quit_event_);
                    return;
                }
            }
            if (ff.av_buffersrc_add_frame(filter.source, decoded.get()) < 0) {
                ff.av_frame_unref(decoded.get());
                continue;
            }
            while (ff.av_buffersink_get_frame(filter.sink, filtered.get()) >= 0) {
                const AVRational sink_base = ff.av_buffersink_get_time_base(filter.sink);
                if (av_cmp_q(sink_base, stream_base) != 0) {
                    filtered->pts = ff.av_rescale_q(filtered->pts, sink_base, stream_base);
                }
                const double pts = filtered->pts * av_q2d(stream_base);
                FramePtr picture(ff.av_frame_alloc());
                if (!picture) {
                    return;
                }
                ff.av_frame_move_ref(picture.get(), filtered.get());
                if (!QueuePicture(player, playback, std::move(picture), pts, packet.serial)) {
                    return;
                }
                if (playback.video_flushed) {
                    playback.video_flushed = false;
                }
                if (playback.first_frame_paused.load() == 1) {
                    playback.first_frame_paused = 2;  // the refresh shows it
                }
            }
        }
    }
}

void TPlayerVideo::UpdateVideoClock(TPlayback& playback, double pts, int serial) {
    const double now = NowSeconds();
    playback.video_current_pos = pts;
    playback.video_current_pos_drift = pts - now;
    playback.video_clock_serial = serial;
    playback.frame_last_pts = pts;
}

void TPlayerVideo::Show(TCustomPlayer& player, TPlayback& playback) {
    TPicture& picture = playback.pictures[static_cast<std::size_t>(playback.picture_read)];
    playback.last_shown = std::move(picture.frame);
    playback.last_shown_aspect = picture.sample_aspect;
    if (playback.last_shown && playback.subtitle_stream_index >= 0) {
        TPlayerSubtitles::ShowWith(player, playback, *playback.last_shown, picture.pts);
    }
    if (playback.last_shown) {
        player.DrawPicture(*playback.last_shown, picture.sample_aspect);
        ++player.pictures_shown_;
    }
    AdvancePicture(playback);
}

void TPlayerVideo::AdvancePicture(TPlayback& playback) {
    const std::lock_guard lock(playback.picture_mutex);
    playback.pictures[static_cast<std::size_t>(playback.picture_read)].frame.reset();
    playback.picture_read = (playback.picture_read + 1) % kPictureSlots;
    --playback.picture_count;
    playback.picture_changed.notify_all();
}

void TPlayerVideo::Redraw(TCustomPlayer& player, TPlayback& playback) {
    if (playback.force_refresh.load() && playback.last_shown) {
        player.DrawPicture(*playback.last_shown, playback.last_shown_aspect);
    }
}

void TPlayerVideo::Refresh(TCustomPlayer& player, TPlayback& playback, double& remaining_time) {
    for (;;) {
        int count = 0;
        {
            const std::lock_guard lock(playback.picture_mutex);
            count = playback.picture_count;
        }
        if (count == 0) {
            Redraw(player, playback);
            return;
        }
        TPicture& picture = playback.pictures[static_cast<std::size_t>(playback.picture_read)];
        if (picture.serial != playback.video_queue.Serial()) {
            AdvancePicture(playback);  // from before a seek
            continue;
        }
        if (playback.paused.load()) {
            if (!playback.seek_while_paused.load() && playback.first_frame_paused.load() == 0) {
                Redraw(player, playback);  // the paused picture again
                return;
            }
            if (playback.seek_request.load()) {
                return;  // queued pictures are from before the seek
            }
            // Opened paused, or a seek while paused: the new picture shows.
            UpdateVideoClock(playback, picture.pts, picture.serial);
            Show(player, playback);
            playback.seek_while_paused = false;
            // Opened paused: the state says so once the first picture shows,
            // after psPlay.
            if (playback.first_frame_paused.exchange(0) != 0) {
                player.SetState(psPause);
            }
            return;
        }
        const double last_duration = picture.pts - playback.frame_last_pts;
        if (!std::isnan(last_duration) && last_duration > 0 &&
            last_duration < playback.max_frame_duration) {
            playback.frame_last_duration = last_duration;
        }
        const bool video_master = player.MasterSyncType() == syncVideo;
        const double delay = TargetDelay(playback.frame_last_duration,
                                         player.VideoClock() - player.MasterClock(), video_master);
        const double now = NowSeconds();
        if (std::isnan(playback.frame_last_pts) || playback.seek_happened.exchange(false)) {
            playback.frame_timer = now;  // the first picture, or the first after a seek
        } else if (now < playback.frame_timer + delay) {
            remaining_time = std::min(remaining_time, playback.frame_timer + delay - now);
            return;
        }
        if (delay > 0) {
            playback.frame_timer +=
                delay * std::max(1.0, std::floor((now - playback.frame_timer) / delay));
        }
        UpdateVideoClock(playback, picture.pts, picture.serial);
        if (count > 1 && !video_master && !playback.capture) {
            const TPicture& next = playback.pictures[static_cast<std::size_t>(
                (playback.picture_read + 1) % kPictureSlots)];
            if (next.serial == picture.serial &&
                now > playback.frame_timer + (next.pts - picture.pts)) {
                ++player.pictures_dropped_;
                AdvancePicture(playback);
                continue;
            }
        }
        Show(player, playback);
        return;
    }
}

}  // namespace tavrin

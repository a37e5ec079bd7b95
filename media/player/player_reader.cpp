#include "media/player/player_reader.h"

#include <chrono>
#include <climits>
#include <thread>

#include "media/common/error_text.h"
#include "media/player/custom_player.h"
#include "media/player/player_audio.h"
#include "media/player/player_subtitles.h"
#include "media/player/player_video.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"
#include "media/runtime/media_file_name.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

void SleepMs(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void WaitToContinue(TPlayback& playback) {
    std::unique_lock lock(playback.continue_read_mutex);
    playback.continue_read.wait_for(lock, std::chrono::milliseconds(10));
}

bool QueueSatisfied(const TPacketQueue& queue, int stream_index) {
    return stream_index < 0 || queue.Aborted() || queue.Count() > kMinQueuedPackets;
}

}  // namespace

double NowSeconds() {
    return ff.av_gettime_relative() / 1000000.0;
}

int TPlayerReader::Interrupt(void* opaque) {
    auto& player = *static_cast<TCustomPlayer*>(opaque);
    const TPlayback* reading = player.playback_being_read_.load();
    if (reading && reading->abort_request.load()) {
        Log(&player, llInfo, "connecting/reading broken");
        return 1;
    }
    // Stop during an open: also seen when the reader renewed the activity
    // time between two blocking calls after Stop cleared it.
    const TPlayback* opening = player.playback_being_opened_.load();
    if (opening && opening->abort_request.load()) {
        Log(&player, llInfo, "connecting/reading canceled");
        return 1;
    }
    const int64_t activity = player.activity_time_.load();
    if (activity == INT64_MAX || player.Timeout() <= 0) {
        return 0;
    }
    if (ff.av_gettime_relative() - activity > static_cast<int64_t>(player.Timeout()) * 1000) {
        Log(&player, llInfo,
            activity == 0 ? "connecting/reading canceled" : "connecting/reading timeout");
        return 1;
    }
    return 0;
}

void TPlayerReader::AttachToDecoder(TCustomPlayer& player, AVFormatContext* context) {
    try {
        player.decoder_.SetFormatContext(context);
    } catch (const std::exception& error) {
        Log(&player, llError, error.what());
    }
}

void TPlayerReader::Run(TCustomPlayer& player, TPlayback& playback) {
    if (OpenInput(player, playback)) {
        // Attached here, before Open hears of the success: the decoder is
        // then only ever touched by one thread at a time.
        AttachToDecoder(player, playback.format_context);
        playback.open_status = 1;
        player.playback_being_read_ = &playback;
        ReadLoop(player, playback);
    } else {
        playback.open_status = -1;
    }
    // Cleanup.
    player.activity_time_ = INT64_MAX;
    CloseComponents(player, playback);
    AttachToDecoder(player, nullptr);
    if (playback.format_context) {
        playback.format_context->interrupt_callback = {};
        ff.avformat_close_input(&playback.format_context);
    }
    if (playback.open_status.load() == -1) {
        playback.open_status = -2;
    }
}

bool TPlayerReader::OpenInput(TCustomPlayer& player, TPlayback& playback) {
    AVFormatContext* context = ff.avformat_alloc_context();
    if (!context) {
        player.SetLastErrorText(ErrorText(playback.file_name, AVERROR(ENOMEM)));
        return false;
    }
    context->interrupt_callback = {&TPlayerReader::Interrupt, &player};
    player.activity_time_ = ff.av_gettime_relative();
    std::string media_name;
    try {
        media_name = ToMediaFileName(playback.file_name);
    } catch (const std::exception& error) {
        ff.avformat_free_context(context);
        player.SetLastErrorText(playback.file_name + ": " + error.what());
        return false;
    }
    int result = ff.avformat_open_input(&context, media_name.c_str(), nullptr, nullptr);
    if (result < 0) {
        player.SetLastErrorText(ErrorText(playback.file_name, result));
        return false;
    }
    playback.format_context = context;
    if (player.on_before_find_stream_info_) {
        player.Raise([&] { player.on_before_find_stream_info_(&player, context); });
    }
    player.activity_time_ = ff.av_gettime_relative();
    result = ff.avformat_find_stream_info(context, nullptr);
    if (result < 0) {
        player.SetLastErrorText(
            StringPrintf("%s: could not find codec parameters", playback.file_name.c_str()));
        return false;
    }
    if (context->pb) {
        context->pb->eof_reached = 0;
        context->pb->error = 0;
    }

    const AVInputFormat* format = context->iformat;
    playback.seek_by_bytes = (format->flags & AVFMT_TS_DISCONT) != 0;
    playback.max_frame_duration = (format->flags & AVFMT_TS_DISCONT) ? 10.0 : 3600.0;
    const std::string_view demuxer = format->name;
    playback.image2 = demuxer == "image2";
    playback.capture = demuxer == "vfwcap" || demuxer == "vfwcapture" || demuxer == "dshow" ||
                       demuxer == "video4linux2,v4l2";
    playback.start_time = context->start_time != AV_NOPTS_VALUE ? context->start_time : 0;
    playback.duration = context->duration != AV_NOPTS_VALUE ? context->duration : -1;

    if (player.start_position_ != AV_NOPTS_VALUE) {
        const int64_t target = player.start_position_ + playback.start_time;
        player.activity_time_ = ff.av_gettime_relative();
        if (ff.avformat_seek_file(context, -1, INT64_MIN, target, INT64_MAX, 0) < 0) {
            LogFmt(&player, llError, "%s: could not seek to position %0.3f",
                   playback.file_name.c_str(), target / 1000000.0);
        }
    }
    playback.realtime = demuxer == "rtp" || demuxer == "rtsp" || demuxer == "sdp" ||
                        (context->pb && (playback.file_name.starts_with("rtp:") ||
                                         playback.file_name.starts_with("udp:")));

    for (unsigned i = 0; i < context->nb_streams; ++i) {
        context->streams[i]->discard = AVDISCARD_ALL;
    }
    int video_index = -1;
    int audio_index = -1;
    if (!player.disable_video_ && !player.disable_display_) {
        video_index = ff.av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    if (!player.disable_audio_) {
        audio_index =
            ff.av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, video_index, nullptr, 0);
    }
    if (audio_index >= 0) {
        OpenComponent(player, playback, audio_index);
    }
    if (video_index >= 0) {
        OpenComponent(player, playback, video_index);
    }
    playback.show_mode = playback.video_stream_index >= 0 ? 1 : 2;
    if (!player.disable_video_ && !player.disable_display_) {
        const int subtitle_index =
            ff.av_find_best_stream(context, AVMEDIA_TYPE_SUBTITLE, -1,
                                   audio_index >= 0 ? audio_index : video_index, nullptr, 0);
        if (subtitle_index >= 0) {
            OpenComponent(player, playback, subtitle_index);
        }
    }
    if (playback.audio_stream_index < 0 && playback.video_stream_index < 0) {
        player.SetLastErrorText(StringPrintf("%s: could not open codecs, no stream to play.",
                                             playback.file_name.c_str()));
        return false;
    }
    return true;
}

bool TPlayerReader::OpenComponent(TCustomPlayer& player, TPlayback& playback, int stream_index) {
    AVFormatContext* context = playback.format_context;
    if (stream_index < 0 || static_cast<unsigned>(stream_index) >= context->nb_streams) {
        return false;
    }
    AVStream* stream = context->streams[stream_index];
    const AVCodec* codec = ff.avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) {
        LogFmt(&player, llError, "No codec could be found with id %d", stream->codecpar->codec_id);
        return false;
    }
    CodecContextPtr decoder(ff.avcodec_alloc_context3(codec));
    if (!decoder || ff.avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) {
        Log(&player, llError, "avcodec_open2() failed.");
        return false;
    }
    decoder->pkt_timebase = stream->time_base;
    decoder->workaround_bugs = 1;
    decoder->error_concealment = 3;
    AVDictionary* options = nullptr;
    ff.av_dict_set(&options, "threads", "auto", 0);
    const int opened = ff.avcodec_open2(decoder.get(), codec, &options);
    ff.av_dict_free(&options);
    if (opened < 0) {
        Log(&player, llError, "avcodec_open2() failed.");
        return false;
    }
    stream->discard = AVDISCARD_DEFAULT;
    if (codec->type == AVMEDIA_TYPE_AUDIO) {
        playback.audio_decoder = std::move(decoder);
        playback.audio_stream_index = stream_index;
        if (TPlayerAudio::StartStream(player, playback, stream) < 0) {
            TPlayerAudio::CloseStream(player, playback);
            playback.audio_decoder.reset();
            playback.audio_stream_index = -1;
            playback.audio_stream = nullptr;
            stream->discard = AVDISCARD_ALL;
            return false;
        }
        return true;
    }
    if (codec->type == AVMEDIA_TYPE_VIDEO) {
        playback.video_decoder = std::move(decoder);
        playback.video_stream_index = stream_index;
        TPlayerVideo::StartStream(player, playback, stream);
        return true;
    }
    if (codec->type == AVMEDIA_TYPE_SUBTITLE) {
        playback.subtitle_decoder = std::move(decoder);
        playback.subtitle_stream_index = stream_index;
        TPlayerSubtitles::StartStream(playback, stream);
        return true;
    }
    stream->discard = AVDISCARD_ALL;
    return false;
}

void TPlayerReader::CloseComponents(TCustomPlayer& player, TPlayback& playback) {
    if (playback.subtitle_stream_index >= 0) {
        TPlayerSubtitles::CloseStream(playback);
        playback.format_context->streams[playback.subtitle_stream_index]->discard = AVDISCARD_ALL;
        playback.subtitle_decoder.reset();
        playback.subtitle_stream_index = -1;
        playback.subtitle_stream = nullptr;
    }
    if (playback.video_stream_index >= 0) {
        TPlayerVideo::CloseStream(playback);
        playback.format_context->streams[playback.video_stream_index]->discard = AVDISCARD_ALL;
        playback.video_decoder.reset();
        playback.filter = {};
        playback.video_stream_index = -1;
        playback.video_stream = nullptr;
    }
    if (playback.audio_stream_index >= 0 || playback.audio_device_open) {
        TPlayerAudio::CloseStream(player, playback);
        if (playback.format_context && playback.audio_stream_index >= 0) {
            playback.format_context->streams[playback.audio_stream_index]->discard = AVDISCARD_ALL;
        }
        playback.audio_decoder.reset();
        playback.audio_stream_index = -1;
        playback.audio_stream = nullptr;
    }
}

void TPlayerReader::PerformSeek(TCustomPlayer& player, TPlayback& playback) {
    const int64_t target = playback.seek_target.load();
    const int64_t relative = playback.seek_relative.load();
    const int64_t minimum = relative > 0 ? target - relative + 2 : INT64_MIN;
    const int64_t maximum = relative < 0 ? target - relative - 2 : INT64_MAX;
    const int flags = playback.seek_flags.load();
    player.activity_time_ = ff.av_gettime_relative();
    int result =
        ff.avformat_seek_file(playback.format_context, -1, minimum, target, maximum, flags);
    if (result < 0) {
        result = ff.avformat_seek_file(playback.format_context, -1, minimum, target, maximum,
                                       flags ^ AVSEEK_FLAG_BACKWARD);
    }
    if (result < 0) {
        LogFmt(&player, llError, "%s: error while seeking", playback.file_name.c_str());
    } else {
        if (playback.audio_stream_index >= 0) {
            playback.audio_queue.Flush();
            playback.audio_queue.PutFlush();
        }
        if (playback.video_stream_index >= 0) {
            playback.video_queue.Flush();
            playback.video_queue.PutFlush();
            playback.seek_happened = true;
        }
        if (playback.subtitle_stream_index >= 0) {
            playback.subtitle_queue.Flush();
            playback.subtitle_queue.PutFlush();
        }
        if (flags & AVSEEK_FLAG_BYTE) {
            playback.external_clock = NAN;
        } else {
            playback.external_clock = target / 1000000.0;
        }
    }
    playback.eof_message_shown = false;
    playback.error_message_shown = false;
    playback.drained = false;
    playback.end_reported = false;
    player.range_end_handled_ = false;
    playback.seek_request = false;
    player.seek_done_.Set();
}

void TPlayerReader::ReadLoop(TCustomPlayer& player, TPlayback& playback) {
    AVFormatContext* context = playback.format_context;
    PacketPtr packet(ff.av_packet_alloc());
    bool end_of_file = false;
    bool io_error_exit = false;
    while (!playback.abort_request.load() && packet) {
        const bool paused = playback.paused.load();
        if (paused != playback.last_paused) {
            playback.last_paused = paused;
            playback.read_pause_result = paused ? ff.av_read_pause(context) : 0;
            if (!paused) {
                ff.av_read_play(context);
            }
        }
        if (paused && std::string_view(context->iformat->name) == "rtsp") {
            SleepMs(10);
            continue;
        }
        if (playback.seek_request.load()) {
            PerformSeek(player, playback);
            end_of_file = false;
        }
        const int64_t queued = playback.audio_queue.Size() + playback.video_queue.Size() +
                               playback.subtitle_queue.Size();
        if (queued > kMaxQueueBytes ||
            (QueueSatisfied(playback.audio_queue, playback.audio_stream_index) &&
             QueueSatisfied(playback.video_queue, playback.video_stream_index) &&
             QueueSatisfied(playback.subtitle_queue, playback.subtitle_stream_index))) {
            WaitToContinue(playback);
            continue;
        }
        if (end_of_file) {
            if (playback.video_stream_index >= 0) {
                playback.video_queue.PutEndPacket(playback.video_stream_index);
            }
            if (playback.audio_stream_index >= 0 &&
                (playback.audio_decoder->codec->capabilities & AV_CODEC_CAP_DELAY)) {
                playback.audio_queue.PutEndPacket(playback.audio_stream_index);
            }
            SleepMs(10);
            if (playback.audio_queue.Size() == 0 && playback.video_queue.Size() == 0 &&
                playback.subtitle_queue.Size() == 0) {
                playback.drained = true;
            }
            end_of_file = false;
            continue;
        }

        playback.reading = true;
        player.activity_time_ = ff.av_gettime_relative();
        const int result = ff.av_read_frame(context, packet.get());
        playback.reading = false;
        if (playback.abort_request.load()) {
            ff.av_packet_unref(packet.get());
            break;
        }
        if (result < 0) {
            if (result == AVERROR(EAGAIN)) {
                SleepMs(10);
                if (context->pb) {
                    context->pb->eof_reached = 0;
                    context->pb->error = 0;
                }
            } else if (result == AVERROR_EOF || result == AVERROR(EPIPE) ||
                       (context->pb && ff.avio_feof(context->pb))) {
                end_of_file = true;
                if (!playback.eof_message_shown && !playback.image2) {
                    playback.eof_message_shown = true;
                    LogFmt(&player, llInfo, "reach end of file: %s", playback.file_name.c_str());
                }
                if (context->pb) {
                    context->pb->error = 0;
                }
            } else {
                if (!playback.error_message_shown && !playback.image2) {
                    playback.error_message_shown = true;
                    LogFmt(&player, llError, "error #%d while reading file: %s", result,
                           playback.file_name.c_str());
                }
                end_of_file = true;  // nothing more can be read: play what we have
                if (context->pb && context->pb->error) {
                    io_error_exit = true;
                    break;
                }
            }
            WaitToContinue(playback);
            continue;
        }
        if (packet->stream_index == playback.audio_stream_index) {
            playback.audio_queue.Put(packet.get());
        } else if (packet->stream_index == playback.video_stream_index) {
            playback.video_queue.Put(packet.get());
        } else if (packet->stream_index == playback.subtitle_stream_index) {
            playback.subtitle_queue.Put(packet.get());
        } else {
            ff.av_packet_unref(packet.get());
        }
    }
    player.activity_time_ = INT64_MAX;
    if (io_error_exit) {
        // The files' end is reported as drained so the host hears of it.
        playback.drained = true;
        while (!playback.abort_request.load()) {
            SleepMs(100);
        }
    }
}

}  // namespace tavrin

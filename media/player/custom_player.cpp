#include "media/player/custom_player.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

#include "media/player/player_audio.h"
#include "media/player/player_reader.h"
#include "media/player/player_video.h"
#include "media/player/position_report.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"
#include "media/runtime/main_thread.h"
#include "media/runtime/string_format.h"

namespace tavrin {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(10);
// The window size when neither the host nor a picture gives one.
constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 480;

// The user's own SDL_VIDEODRIVER, read before the player first changes it, so
// that the default driver choice gives it back.
std::optional<std::string>& OriginalVideoDriver() {
    static std::optional<std::string> original;
    return original;
}

}  // namespace

TCustomPlayer::TCustomPlayer() : LibraryUser(PlayerLibs) {}

TCustomPlayer::~TCustomPlayer() {
    Stop(true);
    EndEventThread();
    sdl_ = TSDLEntries{};
}

void TCustomPlayer::WaitPumping(const std::function<bool()>& done) {
    while (!done()) {
        if (IsMainThread()) {
            WaitForMessages(kPoll);
        } else {
            std::this_thread::sleep_for(kPoll);
        }
    }
}

bool TCustomPlayer::LoadLibraries(const std::string& folder, bool load_sdl) {
    if (!LibraryUser::LoadLibraries(folder)) {
        return false;
    }
    sdl_requested_ = load_sdl;
    if (load_sdl) {
        if (!sdl_loader_.Load(folder, kSDLLibraryFile)) {
            sdl_ = TSDLEntries{};
            SetLastErrorText(sdl_loader_.LastErrorText());
            return false;
        }
        sdl_ = sdl_loader_.Entries();
    }
    return true;
}

bool TCustomPlayer::LibrariesLoaded() const {
    return LibraryUser::LibrariesLoaded() && (!sdl_requested_ || SDLLoaded());
}

void TCustomPlayer::SetAspectRatio(float ratio) {
    aspect_ratio_ = ratio;
    if (TPlayback* playback = playback_being_read_.load()) {
        playback->force_refresh = true;
    }
}

void TCustomPlayer::SetAudioVolume(int volume) {
    audio_volume_ = std::clamp(volume, 0, 128);
}

void TCustomPlayer::SetScreenSize(int32_t width, int32_t height) {
    screen_width_ = width;
    screen_height_ = height;
}

void TCustomPlayer::SetPlayRange(int64_t start, int64_t length, int end_action) {
    start_position_ = start;
    play_length_ = length;
    end_action_ = end_action;
}

void TCustomPlayer::Report(const std::string& text) {
    Log(this, llError, text);
    SetLastErrorText(text);
}

void TCustomPlayer::Raise(const std::function<void()>& call) {
    const auto guarded = [&] {
        try {
            call();
        } catch (const std::exception& error) {
            Log(this, llError, std::string("Error occurs in event handler: ") + error.what());
        }
    };
    if (trigger_in_main_thread_ && !IsMainThread() && TryRunInMainThread(guarded)) {
        return;
    }
    guarded();
}

void TCustomPlayer::SetState(TPlayState state) {
    play_state_ = state;
    if (on_state_) {
        events_.Post(TPlayerEventKind::State, state);
    } else if (state == psStop) {
        events_.Post(TPlayerEventKind::Quit, 0);
    }
}

bool TCustomPlayer::Open(const std::string& file_name, uintptr_t screen_handle, bool start_paused) {
    if (!LibraryUser::LibrariesLoaded()) {
        Report("LibAV not loaded.");
        return false;
    }
    if (!SDLLoaded()) {
        Report("SDL not loaded.");
        return false;
    }
    opening_ = true;
    Stop(true);
    opening_ = false;
    EndEventThread();
    events_.Clear();
    last_reported_position_ = AV_NOPTS_VALUE;
    if (IsMainThread()) {
        // Events still queued for the old file are delivered first.
        std::this_thread::sleep_for(kPoll);
        ProcessMessages();
        std::this_thread::sleep_for(kPoll);
    }

    screen_handle_ = disable_display_ ? 0 : screen_handle;
    if (!StartSDL(screen_handle)) {
        return false;
    }
    if (!OpenStream(file_name, start_paused)) {
        const std::lock_guard lock(SDLLock());
        sdl_.SDL_Quit();
        return false;
    }
    file_name_ = file_name;
    range_end_handled_ = false;
    pictures_shown_ = 0;
    pictures_dropped_ = 0;
    video_mode_failed_ = false;
    if (on_file_open_) {
        int32_t width = screen_width_;
        int32_t height = screen_height_;
        const int64_t duration = playback_->image2 ? 0 : playback_->duration;
        const AVCodecContext* video = playback_->video_decoder.get();
        const int32_t frame_width = video && video->width > 0 ? video->width : -1;
        const int32_t frame_height = video && video->width > 0 ? video->height : -1;
        Raise([&] { on_file_open_(this, duration, frame_width, frame_height, width, height); });
        screen_width_ = width;
        screen_height_ = height;
    }

    event_thread_terminated_ = false;
    event_thread_done_ = false;
    event_thread_ = std::thread([this] { EventThreadRun(); });
    finished_.Reset();
    play_thread_started_ = false;
    play_thread_ = std::thread([this] { PlayThreadRun(); });
    WaitPumping([this] { return play_thread_started_.load(); });
    return true;
}

bool TCustomPlayer::StartSDL(uintptr_t screen_handle) {
    const std::lock_guard lock(SDLLock());
    sdl_.SDL_Quit();
    switch (audio_driver_) {
        case TAudioDriver::adDirectSound:
            sdl_.SDL_setenv("SDL_AUDIODRIVER", "pulseaudio", 1);
            break;
        case TAudioDriver::adWaveOut:
            sdl_.SDL_setenv("SDL_AUDIODRIVER", "alsa", 1);
            break;
        case TAudioDriver::adDefault:
            break;  // SDL's choice, or the user's SDL_AUDIODRIVER
    }
    std::optional<std::string>& original = OriginalVideoDriver();
    if (!original) {
        const char* value = sdl_.SDL_getenv("SDL_VIDEODRIVER");
        original = value ? value : "";
    }
    const char* video_driver = disable_display_                              ? "dummy"
                               : video_driver_ == TVideoDriver::vdDirectDraw ? "x11"
                               : video_driver_ == TVideoDriver::vdGDI        ? "wayland"
                                                                             : original->c_str();
    if (*video_driver != '\0') {
        sdl_.SDL_setenv("SDL_VIDEODRIVER", video_driver, 1);
    } else {
        ::unsetenv("SDL_VIDEODRIVER");
    }
    const uint32_t flags =
        SDL_INIT_TIMER | SDL_INIT_VIDEO | (disable_audio_ ? 0u : uint32_t{SDL_INIT_AUDIO});
    if (sdl_.SDL_Init(flags) < 0) {
        Report(StringPrintf("Could not initialize SDL with ScreenHandle(%u): %s",
                            static_cast<unsigned>(screen_handle), sdl_.SDL_GetError()));
        return false;
    }
    const char* audio_name = sdl_.SDL_GetCurrentAudioDriver();
    const char* video_name = sdl_.SDL_GetCurrentVideoDriver();
    LogFmt(this, llDebug, "using audio driver: %s", audio_name ? audio_name : "none");
    LogFmt(this, llDebug, "using video driver: %s", video_name ? video_name : "none");
    sdl_.SDL_EventState(SDL_MOUSEMOTION, SDL_IGNORE);
    sdl_.SDL_EventState(SDL_SYSWMEVENT, SDL_IGNORE);
    const uint32_t first = sdl_.SDL_RegisterEvents(3);
    quit_event_ = first;
    refresh_event_ = first + 1;
    allocate_event_ = first + 2;
    return true;
}

bool TCustomPlayer::OpenStream(const std::string& file_name, bool start_paused) {
    auto playback = std::make_unique<TPlayback>();
    playback->file_name = file_name;
    playback->paused = start_paused;
    playback->first_frame_paused = start_paused ? 1 : 0;
    playback->audio_current_pos_drift = -NowSeconds();
    playback->video_current_pos_drift = -NowSeconds();
    TPlayback* const record = playback.get();
    playback_being_opened_ = record;
    try {
        record->read_thread = std::thread([this, record] { TPlayerReader::Run(*this, *record); });
    } catch (const std::system_error&) {
        playback_being_opened_ = nullptr;
        Report("SDL_CreateThread() failed.");
        return false;
    }
    WaitPumping([record] { return record->open_status.load() != 0; });
    playback_being_opened_ = nullptr;
    if (record->open_status.load() == 1) {
        const std::lock_guard lock(player_lock_);
        playback_ = std::move(playback);
        has_playback_ = true;
        return true;
    }
    record->read_thread.join();
    Log(this, llError, LastErrorText());
    return false;
}

void TCustomPlayer::PlayThreadRun() {
    SetState(psPlay);
    play_thread_started_ = true;
    if (!disable_display_ && screen_handle_ == 0) {
        // The window and its renderer take a while to make: made now, they
        // are ready when the first picture is decoded. Under the lock: a
        // Stop that forces the close must wait for it.
        const std::lock_guard lock(player_lock_);
        output_.Prepare(sdl_);
    }
    try {
        EventLoop();
    } catch (const std::exception& error) {
        Log(this, llFatal, std::string("PlayThread Exception: ") + error.what());
        const std::lock_guard lock(player_lock_);
        ClosePlayback();
    }
    SetState(psStop);
    finished_.Set();
}

void TCustomPlayer::EventLoop() {
    for (;;) {
        SDL_Event event{};
        double remaining = 0.0;
        for (;;) {
            sdl_.SDL_PumpEvents();
            if (sdl_.SDL_PeepEvents(&event, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT) > 0) {
                break;
            }
            if (remaining > 0.0) {
                std::this_thread::sleep_for(std::chrono::duration<double>(remaining));
            }
            remaining = 0.01;
            const std::lock_guard lock(player_lock_);
            if (!playback_) {
                return;
            }
            if (playback_->show_mode != 0 &&
                (!playback_->paused.load() || playback_->force_refresh.load() ||
                 playback_->seek_while_paused.load() ||
                 playback_->first_frame_paused.load() != 0)) {
                Refresh(remaining);
            }
        }
        const std::lock_guard lock(player_lock_);
        if (event.type == SDL_QUIT || event.type == quit_event_) {
            ClosePlayback();
            return;
        }
        if (!playback_) {
            return;
        }
        if (event.type == SDL_KEYDOWN && on_key_down_) {
            // Delivered by the event thread: a handler may stop the player,
            // which waits for this thread.
            events_.Post(TPlayerEventKind::Key, event.key.keysym.sym);
        } else if (event.type == SDL_WINDOWEVENT || event.type == refresh_event_) {
            playback_->force_refresh = true;
        }
    }
}

void TCustomPlayer::Refresh(double& remaining_time) {
    TPlayback& playback = *playback_;
    if (!disable_display_ && playback.show_mode == 2 && playback.audio_stream_index >= 0) {
        const double now = NowSeconds();
        if (playback.force_refresh.load() || now - playback.last_visualisation_time >= 0.02) {
            DrawWave(playback);
            playback.last_visualisation_time = now;
        }
        remaining_time = std::min(remaining_time, playback.last_visualisation_time + 0.02 - now);
    }
    if (playback.video_stream_index >= 0) {
        TPlayerVideo::Refresh(*this, playback, remaining_time);
    }
    ReportPosition();
    playback.force_refresh = false;
}

TDisplayRect TCustomPlayer::LastDisplayRect() const {
    const std::lock_guard lock(display_lock_);
    return last_display_rect_;
}

FramePtr TCustomPlayer::ShownPicture() {
    const std::lock_guard lock(player_lock_);
    if (!playback_ || !playback_->last_shown) {
        return nullptr;
    }
    return FramePtr(ff.av_frame_clone(playback_->last_shown.get()));
}

void TCustomPlayer::DrawPicture(const AVFrame& frame, double sample_aspect) {
    if (!output_.IsOpen() || output_.Prepared()) {
        int width = screen_width_;
        int height = screen_height_;
        if (width < 1 || height < 1) {
            // The picture's own display size.
            const double aspect = DisplayAspect(0, 0, 0, frame.width, frame.height, sample_aspect);
            const TDisplayRect natural = DisplayRectangle(1 << 20, frame.height, aspect);
            width = natural.width & ~1;
            height = natural.height & ~1;
        }
        if (!OpenOutput(width, height)) {
            return;
        }
    }
    int area_width = 0;
    int area_height = 0;
    output_.AreaSize(area_width, area_height);
    const TDisplayRect rect =
        DisplayRectangle(area_width, area_height,
                         DisplayAspect(aspect_ratio_.load(), area_width, area_height, frame.width,
                                       frame.height, sample_aspect));
    {
        const std::lock_guard lock(display_lock_);
        last_display_rect_ = rect;
    }
    output_.DrawPicture(&frame, rect);
}

bool TCustomPlayer::OpenOutput(int width, int height) {
    std::string error;
    if (output_.Open(sdl_, screen_handle_, width, height, error)) {
        return true;
    }
    if (!video_mode_failed_) {
        Log(this, llError, "SDL: could not set video mode.");
        LogFmt(this, llDebug, "%s", error.c_str());
        video_mode_failed_ = true;
    }
    return false;
}

void TCustomPlayer::DrawWave(TPlayback& playback) {
    if ((!output_.IsOpen() || output_.Prepared()) &&
        !OpenOutput(screen_width_ > 0 ? screen_width_ : kDefaultWidth,
                    screen_height_ > 0 ? screen_height_ : kDefaultHeight)) {
        return;
    }
    int width = 0;
    int height = 0;
    output_.AreaSize(width, height);
    const int channels = std::max(playback.audio_target.channels, 1);
    // The samples being heard now: back from the newest by one width and
    // what is still buffered.
    const int buffered =
        playback.audio_write_buffer_size.load() / 2 + 2 * playback.audio_hw_buffer_size / 2;
    const int count = width * channels;
    std::vector<int16_t> window(static_cast<std::size_t>(count));
    {
        const std::lock_guard lock(playback.visualisation_mutex);
        const int start = playback.visualisation_index - count - buffered;
        for (int i = 0; i < count; ++i) {
            const int index = ((start + i) % kVisualisationSamples + kVisualisationSamples) %
                              kVisualisationSamples;
            window[static_cast<std::size_t>(i)] =
                playback.visualisation.empty()
                    ? 0
                    : playback.visualisation[static_cast<std::size_t>(index)];
        }
    }
    output_.DrawWave(window, channels, width);
    ++pictures_shown_;
}

double TCustomPlayer::VideoClock() const {
    const TPlayback* playback = playback_being_read_.load();
    if (!playback || playback->video_clock_serial.load() != playback->video_queue.Serial()) {
        return NAN;
    }
    if (playback->paused.load()) {
        return playback->video_current_pos.load();
    }
    const double drift = playback->video_current_pos_drift.load();
    return drift != 0 ? drift + NowSeconds() : playback->start_time / 1000000.0;
}

double TCustomPlayer::AudioClock() const {
    const TPlayback* playback = playback_being_read_.load();
    if (!playback || playback->audio_clock_serial.load() != playback->audio_queue.Serial()) {
        return NAN;
    }
    if (playback->paused.load()) {
        return playback->audio_current_pos.load();
    }
    return playback->audio_current_pos_drift.load() + NowSeconds();
}

TSyncMode TCustomPlayer::MasterSyncType() const {
    const TPlayback* playback = playback_being_read_.load();
    return playback && playback->audio_stream_index < 0 ? syncVideo : syncAudio;
}

double TCustomPlayer::MasterClock() const {
    return MasterSyncType() == syncVideo ? VideoClock() : AudioClock();
}

void TCustomPlayer::ReportPosition() {
    TPlayback& playback = *playback_;
    if (playback.image2) {
        return;
    }
    const bool video = playback.video_stream_index >= 0;
    const double clock = video ? VideoClock() : AudioClock();
    if (const auto decision = DecidePosition({clock, playback.start_time, playback.duration,
                                              video ? -1 : playback.audio_stream_duration,
                                              last_reported_position_})) {
        // Within one serial (no seek in between) positions never go back: the
        // clock's estimate of the sound in the device may step back a little
        // after a pause.
        const int serial = video ? playback.video_queue.Serial() : playback.audio_queue.Serial();
        if (serial == report_serial_ && last_reported_position_ != AV_NOPTS_VALUE &&
            decision->position < last_reported_position_) {
            return;
        }
        report_serial_ = serial;
        current_position_ = decision->position;
        last_reported_position_ = decision->last_reported;
        if (decision->report && on_position_) {
            events_.Post(TPlayerEventKind::Position, decision->position);
        }
        ApplyPlayRange();
    }
    // Once per file (again after a seek): the end was read, and the sound
    // decoded before it has been played.
    if (playback.drained.load() && !playback.end_reported.load() && SoundPlayedOut(playback)) {
        playback.end_reported = true;
        // The clock stops a hair before the end; the end itself is reported.
        if (playback.duration > 0 && last_reported_position_ != playback.duration) {
            current_position_ = playback.duration;
            last_reported_position_ = playback.duration;
            if (on_position_) {
                events_.Post(TPlayerEventKind::Position, playback.duration);
            }
        }
        SetState(psEnd);
    }
}

bool TCustomPlayer::SoundPlayedOut(const TPlayback& playback) const {
    if (playback.video_stream_index >= 0) {
        TPlayback& pictures = *playback_;
        const std::lock_guard lock(pictures.picture_mutex);
        if (pictures.picture_count > 0) {
            return false;  // pictures still to show
        }
    }
    if (playback.audio_stream_index < 0) {
        return true;
    }
    const double end = playback.audio_decoded_end.load();
    const double clock = AudioClock();
    return std::isnan(end) || std::isnan(clock) || clock >= end - 0.001;
}

void TCustomPlayer::ApplyPlayRange() {
    const auto end = PlayRangeEnd(start_position_, play_length_);
    if (!end || current_position_.load() < *end || range_end_handled_.exchange(true)) {
        return;
    }
    const auto rewind = [this] {
        if (start_position_ != AV_NOPTS_VALUE) {
            Seek(0, false, start_position_);
        } else {
            Seek(kSeekAny, false, 0);
        }
    };
    switch (end_action_) {
        case peStop:
            PushSDLEvent(quit_event_);
            break;
        case peRewind:
            rewind();
            break;
        case pePause:
            Pause();
            break;
        case pePauseAndRewind:
            Pause();
            rewind();
            break;
        default:
            break;
    }
}

void TCustomPlayer::PushSDLEvent(uint32_t type) {
    SDL_Event event{};
    event.type = type;
    if (sdl_.SDL_PushEvent) {
        sdl_.SDL_PushEvent(&event);
    }
}

void TCustomPlayer::ClosePlayback() {
    if (playback_) {
        TPlayback& playback = *playback_;
        playback.abort_request = true;
        playback.audio_queue.Abort();
        playback.continue_read.notify_all();
        if (playback.read_thread.joinable()) {
            playback.read_thread.join();
        }
        playback_being_read_ = nullptr;
        has_playback_ = false;
        playback_.reset();
        output_.Close();
        const std::lock_guard lock(SDLLock());
        sdl_.SDL_Quit();
    }
    play_state_ = psStop;
    current_position_ = -1;
    last_reported_position_ = AV_NOPTS_VALUE;
    seek_done_.Set();
}

void TCustomPlayer::Stop(bool wait) {
    if (has_playback_.load()) {
        if (TPlayback* playback = playback_being_read_.load()) {
            playback->closing = true;
            if (playback->paused) {
                TogglePauseRecord();
            }
        }
        PushSDLEvent(quit_event_);
        if (wait) {
            int attempts = 0;
            while (!finished_.IsSet()) {
                if (IsMainThread()) {
                    ProcessMessages();
                }
                if (finished_.Wait(std::chrono::milliseconds(100))) {
                    break;
                }
                if (!TryLockPlayer(std::chrono::milliseconds(100))) {
                    continue;
                }
                ++attempts;
                if (!playback_) {
                    player_lock_.unlock();
                    break;
                }
                if (attempts <= 10 || (attempts <= 20 && !playback_->reading.load())) {
                    PushSDLEvent(quit_event_);
                    player_lock_.unlock();
                    continue;
                }
                ClosePlayback();  // the play thread does not answer
                player_lock_.unlock();
                break;
            }
        }
    } else if (TPlayback* opening = playback_being_opened_.load()) {
        // An open under way: the interrupt callback cancels its blocking call.
        activity_time_ = 0;
        opening->abort_request = true;
    }
    if (wait) {
        JoinPlayThread();
    }
}

bool TCustomPlayer::TryLockPlayer(std::chrono::milliseconds timeout) {
    // Polled: a timed lock would not be seen by the thread sanitizer.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!player_lock_.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void TCustomPlayer::JoinPlayThread() {
    if (!play_thread_.joinable()) {
        return;
    }
    WaitPumping([this] { return finished_.IsSet(); });
    play_thread_.join();
}

void TCustomPlayer::EndEventThread() {
    if (!event_thread_.joinable()) {
        return;
    }
    event_thread_terminated_ = true;
    events_.Signal();
    WaitPumping([this] { return event_thread_done_.load(); });
    event_thread_.join();
}

void TCustomPlayer::EventThreadRun() {
    bool delivered_state = false;
    bool done = false;
    while (!done) {
        while (const auto event = events_.Take()) {
            delivered_state = false;
            if (event->kind == TPlayerEventKind::Position) {
                if (on_position_) {
                    Raise([&] { on_position_(this, event->value); });
                }
            } else if (event->kind == TPlayerEventKind::State) {
                const auto state = static_cast<TPlayState>(event->value);
                if (on_state_) {
                    Raise([&] { on_state_(this, state); });
                }
                delivered_state = true;
                if (state == psStop) {
                    done = true;
                    break;
                }
            } else if (event->kind == TPlayerEventKind::Key) {
                if (on_key_down_) {
                    Raise([&] { on_key_down_(this, static_cast<int32_t>(event->value)); });
                }
            } else {
                done = true;
                break;
            }
        }
        if (done || event_thread_terminated_.load()) {
            break;
        }
        events_.WaitSignal(std::chrono::milliseconds(100));
    }
    if (!delivered_state && on_state_) {
        Raise([&] { on_state_(this, psStop); });
    }
    event_thread_done_ = true;
    WakeMainThread();
}

void TCustomPlayer::TogglePauseRecord() {
    if (!seek_done_.Wait(std::chrono::milliseconds(250))) {
        seek_done_.Set();
    }
    TPlayback* playback = playback_being_read_.load();
    if (!playback) {
        return;
    }
    if (playback->paused.load()) {
        // The audio clock goes on from where it stood.
        playback->audio_current_pos_drift = playback->audio_current_pos.load() - NowSeconds();
    } else if (const double heard = AudioClock(); !std::isnan(heard)) {
        playback->audio_current_pos = heard;  // what is heard now, not at the last callback
    }
    playback->paused = !playback->paused.load();
    playback->continue_read.notify_all();
}

void TCustomPlayer::Pause() {
    TPlayback* playback = playback_being_read_.load();
    if (has_playback_.load() && playback && !playback->paused.load()) {
        TogglePauseRecord();
        SetState(psPause);
    }
}

void TCustomPlayer::TogglePause() {
    if (!has_playback_.load()) {
        return;
    }
    TogglePauseRecord();
    const TPlayback* playback = playback_being_read_.load();
    SetState(playback && playback->paused.load() ? psPause : psResume);
}

void TCustomPlayer::Seek(int seek_flags, bool wait, int64_t target) {
    TPlayback* playback = playback_being_read_.load();
    if (!has_playback_.load() || !playback || target == AV_NOPTS_VALUE) {
        return;
    }
    if (!(seek_flags & kSeekByte)) {
        if (playback->duration > 0 && target > playback->duration) {
            target = playback->duration;
        }
        target += playback->start_time;
    }
    seek_done_.Reset();
    playback->seek_while_paused = playback->paused.load();
    playback->seek_flags = seek_flags & 0x0f;
    playback->seek_relative = 0;
    playback->seek_target = target;
    playback->seek_request = true;
    playback->continue_read.notify_all();
    if (wait) {
        WaitPumping([this] { return seek_done_.IsSet(); });
    }
}

}  // namespace tavrin

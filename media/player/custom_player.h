// The player component: plays one media file with its sound into SDL, and
// reports its state and position through events.
//
// Threads: the host thread (normally the main thread) runs the operations;
// the play thread runs the event loop and the refresh; the event thread
// delivers OnState and OnPosition; the read thread demultiplexes into the
// packet queues; SDL's audio thread runs the audio callback. Events go
// through the main thread when TriggerEventInMainThread is set (default);
// every wait of an operation keeps the main thread's queue running, so
// those events cannot dead-lock it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "media/common/ff_handles.h"
#include "media/common/format_converter.h"
#include "media/player/display_rect.h"
#include "media/player/event_queue.h"
#include "media/player/manual_event.h"
#include "media/player/play_state.h"
#include "media/player/player_types.h"
#include "media/player/sdl_loader.h"
#include "media/player/video_output.h"
#include "media/probe/decoder_component.h"
#include "media/runtime/base_component.h"
#include "media/runtime/loader.h"

namespace tavrin {

class TCustomPlayer : public TFFBaseComponent, public LibraryUser {
public:
    TCustomPlayer();
    ~TCustomPlayer() override;

    // The media libraries (PlayerLibs) and, when asked, SDL from the same
    // folder (or the system). False with LastErrorText.
    bool LoadLibraries(const std::string& folder, bool load_sdl);
    bool LibrariesLoaded() const;
    bool SDLLoaded() const { return sdl_loader_.Loaded(); }
    const TSDLLoader& SDL() const { return sdl_loader_; }

    // Opens the file and starts playing it: into the X11 window screen_handle
    // when non-zero, else into a window of SDL's own. False with
    // LastErrorText.
    bool Open(const std::string& file_name, uintptr_t screen_handle, bool start_paused);
    // Ends playback; with wait, returns only when the threads are gone.
    void Stop(bool wait);
    void Pause();
    void TogglePause();
    // Asks the read thread to seek to target µs (or bytes with kSeekByte);
    // with wait, returns when the seek is done.
    void Seek(int seek_flags, bool wait, int64_t target);

    // The player's own decoder: the open file's media context is attached to
    // it (not owned) from a successful Open until playback closes, so the
    // host can read the file's streams while it plays. Read it on the host
    // thread only.
    TVEVarazez& InternalDecoder() { return decoder_; }

    TPlayState PlayState() const { return play_state_.load(); }
    const std::string& FileName() const { return file_name_; }
    // The last position computed (µs), -1 when stopped.
    int64_t CurrentPosition() const { return current_position_.load(); }

    // What the picture path did since the open: pictures (or waveforms)
    // shown, pictures dropped because they were late, and where the last
    // picture went in the drawing area.
    int64_t PicturesShown() const { return pictures_shown_.load(); }
    int64_t PicturesDropped() const { return pictures_dropped_.load(); }
    TDisplayRect LastDisplayRect() const;
    // A reference to the picture on screen (with the subtitle blended into
    // it), null when none is shown.
    FramePtr ShownPicture();
    // The clocks in seconds; NaN when unknown (no such stream, or not since
    // the last seek).
    double AudioClockTime() const { return AudioClock(); }
    double VideoClockTime() const { return VideoClock(); }

    // The play range: playback from start (µs, AV_NOPTS_VALUE = the beginning)
    // for length µs (AV_NOPTS_VALUE = to the end), then end_action.
    void SetPlayRange(int64_t start, int64_t length, int end_action);

    // Properties.
    float AspectRatio() const { return aspect_ratio_.load(); }
    void SetAspectRatio(float ratio);
    TAudioDriver AudioDriver() const { return audio_driver_; }
    void SetAudioDriver(TAudioDriver driver) { audio_driver_ = driver; }
    TVideoDriver VideoDriver() const { return video_driver_; }
    void SetVideoDriver(TVideoDriver driver) { video_driver_ = driver; }
    bool AudioHook() const { return audio_hook_.load(); }
    void SetAudioHook(bool value) { audio_hook_ = value; }
    // 0 to 128; values outside are clamped.
    int AudioVolume() const { return audio_volume_.load(); }
    void SetAudioVolume(int volume);
    // Raise OnVideoHook / OnFrameHook for every picture (video thread).
    bool VideoHook() const { return video_hook_.load(); }
    void SetVideoHook(bool value) { video_hook_ = value; }
    bool FrameHook() const { return frame_hook_.load(); }
    void SetFrameHook(bool value) { frame_hook_ = value; }
    bool Mute() const { return mute_.load(); }
    void SetMute(bool value) { mute_ = value; }
    bool DisableAudio() const { return disable_audio_; }
    void SetDisableAudio(bool value) { disable_audio_ = value; }
    bool DisableVideo() const { return disable_video_; }
    void SetDisableVideo(bool value) { disable_video_ = value; }
    bool DisableDisplay() const { return disable_display_; }
    void SetDisableDisplay(bool value) { disable_display_ = value; }
    int32_t ScreenWidth() const { return screen_width_; }
    int32_t ScreenHeight() const { return screen_height_; }
    void SetScreenSize(int32_t width, int32_t height);
    bool TriggerEventInMainThread() const { return trigger_in_main_thread_; }
    void SetTriggerEventInMainThread(bool value) { trigger_in_main_thread_ = value; }

    // Events. Set them while stopped.
    void SetOnState(TPlayStateEvent handler) { on_state_ = std::move(handler); }
    void SetOnPosition(TPositionEvent handler) { on_position_ = std::move(handler); }
    void SetOnFileOpen(TFileOpenEvent handler) { on_file_open_ = std::move(handler); }
    void SetOnBeforeFindStreamInfo(TPlayerBeforeFindStreamInfoEvent handler) {
        on_before_find_stream_info_ = std::move(handler);
    }
    void SetOnAudioHook(TPlayerAudioHookEvent handler) { on_audio_hook_ = std::move(handler); }
    void SetOnVideoHook(TPlayerVideoHookEvent handler) { on_video_hook_ = std::move(handler); }
    void SetOnFrameHook(TPlayerFrameHookEvent handler) { on_frame_hook_ = std::move(handler); }
    // A key pressed in the player's own window (an SDL key code), raised like
    // OnState; tavrin-play gives the keys their meaning.
    void SetOnKeyDown(std::function<void(TCustomPlayer* sender, int32_t key)> handler) {
        on_key_down_ = std::move(handler);
    }

private:
    friend class TPlayerReader;
    friend class TPlayerAudio;
    friend class TPlayerVideo;

    // Logs at llError and keeps the text.
    void Report(const std::string& text);
    void SetState(TPlayState state);
    // Raises an event's handler on the main thread when asked, else here.
    void Raise(const std::function<void()>& call);

    bool StartSDL(uintptr_t screen_handle);
    bool OpenStream(const std::string& file_name, bool start_paused);
    void PlayThreadRun();
    void EventThreadRun();
    void EventLoop();
    void Refresh(double& remaining_time);
    void ReportPosition();
    void ApplyPlayRange();
    // The audio clock has passed the end of the decoded sound (or there is
    // no sound).
    bool SoundPlayedOut(const TPlayback& playback) const;
    // Closes the streams, frees the record, quits SDL and resets the state.
    // Holds the player lock when called.
    void ClosePlayback();
    // Joins a finished play thread and the event thread, keeping the main
    // thread's queue running while it waits.
    void JoinPlayThread();
    bool TryLockPlayer(std::chrono::milliseconds timeout);
    void EndEventThread();
    void PushSDLEvent(uint32_t type);
    void TogglePauseRecord();
    // The player's master clock and the clocks it is made of.
    double AudioClock() const;
    double MasterClock() const;
    double VideoClock() const;
    // Play thread: shows a picture in the drawing area, opening it first.
    void DrawPicture(const AVFrame& frame, double sample_aspect);
    void DrawWave(TPlayback& playback);
    // Opens (or shows and sizes) the drawing area; logs once when it cannot.
    bool OpenOutput(int width, int height);
    TSyncMode MasterSyncType() const;
    // Waits until done() holds, keeping the main thread's queue running.
    static void WaitPumping(const std::function<bool()>& done);

    TSDLLoader sdl_loader_;
    TVEVarazez decoder_;  // attached and detached by the read thread
    TSDLEntries sdl_;     // the player's copy of the entries

    // Properties: written by the host while stopped, unless atomic.
    std::atomic<float> aspect_ratio_{0};
    TAudioDriver audio_driver_ = TAudioDriver::adDefault;
    TVideoDriver video_driver_ = TVideoDriver::vdDefault;
    std::atomic<bool> audio_hook_{false};
    std::atomic<int> audio_volume_{128};
    std::atomic<bool> mute_{false};
    std::atomic<bool> video_hook_{false};
    std::atomic<bool> frame_hook_{false};
    bool disable_audio_ = false;
    bool disable_video_ = false;
    bool disable_display_ = false;
    int32_t screen_width_ = 0;
    int32_t screen_height_ = 0;
    bool trigger_in_main_thread_ = true;

    TPlayStateEvent on_state_;
    TPositionEvent on_position_;
    TFileOpenEvent on_file_open_;
    TPlayerBeforeFindStreamInfoEvent on_before_find_stream_info_;
    TPlayerAudioHookEvent on_audio_hook_;
    TPlayerVideoHookEvent on_video_hook_;
    TPlayerFrameHookEvent on_frame_hook_;
    TFormatConverter hook_converter_;  // video thread: the bitmap OnVideoHook sees
    std::function<void(TCustomPlayer* sender, int32_t key)> on_key_down_;

    // Host thread.
    std::string file_name_;
    uintptr_t screen_handle_ = 0;
    bool opening_ = false;
    int64_t start_position_ = AV_NOPTS_VALUE;
    int64_t play_length_ = AV_NOPTS_VALUE;
    int end_action_ = pePauseAndRewind;

    // Shared between threads.
    std::atomic<TPlayState> play_state_{psStop};
    std::atomic<int64_t> current_position_{-1};
    int64_t last_reported_position_ = AV_NOPTS_VALUE;  // play thread
    int report_serial_ = -1;                           // play thread
    std::atomic<bool> range_end_handled_{false};
    // The record of the open file, guarded by the player lock against the
    // refresh loop; the record being opened is reached by Stop and the
    // interrupt callback.
    std::recursive_mutex player_lock_;
    std::unique_ptr<TPlayback> playback_;
    std::atomic<bool> has_playback_{false};
    bool sdl_requested_ = false;
    std::atomic<TPlayback*> playback_being_read_{nullptr};
    std::atomic<TPlayback*> playback_being_opened_{nullptr};
    std::atomic<int64_t> activity_time_{INT64_MAX};

    TManualEvent seek_done_{true};
    TManualEvent finished_{true};
    std::atomic<bool> play_thread_started_{false};
    std::thread play_thread_;
    std::thread event_thread_;
    std::atomic<bool> event_thread_done_{true};
    std::atomic<bool> event_thread_terminated_{false};
    TPlayerEventQueue events_;

    // SDL user events, registered at start-up.
    TVideoOutput output_;  // play thread
    bool video_mode_failed_ = false;
    mutable std::mutex display_lock_;
    TDisplayRect last_display_rect_;  // guarded by display_lock_
    std::atomic<int64_t> pictures_shown_{0};
    std::atomic<int64_t> pictures_dropped_{0};

    uint32_t quit_event_ = 0;
    uint32_t refresh_event_ = 0;
    uint32_t allocate_event_ = 0;
};

// The component as hosts use it.
class TDEDudevo : public TCustomPlayer {};

}  // namespace tavrin

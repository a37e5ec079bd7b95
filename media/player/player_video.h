// The player's picture path: the video thread (decode, filter to YUV 4:2:0,
// queue) and the refresh that shows each picture at its time against the
// master clock, dropping late ones.
#pragma once

#include "media/player/play_state.h"

namespace tavrin {

class TCustomPlayer;

// The delay until the next picture, corrected against the master clock:
// `difference` = video clock − master clock (NaN when unknown).
double TargetDelay(double delay, double difference, bool video_is_master);

// The decoder threads' pause rule: while paused, wait in 10 ms steps unless
// the queue was aborted, a seek is asked or a first picture must show.
void WaitWhilePaused(const TPlayback& playback, const TPacketQueue& queue);

class TPlayerVideo {
public:
    static int StartStream(TCustomPlayer& player, TPlayback& playback, AVStream* stream);
    static void CloseStream(TPlayback& playback);
    // Play thread, under the player lock.
    static void Refresh(TCustomPlayer& player, TPlayback& playback, double& remaining_time);
    // The video thread's body.
    static void Run(TCustomPlayer& player, TPlayback& playback);

private:
    static bool ConfigureFilter(TCustomPlayer& player, TPlayback& playback, const AVFrame* frame,
                                int serial);
    static bool QueuePicture(TCustomPlayer& player, TPlayback& playback, FramePtr frame, double pts,
                             int serial);
    // OnVideoHook, then OnFrameHook, on a picture about to be queued.
    static void RunHooks(TCustomPlayer& player, const TPlayback& playback, AVFrame& picture,
                         double pts);
    static void Show(TCustomPlayer& player, TPlayback& playback);
    // Frees the picture at the read index and moves on to the next.
    static void AdvancePicture(TPlayback& playback);
    // Draws the picture on screen again when a refresh is forced.
    static void Redraw(TCustomPlayer& player, TPlayback& playback);
    static void UpdateVideoClock(TPlayback& playback, double pts, int serial);
};

}  // namespace tavrin

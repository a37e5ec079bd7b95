// The player's audio path: opening the SDL audio device, SDL's audio
// callback (decode, resample, volume, hook, visualisation) and the audio
// clock it keeps.
#pragma once

#include <cstdint>

#include "media/player/play_state.h"

namespace tavrin {

class TCustomPlayer;

// The next channel count to try when the device refuses one, indexed by the
// refused count (counts above 7 use index 7); 0 means give up.
int NextChannelCountToTry(int refused);

// The wanted sample count for a frame of `samples` samples when audio follows
// another master clock: `difference` = audio clock − master clock (seconds).
// Updates the averaging state; never moves more than 10 % from `samples`.
struct TAudioSyncState {
    double cumulative = 0;
    double coefficient = 0;
    int count = 0;
    double threshold = 0;
};
int WantedSampleCount(TAudioSyncState& state, int samples, double difference, int sample_rate);

class TPlayerAudio {
public:
    // Opens the device; the hardware buffer size in bytes, or -1.
    static int Open(TCustomPlayer& player, TPlayback& playback, int wanted_channels,
                    uint64_t channel_mask, int sample_rate);
    // The audio part of a stream's open: device, clock set-up, queue start.
    static int StartStream(TCustomPlayer& player, TPlayback& playback, AVStream* stream);
    static void CloseStream(TCustomPlayer& player, TPlayback& playback);
    // SDL's audio callback; userdata is the player.
    static void Callback(void* userdata, uint8_t* stream, int length);

private:
    static int DecodeFrame(TCustomPlayer& player, TPlayback& playback, double& piece_time);
    static int ConvertFrame(TCustomPlayer& player, TPlayback& playback, AVFrame* frame);
};

}  // namespace tavrin

// The read thread: opens the input and its streams for the player, then
// reads packets into the queues, seeking on request and noticing the end.
#pragma once

#include "media/player/play_state.h"

namespace tavrin {

class TCustomPlayer;

class TPlayerReader {
public:
    // Body of the read thread of `playback`.
    static void Run(TCustomPlayer& player, TPlayback& playback);
    // Installed on every context the read thread opens; opaque is the player.
    static int Interrupt(void* opaque);

private:
    static bool OpenInput(TCustomPlayer& player, TPlayback& playback);
    // Attaches the open context to the player's internal decoder, or
    // detaches it (null).
    static void AttachToDecoder(TCustomPlayer& player, AVFormatContext* context);
    static void ReadLoop(TCustomPlayer& player, TPlayback& playback);
    static void PerformSeek(TCustomPlayer& player, TPlayback& playback);
    static bool OpenComponent(TCustomPlayer& player, TPlayback& playback, int stream_index);
    static void CloseComponents(TCustomPlayer& player, TPlayback& playback);
};

}  // namespace tavrin

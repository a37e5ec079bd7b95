// Bitmap subtitles: the subtitle thread decodes the subtitle queue's packets
// into a ring of four subtitles, their palettes turned into YUV with alpha;
// the refresh frees the ones that ended or were superseded and blends the
// one due into the picture it shows. Text subtitles are not shown.
#pragma once

#include <cstdint>

#include "media/player/play_state.h"

struct AVFrame;

namespace tavrin {

class TCustomPlayer;

// A palette entry 0xAARRGGBB as 0xAAYYUUVV, in the video range (luma
// 16-235, chroma 16-240 around 128).
uint32_t RgbaToYuva(uint32_t argb);
// Blends the subtitle's bitmaps, palettes already in YUV, into a planar
// YUV 4:2:0 picture; parts outside the picture are left out.
void BlendSubtitle(AVFrame& picture, const AVSubtitle& subtitle);

class TPlayerSubtitles {
public:
    static void StartStream(TPlayback& playback, AVStream* stream);
    static void CloseStream(TPlayback& playback);
    // Play thread, when a picture of time `pts` is about to be shown: frees
    // what ended or was superseded, then blends the subtitle that is due.
    static void ShowWith(TCustomPlayer& player, TPlayback& playback, AVFrame& picture, double pts);
    // The subtitle thread's body.
    static void Run(TPlayback& playback);
};

}  // namespace tavrin

// The player's public value types: its states, driver choices and events.
#pragma once

#include <cstdint>
#include <functional>

extern "C" {
#include <libavutil/avutil.h>
}

struct AVFormatContext;
struct AVFrame;

namespace tavrin {

class TBitmap;
class TCustomPlayer;

// In this order, 0 to 5. psStep belongs to the type; no operation reports it.
enum TPlayState : int { psPlay, psPause, psResume, psStep, psStop, psEnd };

// SDL's audio and video drivers: the default leaves the choice to SDL and to
// the user's SDL_AUDIODRIVER / SDL_VIDEODRIVER.
enum class TAudioDriver { adDefault, adDirectSound, adWaveOut };
enum class TVideoDriver { vdDefault, vdDirectDraw, vdGDI };

// Seek flags of TCustomPlayer::Seek: 1 backward, 2 by bytes, 4 any frame.
inline constexpr int kSeekBackward = 1;
inline constexpr int kSeekByte = 2;
inline constexpr int kSeekAny = 4;

// What happens when playback reaches the end of its play range.
enum TPlayEndAction : int {
    peStop = 1,
    peRewind = 2,
    pePause = 3,
    pePauseAndRewind = 4,
};

using TPlayStateEvent = std::function<void(TCustomPlayer* sender, TPlayState state)>;
using TPositionEvent = std::function<void(TCustomPlayer* sender, int64_t pts_us)>;
using TFileOpenEvent =
    std::function<void(TCustomPlayer* sender, int64_t duration_us, int32_t frame_width,
                       int32_t frame_height, int32_t& screen_width, int32_t& screen_height)>;
using TPlayerBeforeFindStreamInfoEvent =
    std::function<void(TCustomPlayer* sender, AVFormatContext* format_context)>;
// The samples may be changed in place before they are played.
using TPlayerAudioHookEvent =
    std::function<void(TCustomPlayer* sender, int64_t pts_us, uint8_t* samples, int32_t size,
                       int32_t sample_rate, int32_t channels)>;
// A picture about to be queued, as a bitmap; when the handler leaves update
// true, the bitmap goes back into the picture that will be shown.
using TPlayerVideoHookEvent =
    std::function<void(TCustomPlayer* sender, TBitmap& bitmap, int64_t pts_us, bool& update)>;
// The same picture in its own format (planar YUV 4:2:0), writable in place.
using TPlayerFrameHookEvent =
    std::function<void(TCustomPlayer* sender, AVFrame* picture, int32_t pix_fmt, int32_t width,
                       int32_t height, int64_t pts_us)>;

}  // namespace tavrin

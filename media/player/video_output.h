// The player's drawing surface on SDL2: its own window or a host's X11
// window, a renderer, and a YUV 4:2:0 texture of the picture's size. Used on
// the play thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/player/display_rect.h"
#include "media/player/sdl_api.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace tavrin {

class TVideoOutput {
public:
    TVideoOutput() = default;
    ~TVideoOutput() { Close(); }
    TVideoOutput(const TVideoOutput&) = delete;
    TVideoOutput& operator=(const TVideoOutput&) = delete;

    // Opens the window (into host_window when non-zero) with that size, or
    // resizes the player's own window. False with the reason in `error`.
    bool Open(const TSDLEntries& sdl, uintptr_t host_window, int width, int height,
              std::string& error);
    bool IsOpen() const { return renderer_ != nullptr; }
    // Makes the player's own window and its renderer ahead of the first
    // picture, hidden: the first Open then only sizes and shows it.
    void Prepare(const TSDLEntries& sdl);
    bool Prepared() const { return renderer_ != nullptr && hidden_; }
    // The drawing area's size.
    void AreaSize(int& width, int& height) const;

    // Shows a YUV 4:2:0 picture in the rectangle, with the borders around it
    // in the background colour.
    bool DrawPicture(const AVFrame* frame, const TDisplayRect& rect);
    // Draws a waveform: per channel a band, one column per sample.
    void DrawWave(const std::vector<int16_t>& samples, int channels, int columns);

    void Close();

private:
    const TSDLEntries* sdl_ = nullptr;
    SDL_Window* window_ = nullptr;
    bool own_window_ = false;
    bool hidden_ = false;
    SDL_Renderer* renderer_ = nullptr;
    SDL_Texture* texture_ = nullptr;
    int texture_width_ = 0;
    int texture_height_ = 0;
};

}  // namespace tavrin

#include "media/player/video_output.h"

#include <algorithm>
#include <string>

namespace tavrin {

bool TVideoOutput::Open(const TSDLEntries& sdl, uintptr_t host_window, int width, int height,
                        std::string& error) {
    sdl_ = &sdl;
    if (window_ && hidden_) {
        sdl.SDL_SetWindowSize(window_, width, height);
        sdl.SDL_ShowWindow(window_);
        hidden_ = false;
        return true;
    }
    if (window_ && own_window_) {
        int current_width = 0;
        int current_height = 0;
        sdl.SDL_GetWindowSize(window_, &current_width, &current_height);
        if (current_width != width || current_height != height) {
            sdl.SDL_SetWindowSize(window_, width, height);
        }
        return true;
    }
    if (window_) {
        return true;  // a host window keeps the host's size
    }
    if (host_window != 0) {
        window_ = sdl.SDL_CreateWindowFrom(reinterpret_cast<const void*>(host_window));
        own_window_ = false;
    } else {
        window_ = sdl.SDL_CreateWindow("DEDudevo", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                       width, height, SDL_WINDOW_RESIZABLE);
        own_window_ = true;
    }
    if (window_) {
        renderer_ = sdl.SDL_CreateRenderer(window_, -1, 0);
    }
    if (!renderer_) {
        error = sdl.SDL_GetError();
        Close();
        return false;
    }
    sdl.SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    sdl.SDL_RenderClear(renderer_);
    return true;
}

void TVideoOutput::Prepare(const TSDLEntries& sdl) {
    if (window_) {
        return;
    }
    sdl_ = &sdl;
    window_ = sdl.SDL_CreateWindow("DEDudevo", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                                   640, 480, SDL_WINDOW_RESIZABLE | SDL_WINDOW_HIDDEN);
    own_window_ = true;
    hidden_ = true;
    if (window_) {
        renderer_ = sdl.SDL_CreateRenderer(window_, -1, 0);
    }
    if (!renderer_) {
        Close();
    }
}

void TVideoOutput::AreaSize(int& width, int& height) const {
    width = 0;
    height = 0;
    if (renderer_) {
        sdl_->SDL_GetRendererOutputSize(renderer_, &width, &height);
    }
}

bool TVideoOutput::DrawPicture(const AVFrame* frame, const TDisplayRect& rect) {
    if (!renderer_) {
        return false;
    }
    if (!texture_ || texture_width_ != frame->width || texture_height_ != frame->height) {
        if (texture_) {
            sdl_->SDL_DestroyTexture(texture_);
        }
        texture_ =
            sdl_->SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                    frame->width, frame->height);
        texture_width_ = frame->width;
        texture_height_ = frame->height;
        if (!texture_) {
            return false;
        }
    }
    sdl_->SDL_UpdateYUVTexture(texture_, nullptr, frame->data[0], frame->linesize[0],
                               frame->data[1], frame->linesize[1], frame->data[2],
                               frame->linesize[2]);
    sdl_->SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    sdl_->SDL_RenderClear(renderer_);
    const SDL_Rect target{rect.x, rect.y, rect.width, rect.height};
    sdl_->SDL_RenderCopy(renderer_, texture_, nullptr, &target);
    sdl_->SDL_RenderPresent(renderer_);
    return true;
}

void TVideoOutput::DrawWave(const std::vector<int16_t>& samples, int channels, int columns) {
    if (!renderer_ || channels <= 0) {
        return;
    }
    int width = 0;
    int height = 0;
    AreaSize(width, height);
    sdl_->SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    sdl_->SDL_RenderClear(renderer_);
    sdl_->SDL_SetRenderDrawColor(renderer_, 255, 255, 255, 255);
    const int band = height / channels;
    for (int channel = 0; channel < channels; ++channel) {
        const int axis = channel * band + band / 2;
        for (int x = 0; x < std::min(columns, width); ++x) {
            const std::size_t index = static_cast<std::size_t>(x * channels + channel);
            if (index >= samples.size()) {
                break;
            }
            const int extent = (samples[index] * band * 9 / 20) >> 15;
            sdl_->SDL_RenderDrawLine(renderer_, x, axis, x, axis - extent);
        }
        if (channel > 0) {
            sdl_->SDL_RenderDrawLine(renderer_, 0, channel * band, width, channel * band);
        }
    }
    sdl_->SDL_RenderPresent(renderer_);
}

void TVideoOutput::Close() {
    if (!sdl_) {
        return;
    }
    if (texture_) {
        sdl_->SDL_DestroyTexture(texture_);
        texture_ = nullptr;
    }
    if (renderer_) {
        sdl_->SDL_DestroyRenderer(renderer_);
        renderer_ = nullptr;
    }
    if (window_) {
        sdl_->SDL_DestroyWindow(window_);
        window_ = nullptr;
    }
    texture_width_ = texture_height_ = 0;
    hidden_ = false;
}

}  // namespace tavrin

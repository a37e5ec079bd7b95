// Where a task lets its owner see and change what passes through it: the
// picture hooks before the filters and before the encoder, the audio hooks,
// the "-vhook" modules and the throttled preview.
#include "media/engine/hooks.h"

#include <cstring>
#include <exception>
#include <string>

#include "media/engine/engine_locks.h"
#include "media/engine/progress.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/logger.h"

namespace tavrin {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};

TFrameHookInfo FrameInfoOf(AVFrame* frame, std::int32_t frame_number, std::int64_t pts) {
    TFrameHookInfo info;
    info.FrameNumber = frame_number;
    info.Picture = frame->data;
    info.LineSizes = frame->linesize;
    info.PixelFormat = frame->format;
    info.Width = frame->width;
    info.Height = frame->height;
    info.PTS = pts;
    return info;
}

// The picture's size in bytes for its format; negative when the format or
// size is not one the library can lay out.
int PictureSize(const AVFrame* frame) {
    return ff.av_image_get_buffer_size(static_cast<AVPixelFormat>(frame->format), frame->width,
                                       frame->height, 1);
}

}  // namespace

// --- Preview flags -----------------------------------------------------------------

void TCustomFFmpeg::SetFlags(std::uint8_t flags) {
    const std::unique_lock<std::mutex> guard = LockPreview();
    StoreFlags(flags);
    preview_flags_changed_ = true;
}

void TCustomFFmpeg::StoreFlags(std::uint8_t flags) {
    if ((preview_flags_ & kPreviewWindowFlag) != 0 && (flags & kPreviewWindowFlag) == 0) {
        hooks_->PreviewWindow.reset();
    }
    preview_flags_ = flags;
}

std::uint8_t TCustomFFmpeg::PreviewFlags() const {
    const std::unique_lock<std::mutex> guard = LockPreview();
    return preview_flags_;
}

bool TCustomFFmpeg::PreviewFlagsChanged() const {
    const std::unique_lock<std::mutex> guard = LockPreview();
    return preview_flags_changed_;
}

// --- Bitmap depth -------------------------------------------------------------------

void TCustomFFmpeg::SetHookBitmapBits(int bits) {
    hooks_->HookConverter.SetBitsPixel(bits);
    hooks_->PreviewConverter.SetBitsPixel(bits);
}

int TCustomFFmpeg::OptVideoHookBitsPixel(const char* /*name*/, const char* argument) {
    std::string message;
    const std::string text = argument != nullptr ? argument : "";
    try {
        std::size_t used = 0;
        const long value = std::stol(text, &used, 10);
        if (used != text.size() || value < INT32_MIN || value > INT32_MAX) {
            throw std::invalid_argument(text);
        }
        SetHookBitmapBits(static_cast<int>(value));
        return 0;
    } catch (const std::invalid_argument&) {
        message = "'" + text + "' is not a valid integer value";
    } catch (const std::out_of_range&) {
        message = "'" + text + "' is not a valid integer value";
    } catch (const std::exception& error) {
        message = error.what();
    }
    SetPendingErrorText(message);
    Log(this, llError, message);
    return AVERROR(EINVAL);
}

// --- Picture hooks ------------------------------------------------------------------

void TCustomFFmpeg::pre_process_video_frame(InputStream& ist, AVFrame* frame) {
    ++ist.hook_frame_number;
    const std::int64_t pts = ist.pts;
    TTaskHooks& hooks = *hooks_;
    if (deinterlace == 0 && !FrameInputHook && !VideoInputHook && !VideoHookModulesPresent) {
        return;
    }
    if (PictureSize(frame) < 0) {
        Log(this, llError, "avpicture_get_size() returns error.");
        return;
    }
    // The hooks change a picture of their own: the decoder may still refer
    // to its pictures, and the filters may keep earlier ones queued.
    if (ff.av_frame_make_writable(frame) < 0) {
        Log(this, llError, "memory malloc error in pre_process_video_frame().");
        return;
    }
    if (deinterlace != 0 && !hooks.DeinterlaceWarned) {
        // There is no picture deinterlacing call to use here; the hooks see
        // the picture as decoded (the yadif filter deinterlaces).
        Log(this, llWarning, "Deinterlacing failed.");
        hooks.DeinterlaceWarned = true;
    }
    const std::int32_t frame_number = ist.hook_frame_number;
    if (FrameInputHook) {
        FrameInputHook(*this, FrameInfoOf(frame, frame_number, pts));
    }
    if (VideoInputHook) {
        call_video_hook(VideoInputHook, hooks.HookConverter, pts, frame_number, frame);
    } else if (VideoHookModulesPresent) {
        picture planes{};
        for (int i = 0; i < 8; ++i) {
            planes.data[i] = frame->data[i];
            planes.linesize[i] = frame->linesize[i];
        }
        for (const THookModule& module : hooks.VideoHookModules) {
            module.Process(module.PrivateData, &planes, frame->format, frame->width, frame->height,
                           pts);
        }
    }
}

bool TCustomFFmpeg::call_video_hook(TVideoHook& slot, TFormatConverter& converter, std::int64_t pts,
                                    std::int32_t frame_number, AVFrame* frame) {
    bool converted = converter.PictureToBitmap(frame, true);
    bool stop_hook = !converted;
    if (!converted) {
        Log(this, llError, converter.LastErrorText());
    } else {
        bool update = true;
        try {
            slot(*this, converter.Bitmap(), frame_number, pts, update, stop_hook);
        } catch (const std::exception& error) {
            Log(this, llError, std::string("Error occurs VideoHook event: ") + error.what());
            update = false;
        } catch (...) {
            Log(this, llError, "Error occurs VideoHook event: unknown exception");
            update = false;
        }
        if (update) {
            converter.CopyFromBitmap();
            // Unless the picture was the bitmap's own format, the bitmap went
            // into the converter's buffer; it is scaled back into the picture.
            if (converter.CurrentPictureData() != frame->data[0] &&
                !converter.BitmapToPicture(frame)) {
                Log(this, llError, converter.LastErrorText());
                stop_hook = true;
            }
        } else if (PreviewFlags() != 0) {
            // The preview converts the unchanged picture again.
            converted = false;
        }
    }
    if (stop_hook) {
        slot = nullptr;
    }
    return converted;
}

bool TCustomFFmpeg::run_output_hooks(AVFrame* frame, std::int32_t frame_number, std::int64_t pts) {
    if (PictureSize(frame) < 0) {
        Log(this, llError, "avpicture_get_size() returns error.");
        return false;
    }
    // The encoder may still hold the filter's picture (a duplicated frame);
    // the hooks work on a picture of their own.
    if (ff.av_frame_make_writable(frame) < 0) {
        Log(this, llError, "hook buf malloc error.");
        return false;
    }
    bool converted = false;
    if (VideoOutputHook) {
        // The preview converter, so that the preview can reuse the bitmap.
        converted =
            call_video_hook(VideoOutputHook, hooks_->PreviewConverter, pts, frame_number, frame);
    }
    if (FrameOutputHook) {
        FrameOutputHook(*this, FrameInfoOf(frame, frame_number, pts));
    }
    return converted;
}

void TCustomFFmpeg::run_output_hooks_and_preview(AVFrame* frame, const AVCodecContext* enc,
                                                 std::int32_t frame_number, std::int64_t pts) {
    if (pts != kNoTimestamp) {
        pts = ff.av_rescale_q(pts, enc->time_base, kMicroseconds);
    }
    bool converted = false;
    if (HasOutputHooks()) {
        converted = run_output_hooks(frame, frame_number, pts);
    }
    if (PreviewFlags() != 0) {
        show_preview(frame, converted, pts, frame_number);
    }
}

// --- Preview ------------------------------------------------------------------------

void TCustomFFmpeg::show_preview(AVFrame* frame, bool converted, std::int64_t pts,
                                 std::int32_t frame_number) {
    const std::unique_lock<std::mutex> guard = LockPreview();
    TTaskHooks& hooks = *hooks_;
    std::uint8_t flags = preview_flags_;
    const bool to_bitmap = (flags & kPreviewBitmapFlag) != 0 && PreviewBitmapCallback;
    const bool to_window = !to_bitmap && (flags & kPreviewWindowFlag) != 0;
    if (to_bitmap || to_window) {
        const std::int64_t now = ProgressClockMicroseconds();
        if (PreviewDue(hooks.Previewed, hooks.LastPreviewTime, now, PreviewInterval)) {
            TFormatConverter& converter = hooks.PreviewConverter;
            bool ok = true;
            if (!converted || preview_flags_changed_) {
                ok = converter.PictureToBitmap(frame, true);
            }
            const std::uint8_t bit = to_bitmap ? kPreviewBitmapFlag : kPreviewWindowFlag;
            if (!ok) {
                Log(this, llError, converter.LastErrorText());
                flags = static_cast<std::uint8_t>(flags & ~bit);
            } else if (to_bitmap) {
                PreviewBitmapCallback(*this, converter.Bitmap(), frame_number, pts);
            } else {
                if (!hooks.PreviewWindow && PreviewWindowFactory) {
                    hooks.PreviewWindow = PreviewWindowFactory();
                }
                if (!hooks.PreviewWindow ||
                    !hooks.PreviewWindow->ShowPicture(converter.Bitmap(), frame_number, pts)) {
                    flags = static_cast<std::uint8_t>(flags & ~bit);
                }
            }
            hooks.Previewed = true;
            hooks.LastPreviewTime = now;
        }
    }
    StoreFlags(flags);
    preview_flags_changed_ = false;
}

// --- Audio hooks ---------------------------------------------------------------------

void TCustomFFmpeg::run_audio_hook(const TAudioHook& slot, AVFrame* frame, std::int64_t pts) {
    if (ff.av_frame_make_writable(frame) < 0) {
        Log(this, llError, "Cannot make the audio samples writable for the hook.");
        return;
    }
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const int bytes = ff.av_get_bytes_per_sample(format);
    // The hook sees the first plane: all channels of a packed format, one
    // channel of a planar one; the size never goes past that plane.
    const int plane_channels = ff.av_sample_fmt_is_planar(format) != 0 ? 1 : channels;
    const std::int32_t size = frame->nb_samples * plane_channels * bytes;
    slot(*this, frame->data[0], pts, size, frame->sample_rate, channels, frame->format);
}

// --- Release --------------------------------------------------------------------------

void TCustomFFmpeg::ReleaseHooks() {
    for (THookModule& module : hooks_->VideoHookModules) {
        if (module.Release != nullptr) {
            module.Release(module.PrivateData);
        }
    }
    hooks_->VideoHookModules.clear();
    VideoHookModulesPresent = false;
    std::unique_ptr<TPreviewWindow> window;
    {
        const std::unique_lock<std::mutex> guard = LockPreview();
        window = std::move(hooks_->PreviewWindow);
        hooks_->Previewed = false;
        hooks_->LastPreviewTime = 0;
    }
    // Freed outside the lock: freeing a window waits for the main thread.
    window.reset();
}

}  // namespace tavrin

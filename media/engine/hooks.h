// The hook state a task keeps besides its hook slots: the two bitmap
// converters, the "-vhook" modules it configured and the preview state.
//
// Threads: the converters and the modules belong to the task's thread while
// it runs (the controlling thread fills the modules and the bitmap depth
// before). The preview fields are guarded by PreviewLock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/common/format_converter.h"
#include "media/engine/custom_ffmpeg.h"
#include "media/engine/vhook_module_api.h"

namespace tavrin {

// One "-vhook" module configured for one task.
struct THookModule {
    TVHookConfigure Configure = nullptr;
    TVHookProcess Process = nullptr;
    TVHookRelease Release = nullptr;
    void* PrivateData = nullptr;
};

struct TTaskHooks {
    TFormatConverter HookConverter;
    TFormatConverter PreviewConverter;
    // In the order given; released at the task's cleanup.
    std::vector<THookModule> VideoHookModules;
    bool DeinterlaceWarned = false;

    // --- Guarded by PreviewLock.
    std::unique_ptr<TPreviewWindow> PreviewWindow;
    bool Previewed = false;
    std::int64_t LastPreviewTime = 0;
};

// The engine task behind the option layer's records; null for a bare record.
inline TCustomFFmpeg* EngineTaskOf(TCustomFFmpegOpt& task) {
    return dynamic_cast<TCustomFFmpeg*>(&task);
}

// True when a preview picture is due at `now`: the first one at once, then
// only once more than `interval` has passed since the last one.
inline bool PreviewDue(bool previewed, std::int64_t last, std::int64_t now, std::int64_t interval) {
    return !previewed || now - last > interval;
}

// Takes PreviewLock. A task's preview holds it while the main thread paints
// the picture, and waits for that; so on the main thread this serves queued
// calls while the lock is taken, which lets that paint run and the lock come
// free. Elsewhere it waits plainly.
std::unique_lock<std::mutex> LockPreview();

}  // namespace tavrin

// The preview window of one task, apart from the window toolkit: the task
// hands it pictures on its own thread, and it has the main thread paint
// them into a view that the windowed program supplies (a factory of
// TPreviewView). Without a view factory there is no window, and the task
// stops previewing at its first picture.
//
// Threads and the fields they own:
// - the task's thread: ShowPicture; it stores the picture and then waits
//   for the main thread to paint it, so the picture fields are only read
//   while their writer waits;
// - the main thread: the view (created, painted and freed there only);
// - any thread: closed_.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/common/bitmap.h"
#include "media/engine/custom_ffmpeg.h"

namespace tavrin {

// The window itself; every call comes on the main thread.
class TPreviewView {
public:
    virtual ~TPreviewView() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    // Draws at the top-left corner, at the picture's own size; the picture
    // is valid only during the call.
    virtual void Draw(const TBitmap& picture) = 0;
};

// Makes a shown view whose client area is width x height; on_close is called
// on the main thread when the user closes it.
using TPreviewViewFactory = std::function<std::unique_ptr<TPreviewView>(
    int width, int height, std::function<void()> on_close)>;

class TPreviewer final : public TPreviewWindow {
public:
    explicit TPreviewer(TPreviewViewFactory factory);
    // Frees the view on the main thread, waiting for it when called elsewhere.
    ~TPreviewer() override;
    TPreviewer(const TPreviewer&) = delete;
    TPreviewer& operator=(const TPreviewer&) = delete;

    // Has the main thread paint the picture and waits for it; false once the
    // user has closed the window.
    bool ShowPicture(const TBitmap& picture, std::int32_t frame_number, std::int64_t pts) override;
    bool Closed() const { return closed_; }

private:
    void Paint();

    const TPreviewViewFactory factory_;
    std::unique_ptr<TPreviewView> view_;
    std::atomic<bool> closed_{false};
    const TBitmap* picture_ = nullptr;  // not owned
    std::int32_t frame_number_ = 0;     // kept, not shown
    std::int64_t pts_ = 0;
};

}  // namespace tavrin

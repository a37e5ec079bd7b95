#include "media/encoder/previewer.h"

#include <utility>

#include "media/common/text_helpers.h"
#include "media/runtime/main_thread.h"

namespace tavrin {

TPreviewer::TPreviewer(TPreviewViewFactory factory) : factory_(std::move(factory)) {}

TPreviewer::~TPreviewer() {
    if (!view_) {
        return;
    }
    // The view was made on the main thread and is freed there. The caller
    // holds no lock the main thread waits for (see LockPreview).
    if (!TryRunInMainThread([this] { view_.reset(); })) {
        view_.reset();
    }
}

bool TPreviewer::ShowPicture(const TBitmap& picture, std::int32_t frame_number, std::int64_t pts) {
    if (closed_) {
        return false;
    }
    picture_ = &picture;
    frame_number_ = frame_number;
    pts_ = pts;
    if (!TryRunInMainThread([this] { Paint(); })) {
        closed_ = true;  // no main thread, no window
    }
    picture_ = nullptr;
    return !closed_;
}

void TPreviewer::Paint() {
    if (closed_ || picture_ == nullptr) {
        return;
    }
    if (!view_) {
        if (!factory_) {
            closed_ = true;
            return;
        }
        view_ = factory_(picture_->Width(), picture_->Height(), [this] { closed_ = true; });
        if (!view_) {
            closed_ = true;
            return;
        }
    }
    view_->SetCaption(FormatTimestamp(pts_));
    view_->Draw(*picture_);
}

}  // namespace tavrin

#include "app/gui/window_preview.h"

#include "app/core/audio_preview.h"
#include "media/player/custom_player.h"
#include "media/runtime/loader.h"

namespace tavrin {

struct TWindowPreview::Parts {
    explicit Parts(Hooks windowHooks)
        : hooks(std::move(windowHooks)),
          preview(player, TAudioPreview::Hooks{hooks.Log, hooks.StopEncoder},
                  DefaultLibraryFolder()) {}

    Hooks hooks;
    TDEDudevo player;
    TAudioPreview preview;
};

TWindowPreview::TWindowPreview(Hooks hooks) : parts_(std::make_unique<Parts>(std::move(hooks))) {
    // The player raises its events on the main thread.
    parts_->player.SetOnState([this](TCustomPlayer*, TPlayState state) {
        parts_->preview.OnState(state);
        if (parts_->hooks.ControlsChanged) {
            parts_->hooks.ControlsChanged();
        }
    });
    parts_->player.SetOnPosition([this](TCustomPlayer*, int64_t position) {
        parts_->preview.OnPosition(position);
        if (parts_->hooks.Position) {
            parts_->hooks.Position(parts_->preview.StatusText());
        }
    });
}

TWindowPreview::~TWindowPreview() {
    Detach();
    parts_->player.Stop(true);
}

void TWindowPreview::Play(const std::vector<std::string>& rows, int selected, uintptr_t window) {
    // Without a window the player makes none of its own for a song.
    parts_->player.SetDisableDisplay(window == 0);
    parts_->preview.Play(rows, selected, window);
}

void TWindowPreview::PauseClicked() {
    parts_->preview.PauseClicked();
}

void TWindowPreview::StopClicked() {
    parts_->preview.StopClicked();
}

void TWindowPreview::StopAndWait() {
    parts_->player.Stop(true);
}

void TWindowPreview::Detach() {
    parts_->player.SetOnState(nullptr);
    parts_->player.SetOnPosition(nullptr);
}

TWindowPreview::Controls TWindowPreview::Current() const {
    return parts_->preview.Controls();
}

bool TWindowPreview::Playing() const {
    const TPlayState state = parts_->player.PlayState();
    return state == psPlay || state == psPause || state == psResume || state == psStep;
}

std::string TWindowPreview::PlayingFile() const {
    return parts_->player.FileName();
}

}  // namespace tavrin

#include "app/core/audio_preview.h"

#include "app/core/duration_text.h"

namespace tavrin {

TAudioPreview::TAudioPreview(TCustomPlayer& player, Hooks hooks, std::string library_folder)
    : player_(player), hooks_(std::move(hooks)), library_folder_(std::move(library_folder)) {}

void TAudioPreview::Play(const std::vector<std::string>& rows, int selected, uintptr_t window) {
    if (!player_.LibrariesLoaded() || !player_.SDLLoaded()) {
        if (!player_.LoadLibraries(library_folder_, true)) {
            hooks_.Log(player_.LastErrorText());
            return;
        }
    }
    std::string file;
    if (selected >= 0 && static_cast<std::size_t>(selected) < rows.size()) {
        file = rows[static_cast<std::size_t>(selected)];
    } else if (!rows.empty()) {
        file = rows.front();
    }
    if (hooks_.StopEncoder) {
        hooks_.StopEncoder();
    }
    player_.Stop(true);
    if (!OpenAudioProbes(rows)) {
        return;
    }
    if (!player_.Open(file, window, false)) {
        // Nothing plays, so no stop would switch the merge's buttons back.
        hooks_.Log(player_.LastErrorText());
        return;
    }
    controls_.AddVideo = false;
    controls_.AddAudio = false;
    controls_.Merge = false;
    controls_.MergeStop = false;
    controls_.MergePause = false;
    controls_.Clear = false;
    controls_.PauseCaption = "Pause";
    controls_.List = true;
}

bool TAudioPreview::OpenAudioProbes(const std::vector<std::string>& rows) {
    FreeAudioProbes();
    for (const std::string& row : rows) {
        auto probe = std::make_unique<TVEVarazez>();
        probe->SetAudioChannels(2);
        probe->SetAudioSampleRate(44100);
        probe->SetAudioSampleFormat(1);  // signed 16-bit
        if (!probe->LoadFile(row)) {
            hooks_.Log("failed to load " + row);
            FreeAudioProbes();
            return false;
        }
        hooks_.Log(probe->FileInfoText());
        probes_.push_back(std::move(probe));
    }
    return !probes_.empty();
}

void TAudioPreview::FreeAudioProbes() {
    probes_.clear();
}

void TAudioPreview::PauseClicked() {
    player_.TogglePause();
    switch (player_.PlayState()) {
        case psPlay:
        case psPause:
            controls_.PauseCaption = "Resume";
            break;
        case psResume:
            controls_.PauseCaption = "Pause";
            break;
        default:
            break;
    }
}

void TAudioPreview::StopClicked() {
    player_.Stop(false);
    controls_.AddAudio = true;
    controls_.PauseCaption = "Pause";
}

void TAudioPreview::OnState(TPlayState state) {
    if (state == psStop || state == psEnd) {
        controls_.AddVideo = true;
        controls_.Merge = true;
        controls_.Clear = true;
        controls_.List = true;
        controls_.PlayStop = false;
        controls_.PlayPause = false;
    } else if (state == psPlay) {
        controls_.PlayStop = true;
        controls_.PlayPause = true;
    }
}

void TAudioPreview::OnPosition(int64_t position_us) {
    status_text_ = FormatDuration(position_us);
}

}  // namespace tavrin

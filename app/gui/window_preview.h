// The main window's audio preview behind a narrow interface: the player
// component, the preview's rules (app/core's TAudioPreview) and the player's
// events, kept out of the window's own file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/audio_preview.h"

namespace tavrin {

class TWindowPreview {
public:
    // What the preview enables, and the caption of its "Pause" button.
    using Controls = TPreviewControls;
    struct Hooks {
        std::function<void(const std::string& line)> Log;
        std::function<void()> StopEncoder;  // with waiting
        // The player's state changed what the preview enables.
        std::function<void()> ControlsChanged;
        // The playing position as the status label shows it.
        std::function<void(const std::string& text)> Position;
    };

    explicit TWindowPreview(Hooks hooks);
    ~TWindowPreview();
    TWindowPreview(const TWindowPreview&) = delete;
    TWindowPreview& operator=(const TWindowPreview&) = delete;

    // rows: the list's files in order; selected: the selected row or -1;
    // window: the X11 window for a picture, 0 for none.
    void Play(const std::vector<std::string>& rows, int selected, uintptr_t window);
    void PauseClicked();
    void StopClicked();
    // Stops playing and waits (before a merge, and when the window goes).
    void StopAndWait();
    // No more state or position events reach the window.
    void Detach();
    Controls Current() const;
    // The player's state, for tests: true while it plays or is paused.
    bool Playing() const;
    // The file the player opened last, for tests: which row "Play" took.
    std::string PlayingFile() const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

}  // namespace tavrin

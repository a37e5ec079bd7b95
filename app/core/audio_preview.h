// The audio preview of the main window's list: "Play" probes every listed
// file and plays the selected one with the player component, "Pause" and
// "Stop" control it, and the player's state and position events drive the
// buttons and the status text. The window shows Buttons() and StatusText()
// and forwards the player's OnState and OnPosition here; all of it runs on
// the main thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "media/player/custom_player.h"
#include "media/probe/decoder_component.h"

namespace tavrin {

// What the audio preview enables, and the player's "Pause" caption.
struct TPreviewControls {
    bool AddVideo = true;
    bool AddAudio = true;
    bool Merge = true;
    bool MergeStop = true;
    bool MergePause = true;
    bool Clear = true;
    bool List = true;
    bool PlayStop = false;
    bool PlayPause = false;
    std::string PauseCaption = "Pause";
};

class TAudioPreview {
public:
    struct Hooks {
        std::function<void(const std::string& line)> Log;  // a line for the window's log
        std::function<void()> StopEncoder;                 // the encoder's Stop with waiting
    };

    // The player is the window's; library_folder is where "LibAV" is.
    TAudioPreview(TCustomPlayer& player, Hooks hooks, std::string library_folder);

    // "Play" (and a double click on a row): rows are the list's file paths in
    // order, selected the selected row or -1; the picture, if any, goes to
    // window (0: the player's own window).
    void Play(const std::vector<std::string>& rows, int selected, uintptr_t window);
    void PauseClicked();
    void StopClicked();
    // The player's events, forwarded by the window.
    void OnState(TPlayState state);
    void OnPosition(int64_t position_us);

    const TPreviewControls& Controls() const { return controls_; }
    const std::string& StatusText() const { return status_text_; }
    std::size_t ProbeCount() const { return probes_.size(); }

    // Opens every row with a probe of its own, logging each file's
    // information; false (and no probe kept) when a file cannot be opened
    // or the list is empty.
    bool OpenAudioProbes(const std::vector<std::string>& rows);
    void FreeAudioProbes();

private:
    TCustomPlayer& player_;
    Hooks hooks_;
    std::string library_folder_;
    std::vector<std::unique_ptr<TVEVarazez>> probes_;
    TPreviewControls controls_;
    std::string status_text_;
};

}  // namespace tavrin

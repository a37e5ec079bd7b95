// Which controls of the main window are usable while it is idle, merging or
// paused: decided here as a table, applied by the window.
#pragma once

namespace tavrin {

enum class TWindowMode { Idle, Busy, Paused };

// One flag per control (or group of controls) whose state the modes set.
struct TControlEnables {
    bool AddVideo = true;
    bool AddAudio = true;
    bool Merge = true;
    bool MergeStop = false;
    bool MergePause = false;
    bool Exit = true;
    bool Clear = true;
    bool Up = true;
    bool Down = true;
    bool List = true;
    bool ChooseFolder = true;  // the "..." button
    bool Play = true;
    bool PlayStop = true;
    bool PlayPause = true;
    bool FormatList = true;
    bool FrameSizeList = true;
    // Enabled whenever the window is idle, whether or not the box is ticked.
    bool QualityList = true;
    bool QualityBox = true;
    // "Fade Out", "Repeat Songs" and "Video Sound".
    bool MergeChoices = true;

    bool operator==(const TControlEnables&) const = default;
};

// The controls' states in a mode. listEnabledNow is the list's present
// state, which pausing leaves as it is.
TControlEnables ControlEnablesFor(TWindowMode mode, bool listEnabledNow);

// The same with the chosen format's rule applied: a format that copies the
// video ("Original") keeps its own frame size and quality, so their lists and
// the quality box are greyed out.
TControlEnables WithFormatRule(TControlEnables enables, bool formatCopiesVideo);

}  // namespace tavrin

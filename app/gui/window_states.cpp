#include "app/gui/window_states.h"

namespace tavrin {

TControlEnables ControlEnablesFor(TWindowMode mode, bool listEnabledNow) {
    if (mode == TWindowMode::Idle) {
        return TControlEnables{};
    }
    // Merging: nothing that changes the merge's input or starts other work;
    // only the merge's own "Stop" and "Pause".
    TControlEnables busy;
    busy.AddVideo = false;
    busy.AddAudio = false;
    busy.Merge = false;
    busy.MergeStop = true;
    busy.MergePause = true;
    busy.Exit = false;
    busy.Clear = false;
    busy.Up = false;
    busy.Down = false;
    busy.List = mode == TWindowMode::Paused ? listEnabledNow : false;
    busy.ChooseFolder = false;
    busy.Play = false;
    busy.PlayStop = false;
    busy.PlayPause = false;
    busy.FormatList = false;
    busy.FrameSizeList = false;
    busy.QualityList = false;
    busy.QualityBox = false;
    busy.MergeChoices = false;
    return busy;
}

TControlEnables WithFormatRule(TControlEnables enables, bool formatCopiesVideo) {
    if (formatCopiesVideo) {
        enables.FrameSizeList = false;
        enables.QualityList = false;
        enables.QualityBox = false;
    }
    return enables;
}

}  // namespace tavrin

// The two plain records a caller fills to describe a task's inputs and its
// output. Option and preset texts are written in the option language of the
// transcoding engine; file names are UTF-8.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin {

// One input file of a task.
struct TInputOptions {
    // The input; an empty name is filled with the file name argument of the
    // operation the record is passed to (the caller's record changes).
    std::string FileName;
    // Options of this input, e.g. "-ss 10 -t 30".
    std::string Options;
    // Preset text: name=value lines; lines starting with "#" are ignored and
    // "<CRLF>" also separates lines.
    std::string Presets;
};

// The output file of a task.
struct TOutputOptions {
    std::string FileName;  // filled from the file name argument when empty
    std::string Options;
    std::string Presets;
    bool AudioInputHook = false;
    bool AudioOutputHook = false;
    bool VideoInputHook = false;
    bool VideoOutputHook = false;
    // Bits per pixel of the bitmaps handed to the video hooks and the
    // preview: 8, 15, 16, 24 or 32.
    std::int32_t VideoHookBitsPixel = 32;
    bool FrameInputHook = false;
    bool FrameOutputHook = false;
    // The inputs are played one after another into the one output.
    bool Join = false;
};

// Put a record back to its defaults (strings emptied).
inline void InitInputOptions(TInputOptions& options) {
    options = TInputOptions{};
}
inline void InitOutputOptions(TOutputOptions& options) {
    options = TOutputOptions{};
}

}  // namespace tavrin

// The command line of tavrin-play:
//   tavrin-play [--no-display] [--no-audio] [--volume N] [--mute]
//               [--start-paused] [--start T] [--length T] [--aspect R]
//               [--verbose] FILE
// Times are seconds ("12.5") or [[hh:]mm:]ss[.frac] ("1:02.5").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrin::cli {

struct PlayArguments {
    std::string File;
    bool NoDisplay = false;
    bool NoAudio = false;
    int Volume = 128;  // 0..128
    bool Mute = false;
    bool StartPaused = false;
    std::optional<int64_t> Start;   // µs
    std::optional<int64_t> Length;  // µs
    float Aspect = 0;
    bool Verbose = false;
    bool Help = false;
    bool Version = false;
};

// The arguments after the program name; nullopt with the reason in `error`.
std::optional<PlayArguments> ParsePlayArguments(const std::vector<std::string>& args,
                                                std::string& error);

// A time in µs, or nullopt when the text is not one (negative included).
std::optional<int64_t> ParsePlayTime(const std::string& text);

}  // namespace tavrin::cli

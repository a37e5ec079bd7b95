// The command line of tavrin-merge:
//   tavrin-merge [--format NAME] [--size ENTRY] [--quality N | --no-quality]
//                [--fade-out S] [--repeat | --no-repeat] [--video-sound PCT]
//                [--out FOLDER] [--dry-run [--json]] [-q | -v] VIDEO AUDIO...
//   tavrin-merge --list-formats | --list-sizes FORMAT | --version | --help
// Options may come before or after the files; "--" ends the options.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tavrin::cli {

struct MergeArguments {
    std::string VideoFile;
    std::vector<std::string> AudioFiles;
    // Unset values come from the settings file.
    std::optional<int> FormatIndex;        // position in the format list
    std::optional<std::string> Size;       // frame-size entry as given, resolved per format
    std::optional<int> QualityIndex;       // 0..10
    std::optional<bool> UseQuality;        // --quality sets true, --no-quality false
    std::optional<int> FadeOutSeconds;     // 0..kMaxFadeOutSeconds
    std::optional<bool> RepeatSongs;       // --repeat sets true, --no-repeat false
    std::optional<int> VideoSoundPercent;  // 0..kMaxVideoSoundPercent
    std::optional<std::string> OutputFolder;
    bool DryRun = false;
    bool Json = false;     // the dry run's plan as one JSON object
    bool Quiet = false;    // -q: errors only
    bool Verbose = false;  // -v: the libraries' log at verbose level
    // Requests that need no files.
    bool Help = false;
    bool Version = false;
    bool ListFormats = false;
    std::optional<int> ListSizesOf;  // --list-sizes: the format's position
};

// The arguments after the program name; nullopt with the reason in `error`.
std::optional<MergeArguments> ParseMergeArguments(const std::vector<std::string>& args,
                                                  std::string& error);

// Position of a format name (compared without case: "mp4", "WebM"), or -1.
int FindFormatIndex(const std::string& name);

// Position of a frame-size entry in the list of the format: the entry's full
// text, the size before its first blank ("640x480"), its name after the dash
// ("hd720", "qcif") or "auto" for "Auto - Original", all without case; the
// first entry that matches (852x480 is "wvga"); -1 when the list has none.
int FindFrameSizeIndex(int formatIndex, const std::string& entry);

}  // namespace tavrin::cli

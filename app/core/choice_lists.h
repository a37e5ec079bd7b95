// The three choice lists of the merge (format, frame size, quality) and which
// entry each shows as selected, from the stored settings.
#pragma once

#include <span>
#include <string_view>

namespace tavrin {

class TSettings;

// The format whose video is copied, not encoded: the last entry.
inline constexpr std::string_view kOriginalFormatName = "Original";

// 16 presets and "Original"; the position is what "outputformatindex" stores.
std::span<const std::string_view> FormatNames();
// 29 sizes for every format but "3GP", which has its 4 sizes.
std::span<const std::string_view> FrameSizeNames(std::string_view formatName);
// 11 qualities; the position (0 best to 10 worst) is the value used.
std::span<const std::string_view> QualityNames();

// The format entry at index, or "" when the index lies outside the list.
std::string_view FormatNameAt(int index);
// Whether the entry is "Original": the video stream copied into its own
// container (or Matroska), frame size and quality not used.
bool IsOriginalFormat(std::string_view formatName);
// Whether the entry is "3GP" (compared in lower case).
bool IsThreeGpFormat(std::string_view formatName);

// The stored index when it lies in a list of count entries, else -1 (no entry).
int ListSelection(std::size_t count, int storedIndex);
// The frame-size entry shown for a format: as stored, except that the short
// "3GP" list falls back to entry 0 for indexes it does not have.
int FrameSizeSelection(std::string_view formatName, int storedIndex);

// What the format, frame-size and quality controls show; -1 selects nothing.
struct TChoiceState {
    int FormatIndex = -1;
    std::span<const std::string_view> FrameSizes;
    int FrameSizeIndex = -1;
    int QualityIndex = -1;
    bool UseVideoQuality = true;
    // The quality list is usable exactly when the check box is ticked.
    bool QualityListEnabled = true;
    // "Original" greys out the frame-size list, the quality list and its box.
    bool FrameSizeListEnabled = true;
};

// The controls as restored from the settings when the window is first shown.
TChoiceState RestoreChoices(const TSettings& settings);

// The user picked another format: its index is stored and the frame-size list
// rebuilt from the stored "framesizeindex", which itself stays as it is, so a
// size chosen for another format survives a visit to "3GP".
TChoiceState ChangeFormat(TSettings& settings, int formatIndex);

}  // namespace tavrin
